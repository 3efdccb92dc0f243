// Binding of the journal step of the reflection cycle.
#include <Python.h>

#include "journal/journal.hpp"
#include "kl/py/function.hpp"
#include "kl/py/memory_lines.hpp"
#include "kl/py/module.hpp"
#include "kl/py/prompt_text.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"

namespace {

namespace jour = kl::journal;

// Module state: the system prompt every pair carries, what the memory lines
// need (kl/py/memory_lines.hpp), and the declared logger.
enum Slot : std::size_t {
    kSystem,
    kMemory0,
    kLogger = kMemory0 + kl::py::kMemorySlotCount,
    kSlotCount
};

constexpr kl::py::ReflectionPrompt kPrompt{"build_journal_prompt", jour::kUser, jour::kLine,
                                           /*with_salience=*/true};

PyObject* build_journal_prompt(PyObject* m, PyObject* const* args) {
    return kl::py::build_reflection_prompt(m, kMemory0, kPrompt, kl::py::slot(m, kSystem),
                                           args[0]);
}

PyObject* parse_journal_output(PyObject*, PyObject* const* args) {
    return kl::py::parse_reflection_output("parse_journal_output", args[0]);
}

constexpr const char* kBuildDoc =
    "build_journal_prompt(memories)\n--\n\n"
    "Render the journal prompt pair for ``memories``, passed oldest first.\n\n"
    "Each memory is a mapping with the keys ``content`` (text, or a dict written as "
    "JSON), ``event_type``, optionally ``salience`` (\"N/A\" when absent) and "
    "``created_at``; other keys are ignored.  Every memory is rendered, in the order "
    "given, as ``[n] (event_type, salience=..., created_at): content``; nothing is "
    "shortened.\n\n"
    "Returns ``(system_prompt, [{'role': 'user', 'content': user_message}])``.\n\n"
    "Raises TypeError if ``memories`` is not a list of mappings, KeyError for the first "
    "missing required key (content, event_type, created_at, memory by memory), "
    "TypeError or ValueError if map content cannot be encoded.";

constexpr const char* kParseDoc =
    "parse_journal_output(response)\n--\n\n"
    "Clean the LLM's reply into the journal text.\n\n"
    "Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept "
    "as text), then one pair of enclosing double quotes.  Never fails on text; the "
    "result may be empty.  Raises TypeError if ``response`` is not a str.";

constexpr kl::py::Function kFunctions[] = {
    {"build_journal_prompt", {"memories"}, 1, kBuildDoc, &build_journal_prompt},
    {"parse_journal_output", {"response"}, 1, kParseDoc, &parse_journal_output},
};

int exec(PyObject* m) {
    if (!jour::kSystem.valid() || !jour::kUser.valid() || !jour::kLine.valid()) {
        PyErr_SetString(PyExc_SystemError, "journal: malformed prompt template");
        return -1;
    }
    bool ok =
        kl::py::keep(m, kSystem, kl::py::fixed_str(jour::kSystem)) &&
        kl::py::init_memory_slots(m, kMemory0) &&
        // Declared for the host's logging configuration; this module writes no records.
        kl::py::keep(m, kLogger, kl::py::get_logger("kelvane_layer._internal.journal")) &&
        kl::py::add(m, "_JOURNAL_SYSTEM", Py_NewRef(kl::py::slot(m, kSystem))) &&
        kl::py::add(m, "_JOURNAL_USER", kl::py::source_str(jour::kUserSource)) &&
        kl::py::set_all(m, {"build_journal_prompt", "parse_journal_output"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Journal synthesis: the LLM prompt that turns memories (oldest first) into one "
    "narrative journal entry, and its reply parser.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.journal", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_journal() { return PyModuleDef_Init(&kModule); }
