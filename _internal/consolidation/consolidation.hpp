// Memory consolidation: the prompt that distils a batch of memories into one
// non-obvious insight, and the cleaning of the LLM's reply.
#pragma once

#include <nanobind/nanobind.h>

#include "kl/text.hpp"

namespace kl::consolidation {

namespace nb = nanobind;

// The system prompt, sent as it stands.
extern const TextView kSystem;
// The user message, with the placeholders {count} and {formatted_memories}.
extern const TextView kUser;

// The rendered user message for `memories`, a list already checked by
// kl::py::memory_list_param.  Every memory is rendered, in the order given;
// no limit, filter or sort is applied here (that is the caller's step).
nb::str render_user(nb::handle memories);

// The insight text of a raw reply: trimmed, one pair of ``` fences and then
// one pair of double quotes removed.
TextView parse_output(TextView reply) noexcept;

}  // namespace kl::consolidation
