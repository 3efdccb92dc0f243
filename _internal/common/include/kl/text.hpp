// Text as the compute core sees it: a sequence of Unicode code points.
//
// Every length, position and slice in the system counts code points, and a
// host text may hold lone surrogates, so text is kept as UTF-32 rather than
// UTF-8: indexing is direct and no text can fail to convert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kl {

using Text = std::u32string;
using TextView = std::u32string_view;

// The 29 whitespace code points of the system (the same set the host's
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

// Removes runs of whitespace at both ends.
TextView trim(TextView s) noexcept;

// Cuts at every run of whitespace and drops empty pieces.
std::vector<TextView> split_ws(TextView s);

// Appends the pieces of split_ws(s) joined by single spaces (U+0020): line
// breaks and runs of whitespace become one space, the ends vanish.
void append_collapsed(Text& out, TextView s);

inline bool starts_with(TextView s, TextView prefix) noexcept {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}
inline bool ends_with(TextView s, TextView suffix) noexcept {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// ASCII helpers for the fixed parts of prompts and messages.
void append_ascii(Text& out, std::string_view ascii);
Text from_ascii(std::string_view ascii);

// Decimal form of an integer, with a leading '-' when negative.
void append_int(Text& out, long long value);

// Encodes as UTF-8; a lone surrogate is written as its three-byte form (the
// way the host's "surrogatepass" handler writes it), so nothing is lost.
std::string to_utf8(TextView s);

}  // namespace kl
