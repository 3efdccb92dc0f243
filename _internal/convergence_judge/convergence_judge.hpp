// The tuned parts of the thread-ending policy of a team workspace: the LLM
// judge's prompts and verdict reading, and the cosine similarity of the
// stagnation gate with its ceiling.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

namespace detail {

constexpr char32_t char_class(char32_t bits) noexcept {
    return bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// The first break at or after i: a whitespace code point that is not a lone
// U+0020 between two words (n when there is none).  Code points passed over
// that lie beyond ASCII are OR-ed into `bits`.
// The exact test of one unit: true when p[i] starts a break.
template <class C>
bool breaks_at(const C* p, std::size_t i, std::size_t n, char32_t& bits) noexcept {
    auto c = static_cast<char32_t>(p[i]);
    if (c > 0x20 && c < 0x80) return false;
    if (c == 0x20) return !(i + 1 < n && !is_space(static_cast<char32_t>(p[i + 1])));
    if (is_space(c)) return true;
    bits |= c;
    return false;
}

template <class C>
std::size_t find_break(const C* p, std::size_t i, std::size_t n, char32_t& bits) noexcept {
    if constexpr (sizeof(C) == 1) {
        // Eight units at a time while they are words joined by single
        // spaces: no unit below U+0020, neither of the two Latin-1
        // whitespace code points (U+0085, U+00A0), no two spaces side by
        // side, no space in the last place (the next unit could be
        // whitespace).  The pair test may see a pair that is not there; a
        // chunk that fails goes through the exact test unit by unit, and
        // the scan goes back to whole chunks after it.
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
        while (i + 8 <= n) {
            std::uint64_t x;
            std::memcpy(&x, p + i, 8);
            std::uint64_t sp = has_zero(x ^ (ones * 0x20));
            std::uint64_t below = (x - ones * 0x20) & ~x & highs;
            std::uint64_t high = x & highs;
            bool plain = !(below | (sp & (sp >> 8)) | (sp >> 63)) &&
                         !(high && (has_zero(x ^ (ones * 0x85)) | has_zero(x ^ (ones * 0xA0))));
            if (plain) {
                if (high) bits |= 0xFF;
                i += 8;
                continue;
            }
            for (std::size_t end = i + 8; i < end; ++i)
                if (breaks_at(p, i, n, bits)) return i;
        }
    }
    for (; i < n; ++i)
        if (breaks_at(p, i, n, bits)) return i;
    return n;
}

}  // namespace detail


// The flattened form of a text is its words (the pieces between runs of
// whitespace) joined by single spaces.  Words already joined by exactly one
// U+0020 in the source stay together, so this calls
// run(begin, size, first, maxchar) once per stretch of the flattened text
// that lies contiguous in `s` (maxchar: the stretch's maxchar class); the
// caller writes one space before every stretch but the first.
template <class C, class F>
void for_each_flat_run(View<C> s, F&& run) {
    const C* p = s.data();
    const std::size_t n = s.size();
    std::size_t start = 0;
    while (start < n && is_space(static_cast<char32_t>(p[start]))) ++start;
    bool first = true;
    while (start < n) {
        char32_t bits = 0;
        std::size_t end = detail::find_break(p, start, n, bits);
        run(start, end - start, first, detail::char_class(bits));
        first = false;
        start = end;
        while (start < n && is_space(static_cast<char32_t>(p[start]))) ++start;
    }
}

// The length and maxchar class of a text's flattened form, found without
// writing it.  `as_is` is set when the flattened form is the text itself
// (one stretch covering all of it), which then needs no second scan.
struct FlatShape {
    std::size_t size = 0;
    char32_t maxchar = 0;  // 0 for an empty result
    bool as_is = false;
};

namespace detail {

inline constexpr auto kLatin1Space = [] {
    std::array<bool, 256> t{};
    for (char32_t c = 0; c < 256; ++c) t[c] = is_space(c);
    return t;
}();

// is_space for one unit, by table below U+0100; wider units are whitespace
// only within U+1680..U+3000.
template <class C>
inline bool space_unit(C unit) noexcept {
    const auto c = static_cast<char32_t>(unit);
    if constexpr (sizeof(C) == 1) {
        return kLatin1Space[c];
    } else {
        if (c < 0x100) return kLatin1Space[c];
        return c >= 0x1680 && c <= 0x3000 && is_space(c);
    }
}

}  // namespace detail

// Text that is flat already (single-spaced words, the common case) is
// recognised by the stretch scan, which takes eight Latin-1 units at a
// time; any other is counted unit by unit, with no branch on the text:
// the flattened length is the non-whitespace units plus one space between
// each two words.
template <class C>
FlatShape flat_shape(View<C> s) noexcept {
    const C* p = s.data();
    const std::size_t n = s.size();
    if (n && !detail::space_unit(p[0])) {
        char32_t bits = 0;
        if (detail::find_break(p, 0, n, bits) == n) return {n, detail::char_class(bits), true};
    }
    std::size_t kept = 0, words = 0;
    char32_t bits = 0;
    bool after_space = true;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<char32_t>(p[i]);
        const bool sp = detail::space_unit(p[i]);
        kept += !sp;
        words += after_space & !sp;
        bits |= sp ? 0 : c;
        after_space = sp;
    }
    if (!kept) return {};
    return {kept + words - 1, detail::char_class(bits), false};
}

// Writes the flattened form of `s` at `out`, which has room for
// flat_shape(s).size units wide enough for its maxchar class; returns the
// end of what was written.  Whitespace of any width is dropped, so a narrow
// destination only ever keeps code points that fit it.
//
// One step per unit with no branch on the text: every step stores a space
// and the unit itself and moves on past what belongs there.  A whitespace
// unit is stored (truncated) where the next kept unit will overwrite it;
// trailing whitespace is cut first, so such a store always lies within
// what the call writes.
template <class C, class D>
D* write_flat(View<C> s, D* out) noexcept {
    const C* p = s.data();
    std::size_t n = s.size();
    while (n && detail::space_unit(p[n - 1])) --n;
    D* o = out;
    bool gap = false;
    for (std::size_t i = 0; i < n; ++i) {
        const bool sp = detail::space_unit(p[i]);
        *o = static_cast<D>(' ');
        o += gap & !sp;
        *o = static_cast<D>(p[i]);
        o += !sp;
        gap = sp & (o != out);
    }
    return o;
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
