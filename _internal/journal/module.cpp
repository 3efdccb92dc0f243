#include <nanobind/nanobind.h>

#include "journal/journal.hpp"
#include "kl/memory_lines.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace nb = nanobind;

namespace {

constexpr const char* kBuild = "build_journal_prompt";
constexpr const char* kParse = "parse_journal_output";

// The system prompt as a str, made once at load.
PyObject* g_system = nullptr;

nb::tuple build_py(nb::handle memories) {
    nb::list list = kl::py::memory_list_param(kBuild, memories);
    nb::str content = kl::journal::render_user(list);
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
    kl::TextView kept = kl::journal::parse_output(text);
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

NB_MODULE(journal, m) {
    m.doc() =
        "Journal synthesis: the LLM prompt that turns memories (oldest first) into one "
        "narrative journal entry, and its reply parser.";

    kl::py::init_memory_lines();
    // Declared for the host's logging configuration; this module writes no records.
    static const kl::py::Logger logger("kelvane_layer._internal.journal");
    (void)logger;

    g_system = kl::py::make_str(kl::journal::kSystem).release().ptr();
    m.attr("_JOURNAL_SYSTEM") = nb::handle(g_system);
    m.attr("_JOURNAL_USER") = kl::py::make_str(kl::journal::kUser);

    kl::py::add_function(
        m, "build_journal_prompt", &build_fast,
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
        "TypeError or ValueError if map content cannot be encoded.");
    kl::py::add_function(
        m, "parse_journal_output", &parse_fast,
        "parse_journal_output(response)\n--\n\n"
        "Clean the LLM's reply into the journal text.\n\n"
        "Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept "
        "as text), then one pair of enclosing double quotes.  Never fails on text; the "
        "result may be empty.");

    nb::list all;
    for (const char* name : {"build_journal_prompt", "parse_journal_output"}) all.append(name);
    m.attr("__all__") = all;
}
