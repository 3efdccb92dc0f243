// Keyword classification of a directive into one of six business domains.
//
// Coarse on purpose: the evolution step uses the tag only to keep one
// proposal per domain per cycle, so a misclassification merely changes which
// sibling proposal wins the slot.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "kl/text.hpp"

namespace kl::rule_domains {

inline constexpr std::string_view kDomainGeneral = "general";

// Floor of the near-duplicate pre-check the evolution step applies to the
// proposals of one cycle (the directive store's own bar, 0.95, lets the
// same rule phrased three ways through).
inline constexpr double kEvolveDedupThreshold = 0.85;
// The most proposals of one domain other than "general" one cycle keeps.
inline constexpr long kEvolveMaxPerDomain = 1;

struct DomainKeywords {
    std::string_view domain;
    std::span<const std::string_view> keywords;  // lower-case ASCII
};

// Table order matters: the first domain with any matching keyword wins.
// "general" has no entry.
extern const std::array<DomainKeywords, 5> kDomainKeywords;

// The six domain names (the five above, then "general").
extern const std::array<std::string_view, 6> kDirectiveDomains;

// Plain substring search of every keyword in table order over a text that is
// already lower-cased (the full default mapping); kDomainGeneral when nothing
// matches.  The result is one of kDirectiveDomains (static storage).
std::string_view classify_lowered(const AnyText& lowered) noexcept;

// The same for ASCII text, lower-casing it on the way (for ASCII the full
// default mapping is just A-Z to a-z).
std::string_view classify_ascii(std::string_view ascii) noexcept;

}  // namespace kl::rule_domains
