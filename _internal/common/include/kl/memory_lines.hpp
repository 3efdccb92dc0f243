// The numbered memory lines that the reflection prompts (consolidation,
// journal) show to the LLM:
//
//   [n] (<event_type>, <created_at>): <content>
//   [n] (<event_type>, salience=<salience>, <created_at>): <content>
//
// A memory is a mapping as the host's storage returns it.  Map content is
// written as JSON (kl/json_encode.hpp), any other content in its plain text
// form; nothing is shortened, escaped or trimmed.
#pragma once

#include <nanobind/nanobind.h>

#include "kl/strbuild.hpp"
#include "kl/text.hpp"

namespace kl::py {

namespace nb = nanobind;

// Looks up what the helpers below need (the Mapping ABC, the key strings).
// Call once from the init function of every module that uses them.
void init_memory_lines();

// Checks the argument kinds before any work: `memories` must be a list and
// every element a mapping (a dict, a dict subclass, or any registered
// collections.abc.Mapping).  Returns a private copy of the list, so that
// code run while rendering (a value's __str__) cannot change what is walked.
nb::list memory_list_param(const char* func, nb::handle memories);

// Renders the lines of `memories` (as returned by memory_list_param), joined
// by single line feeds with none after the last.  Keys are read memory by
// memory in the order content, event_type, (salience), created_at; a missing
// required key raises the mapping's KeyError, and an absent salience shows
// as "N/A".
void append_memory_block(StrBuilder& out, nb::handle memories, bool with_salience);

// A user-message template holding exactly the placeholders {count} and then
// {formatted_memories}, and no other brace.  The template is cut at them
// once; rendering writes the fixed parts around the memory count and the
// memory block in one pass, so nothing inserted is ever read as a
// placeholder.
class MemoryPrompt {
public:
    // Throws std::logic_error for a template of any other shape (a
    // programming error, caught when the module loads).
    MemoryPrompt(TextView source, bool with_salience);
    nb::str render(nb::handle memories) const;

private:
    Text head_, middle_, tail_;
    bool with_salience_;
};

}  // namespace kl::py
