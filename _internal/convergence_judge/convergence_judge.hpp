// The tuned parts of the thread-ending policy of a team workspace: the LLM
// judge's prompt and verdict parser, and the cosine similarity of the
// stagnation gate with its ceiling.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "kl/text.hpp"

namespace kl::convergence_judge {

// One line, no line feed; the em dash is U+2014.
extern const std::u32string_view kSystemPrompt;

// Above this similarity two consecutive message bodies count as redundant.
// Tuned together with cosine_similarity(): change both or neither.
inline constexpr double kStagnationCosineThreshold = 0.92;

struct Turn {
    TextView sender_id;  // inserted as it stands, line breaks included
    TextView content;    // flattened: whitespace runs become one space
};

// "Thread transcript (chronological):", one "- [sender] content" line per
// turn, an empty line, then the closing question; no final line feed.
Text build_convergence_prompt(std::span<const Turn> turns);

struct Verdict {
    bool converged;
    Text text;  // summary when converged, otherwise the reason or the trimmed reply
};

// Never fails on any text: whatever cannot be read with certainty is a
// thread that stays open, carrying the trimmed reply.
Verdict parse_convergence_verdict(TextView reply);

// Sequential binary64 arithmetic: products and sums each rounded, in index
// order, no fused multiply-add; 0.0 for empty vectors or a zero norm; not
// clamped.  The spans must have equal length (the caller reports a mismatch).
double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept;

}  // namespace kl::convergence_judge
