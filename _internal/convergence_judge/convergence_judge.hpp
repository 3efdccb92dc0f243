// The tuned parts of the thread-ending policy of a team workspace: the LLM
// judge's prompt and verdict parser, and the cosine similarity of the
// stagnation gate with its ceiling.
#pragma once

#include <cmath>
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

// The running sums of cosine_similarity(), for callers that produce the
// elements one by one.  Feed every index in order, then ask for the result.
struct CosineSums {
    double dot = 0.0, norm_a = 0.0, norm_b = 0.0;
    // The build disables floating-point contraction, so every product is
    // rounded before it is added; each sum is fed in index order.
    void add(double x, double y) noexcept {
        dot += x * y;
        norm_a += x * x;
        norm_b += y * y;
    }
    // Square roots taken separately, then multiplied: sqrt(norm_a * norm_b)
    // would overflow or underflow where this does not, and round differently.
    double result(std::size_t n) const noexcept {
        if (n == 0 || norm_a == 0.0 || norm_b == 0.0) return 0.0;
        return dot / (std::sqrt(norm_a) * std::sqrt(norm_b));
    }
};

// Sequential binary64 arithmetic: products and sums each rounded, in index
// order, no fused multiply-add; 0.0 for empty vectors or a zero norm; not
// clamped.  The spans must have equal length (the caller reports a mismatch).
double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept;

}  // namespace kl::convergence_judge
