#include "rule_domains/rule_domains.hpp"

#include <string>

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

std::string_view first_match(std::string_view lowered) {
    for (const DomainKeywords& d : kDomainKeywords)
        for (std::string_view kw : d.keywords)
            if (lowered.find(kw) != std::string_view::npos) return d.domain;
    return kDomainGeneral;
}

}  // namespace

std::string_view classify(TextView text) { return first_match(lowered_bytes(text)); }

std::string_view classify_ascii(std::string_view ascii) {
    std::string lowered(ascii);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    return first_match(lowered);
}

}  // namespace kl::rule_domains
