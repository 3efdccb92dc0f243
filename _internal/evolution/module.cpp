// Binding of the directive-evolution prompt and reply parser.
#include <Python.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "evolution/evolution.hpp"
#include "kl/py/containers.hpp"
#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/prompt_text.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"
#include "kl/reply.hpp"
#include "kl/scratch.hpp"

namespace {

using kl::py::Ref;
using kl::py::StrWriter;
namespace ev = kl::evolution;

// Module state: the keys every result repeats, the fixed strs of the prompt
// pair, collections.abc.Mapping and the logger.
enum Slot : std::size_t {
    kKeyId,
    kKeyText,
    kKeySource,
    kKeyRole,
    kKeyContent,
    kUser,
    kUserMessage,
    kMapping,
    kLogger,
    kSlotCount
};

PyObject* st(PyObject* m, Slot s) { return kl::py::slot(m, s); }

// ---- Prompt --------------------------------------------------------------

// The text form of a directive or insight field: a str (or subclass) as its
// own code points, anything else through the host's str().  A new reference,
// so the text stays alive whatever later str() calls do to the lists.
Ref plain(PyObject* value) {
    if (PyUnicode_Check(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Str(value));
}

// record[key] for an insight record: a dict directly, any other mapping
// through its own __getitem__ (so a missing key raises what the mapping
// raises, KeyError for a dict).
Ref record_item(PyObject* record, PyObject* key) {
    if (PyDict_CheckExact(record)) {
        PyObject* v = nullptr;
        int found = PyDict_GetItemRef(record, key, &v);
        if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
        return Ref::steal(v);
    }
    return Ref::steal(PyObject_GetItem(record, key));
}

PyObject* build_evolution_prompt(PyObject* m, PyObject* const* args) {
    constexpr const char* fn = "build_evolution_prompt";
    PyObject* insights = args[0];
    PyObject* directives = args[1];
    PyObject* style = args[3] ? args[3] : Py_None;
    if (!PyList_Check(insights)) return kl::py::arg_type_error(fn, "insights", "list", insights);
    if (!PyList_Check(directives))
        return kl::py::arg_type_error(fn, "directives", "list", directives);
    Ref limit = Ref::steal(kl::py::int_param(fn, "max_per_cycle", args[2]));
    if (!limit || !kl::py::check_str(fn, "style_guidance", style, true)) return nullptr;

    // The lists are re-measured on every step: the host's str() of an odd
    // element may run code that changes them (so may another thread).
    std::vector<Ref> ds;
    ds.reserve(static_cast<std::size_t>(PyList_GET_SIZE(directives)));
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = kl::py::list_item(directives, i);
        if (!item) break;
        Ref text = plain(item.get());
        if (!text) return nullptr;
        ds.push_back(std::move(text));
    }
    std::vector<std::pair<Ref, Ref>> ins;
    ins.reserve(static_cast<std::size_t>(PyList_GET_SIZE(insights)));
    for (Py_ssize_t i = 0;; ++i) {
        Ref record = kl::py::list_item(insights, i);
        if (!record) break;
        int mapping = kl::py::is_mapping(record.get(), st(m, kMapping));
        if (mapping < 0) return nullptr;
        if (!mapping) {
            PyErr_Format(PyExc_TypeError,
                         "%s() argument 'insights' must hold only mappings with 'id' and "
                         "'text', not %.200s",
                         fn, Py_TYPE(record.get())->tp_name);
            return nullptr;
        }
        Ref id = record_item(record.get(), st(m, kKeyId));
        if (!id) return nullptr;
        Ref text = record_item(record.get(), st(m, kKeyText));
        if (!text) return nullptr;
        Ref id_text = plain(id.get());
        if (!id_text) return nullptr;
        Ref text_text = plain(text.get());
        if (!text_text) return nullptr;
        ins.emplace_back(std::move(id_text), std::move(text_text));
    }

    kl::Span guidance{};
    if (style != Py_None) {
        kl::AnyText t = kl::py::text_of(style);
        guidance = t.visit([](auto v) {
            auto r = kl::trim(v);
            return kl::Span{static_cast<std::size_t>(r.data() - v.data()), r.size()};
        });
    }

    StrWriter w;
    bool ok = true;
    kl::py::render(w, ev::system_template(), [&](int slot) {
        switch (slot) {
            case ev::kDirectivesBlock:
                if (ds.empty()) w.fixed_ascii(ev::kNoDirectives);
                for (std::size_t i = 0; i < ds.size(); ++i) {
                    if (i) w.fixed_ascii(ev::kLineBreak);
                    kl::py::render(w, ev::directive_line(), [&](int s) {
                        if (s == ev::kNumber)
                            w.integer(static_cast<long long>(i + 1));
                        else
                            w.borrowed(ds[i].get());
                    });
                }
                break;
            case ev::kInsightsBlock:
                for (std::size_t i = 0; i < ins.size(); ++i) {
                    if (i) w.fixed_ascii(ev::kLineBreak);
                    kl::py::render(w, ev::insight_line(), [&](int s) {
                        w.borrowed((s == ev::kId ? ins[i].first : ins[i].second).get());
                    });
                }
                break;
            case ev::kMaxPerCycle: ok = w.plain(limit.get()); break;
            default:
                if (guidance.size)
                    kl::py::render(w, ev::style_rule(), [&](int) {
                        w.borrowed_slice(style, guidance.begin, guidance.size);
                    });
                break;
        }
    });
    if (!ok) return nullptr;
    return kl::py::prompt_pair(w.finish(), st(m, kUserMessage), st(m, kKeyRole), st(m, kKeyContent),
                               st(m, kUser));
}

// ---- Reply parser --------------------------------------------------------

PyObject* warn(PyObject* m, const char* message, const char* field, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v || !kl::py::log_warning(st(m, kLogger), message, field, v.get())) return nullptr;
    return PyList_New(0);
}

