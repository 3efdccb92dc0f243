// Python binding of the directive-evolution prompt and reply parser.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <numeric>
#include <utility>

#include "evolution/evolution.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace nb = nanobind;
using kl::Text;
using kl::TextView;
using kl::py::interned;
using kl::py::steal_or_throw;

namespace {

constexpr const char* kLoggerName = "kelvane_layer._internal.evolution";

// Objects kept for the life of the process (never released: module teardown
// order with the interpreter is not worth the risk for a handful of strs).
const kl::py::Logger* g_log = nullptr;
PyObject* g_mapping = nullptr;  // collections.abc.Mapping
PyObject* g_key_id = nullptr;
PyObject* g_key_text = nullptr;
PyObject* g_key_source = nullptr;
PyObject* g_user_message = nullptr;

// record[key] for an insight record: a dict directly, any other mapping
// through its own __getitem__ (so a missing key raises what the mapping
// raises, KeyError for a dict).
nb::object record_item(nb::handle record, PyObject* key) {
    if (PyDict_CheckExact(record.ptr())) {
        PyObject* v = nullptr;
        int found = PyDict_GetItemRef(record.ptr(), key, &v);
        if (found < 0) throw nb::python_error();
        if (found == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
            throw nb::python_error();
        }
        return nb::steal(v);
    }
    return steal_or_throw(PyObject_GetItem(record.ptr(), key));
}

bool is_mapping(nb::handle o) {
    if (PyDict_Check(o.ptr())) return true;
    int r = PyObject_IsInstance(o.ptr(), g_mapping);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object build_evolution_prompt(nb::handle insights, nb::handle directives,
                                  nb::handle max_per_cycle, nb::handle style_guidance) {
    constexpr const char* fn = "build_evolution_prompt";
    if (!PyList_Check(insights.ptr())) kl::py::raise_arg_type(fn, "insights", "list", insights);
    if (!PyList_Check(directives.ptr()))
        kl::py::raise_arg_type(fn, "directives", "list", directives);
    nb::int_ limit = kl::py::int_param(fn, "max_per_cycle", max_per_cycle);
    if (!style_guidance.is_none() && !PyUnicode_Check(style_guidance.ptr()))
        kl::py::raise_arg_type(fn, "style_guidance", "str or None", style_guidance);

    // The lists are re-measured on every step: the host's str() of an odd
    // element may run code that changes them.
    std::vector<Text> ds;
    ds.reserve(static_cast<std::size_t>(PyList_GET_SIZE(directives.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(directives.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(directives.ptr(), i));
        kl::py::append_plain(ds.emplace_back(), item);
    }

    std::vector<kl::evolution::Insight> ins;
    ins.reserve(static_cast<std::size_t>(PyList_GET_SIZE(insights.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(insights.ptr()); ++i) {
        nb::object record = nb::borrow(PyList_GET_ITEM(insights.ptr(), i));
        if (!is_mapping(record)) {
            PyErr_Format(PyExc_TypeError,
                         "%s(): each insight must be a mapping with 'id' and 'text', not %.200s",
                         fn, Py_TYPE(record.ptr())->tp_name);
            throw nb::python_error();
        }
        nb::object id = record_item(record, g_key_id);
        nb::object text = record_item(record, g_key_text);
        auto& rec = ins.emplace_back();
        kl::py::append_plain(rec.id, id);
        kl::py::append_plain(rec.text, text);
    }

    Text limit_text;
    kl::py::append_plain(limit_text, limit);
    std::optional<Text> style;
    if (!style_guidance.is_none()) style = kl::py::text_of(style_guidance);

    Text system = kl::evolution::build_system_prompt(
        ds, ins, limit_text, style ? std::optional<TextView>(*style) : std::nullopt);
    return kl::py::prompt_pair(system, g_user_message);
}

nb::object parse_evolution_output(nb::handle response, nb::handle insight_ids) {
    constexpr const char* fn = "parse_evolution_output";
    if (!PyUnicode_Check(response.ptr())) kl::py::raise_arg_type(fn, "response", "str", response);
    if (!PyAnySet_Check(insight_ids.ptr()))
        kl::py::raise_arg_type(fn, "insight_ids", "set or frozenset", insight_ids);

    // Ids are compared by code points; each keeps its host object so a
    // matching proposal returns the caller's own str.
    // All ids share one buffer (one allocation rather than one per id);
    // views into it are taken once it has stopped growing.
    std::vector<nb::object> id_objs;
    Text id_chars;
    std::vector<std::pair<std::size_t, std::size_t>> id_spans;  // offset, length
    {
        Py_ssize_t hint = PySet_GET_SIZE(insight_ids.ptr());
        id_objs.reserve(static_cast<std::size_t>(hint));
        id_spans.reserve(static_cast<std::size_t>(hint));
        nb::object it = steal_or_throw(PyObject_GetIter(insight_ids.ptr()));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(raw);
            if (!PyUnicode_Check(raw)) {
                PyErr_Format(PyExc_TypeError,
                             "%s() argument 'insight_ids' must hold only str, not %.200s", fn,
                             Py_TYPE(raw)->tp_name);
                throw nb::python_error();
            }
            std::size_t at = id_chars.size();
            kl::py::append_text_of(id_chars, item);
            id_spans.emplace_back(at, id_chars.size() - at);
            id_objs.push_back(std::move(item));
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    std::vector<TextView> id_texts;
    id_texts.reserve(id_spans.size());
    for (auto [at, len] : id_spans) id_texts.emplace_back(id_chars.data() + at, len);
    std::vector<std::size_t> order(id_texts.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return id_texts[a] < id_texts[b]; });
    std::vector<TextView> sorted;
    sorted.reserve(order.size());
    for (std::size_t k : order) sorted.emplace_back(id_texts[k]);

    kl::json::WorkspaceLease ws;
    ws->reply.clear();
    kl::py::append_text_of(ws->reply, response);
    kl::evolution::ParseResult r = kl::evolution::parse_output(*ws, sorted);

    using kl::evolution::Failure;
    switch (r.failure) {
        case Failure::None: break;
        case Failure::Undecodable: {
            nb::object preview = steal_or_throw(PyUnicode_Substring(
                response.ptr(), 0, std::min<Py_ssize_t>(200, PyUnicode_GET_LENGTH(response.ptr()))));
            g_log->warning("evolve_directives: failed to parse LLM response as JSON",
                           "response_preview", preview);
            return nb::list();
        }
        case Failure::NotObject:
            g_log->warning("evolve_directives: LLM response is not a JSON object", "type",
                           nb::str(r.type_name));
            return nb::list();
        case Failure::ProposedNotList:
            g_log->warning("evolve_directives: 'proposed' field is not a list", "type",
                           nb::str(r.type_name));
            return nb::list();
    }

    // One host str per distinct source, made on first use.
    std::vector<nb::object> source_objs(sorted.size());
    nb::object empty_source;
    auto source_of = [&](std::size_t k) -> PyObject* {
        if (sorted.empty()) {
            if (!empty_source.is_valid()) empty_source = kl::py::make_str(TextView());
            return empty_source.ptr();
        }
        nb::object& slot = source_objs[k];
        if (!slot.is_valid()) {
            nb::handle own = id_objs[order[k]];
            slot = PyUnicode_CheckExact(own.ptr()) ? nb::borrow(own)
                                                   : nb::object(kl::py::make_str(sorted[k]));
        }
        return slot.ptr();
    };

    nb::object out = steal_or_throw(PyList_New(static_cast<Py_ssize_t>(r.proposals.size())));
    for (std::size_t i = 0; i < r.proposals.size(); ++i) {
        const auto& p = r.proposals[i];
        nb::object d = steal_or_throw(PyDict_New());
        nb::object text = kl::py::make_str(p.text);
        if (PyDict_SetItem(d.ptr(), g_key_text, text.ptr()) < 0 ||
            PyDict_SetItem(d.ptr(), g_key_source, source_of(p.source)) < 0)
            throw nb::python_error();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), d.release().ptr());
    }
    return out;
}

PyObject* build_evolution_prompt_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static const char* const names[] = {"insights", "directives", "max_per_cycle",
                                            "style_guidance"};
        PyObject* a[4];
        kl::py::bind_args("build_evolution_prompt", names, 4, 3, args, nargs, kwnames, a);
        return build_evolution_prompt(a[0], a[1], a[2], a[3] ? a[3] : Py_None);
    });
}

PyObject* parse_evolution_output_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static const char* const names[] = {"response", "insight_ids"};
        PyObject* a[2];
        kl::py::bind_args("parse_evolution_output", names, 2, 2, args, nargs, kwnames, a);
        return parse_evolution_output(a[0], a[1]);
    });
}

}  // namespace

