#include "kl/text.hpp"

#include <charconv>
#include <cstring>

namespace kl {

char32_t max_char_class(const AnyText& t) noexcept {
    if (t.ascii) return 0x7F;
    if (t.maxchar) return t.maxchar;
    return t.visit([](auto v) { return max_char_class(v); });
}

bool same_text_slow(const AnyText& a, const AnyText& b) noexcept {
    // Equal sizes, different widths: compared code point by code point.
    return a.visit([&](auto x) {
        return b.visit([&](auto y) {
            for (std::size_t i = 0; i < x.size(); ++i)
                if (static_cast<char32_t>(x[i]) != static_cast<char32_t>(y[i])) return false;
            return true;
        });
    });
}

int compare_text_slow(const AnyText& a, const AnyText& b) noexcept {
    return a.visit([&](auto x) {
        return b.visit([&](auto y) {
            std::size_t n = x.size() < y.size() ? x.size() : y.size();
            for (std::size_t i = 0; i < n; ++i) {
                auto cx = static_cast<char32_t>(x[i]), cy = static_cast<char32_t>(y[i]);
                if (cx != cy) return cx < cy ? -1 : 1;
            }
            return x.size() == y.size() ? 0 : x.size() < y.size() ? -1 : 1;
        });
    });
}

bool equals_ascii(const AnyText& t, std::string_view a) noexcept {
    if (t.size != a.size()) return false;
    return t.visit([&](auto v) {
        for (std::size_t i = 0; i < a.size(); ++i)
            if (static_cast<char32_t>(v[i]) != static_cast<unsigned char>(a[i])) return false;
        return true;
    });
}

namespace {

void put_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

void append_utf8(std::string& out, const AnyText& t) {
    if (t.ascii) {
        out.append(t.ascii_view());
        return;
    }
    t.visit([&](auto v) {
        out.reserve(out.size() + v.size() * (sizeof(v[0]) == 1 ? 2 : 3));
        for (auto c : v) put_utf8(out, static_cast<char32_t>(c));
    });
}

namespace {

// Length of the sequence that lead byte `b` opens, or 0 for a byte that
// cannot open one.
inline unsigned seq_len(unsigned char b) noexcept {
    if (b < 0x80) return 1;
    if (b >= 0xF0 && b < 0xF8) return 4;
    if (b >= 0xE0) return b < 0xF0 ? 3 : 0;
    if (b >= 0xC0) return 2;
    return 0;
}

// Decodes the sequence at s[i] (valid length n, checked by the caller).
inline char32_t seq_value(const unsigned char* p, unsigned n) noexcept {
    switch (n) {
        case 1: return p[0];
        case 2: return (char32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
        case 3: return (char32_t(p[0] & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        default:
            return (char32_t(p[0] & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                   (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    }
}

inline bool well_formed(const unsigned char* p, std::size_t left, unsigned n) noexcept {
    if (n == 0 || n > left) return false;
    for (unsigned k = 1; k < n; ++k)
        if ((p[k] & 0xC0) != 0x80) return false;
    return true;
}

}  // namespace

Utf8Shape utf8_shape(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0, count = 0;
    char32_t bits = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            ++count;
            continue;
        }
        unsigned len = seq_len(b);
        char32_t c;
        if (well_formed(p + i, n - i, len)) {
            c = seq_value(p + i, len);
            i += len;
        } else {
            c = b;
            ++i;
        }
        bits |= c;
        ++count;
    }
    Utf8Shape shape;
    shape.size = count;
    shape.maxchar = bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
    return shape;
}

template <class C>
void decode_utf8(std::string_view s, C* out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            *out++ = static_cast<C>(b);
            ++i;
            continue;
        }
        unsigned len = seq_len(b);
        if (well_formed(p + i, n - i, len)) {
            *out++ = static_cast<C>(seq_value(p + i, len));
            i += len;
        } else {
            *out++ = static_cast<C>(b);
            ++i;
        }
    }
}

template void decode_utf8<U1>(std::string_view, U1*) noexcept;
template void decode_utf8<U2>(std::string_view, U2*) noexcept;
template void decode_utf8<U4>(std::string_view, U4*) noexcept;

void append_int(std::pmr::string& out, long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

}  // namespace kl