PyObject* parse_evolution_output(PyObject* m, PyObject* const* args) {
    constexpr const char* fn = "parse_evolution_output";
    PyObject* response = args[0];
    PyObject* ids = args[1];
    if (!kl::py::check_str(fn, "response", response)) return nullptr;
    if (!PyAnySet_Check(ids)) return kl::py::arg_type_error(fn, "insight_ids", "set or frozenset", ids);

    // The ids, each held by a reference of ours (so that nothing the host
    // does meanwhile can free them), are compared where they lie.  A
    // matching proposal returns the caller's own str.
    kl::py::SetMembers held(ids);
    const std::size_t n = held.size();
    auto id_at = [&](std::size_t k) { return held[k]; };
    kl::Scratch<kl::AnyText, 32> known(n, kl::kUninitialised);
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* id = id_at(k);
        if (!PyUnicode_Check(id)) {
            PyErr_Format(PyExc_TypeError,
                         "%s() argument 'insight_ids' must hold only str, not %.200s", fn,
                         Py_TYPE(id)->tp_name);
            return nullptr;
        }
        known[k] = kl::py::text_of(id);
    }

    ev::IdIndex index({known.data(), n});

    // One host str per distinct source: the caller's own str when it is an
    // exact str, else a plain str of its code points, made on first use.
    std::vector<Ref> copies;
    Ref empty_source;
    auto source_of = [&](std::size_t k) -> PyObject* {
        if (n == 0) {
            if (!empty_source) empty_source = Ref::steal(PyUnicode_New(0, 0));
            return empty_source.get();
        }
        PyObject* own = id_at(k);
        if (PyUnicode_CheckExact(own)) return own;
        if (copies.empty()) copies.resize(n);
        Ref& c = copies[k];
        if (!c) c = Ref::steal(kl::py::str_from(kl::py::text_of(own)));
        return c.get();
    };

    PyObject* const key_text = st(m, kKeyText);
    PyObject* const key_source = st(m, kKeySource);
    kl::py::RecordList records;
    auto accept = [&](const kl::json::Str& text, std::size_t k) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return false;
        Ref t = Ref::steal(kl::py::str_from(text));
        PyObject* source = source_of(k);
        if (!t || !source || PyDict_SetItem(d.get(), key_text, t.get()) < 0 ||
            PyDict_SetItem(d.get(), key_source, source) < 0)
            return false;
        return records.add(d.release());
    };

    kl::json::Document doc;
    // Every str keeps a zero unit after its last code point: the reply is
    // read in place.
    ev::Outcome e = ev::read_proposals(kl::py::text_of(response), /*terminated=*/true, doc, index,
                                       accept, [&] { records.clear(); });
    switch (e.failure) {
        case ev::Failure::None: return records.finish();
        case ev::Failure::Stopped: return nullptr;
        case ev::Failure::Undecodable:
            return warn(m, "evolve_directives: failed to parse LLM response as JSON",
                        "response_preview",
                        kl::py::substr(response, 0,
                                       std::min<std::size_t>(200, PyUnicode_GET_LENGTH(response))));
        case ev::Failure::NotObject:
            return warn(m, "evolve_directives: LLM response is not a JSON object", "type",
                        PyUnicode_FromString(e.type_name));
        case ev::Failure::NotList:
            return warn(m, "evolve_directives: 'proposed' field is not a list", "type",
                        PyUnicode_FromString(e.type_name));
    }
    return nullptr;  // not reached
}

// ---- Table ---------------------------------------------------------------

constexpr const char* kBuildDoc =
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
    "mapping, and KeyError for an insight without ``id`` or ``text``.";

constexpr const char* kParseDoc =
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
    "``insight_ids`` is not a set of str.";

constexpr kl::py::Function kFunctions[] = {
    {"build_evolution_prompt", {"insights", "directives", "max_per_cycle", "style_guidance"}, 3,
     kBuildDoc, &build_evolution_prompt},
    {"parse_evolution_output", {"response", "insight_ids"}, 2, kParseDoc,
     &parse_evolution_output},
};

int exec(PyObject* m) {
    using kl::py::intern;
    using kl::py::keep;
    if (!ev::templates_valid()) {
        PyErr_SetString(PyExc_SystemError, "evolution: malformed prompt template");
        return -1;
    }
    bool ok = keep(m, kKeyId, intern("id")) && keep(m, kKeyText, intern("text")) &&
              keep(m, kKeySource, intern("source_insight_id")) &&
              keep(m, kKeyRole, intern("role")) && keep(m, kKeyContent, intern("content")) &&
              keep(m, kUser, intern("user")) &&
              keep(m, kUserMessage, kl::py::str_from_utf8(ev::kEvolutionUser)) &&
              keep(m, kMapping, kl::py::import_attr("collections.abc", "Mapping")) &&
              keep(m, kLogger, kl::py::get_logger("kelvane_layer._internal.evolution")) &&
              kl::py::add(m, "_EVOLUTION_SYSTEM", kl::py::str_from_utf8(ev::kEvolutionSystem)) &&
              kl::py::set_all(m, {"build_evolution_prompt", "parse_evolution_output"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Directive evolution: the prompt that asks the model for new behavioural directives "
    "derived from a reflection cycle's insights, and the parser of its reply.\n\n"
    "A reply the parser cannot use is reported as one WARNING record on the logger "
    "'kelvane_layer._internal.evolution' (field 'response_preview' or 'type' in the "
    "record's extra) and yields an empty list; malformed entries are dropped silently.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.evolution", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_evolution() { return PyModuleDef_Init(&kModule); }
