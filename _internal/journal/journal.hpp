// Journal synthesis: the prompts that turn a set of memories (oldest first)
// into one narrative journal entry.  The reply is cleaned by
// kl::clean_text_reply.
#pragma once

#include <string_view>

#include "kl/template.hpp"

namespace kl::journal {

// The system prompt, sent as it stands.
extern const Template kSystem;
// The user message: {count} and {formatted_memories}, as its UTF-8 source
// (published as it is) and as a template.
extern const std::string_view kUserSource;
extern const Template kUser;
// One memory line: {n}, {event_type}, {salience}, {created_at}, {content}.
extern const Template kLine;

}  // namespace kl::journal
