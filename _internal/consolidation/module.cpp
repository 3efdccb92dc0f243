// Binding of the consolidation step of the reflection cycle.
#include <Python.h>

#include "consolidation/consolidation.hpp"
#include "kl/py/function.hpp"
#include "kl/py/memory_lines.hpp"
#include "kl/py/module.hpp"
#include "kl/py/prompt_text.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"

namespace {

using kl::py::Ref;
namespace cons = kl::consolidation;

// Module state: the system prompt every pair carries, what the memory lines
// need (kl/py/memory_lines.hpp), and the declared logger.
enum Slot : std::size_t {
    kSystem,
    kMemory0,
    kLogger = kMemory0 + kl::py::kMemorySlotCount,
    kSlotCount
};

constexpr kl::py::ReflectionPrompt kPrompt{"build_consolidation_prompt", cons::kUser, cons::kLine,
                                           /*with_salience=*/false};

PyObject* build_consolidation_prompt(PyObject* m, PyObject* const* args) {
    return kl::py::build_reflection_prompt(m, kMemory0, kPrompt, kl::py::slot(m, kSystem),
                                           args[0]);
}

PyObject* parse_consolidation_output(PyObject*, PyObject* const* args) {
    return kl::py::parse_reflection_output("parse_consolidation_output", args[0]);
}

constexpr const char* kBuildDoc =
    "build_consolidation_prompt(memories)\n--\n\n"
    "Render the consolidation prompt pair for ``memories``.\n\n"
    "Each memory is a mapping with the keys ``content`` (text, or a dict written as "
    "JSON), ``event_type`` and ``created_at``; other keys are ignored.  Every memory is "
    "rendered, in the order given, as ``[n] (event_type, created_at): content``.\n\n"
    "Returns ``(system_prompt, [{'role': 'user', 'content': user_message}])``.\n\n"
    "Raises TypeError if ``memories`` is not a list of mappings, KeyError for the first "
    "missing key (content, event_type, created_at, memory by memory), TypeError or "
    "ValueError if map content cannot be encoded (a key of an unsupported kind, a "
    "container that contains itself).";

constexpr const char* kParseDoc =
    "parse_consolidation_output(response)\n--\n\n"
    "Clean the LLM's reply into the insight text.\n\n"
    "Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept "
    "as text), then one pair of enclosing double quotes.  Never fails on text; the "
    "result may be empty.  Raises TypeError if ``response`` is not a str.";

constexpr kl::py::Function kFunctions[] = {
    {"build_consolidation_prompt", {"memories"}, 1, kBuildDoc, &build_consolidation_prompt},
    {"parse_consolidation_output", {"response"}, 1, kParseDoc, &parse_consolidation_output},
};

int exec(PyObject* m) {
    if (!cons::kSystem.valid() || !cons::kUser.valid() || !cons::kLine.valid()) {
        PyErr_SetString(PyExc_SystemError, "consolidation: malformed prompt template");
        return -1;
    }
    if (!kl::py::keep(m, kSystem, kl::py::fixed_str(cons::kSystem)) ||
        !kl::py::init_memory_slots(m, kMemory0) ||
        // Declared for the host's logging configuration; this module writes no records.
        !kl::py::keep(m, kLogger, kl::py::get_logger("kelvane_layer._internal.consolidation")))
        return -1;

    // The published constants are copies of the balanced profile's fields.
    Ref type = Ref::steal(kl::py::import_attr("kelvane_layer._internal.tuning_profile",
                                              "TuningProfile"));
    if (!type) return -1;
    Ref profile = Ref::steal(PyObject_CallNoArgs(type.get()));
    if (!profile) return -1;
    PyObject* p = profile.get();
    bool ok =
        kl::py::add(m, "_CONSOLIDATION_SYSTEM", Py_NewRef(kl::py::slot(m, kSystem))) &&
        kl::py::add(m, "_CONSOLIDATION_USER", kl::py::source_str(cons::kUserSource)) &&
        kl::py::add(m, "MAX_CONSOLIDATION_INPUTS",
                    PyObject_GetAttrString(p, "consolidation_max_inputs")) &&
        kl::py::add(m, "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
                    PyObject_GetAttrString(p, "consolidation_min_salience")) &&
        kl::py::add(m, "TIER2_DEDUP_THRESHOLD", PyObject_GetAttrString(p, "tier2_dedup_threshold")) &&
        kl::py::add(m, "_PROFILE", profile.release()) &&
        kl::py::set_all(m, {"build_consolidation_prompt", "parse_consolidation_output",
                            "MAX_CONSOLIDATION_INPUTS", "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
                            "TIER2_DEDUP_THRESHOLD"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Memory consolidation: the LLM prompt that distils a batch of memories into one "
    "non-obvious insight, its reply parser, and the consolidation tuning constants of the "
    "balanced profile.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.consolidation", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_consolidation() { return PyModuleDef_Init(&kModule); }
