// Binding of the directive domain classifier.
#include <Python.h>

#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"
#include "rule_domains/rule_domains.hpp"

namespace {

using kl::py::Ref;
using namespace kl::rule_domains;

// Module state: the six domain strs every call returns one of (in the order
// of kDirectiveDomains), and the host's str.lower for non-ASCII text.
enum Slot : std::size_t { kDomain0, kStrLower = kDomain0 + 6, kSlotCount };

PyObject* domain_object(PyObject* m, std::string_view d) {
    for (std::size_t i = 0; i < kDirectiveDomains.size(); ++i)
        if (kDirectiveDomains[i] == d) return Py_NewRef(kl::py::slot(m, kDomain0 + i));
    return kl::py::str_from_ascii(d);  // not reached: the core only returns table names
}

PyObject* classify_directive_domain(PyObject* m, PyObject* const* args) {
    PyObject* text = args[0];
    if (!kl::py::check_str("classify_directive_domain", "text", text)) return nullptr;
    if (PyUnicode_IS_ASCII(text))
        return domain_object(m, classify_ascii(kl::py::text_of(text).ascii_view()));
    // The full default lower-case mapping is the host's own str.lower(), so
    // the result follows the interpreter's Unicode version.
    Ref lowered = Ref::steal(PyObject_CallOneArg(kl::py::slot(m, kStrLower), text));
    if (!lowered) return nullptr;
    return domain_object(m, classify_lowered(kl::py::text_of(lowered.get())));
}

constexpr const char* kClassifyDoc =
    "classify_directive_domain(text)\n--\n\n"
    "Tag a directive with its business domain.\n\n"
    "The text is lower-cased with the full default Unicode mapping (the host's own\n"
    "str.lower()), then the keywords of ``_DOMAIN_KEYWORDS`` are searched as plain\n"
    "substrings, domain by domain in table order (billing, security, escalation,\n"
    "fulfillment, retention); the first domain with any match wins.  No word boundaries:\n"
    "\"ship\" matches inside \"relationship\".  Returns ``DOMAIN_GENERAL`` when nothing\n"
    "matches.  Raises TypeError if ``text`` is not a str.";

constexpr kl::py::Function kFunctions[] = {
    {"classify_directive_domain", {"text"}, 1, kClassifyDoc, &classify_directive_domain},
};

PyObject* keyword_table() {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return nullptr;
    for (const DomainKeywords& d : kDomainKeywords) {
        Ref kws = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(d.keywords.size())));
        if (!kws) return nullptr;
        for (std::size_t i = 0; i < d.keywords.size(); ++i) {
            PyObject* kw = kl::py::str_from_ascii(d.keywords[i]);
            if (!kw) return nullptr;
            PyTuple_SET_ITEM(kws.get(), static_cast<Py_ssize_t>(i), kw);
        }
        Ref name = Ref::steal(kl::py::str_from_ascii(d.domain));
        if (!name || PyDict_SetItem(table.get(), name.get(), kws.get()) < 0) return nullptr;
    }
    return table.release();
}

int exec(PyObject* m) {
    for (std::size_t i = 0; i < kDirectiveDomains.size(); ++i) {
        std::string name(kDirectiveDomains[i]);
        if (!kl::py::keep(m, kDomain0 + i, kl::py::intern(name.c_str()))) return -1;
    }
    if (!kl::py::keep(m, kStrLower, kl::py::import_attr("builtins", "str")) ) return -1;
    // str.lower, unbound: a str subclass's own lower() is not consulted.
    if (!kl::py::keep(m, kStrLower, PyObject_GetAttrString(kl::py::slot(m, kStrLower), "lower")))
        return -1;
    Ref members = Ref::steal(PyList_New(0));
    if (!members) return -1;
    for (std::size_t i = 0; i < kDirectiveDomains.size(); ++i)
        if (PyList_Append(members.get(), kl::py::slot(m, kDomain0 + i)) < 0) return -1;
    bool ok =
        kl::py::add(m, "DIRECTIVE_DOMAINS", PyFrozenSet_New(members.get())) &&
        kl::py::add(m, "DOMAIN_GENERAL",
                    Py_NewRef(kl::py::slot(m, kDomain0 + kDirectiveDomains.size() - 1))) &&
        kl::py::add(m, "EVOLVE_DEDUP_THRESHOLD", PyFloat_FromDouble(kEvolveDedupThreshold)) &&
        kl::py::add(m, "EVOLVE_MAX_PER_DOMAIN", PyLong_FromLong(kEvolveMaxPerDomain)) &&
        kl::py::add(m, "_DOMAIN_KEYWORDS", keyword_table()) &&
        kl::py::set_all(m, {"DIRECTIVE_DOMAINS", "DOMAIN_GENERAL", "EVOLVE_DEDUP_THRESHOLD",
                            "EVOLVE_MAX_PER_DOMAIN", "classify_directive_domain"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Directive domains: keyword classification of a directive into one of six business "
    "domains, and the per-cycle limits the directive-evolution step applies with the tags.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.rule_domains", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_rule_domains() { return PyModuleDef_Init(&kModule); }
