// Python binding of the fact and claim extraction prompts and reply parsers.
#include <nanobind/nanobind.h>

#include <algorithm>

#include "extraction/extraction.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace nb = nanobind;
using kl::Text;
using kl::TextView;
using kl::py::interned;
using kl::py::steal_or_throw;

namespace {

constexpr const char* kLoggerName = "kelvane_layer._internal.extraction";

// Kept for the life of the process, never released.
const kl::py::Logger* g_log = nullptr;
PyObject* g_key_subject = nullptr;
PyObject* g_key_attribute = nullptr;
PyObject* g_key_value = nullptr;
PyObject* g_key_confidence = nullptr;
PyObject* g_user = nullptr;
PyObject* g_facts_message = nullptr;
PyObject* g_claims_message = nullptr;

void require_str(const char* fn, const char* param, nb::handle v) {
    if (!PyUnicode_Check(v.ptr())) kl::py::raise_arg_type(fn, param, "str", v);
}

nb::object build_extraction_prompt(nb::handle memory_content, nb::handle max_facts,
                                   nb::handle role) {
    constexpr const char* fn = "build_extraction_prompt";
    require_str(fn, "memory_content", memory_content);
    nb::int_ limit = kl::py::int_param(fn, "max_facts", max_facts);
    require_str(fn, "role", role);
    Text limit_text;
    kl::py::append_plain(limit_text, limit);
    Text system = kl::extraction::build_extraction_system(
        kl::py::text_of(memory_content), limit_text, kl::py::text_of(role));
    return kl::py::prompt_pair(system, g_facts_message);
}

nb::object build_claim_extraction_prompt(nb::handle output, nb::handle max_claims) {
    constexpr const char* fn = "build_claim_extraction_prompt";
    require_str(fn, "output", output);
    nb::int_ limit = kl::py::int_param(fn, "max_claims", max_claims);
    Text limit_text;
    kl::py::append_plain(limit_text, limit);
    Text system =
        kl::extraction::build_claim_extraction_system(kl::py::text_of(output), limit_text);
    return kl::py::prompt_pair(system, g_claims_message);
}

nb::object preview_of(nb::handle response) {
    Py_ssize_t n = std::min<Py_ssize_t>(200, PyUnicode_GET_LENGTH(response.ptr()));
    return steal_or_throw(PyUnicode_Substring(response.ptr(), 0, n));
}

nb::object triples_to_list(const std::vector<kl::extraction::Triple>& ts, bool with_confidence) {
    nb::object out = steal_or_throw(PyList_New(static_cast<Py_ssize_t>(ts.size())));
    for (std::size_t i = 0; i < ts.size(); ++i) {
        const auto& t = ts[i];
        nb::object d = steal_or_throw(PyDict_New());
        nb::object s = kl::py::make_str(t.subject);
        nb::object a = kl::py::make_str(t.attribute);
        nb::object v = kl::py::make_str(t.value);
        if (PyDict_SetItem(d.ptr(), g_key_subject, s.ptr()) < 0 ||
            PyDict_SetItem(d.ptr(), g_key_attribute, a.ptr()) < 0 ||
            PyDict_SetItem(d.ptr(), g_key_value, v.ptr()) < 0)
            throw nb::python_error();
        if (with_confidence) {
            nb::object c = steal_or_throw(PyFloat_FromDouble(t.confidence));
            if (PyDict_SetItem(d.ptr(), g_key_confidence, c.ptr()) < 0) throw nb::python_error();
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), d.release().ptr());
    }
    return out;
}

nb::object parse_extraction_output(nb::handle response) {
    require_str("parse_extraction_output", "response", response);
    kl::json::WorkspaceLease ws;
    ws->reply.clear();
    kl::py::append_text_of(ws->reply, response);
    std::vector<kl::extraction::Triple> triples;
    kl::extraction::ParseResult r = kl::extraction::parse_facts(*ws, triples);
    using kl::extraction::Failure;
    switch (r.failure) {
        case Failure::None: return triples_to_list(triples, true);
        case Failure::Undecodable:
            g_log->warning("extract_facts: failed to parse LLM response as JSON",
                           "response_preview", preview_of(response));
            break;
        case Failure::NotObject:
            g_log->warning("extract_facts: LLM response is not a JSON object", "type",
                           nb::str(r.type_name));
            break;
        case Failure::NotList:
            g_log->warning("extract_facts: 'facts' field is not a list", "type",
                           nb::str(r.type_name));
            break;
    }
    return nb::list();
}

nb::object parse_claim_extraction_output(nb::handle response) {
    require_str("parse_claim_extraction_output", "response", response);
    kl::json::WorkspaceLease ws;
    ws->reply.clear();
    kl::py::append_text_of(ws->reply, response);
    std::vector<kl::extraction::Triple> triples;
    kl::extraction::ParseResult r = kl::extraction::parse_claims(*ws, triples);
    // Only an undecodable reply is worth a record here: a wrong shape simply
    // means the draft had no claims to check.
    if (r.failure == kl::extraction::Failure::Undecodable) {
        g_log->warning("extract_claims: failed to parse LLM response as JSON", "response_preview",
                       preview_of(response));
        return nb::list();
    }
    return triples_to_list(triples, false);
}

// Vectorcall entry points: bind the arguments, then run the functions above.
template <std::size_t N, std::size_t Required, class F>
PyObject* bound(const char* name, const char* const (&names)[N], PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, F&& body) {
    return kl::py::call_guarded([&] {
        PyObject* a[N];
        kl::py::bind_args(name, names, N, Required, args, nargs, kwnames, a);
        return body(a);
    });
}

