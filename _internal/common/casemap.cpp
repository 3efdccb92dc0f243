#include "kl/casemap.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <stdexcept>
#include <vector>

namespace kl {

namespace {

using MapFn = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

constexpr bool is_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }

// Maps one run that holds no surrogate code point.  The run is encoded as
// UTF-16 for the library and decoded back; since it has no surrogates of
// its own, every surrogate pair in the UTF-16 form is one the encoder wrote.
void map_run(Text& out, TextView run, MapFn fn) {
    if (run.empty()) return;
    std::vector<UChar> src;
    src.reserve(run.size() + run.size() / 4 + 1);
    for (char32_t c : run) {
        if (c < 0x10000) {
            src.push_back(static_cast<UChar>(c));
        } else {
            char32_t v = c - 0x10000;
            src.push_back(static_cast<UChar>(0xD800 + (v >> 10)));
            src.push_back(static_cast<UChar>(0xDC00 + (v & 0x3FF)));
        }
    }
    const auto n = static_cast<int32_t>(src.size());
    // Full mappings expand a code unit to at most three; start a little
    // above the input size and retry once with the exact size if needed.
    std::vector<UChar> dst(src.size() + 16);
    UErrorCode err = U_ZERO_ERROR;
    // Root locale: "" selects the language-independent mappings; the
    // default-locale (nullptr) form would read the process locale.
    int32_t len = fn(dst.data(), static_cast<int32_t>(dst.size()), src.data(), n, "", &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
        dst.assign(static_cast<std::size_t>(len), 0);
        err = U_ZERO_ERROR;
        len = fn(dst.data(), static_cast<int32_t>(dst.size()), src.data(), n, "", &err);
    }
    if (U_FAILURE(err)) throw std::runtime_error(u_errorName(err));
    for (int32_t i = 0; i < len; ++i) {
        char32_t u = dst[static_cast<std::size_t>(i)];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < len) {
            char32_t lo = dst[static_cast<std::size_t>(i) + 1];
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                out.push_back(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        out.push_back(u);
    }
}

// The library counts in int32_t, so very long runs are mapped in pieces of at
// most kPiece code points (UTF-16 output then stays far below its limit even
// when every unit triples).  A piece ends, where one can be found close to the
// limit, just before a code point that is neither cased nor case-ignorable:
// like a surrogate, such a code point ends every mapping context on both
// sides, so the split is invisible.  Without one, a final sigma right at the
// split could take the other of its two lower-case forms; that affects only
// Greek sigma in texts of millions of code points with no space, digit or
// punctuation near the split.
constexpr std::size_t kPiece = std::size_t{1} << 22;
constexpr std::size_t kSplitSearch = 256;

bool ends_contexts(char32_t c) noexcept {
    const auto cp = static_cast<UChar32>(c);
    return !u_hasBinaryProperty(cp, UCHAR_CASED) && !u_hasBinaryProperty(cp, UCHAR_CASE_IGNORABLE);
}

void map_long_run(Text& out, TextView run, MapFn fn) {
    while (run.size() > kPiece) {
        std::size_t cut = kPiece;
        for (std::size_t k = kPiece; k > kPiece - kSplitSearch; --k) {
            if (ends_contexts(run[k])) {
                cut = k;
                break;
            }
        }
        map_run(out, run.substr(0, cut), fn);
        run.remove_prefix(cut);
    }
    map_run(out, run, fn);
}

// Lone surrogates split the text into runs that are mapped one by one.
// That gives exactly the mapping of the whole text: a surrogate is neither
// cased nor case-ignorable, so it already ends every context a mapping rule
// looks at (the final-sigma rule looks through case-ignorable characters
// only), and it maps to itself.  Handing the library the whole text instead
// would let two adjacent lone surrogates read as one supplementary
// character and be mapped as that.
Text map_text(TextView s, MapFn fn, bool upper) {
    Text out;
    if (is_ascii(s)) {
        out.resize(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) {
            char32_t c = s[i];
            if (upper ? (c >= U'a' && c <= U'z') : (c >= U'A' && c <= U'Z')) c ^= 0x20;
            out[i] = c;
        }
        return out;
    }
    out.reserve(s.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (is_surrogate(s[i])) {
            map_long_run(out, s.substr(start, i - start), fn);
            out.push_back(s[i]);
            start = i + 1;
        }
    }
    map_long_run(out, s.substr(start), fn);
    return out;
}

}  // namespace

bool is_ascii(TextView s) noexcept {
    char32_t acc = 0;
    for (char32_t c : s) acc |= c;
    return acc < 0x80;
}

Text to_lower_full(TextView s) { return map_text(s, &u_strToLower, false); }
Text to_upper_full(TextView s) { return map_text(s, &u_strToUpper, true); }

}  // namespace kl
