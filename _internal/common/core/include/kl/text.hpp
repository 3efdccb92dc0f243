// Text as the core sees it: a run of code units in the storage of whoever
// owns the text.
//
// Host texts come in three widths (one, two or four bytes a code point) and
// are read where they lie, never widened; every algorithm here is written
// once over the unit type and instantiated for the three widths.  A length,
// a position or a slice always counts code points, and a text may hold lone
// surrogates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

namespace kl {

// One code point per unit: Latin-1 (U1), the BMP (U2) or everything (U4).
// char8_t stands in for the one-byte width; it never holds UTF-8 here.
using U1 = char8_t;
using U2 = char16_t;
using U4 = char32_t;

template <class C>
using View = std::basic_string_view<C>;

// A text in one of the three widths, as the host lays it out.  `ascii` is
// set when every code point is below U+0080 (such a text is also valid
// UTF-8, byte for byte).
struct AnyText {
    const void* data = nullptr;
    std::size_t size = 0;  // code points
    unsigned char width = 1;  // 1, 2 or 4
    bool ascii = true;
    // The maxchar class (see max_char_class) when the owner knows it, so a
    // writer need not scan for it; 0 when unknown.
    char32_t maxchar = 0;

    template <class F>
    decltype(auto) visit(F&& f) const {
        switch (width) {
            case 1: return f(View<U1>(static_cast<const U1*>(data), size));
            case 2: return f(View<U2>(static_cast<const U2*>(data), size));
            default: return f(View<U4>(static_cast<const U4*>(data), size));
        }
    }
    std::string_view ascii_view() const noexcept {
        return {static_cast<const char*>(data), size};
    }
    // The code points [begin, begin + n) of this text.
    AnyText slice(std::size_t begin, std::size_t n) const noexcept {
        return {static_cast<const char*>(data) + begin * width, n, width, ascii};
    }
};

inline AnyText ascii_text(std::string_view s) noexcept { return {s.data(), s.size(), 1, true}; }

// The 29 whitespace code points of the system (the set the host's
// str.isspace() accepts): U+0009..U+000D, U+001C..U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
constexpr bool is_space(char32_t c) noexcept {
    if (c <= 0x20) return (c >= 0x09 && c <= 0x0D) || c >= 0x1C;
    if (c < 0x85) return false;
    if (c == 0x85 || c == 0xA0 || c == 0x1680) return true;
    if (c < 0x2000) return false;
    if (c <= 0x200A || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F) return true;
    return c == 0x3000;
}

// Copies n code points from units of one width to units of another (the
// destination wide enough for every one of them).
template <class D, class S>
inline void copy_units(D* __restrict dst, const S* __restrict src, std::size_t n) noexcept {
    if constexpr (sizeof(D) == sizeof(S)) {
        if (n) __builtin_memcpy(dst, src, n * sizeof(D));
    } else {
        // Blocks of a fixed length, which the compiler turns into vector
        // code at -O2.  Most runs are a few words long, so what is left
        // after the whole blocks goes as one last block ending at the end
        // (writing again, with the same values, units already written), or
        // in blocks of eight and four when the run is shorter than one.
        auto block = [dst, src]<std::size_t B>(std::size_t at) {
            for (std::size_t k = 0; k < B; ++k) dst[at + k] = static_cast<D>(src[at + k]);
        };
        constexpr std::size_t kBlock = 16;
        std::size_t i = 0;
        for (; i + kBlock <= n; i += kBlock) block.template operator()<kBlock>(i);
        if (n >= kBlock) {
            if (i < n) block.template operator()<kBlock>(n - kBlock);
            return;
        }
        if (n - i >= 8) {
            block.template operator()<8>(i);
            i += 8;
        }
        if (n - i >= 4) {
            block.template operator()<4>(i);
            i += 4;
        }
        for (; i < n; ++i) dst[i] = static_cast<D>(src[i]);
    }
}

// Removes runs of whitespace at both ends.
template <class C>
constexpr View<C> trim(View<C> s) noexcept {
    std::size_t b = 0, e = s.size();
    while (b < e && is_space(static_cast<char32_t>(s[b]))) ++b;
    while (e > b && is_space(static_cast<char32_t>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Whether `s` begins / ends with the ASCII text `a`.
template <class C>
constexpr bool starts_with_ascii(View<C> s, std::string_view a) noexcept {
    if (s.size() < a.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (s[i] != static_cast<C>(static_cast<unsigned char>(a[i]))) return false;
    return true;
}
template <class C>
constexpr bool ends_with_ascii(View<C> s, std::string_view a) noexcept {
    return s.size() >= a.size() && starts_with_ascii(s.substr(s.size() - a.size()), a);
}

// The smallest `maxchar` class of a run of units, as the host sizes a str:
// 0x7F, 0xFF, 0xFFFF or 0x10FFFF.
//
// Blocks of a fixed length (vector code at -O2), and an early end once the
// widest class the unit type can hold is reached: a text stored wide for
// its emoji usually shows one soon.
template <class C>
char32_t max_char_class(View<C> s) noexcept {
    constexpr char32_t widest = sizeof(C) == 1 ? 0x80 : sizeof(C) == 2 ? 0x100 : 0x10000;
    constexpr std::size_t kBlock = 64;
    const C* p = s.data();
    const std::size_t n = s.size();
    char32_t bits = 0;
    std::size_t i = 0;
    for (; i + kBlock <= n && bits < widest; i += kBlock) {
        C block = 0;
        for (std::size_t k = 0; k < kBlock; ++k) block |= p[i + k];
        bits |= static_cast<char32_t>(block);
    }
    if (bits < widest)
        for (; i < n; ++i) bits |= static_cast<char32_t>(p[i]);
    if (bits < 0x80) return 0x7F;
    if (bits < 0x100) return 0xFF;
    if (bits < 0x10000) return 0xFFFF;
    return 0x10FFFF;
}
char32_t max_char_class(const AnyText& t) noexcept;

// Whether n bytes at x and y are equal, for sizeof(W) <= n <= 2 *
// sizeof(W): two overlapping loads a side, without a call.
template <class W>
inline bool same_ends(const char* x, const char* y, std::size_t n) noexcept {
    W x0, x1, y0, y1;
    __builtin_memcpy(&x0, x, sizeof(W));
    __builtin_memcpy(&y0, y, sizeof(W));
    __builtin_memcpy(&x1, x + n - sizeof(W), sizeof(W));
    __builtin_memcpy(&y1, y + n - sizeof(W), sizeof(W));
    return x0 == y0 && x1 == y1;
}

// Comparisons of texts by code point, whatever the widths they are stored
// at: equality, order (the order of their UTF-8 forms too), and equality
// with an ASCII text.
bool same_text_slow(const AnyText& a, const AnyText& b) noexcept;
inline bool same_text(const AnyText& a, const AnyText& b) noexcept {
    if (a.size != b.size) return false;
    if (a.width != b.width) return same_text_slow(a, b);
    std::size_t n = a.size * a.width;
    const char* x = static_cast<const char*>(a.data);
    const char* y = static_cast<const char*>(b.data);
    // Short texts (most field values, ids such as "ins-12") without a call.
    if (n >= 8 && n <= 16) return same_ends<std::uint64_t>(x, y, n);
    if (n >= 4 && n < 8) return same_ends<std::uint32_t>(x, y, n);
    return n == 0 || __builtin_memcmp(x, y, n) == 0;
}
int compare_text_slow(const AnyText& a, const AnyText& b) noexcept;
inline int compare_text(const AnyText& a, const AnyText& b) noexcept {
    // Ids and keys are mostly one byte a character, where byte order is
    // code point order.
    if (a.width == 1 && b.width == 1) {
        std::size_t n = a.size < b.size ? a.size : b.size;
        const unsigned char* x = static_cast<const unsigned char*>(a.data);
        const unsigned char* y = static_cast<const unsigned char*>(b.data);
        if (n <= 16) {  // short ones without a call
            for (std::size_t i = 0; i < n; ++i)
                if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
        } else if (int c = __builtin_memcmp(x, y, n)) {
            return c;
        }
        return a.size == b.size ? 0 : a.size < b.size ? -1 : 1;
    }
    return compare_text_slow(a, b);
}
bool equals_ascii(const AnyText& t, std::string_view a) noexcept;

// ---- UTF-8 -----------------------------------------------------------------
//
// Texts that a library reads as bytes (the JSON decoder, the digest) are
// given to it as UTF-8.  A lone surrogate is written as its own three-byte
// form, the way the host's "surrogatepass" error handler writes it, so no
// text fails to convert and none is altered.

// Appends the UTF-8 form of `t`.
void append_utf8(std::string& out, const AnyText& t);

// Code points and their maxchar class in a run of (generalised) UTF-8 as
// append_utf8 and the JSON decoder write it.
struct Utf8Shape {
    std::size_t size = 0;
    char32_t maxchar = 0x7F;
};
Utf8Shape utf8_shape(std::string_view s) noexcept;

// Writes the code points of `s` as units of C; `out` must have room for
// utf8_shape(s).size units.  A malformed sequence (never written by this
// library) comes out one unit per byte.
template <class C>
void decode_utf8(std::string_view s, C* out) noexcept;

extern template void decode_utf8<U1>(std::string_view, U1*) noexcept;
extern template void decode_utf8<U2>(std::string_view, U2*) noexcept;
extern template void decode_utf8<U4>(std::string_view, U4*) noexcept;

// Decimal form of an integer, with a leading '-' when negative.
void append_int(std::pmr::string& out, long long value);

}  // namespace kl
