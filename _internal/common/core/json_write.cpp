#include "kl/json_write.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kl {

// Literals are appended as string_views, their length known where the call
// is compiled: libc++ keeps append(const char*) out of line, and there
// strlen measured the literal again on every call.
using namespace std::string_view_literals;
namespace {

constexpr char kHex[] = "0123456789abcdef";

void put_u_escape(std::pmr::string& out, char32_t unit) {
    char e[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF],
                 kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
    out.append(e, 6);
}

// Printable ASCII other than the quote and the backslash: copied as it is.
constexpr bool is_plain(char32_t c) noexcept {
    return c >= 0x20 && c <= 0x7E && c != U'"' && c != U'\\';
}

void put_escaped(std::pmr::string& out, char32_t c) {
    switch (c) {
        case U'"': out.append("\\\""sv); return;
        case U'\\': out.append("\\\\"sv); return;
        case U'\n': out.append("\\n"sv); return;
        case U'\r': out.append("\\r"sv); return;
        case U'\t': out.append("\\t"sv); return;
        case U'\b': out.append("\\b"sv); return;
        case U'\f': out.append("\\f"sv); return;
        default: break;
    }
    if (c >= 0x10000) {
        char32_t v = c - 0x10000;
        put_u_escape(out, 0xD800 | (v >> 10));
        put_u_escape(out, 0xDC00 | (v & 0x3FF));
    } else {
        put_u_escape(out, c);
    }
}

// The end of the run of plain characters that starts at i.
template <class C>
std::size_t plain_run(const C* p, std::size_t i, std::size_t n) noexcept {
    if constexpr (sizeof(C) == 1) {
        // Eight units at a time: none below U+0020, none at U+007F or above,
        // no quote and no backslash.
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
        while (i + 8 <= n) {
            std::uint64_t x;
            std::memcpy(&x, p + i, 8);
            std::uint64_t bad = ((x - ones * 0x20) & ~x & highs) | (x & highs) |
                                has_zero(x ^ (ones * 0x7F)) | has_zero(x ^ (ones * '"')) |
                                has_zero(x ^ (ones * '\\'));
            if (bad) break;
            i += 8;
        }
    }
    while (i < n && is_plain(static_cast<char32_t>(p[i]))) ++i;
    return i;
}

template <class C>
void put_string(std::pmr::string& out, View<C> s) {
    out.push_back('"');
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = plain_run(s.data(), i, n);
        if (run > i) {  // a run of plain characters in one step
            if constexpr (sizeof(C) == 1) {
                out.append(reinterpret_cast<const char*>(s.data() + i), run - i);
            } else {
                std::size_t old = out.size();
                out.resize(old + (run - i));
                char* dst = out.data() + old;
                for (std::size_t k = i; k < run; ++k) *dst++ = static_cast<char>(s[k]);
            }
            i = run;
        }
        if (i < n) put_escaped(out, static_cast<char32_t>(s[i++]));
    }
    out.push_back('"');
}

// Units an escaped code point takes (plain ones excluded).
constexpr std::size_t escaped_size(char32_t c) noexcept {
    switch (c) {
        case U'"': case U'\\': case U'\n': case U'\r': case U'\t': case U'\b': case U'\f':
            return 2;
        default: return c >= 0x10000 ? 12 : 6;
    }
}

template <class C>
std::size_t string_size(View<C> s) noexcept {
    const std::size_t len = s.size();
    std::size_t n = len + 2;
    // Plain runs are skipped as put_string finds them, eight one-byte units
    // at a time: most text has nothing to escape.
    for (std::size_t i = plain_run(s.data(), 0, len); i < len; i = plain_run(s.data(), i + 1, len))
        n += escaped_size(static_cast<char32_t>(s[i])) - 1;
    return n;
}

template <class D>
D* put_ascii(D* out, const char* s, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<D>(static_cast<unsigned char>(s[i]));
    return out + n;
}

template <class D>
D* put_u_escape_at(D* out, char32_t unit) noexcept {
    const char e[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF],
                       kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
    return put_ascii(out, e, 6);
}

template <class C, class D>
void write_string(View<C> s, D* out) noexcept {
    *out++ = static_cast<D>('"');
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        // A plain run in one step, found as string_size found it.
        const std::size_t run = plain_run(s.data(), i, n);
        if constexpr (sizeof(C) == sizeof(D)) {
            if (run > i) std::memcpy(out, s.data() + i, (run - i) * sizeof(D));
            out += run - i;
        } else {
            for (std::size_t k = i; k < run; ++k) *out++ = static_cast<D>(s[k]);
        }
        if (run == n) break;
        auto c = static_cast<char32_t>(s[run]);
        i = run + 1;
        switch (c) {
            case U'"': out = put_ascii(out, "\\\"", 2); continue;
            case U'\\': out = put_ascii(out, "\\\\", 2); continue;
            case U'\n': out = put_ascii(out, "\\n", 2); continue;
            case U'\r': out = put_ascii(out, "\\r", 2); continue;
            case U'\t': out = put_ascii(out, "\\t", 2); continue;
            case U'\b': out = put_ascii(out, "\\b", 2); continue;
            case U'\f': out = put_ascii(out, "\\f", 2); continue;
            default: break;
        }
        if (c >= 0x10000) {
            char32_t v = c - 0x10000;
            out = put_u_escape_at(out, 0xD800 | (v >> 10));
            out = put_u_escape_at(out, 0xDC00 | (v & 0x3FF));
        } else {
            out = put_u_escape_at(out, c);
        }
    }
    *out = static_cast<D>('"');
}

}  // namespace

std::size_t json_string_size(const AnyText& s) noexcept {
    return s.visit([](auto v) { return string_size(v); });
}

void write_json_string(const AnyText& s, void* dst, unsigned dst_width) noexcept {
    s.visit([&](auto v) {
        switch (dst_width) {
            case 1: write_string(v, static_cast<U1*>(dst)); break;
            case 2: write_string(v, static_cast<U2*>(dst)); break;
            default: write_string(v, static_cast<U4*>(dst)); break;
        }
    });
}

void append_json_string(std::pmr::string& out, const AnyText& s) {
    s.visit([&](auto v) { put_string(out, v); });
}

void append_json_float(std::pmr::string& out, double d) {
    if (std::isnan(d)) {
        out.append("NaN"sv);
        return;
    }
    if (std::isinf(d)) {
        out.append(d > 0 ? "Infinity"sv : "-Infinity"sv);
        return;
    }
    // The shortest round-trip digits (the same digits the host's repr picks),
    // laid out as the host lays them out.
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    const char* e_mark = std::find(p, static_cast<const char*>(res.ptr), 'e');
    int exp10 = 0;
    std::from_chars(e_mark + (e_mark[1] == '+' ? 2 : 1), res.ptr, exp10);
    if (exp10 < -4 || exp10 >= 16) {
        out.append(p, static_cast<std::size_t>(res.ptr - p));  // already "1e-05", "1.5e+16"
        return;
    }
    char digits[20];
    std::size_t n = 0;
    for (const char* q = p; q != e_mark; ++q)
        if (*q != '.') digits[n++] = *q;
    if (exp10 < 0) {
        out.append("0."sv);
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out.append(digits, n);
        return;
    }
    auto int_len = static_cast<std::size_t>(exp10) + 1;
    if (n <= int_len) {
        out.append(digits, n);
        out.append(int_len - n, '0');
        out.append(".0"sv);
    } else {
        out.append(digits, int_len);
        out.push_back('.');
        out.append(digits + int_len, n - int_len);
    }
}

}  // namespace kl
