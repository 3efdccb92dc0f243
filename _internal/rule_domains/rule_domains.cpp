#include "rule_domains/rule_domains.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "kl/casemap.hpp"

namespace kl::rule_domains {

namespace {

constexpr std::string_view kBilling[] = {"refund",  "charge",       "invoice", "payment",
                                         "billing", "subscription", "price",   "discount"};
constexpr std::string_view kSecurity[] = {"password", "credential",   "auth",     "verify identity",
                                          "verification", "fraud", "phishing", "two-factor",
                                          "2fa",      "pii"};
constexpr std::string_view kEscalation[] = {"escalate", "supervisor", "manager", "human agent",
                                            "transfer to"};
constexpr std::string_view kFulfillment[] = {"ship",      "shipping",    "delivery",     "tracking",
                                             "warehouse", "fulfillment", "order status", "carrier"};
constexpr std::string_view kRetention[] = {"cancel", "churn",   "retain", "win back",
                                           "loyalty", "renew", "renewal"};

// Keywords are ASCII, so only the ASCII code points of the lower-cased text
// can take part in a match.  Narrowing to bytes, with every other code point
// written as a byte no keyword holds, lets the search run over a compact
// buffer with the library's byte search.
std::string narrow(TextView lowered) {
    std::string out(lowered.size(), '\0');
    for (std::size_t i = 0; i < lowered.size(); ++i) {
        char32_t c = lowered[i];
        out[i] = c < 0x80 ? static_cast<char>(c) : '\x80';
    }
    return out;
}

// to_lower_full() takes the ASCII fast path itself when it can.
std::string lowered_bytes(TextView text) { return narrow(to_lower_full(text)); }

}  // namespace

const std::array<DomainKeywords, 5> kDomainKeywords = {{
    {"billing", kBilling},
    {"security", kSecurity},
    {"escalation", kEscalation},
    {"fulfillment", kFulfillment},
    {"retention", kRetention},
}};

const std::array<std::string_view, 6> kDirectiveDomains = {
    "billing", "security", "escalation", "fulfillment", "retention", kDomainGeneral};

namespace {

// Keywords grouped by their first byte, each group in table order.  The text
// is scanned once; at each position only the keywords starting with that
// byte are tried, and only those of domains before the best one found so
// far.  The smallest domain index matched anywhere is exactly what walking
// the table domain by domain returns, and a billing match (the first
// domain) ends the scan.
struct Candidate {
    std::string_view keyword;
    std::size_t domain;
};

struct FirstByteIndex {
    std::array<std::vector<Candidate>, 128> by_first{};
    FirstByteIndex() {
        for (std::size_t d = 0; d < kDomainKeywords.size(); ++d)
            for (std::string_view kw : kDomainKeywords[d].keywords)
                by_first[static_cast<unsigned char>(kw[0])].push_back({kw, d});
    }
};

std::string_view first_match(std::string_view lowered) {
    static const FirstByteIndex index;
    const std::size_t none = kDomainKeywords.size();
    std::size_t best = none;
    const std::size_t n = lowered.size();
    const char* p = lowered.data();
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c >= 128) continue;
        for (const Candidate& k : index.by_first[c]) {
            if (k.domain >= best) break;
            const std::size_t len = k.keyword.size();
            if (len <= n - i && std::memcmp(p + i, k.keyword.data(), len) == 0) {
                best = k.domain;
                if (best == 0) return kDomainKeywords[0].domain;
                break;
            }
        }
    }
    return best == none ? kDomainGeneral : kDomainKeywords[best].domain;
}

}  // namespace

std::string_view classify(TextView text) { return first_match(lowered_bytes(text)); }

std::string_view classify_ascii(std::string_view ascii) {
    std::string lowered(ascii.size(), '\0');
    // Branch-free so the compiler can vectorise it.
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        const auto c = static_cast<unsigned char>(ascii[i]);
        lowered[i] = static_cast<char>(c | (static_cast<unsigned char>(c - 'A') < 26 ? 0x20 : 0));
    }
    return first_match(lowered);
}

}  // namespace kl::rule_domains
