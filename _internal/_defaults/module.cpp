// Binding of the compatibility constants.
#include <Python.h>

#include <string>

#include "_defaults/defaults.hpp"
#include "kl/py/module.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"
#include "tuning_profile/c_api.hpp"

namespace {

using kl::py::Ref;
using namespace kl::defaults;

constexpr const char* kDoc =
    "Compatibility constants: the most-used balanced tuning values as upper-case names, "
    "plus the three structural invariants (the very same objects as in _invariants).\n\n"
    "New code reads tuning values from the agent's own TuningProfile; these constants "
    "always hold the balanced values.";

// The three invariants, the very objects _invariants holds.
bool add_invariants(PyObject* m) {
    Ref invariants = Ref::steal(PyImport_ImportModule("kelvane_layer._internal._invariants"));
    if (!invariants) return false;
    for (std::string_view name : kInvariantNames) {
        std::string n(name);
        if (!kl::py::add(m, n.c_str(), PyObject_GetAttrString(invariants.get(), n.c_str())))
            return false;
    }
    return true;
}

// One balanced profile, and 24 of its fields as constants.
bool add_balanced(PyObject* m) {
    PyObject* capsule;
    const kl::tuning::CApi* api = kl::tuning::import_api(&capsule);
    if (!api) return false;
    // The profile below keeps the type alive; the table is not used after exec.
    Ref hold = Ref::steal(capsule);
    Ref balanced = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(api->type)));
    if (!balanced) return false;
    for (const Republished& r : kRepublished) {
        std::string field(r.field), constant(r.constant);
        std::size_t i = api->index_of(field.c_str());
        if (i >= api->field_count) {
            PyErr_Format(PyExc_ImportError, "TuningProfile has no field %s", field.c_str());
            return false;
        }
        if (!kl::py::add(m, constant.c_str(), Py_NewRef(api->field(balanced.get(), i))))
            return false;
    }
    return kl::py::add(m, "_BALANCED", balanced.release());
}

bool add_all(PyObject* m) {
    Ref all = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kAll.size())));
    if (!all) return false;
    for (std::size_t i = 0; i < kAll.size(); ++i) {
        PyObject* s = kl::py::str_from_ascii(kAll[i]);
        if (!s) return false;
        PyList_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), s);
    }
    return kl::py::add(m, "__all__", all.release());
}

int exec(PyObject* m) {
    // Invariants first, then the profile, so the load order is fixed.
    return add_invariants(m) && add_balanced(m) && add_all(m) ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule =
    kl::py::module_def<0>("kelvane_layer._internal._defaults", kDoc, kNoMethods, kSlots);

}  // namespace

PyMODINIT_FUNC PyInit__defaults() { return PyModuleDef_Init(&kModule); }