NB_MODULE(evolution, m) {
    m.doc() =
        "Directive evolution: the prompt that asks the model for new behavioural directives "
        "derived from a reflection cycle's insights, and the parser of its reply.\n\n"
        "A reply the parser cannot use is reported as one WARNING record on the logger "
        "'kelvane_layer._internal.evolution' (field 'response_preview' or 'type' in the "
        "record's extra) and yields an empty list; malformed entries are dropped silently.";

    g_log = new kl::py::Logger(kLoggerName);
    g_mapping = nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
    g_key_id = interned("id");
    g_key_text = interned("text");
    g_key_source = interned("source_insight_id");
    g_user_message = kl::py::make_str(kl::evolution::kEvolutionUser).release().ptr();

    kl::py::add_function(
        m, "build_evolution_prompt", &build_evolution_prompt_fast,
        "build_evolution_prompt(insights, directives, max_per_cycle, style_guidance=None)\n--\n\n"
        "Render the directive-evolution prompt pair (system prompt, messages).\n\n"
        "``insights`` are records with ``id`` and ``text`` (shown as ``[id]: text`` lines, "
        "in order); ``directives`` are the active directive texts (numbered from 1, or "
        "\"(none)\"); ``max_per_cycle`` is the number of proposals to ask for (any number, "
        "truncated toward zero); a non-blank ``style_guidance`` is added, trimmed, as one "
        "more rule.  Values are inserted verbatim and never rescanned for placeholders.  "
        "The message list is ``[{'role': 'user', 'content': 'Generate directive "
        "proposals.'}]``.\n\n"
        "Raises TypeError for arguments of the wrong kind or an insight that is not a "
        "mapping, and KeyError for an insight without ``id`` or ``text``.");

    kl::py::add_function(
        m, "parse_evolution_output", &parse_evolution_output_fast,
        "parse_evolution_output(response, insight_ids)\n--\n\n"
        "Read the model's reply to the evolution prompt.\n\n"
        "The reply is trimmed, a ``` fence and a lower-case ``json`` tag are removed, and "
        "the rest is decoded as one JSON value.  Returns one ``{'text', "
        "'source_insight_id'}`` record per usable entry of the ``proposed`` array, in "
        "reply order: the text trimmed, the source the cited id when it is in "
        "``insight_ids`` and otherwise the smallest id (code-point order), or '' when "
        "``insight_ids`` is empty.\n\n"
        "Never raises for a reply: an undecodable reply, a non-object reply or a "
        "``proposed`` that is not an array logs one warning and returns []; malformed "
        "entries are skipped.  Raises TypeError when ``response`` is not a str or "
        "``insight_ids`` is not a set of str.");

    nb::list all;
    all.append("build_evolution_prompt");
    all.append("parse_evolution_output");
    m.attr("__all__") = all;
    m.attr("_EVOLUTION_SYSTEM") = kl::py::make_str(kl::evolution::kEvolutionSystem);
}
