#include "rule_domains/rule_domains.hpp"

#include <cstring>
#include <vector>


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

// Lower-cases A-Z on the fly (ASCII input), or leaves the text as it is
// (input that the host has lower-cased already).
struct AsciiFold {
    static constexpr char32_t fold(char32_t c) noexcept {
        return c | (c - U'A' < 26 ? 0x20 : 0);
    }
};
struct NoFold {
    static constexpr char32_t fold(char32_t c) noexcept { return c; }
};

template <class Fold, class C>
std::string_view first_match(View<C> text) noexcept {
    static const FirstByteIndex index;
    const std::size_t none = kDomainKeywords.size();
    std::size_t best = none;
    const std::size_t n = text.size();
    const C* p = text.data();
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = Fold::fold(static_cast<char32_t>(p[i]));
        if (c >= 128) continue;
        for (const Candidate& k : index.by_first[c]) {
            if (k.domain >= best) break;
            const std::size_t len = k.keyword.size();
            if (len > n - i) continue;
            std::size_t j = 1;
            while (j < len && Fold::fold(static_cast<char32_t>(p[i + j])) ==
                                  static_cast<unsigned char>(k.keyword[j]))
                ++j;
            if (j == len) {
                best = k.domain;
                if (best == 0) return kDomainKeywords[0].domain;
                break;
            }
        }
    }
    return best == none ? kDomainGeneral : kDomainKeywords[best].domain;
}

}  // namespace

std::string_view classify_lowered(const AnyText& lowered) noexcept {
    return lowered.visit([](auto v) { return first_match<NoFold>(v); });
}

std::string_view classify_ascii(std::string_view ascii) noexcept {
    return first_match<AsciiFold>(
        View<U1>(reinterpret_cast<const U1*>(ascii.data()), ascii.size()));
}

}  // namespace kl::rule_domains
