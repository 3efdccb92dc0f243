#include <nanobind/nanobind.h>

#include "consolidation/consolidation.hpp"
#include "kl/memory_lines.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace nb = nanobind;

namespace {

constexpr const char* kBuild = "build_consolidation_prompt";
constexpr const char* kParse = "parse_consolidation_output";

// The system prompt as a str, made once at load.
PyObject* g_system = nullptr;

nb::tuple build_py(nb::handle memories) {
    nb::list list = kl::py::memory_list_param(kBuild, memories);
    nb::str content = kl::consolidation::render_user(list);
    nb::dict message;
    message["role"] = "user";
    message["content"] = content;
    nb::list messages;
    messages.append(message);
    return nb::make_tuple(nb::handle(g_system), messages);
}

nb::str parse_py(nb::handle response) {
    if (!PyUnicode_Check(response.ptr())) kl::py::raise_arg_type(kParse, "response", "str", response);
    kl::Text text = kl::py::text_of(response);
    kl::TextView kept = kl::consolidation::parse_output(text);
    if (kept.empty()) return nb::str("");
    // The cleaned text is a slice of the reply: cut it from the reply itself.
    auto start = static_cast<Py_ssize_t>(kept.data() - text.data());
    PyObject* s = PyUnicode_Substring(response.ptr(), start,
                                      start + static_cast<Py_ssize_t>(kept.size()));
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

PyObject* build_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static const char* const names[] = {"memories"};
        PyObject* a[1];
        kl::py::bind_args(kBuild, names, 1, args, nargs, kwnames, a);
        return nb::object(build_py(a[0]));
    });
}

PyObject* parse_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static const char* const names[] = {"response"};
        PyObject* a[1];
        kl::py::bind_args(kParse, names, 1, args, nargs, kwnames, a);
        return nb::object(parse_py(a[0]));
    });
}

}  // namespace

NB_MODULE(consolidation, m) {
    m.doc() =
        "Memory consolidation: the LLM prompt that distils a batch of memories into one "
        "non-obvious insight, its reply parser, and the consolidation tuning constants of the "
        "balanced profile.";

    kl::py::init_memory_lines();
    // Declared for the host's logging configuration; this module writes no records.
    static const kl::py::Logger logger("kelvane_layer._internal.consolidation");
    (void)logger;

    g_system = kl::py::make_str(kl::consolidation::kSystem).release().ptr();
    m.attr("_CONSOLIDATION_SYSTEM") = nb::handle(g_system);
    m.attr("_CONSOLIDATION_USER") = kl::py::make_str(kl::consolidation::kUser);

    nb::object profile_mod = nb::module_::import_("kelvane_layer._internal.tuning_profile");
    nb::object profile = profile_mod.attr("TuningProfile")();
    m.attr("_PROFILE") = profile;
    m.attr("MAX_CONSOLIDATION_INPUTS") = profile.attr("consolidation_max_inputs");
    m.attr("DEFAULT_CONSOLIDATION_MIN_SALIENCE") = profile.attr("consolidation_min_salience");
    m.attr("TIER2_DEDUP_THRESHOLD") = profile.attr("tier2_dedup_threshold");

    kl::py::add_function(
        m, "build_consolidation_prompt", &build_fast,
        "build_consolidation_prompt(memories)\n--\n\n"
        "Render the consolidation prompt pair for ``memories``.\n\n"
        "Each memory is a mapping with the keys ``content`` (text, or a dict written as "
        "JSON), ``event_type`` and ``created_at``; other keys are ignored.  Every memory is "
        "rendered, in the order given, as ``[n] (event_type, created_at): content``.\n\n"
        "Returns ``(system_prompt, [{'role': 'user', 'content': user_message}])``.\n\n"
        "Raises TypeError if ``memories`` is not a list of mappings, KeyError for the first "
        "missing key (content, event_type, created_at, memory by memory), TypeError or "
        "ValueError if map content cannot be encoded (a key of an unsupported kind, a "
        "container that contains itself).");
    kl::py::add_function(
        m, "parse_consolidation_output", &parse_fast,
        "parse_consolidation_output(response)\n--\n\n"
        "Clean the LLM's reply into the insight text.\n\n"
        "Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept "
        "as text), then one pair of enclosing double quotes.  Never fails on text; the "
        "result may be empty.");

    nb::list all;
    for (const char* name : {"build_consolidation_prompt", "parse_consolidation_output",
                             "MAX_CONSOLIDATION_INPUTS", "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
                             "TIER2_DEDUP_THRESHOLD"})
        all.append(name);
    m.attr("__all__") = all;
}
