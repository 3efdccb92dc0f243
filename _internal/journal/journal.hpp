// Journal synthesis: the prompt that turns a set of memories (oldest first)
// into one narrative journal entry, and the cleaning of the LLM's reply.
#pragma once

#include <nanobind/nanobind.h>

#include "kl/text.hpp"

namespace kl::journal {

namespace nb = nanobind;

// The system prompt, sent as it stands.
extern const TextView kSystem;
// The user message, with the placeholders {count} and {formatted_memories}.
extern const TextView kUser;

// The rendered user message for `memories`, a list already checked by
// kl::py::memory_list_param.  The order given is kept (the caller sorts by
// creation time); nothing is shortened.
nb::str render_user(nb::handle memories);

// The journal text of a raw reply: trimmed, one pair of ``` fences and then
// one pair of double quotes removed.
TextView parse_output(TextView reply) noexcept;

}  // namespace kl::journal
