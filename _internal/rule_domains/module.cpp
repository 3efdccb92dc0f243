#include <nanobind/nanobind.h>

#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"
#include "rule_domains/rule_domains.hpp"

namespace nb = nanobind;
using namespace kl::rule_domains;

namespace {

nb::str str_of(std::string_view s) { return nb::str(s.data(), s.size()); }

// Interned once at import: every call returns one of these six objects.
// Strong references kept for the life of the process and deliberately never
// released (a static destructor would run after the interpreter is gone).
PyObject* g_domain_str[6];

nb::object classify_py(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        kl::py::raise_arg_type("classify_directive_domain", "text", "str", text);
    PyObject* o = text.ptr();
    std::string_view d =
        PyUnicode_IS_ASCII(o)
            ? classify_ascii(std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                                              static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))))
            : classify(kl::py::text_of(text));
    for (std::size_t i = 0; i < kDirectiveDomains.size(); ++i)
        if (kDirectiveDomains[i] == d) return nb::borrow(g_domain_str[i]);
    return str_of(d);  // not reached: classify() only returns table names
}

PyObject* classify_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static constexpr const char* names[] = {"text"};
        PyObject* a[1];
        kl::py::bind_args("classify_directive_domain", names, 1, args, nargs, kwnames, a);
        return classify_py(a[0]);
    });
}

}  // namespace

NB_MODULE(rule_domains, m) {
    m.doc() =
        "Directive domains: keyword classification of a directive into one of six business "
        "domains, and the per-cycle limits the directive-evolution step applies with the tags.";

    for (std::size_t i = 0; i < kDirectiveDomains.size(); ++i) {
        PyObject* s = PyUnicode_FromStringAndSize(kDirectiveDomains[i].data(),
                                                  static_cast<Py_ssize_t>(kDirectiveDomains[i].size()));
        if (!s) throw nb::python_error();
        PyUnicode_InternInPlace(&s);
        g_domain_str[i] = s;
    }

    nb::list members;
    for (std::size_t i = 0; i < kDirectiveDomains.size(); ++i) members.append(nb::handle(g_domain_str[i]));
    PyObject* fs = PyFrozenSet_New(members.ptr());
    if (!fs) throw nb::python_error();
    m.attr("DIRECTIVE_DOMAINS") = nb::steal(fs);
    m.attr("DOMAIN_GENERAL") = nb::handle(g_domain_str[kDirectiveDomains.size() - 1]);
    m.attr("EVOLVE_DEDUP_THRESHOLD") = kEvolveDedupThreshold;
    m.attr("EVOLVE_MAX_PER_DOMAIN") = kEvolveMaxPerDomain;

    nb::dict table;
    for (const DomainKeywords& d : kDomainKeywords) {
        nb::list kws;
        for (std::string_view kw : d.keywords) kws.append(str_of(kw));
        table[str_of(d.domain)] = nb::tuple(kws);
    }
    m.attr("_DOMAIN_KEYWORDS") = table;

    kl::py::add_function(
        m, "classify_directive_domain", &classify_fast,
        "classify_directive_domain(text)\n--\n\n"
        "Tag a directive with its business domain.\n\n"
        "The text is lower-cased with the full default Unicode mapping (root locale), then the\n"
        "keywords of ``_DOMAIN_KEYWORDS`` are searched as plain substrings, domain by domain in\n"
        "table order (billing, security, escalation, fulfillment, retention); the first domain\n"
        "with any match wins.  No word boundaries: \"ship\" matches inside \"relationship\".\n"
        "Returns ``DOMAIN_GENERAL`` when nothing matches.  Raises TypeError if ``text`` is not\n"
        "a str.");

    nb::list all;
    for (const char* name : {"DIRECTIVE_DOMAINS", "DOMAIN_GENERAL", "EVOLVE_DEDUP_THRESHOLD",
                             "EVOLVE_MAX_PER_DOMAIN", "classify_directive_domain"})
        all.append(name);
    m.attr("__all__") = all;
}
