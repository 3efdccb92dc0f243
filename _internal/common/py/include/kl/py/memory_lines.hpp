// The reflection prompts of consolidation and journal: a user message
// holding {count} and {formatted_memories}, the memory block made of one
// numbered line per memory record, joined by single line feeds:
//
//   [n] (<event_type>, <created_at>): <content>
//   [n] (<event_type>, salience=<salience>, <created_at>): <content>
//
// A memory is a mapping as the host's storage returns it.  Map content is
// written as JSON (kl/py/json_encode.hpp), any other value in its plain text
// form; nothing is shortened, escaped or trimmed.
#pragma once

#include <Python.h>

#include <cstddef>

#include "kl/template.hpp"

namespace kl::py {

// What a module keeps for these prompts: state slots [first, first +
// kMemorySlotCount) of its module state, filled by init_memory_slots() from
// its exec function.
inline constexpr std::size_t kMemorySlotCount = 7;
bool init_memory_slots(PyObject* module, std::size_t first) noexcept;

// Placeholder indexes: the user template is made with the slot names
// {"count", "formatted_memories"}, the line template with
// {"n", "event_type", "created_at", "content", "salience"}.
enum UserSlot : int { kCount, kFormattedMemories };
enum LineSlot : int { kLineN, kLineEventType, kLineCreatedAt, kLineContent, kLineSalience };

struct ReflectionPrompt {
    const char* func;       // names the builder in argument errors
    const Template& user;
    const Template& line;
    bool with_salience;     // the line reads `salience` ("N/A" when absent)
};

// build_<step>_prompt(memories): (system, [{"role": "user", "content": ...}]).
//
// `memories` must be a list and every element a mapping (a dict, a subclass,
// or any registered collections.abc.Mapping); all are checked before any
// work, on a private copy of the list, so code run while rendering (a
// value's __str__) cannot change what is walked.  Keys are read memory by
// memory in the order content, event_type, (salience), created_at, each
// value turned into its text right after it is read; a missing required key
// raises the mapping's KeyError.  New reference, or nullptr with an error.
PyObject* build_reflection_prompt(PyObject* module, std::size_t first, const ReflectionPrompt& p,
                                  PyObject* system, PyObject* memories);

// The reply of a reflection step cleaned as prose (trim, one fence pair, one
// pair of enclosing quotes), cut from the reply itself.  `func` names the
// caller in the TypeError for a response that is not a str.
PyObject* parse_reflection_output(const char* func, PyObject* response) noexcept;

}  // namespace kl::py
