// The scalar pieces of the one JSON layout the prompts show to the LLM:
// quoted strings with every character outside printable ASCII written as a
// lower-case \u escape (a pair of them above U+FFFF), and floats in the
// host's repr layout.  The text written is pure ASCII.
#pragma once

#include <memory_resource>
#include <string>

#include "kl/text.hpp"

namespace kl {

// `s` between double quotes.  The quote, the backslash, \n \r \t \b \f get
// their short escapes; every other code point outside U+0020..U+007E becomes
// \uXXXX (a lone surrogate as its own escape); the slash is not escaped.
void append_json_string(std::pmr::string& out, const AnyText& s);

// The same JSON string measured, then written straight into a destination
// of 1, 2 or 4 bytes a unit (its text is ASCII, so any width holds it):
// json_string_size(s) units, exactly what append_json_string appends.
std::size_t json_string_size(const AnyText& s) noexcept;
void write_json_string(const AnyText& s, void* dst, unsigned dst_width) noexcept;

// A double as the host's repr writes it (shortest round-trip digits,
// positional from 1e-4 up to 1e16 with at least one digit after the point,
// scientific otherwise), and the literals NaN, Infinity and -Infinity.
void append_json_float(std::pmr::string& out, double d);

}  // namespace kl
