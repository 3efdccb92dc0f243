// Structural invariants: taxonomies and contractual thresholds that no tuning
// profile changes.  Changing any of them is a release with migration notes.
#pragma once

#include <array>
#include <string_view>

namespace kl::invariants {

inline constexpr std::array<std::string_view, 7> kCriticFlagTaxonomy = {
    "drift", "contradiction", "safety", "tone", "scope", "hallucination", "off_topic"};

// Cosine similarity from which two directives count as the same rule.  A
// promise of the contract, not a tuning knob.
inline constexpr double kDirectiveDedupCosineThreshold = 0.95;

inline constexpr std::array<std::string_view, 3> kDreamValidStatuses = {"success", "partial",
                                                                        "failed"};

}  // namespace kl::invariants
