// Cleaning of raw LLM replies before they are read.
#pragma once

#include "kl/text.hpp"

namespace kl {

// A cut of a reply: code points [begin, begin + size).
struct Span {
    std::size_t begin = 0, size = 0;
};

// For replies that should hold JSON: trim; if the text both begins and ends
// with a ``` fence, drop both fences (six or fewer characters leave nothing)
// and trim again; then, only in that case, drop a leading lower-case "json"
// tag and trim again.
Span clean_json_reply(const AnyText& reply) noexcept;

// For replies that should hold plain prose: trim; drop one pair of ``` fences
// as above (a language tag is not recognised); then drop one pair of
// enclosing double quotes (two or fewer characters leave nothing) and trim.
Span clean_text_reply(const AnyText& reply) noexcept;

}  // namespace kl