PyObject* build_extraction_prompt_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const char* const names[] = {"memory_content", "max_facts", "role"};
    return bound<3, 2>("build_extraction_prompt", names, args, nargs, kwnames, [](PyObject** a) {
        return build_extraction_prompt(a[0], a[1], a[2] ? nb::handle(a[2]) : nb::handle(g_user));
    });
}

PyObject* parse_extraction_output_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const char* const names[] = {"response"};
    return bound<1, 1>("parse_extraction_output", names, args, nargs, kwnames,
                       [](PyObject** a) { return parse_extraction_output(a[0]); });
}

PyObject* build_claim_extraction_prompt_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    static const char* const names[] = {"output", "max_claims"};
    return bound<2, 2>("build_claim_extraction_prompt", names, args, nargs, kwnames,
                       [](PyObject** a) { return build_claim_extraction_prompt(a[0], a[1]); });
}

PyObject* parse_claim_extraction_output_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    static const char* const names[] = {"response"};
    return bound<1, 1>("parse_claim_extraction_output", names, args, nargs, kwnames,
                       [](PyObject** a) { return parse_claim_extraction_output(a[0]); });
}

}  // namespace

NB_MODULE(extraction, m) {
    m.doc() =
        "Fact and claim extraction: prompts that ask the model for atomic (subject, attribute, "
        "value) triples -- facts from a stored memory, claims from a draft answer -- and the "
        "parsers of its replies.\n\n"
        "A reply the parsers cannot use is reported as one WARNING record on the logger "
        "'kelvane_layer._internal.extraction' (field 'response_preview' or 'type' in the "
        "record's extra) and yields an empty list; malformed entries are dropped silently.";

    g_log = new kl::py::Logger(kLoggerName);
    g_key_subject = interned("subject");
    g_key_attribute = interned("attribute");
    g_key_value = interned("value");
    g_key_confidence = interned("confidence");
    g_user = interned("user");
    g_facts_message = kl::py::make_str(kl::extraction::kExtractionUser).release().ptr();
    g_claims_message = kl::py::make_str(kl::extraction::kClaimExtractionUser).release().ptr();

    kl::py::add_function(
        m, "build_extraction_prompt", &build_extraction_prompt_fast,
        "build_extraction_prompt(memory_content, max_facts, role='user')\n--\n\n"
        "Render the fact-extraction prompt pair (system prompt, messages).\n\n"
        "The memory is inserted trimmed and otherwise verbatim (never rescanned for "
        "placeholders), ``role`` as given (it lets the model resolve pronouns) and "
        "``max_facts`` in decimal (any number, truncated toward zero).  The message list is "
        "``[{'role': 'user', 'content': 'Extract facts.'}]`` whatever ``role`` is.\n\n"
        "Raises TypeError for arguments of the wrong kind.");

    kl::py::add_function(
        m, "parse_extraction_output", &parse_extraction_output_fast,
        "parse_extraction_output(response)\n--\n\n"
        "Read the model's reply to the fact-extraction prompt.\n\n"
        "After the reply is trimmed and un-fenced and decoded as JSON, returns one "
        "``{'subject', 'attribute', 'value', 'confidence'}`` record per usable entry of the "
        "``facts`` array, in reply order: three non-blank strings (trimmed) and a numeric or "
        "boolean confidence, as a float, within [0.5, 1.0] (NaN and integers beyond the "
        "float range are dropped).  No cap, no de-duplication.\n\n"
        "Never raises for a reply: an undecodable reply, a non-object reply or a ``facts`` "
        "that is not an array logs one warning and returns []; malformed entries are "
        "skipped.  Raises TypeError when ``response`` is not a str.");

    kl::py::add_function(
        m, "build_claim_extraction_prompt", &build_claim_extraction_prompt_fast,
        "build_claim_extraction_prompt(output, max_claims)\n--\n\n"
        "Render the claim-extraction prompt pair for a draft answer.\n\n"
        "The draft is inserted trimmed and otherwise verbatim, ``max_claims`` in decimal "
        "(any number, truncated toward zero).  The message list is ``[{'role': 'user', "
        "'content': 'Extract claims.'}]``.\n\n"
        "Raises TypeError for arguments of the wrong kind.");

    kl::py::add_function(
        m, "parse_claim_extraction_output", &parse_claim_extraction_output_fast,
        "parse_claim_extraction_output(response)\n--\n\n"
        "Read the model's reply to the claim-extraction prompt.\n\n"
        "Returns one ``{'subject', 'attribute', 'value'}`` record (trimmed, non-blank "
        "strings) per usable entry of the ``claims`` array, in reply order; any other member "
        "of an entry, ``confidence`` included, is ignored.\n\n"
        "Never raises for a reply: an undecodable reply logs one warning and returns []; a "
        "non-object reply or a ``claims`` that is not an array returns [] silently.  Raises "
        "TypeError when ``response`` is not a str.");

    nb::list all;
    for (const char* name : {"build_extraction_prompt", "parse_extraction_output",
                             "build_claim_extraction_prompt", "parse_claim_extraction_output"})
        all.append(name);
    m.attr("__all__") = all;
    m.attr("_EXTRACTION_SYSTEM") = kl::py::make_str(kl::extraction::kExtractionSystem);
    m.attr("_CLAIM_EXTRACTION_SYSTEM") = kl::py::make_str(kl::extraction::kClaimExtractionSystem);
}
