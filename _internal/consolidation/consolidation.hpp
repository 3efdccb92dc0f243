// Memory consolidation: the prompts that distil a batch of memories into one
// non-obvious insight.  The reply is cleaned by kl::clean_text_reply.
#pragma once

#include <string_view>

#include "kl/template.hpp"

namespace kl::consolidation {

// The system prompt, sent as it stands.
extern const Template kSystem;
// The user message: {count} and {formatted_memories}, as its UTF-8 source
// (published as it is) and as a template.
extern const std::string_view kUserSource;
extern const Template kUser;
// One memory line: {n}, {event_type}, {created_at}, {content}.
extern const Template kLine;

}  // namespace kl::consolidation
