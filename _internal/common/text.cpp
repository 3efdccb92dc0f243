#include "kl/text.hpp"

#include <charconv>

namespace kl {

TextView trim(TextView s) noexcept {
    std::size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::vector<TextView> split_ws(TextView s) {
    std::vector<TextView> pieces;
    std::size_t i = 0, n = s.size();
    while (i < n) {
        while (i < n && is_space(s[i])) ++i;
        std::size_t start = i;
        while (i < n && !is_space(s[i])) ++i;
        if (i > start) pieces.push_back(s.substr(start, i - start));
    }
    return pieces;
}

void append_collapsed(Text& out, TextView s) {
    // The result is never longer than s, so one reservation covers it.
    // Words already joined by a single U+0020 go in together: ordinary prose
    // is copied in a few long runs rather than word by word.
    out.reserve(out.size() + s.size());
    const char32_t* p = s.data();
    const char32_t* const end = p + s.size();
    while (p != end && is_space(*p)) ++p;
    bool first = true;
    while (p != end) {
        const char32_t* run = p;
        for (;;) {
            while (p != end && !is_space(*p)) ++p;
            // p is at the end or at whitespace; a lone space between two
            // words stays inside the run.
            if (end - p > 1 && *p == U' ' && !is_space(p[1])) {
                ++p;
                continue;
            }
            break;
        }
        if (!first) out.push_back(U' ');
        out.append(run, static_cast<std::size_t>(p - run));
        first = false;
        while (p != end && is_space(*p)) ++p;
    }
}

void append_ascii(Text& out, std::string_view ascii) {
    std::size_t old = out.size();
    out.resize(old + ascii.size());
    for (std::size_t i = 0; i < ascii.size(); ++i)
        out[old + i] = static_cast<unsigned char>(ascii[i]);
}

Text from_ascii(std::string_view ascii) {
    Text t;
    append_ascii(t, ascii);
    return t;
}

void append_int(Text& out, long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    append_ascii(out, std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

std::string to_utf8(TextView s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t c : s) {
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
    return out;
}

}  // namespace kl
