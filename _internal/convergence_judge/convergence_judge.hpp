// The tuned parts of the thread-ending policy of a team workspace: the LLM
// judge's prompts and verdict reading, and the cosine similarity of the
// stagnation gate with its ceiling.
#pragma once

#include <cmath>
#include <cstddef>
#include <string_view>

#include "kl/reply.hpp"
#include "kl/template.hpp"
#include "kl/text.hpp"

namespace kl::convergence_judge {

// One line, no line feed; the em dash is U+2014.
extern const Template kSystemPrompt;
// The transcript: the header, {lines}, an empty line and the closing
// question; no final line feed.
extern const Template kTranscript;
// One turn: a line feed, then "- [{sender_id}] {content}".  The sender id is
// inserted as it stands (line breaks included); the content is flattened.
extern const Template kTurnLine;
enum TurnSlot : int { kSenderId, kContent };

// Above this similarity two consecutive message bodies count as redundant.
// Tuned together with the cosine below: change both or neither.
inline constexpr double kStagnationCosineThreshold = 0.92;

// ---- Flattening ----------------------------------------------------------

// The flattened form of a text is its words (the pieces between runs of
// whitespace) joined by single spaces.  Words already joined by exactly one
// U+0020 in the source stay together, so this calls run(begin, size, first)
// once per stretch of the flattened text that lies contiguous in `s`; the
// caller writes one space before every stretch but the first.
template <class C, class F>
void for_each_flat_run(View<C> s, F&& run) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n && is_space(s[i])) ++i;
    bool first = true;
    std::size_t start = i;
    while (i < n) {
        if (!is_space(s[i])) {
            ++i;
            continue;
        }
        std::size_t gap_end = i + 1;
        while (gap_end < n && is_space(s[gap_end])) ++gap_end;
        if (gap_end == n) break;  // trailing whitespace
        if (gap_end == i + 1 && s[i] == C(' ')) {  // one plain space: the stretch goes on
            i = gap_end;
            continue;
        }
        run(start, i - start, first);
        first = false;
        start = i = gap_end;
    }
    if (i > start) run(start, i - start, first);
}

// ---- The verdict -----------------------------------------------------------

// The trimmed reply, and when it holds a vertical bar, the trimmed parts
// before (the token) and after its first bar (the summary or reason, further
// bars included).
struct VerdictCut {
    Span raw, head, summary;
    bool has_bar = false;
};
VerdictCut cut_verdict(const AnyText& reply) noexcept;

enum class Token { converged, open, other, needs_case_mapping };

// The token of a head that needs no case mapping table: ASCII heads are
// upper-cased here; a non-ASCII head longer than the longest token can never
// become one (full upper-casing never maps a code point to nothing), any
// other needs the full mapping (needs_case_mapping).
Token token_without_table(const AnyText& head) noexcept;
// The token of a head already upper-cased with the full mapping.
Token token_of_upper(const AnyText& upper) noexcept;

enum class Outcome {
    converged,    // (true, summary)
    open,         // (false, summary)
    marked_open,  // (false, "judge marked thread open")
    raw,          // (false, the trimmed reply)
};
Outcome decide(Token token, const VerdictCut& cut) noexcept;

inline constexpr std::string_view kMarkedOpen = "judge marked thread open";

// ---- Cosine ----------------------------------------------------------------

// The running sums of the cosine similarity: feed every index in order,
// then ask for the result.  Sequential binary64 arithmetic: products and sums
// each rounded, in index order, no fused multiply-add (the build disables
// contraction); 0.0 for empty vectors or a zero norm; not clamped.
struct CosineSums {
    double dot = 0.0, norm_a = 0.0, norm_b = 0.0;
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

}  // namespace kl::convergence_judge
