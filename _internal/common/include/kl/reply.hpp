// Cleaning of raw LLM replies before they are read.
#pragma once

#include "kl/text.hpp"

namespace kl {

// For replies that should hold JSON: trim; if the text both begins and ends
// with a ``` fence, drop both fences (six or fewer characters leave nothing)
// and trim again; then, only in that case, drop a leading lower-case "json"
// tag and trim again.  Returns a view into `reply`.
TextView clean_json_reply(TextView reply) noexcept;

// For replies that should hold plain prose: trim; drop one pair of ``` fences
// as above (a language tag is not recognised); then drop one pair of
// enclosing double quotes (two or fewer characters leave nothing) and trim.
TextView clean_text_reply(TextView reply) noexcept;

// The first `limit` code points of `reply` (all of it when shorter).
inline TextView preview(TextView reply, std::size_t limit = 200) noexcept {
    return reply.substr(0, limit);
}

}  // namespace kl
