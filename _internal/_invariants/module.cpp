// Binding of the structural invariants.
#include <Python.h>

#include "_invariants/invariants.hpp"
#include "kl/py/module.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"

namespace {

using kl::py::Ref;

constexpr const char* kDoc =
    "Structural invariants of the compute core: the closed critic flag taxonomy, the "
    "contractual directive de-duplication threshold and the closed set of reflection-cycle "
    "statuses.  No tuning profile changes them.";

template <std::size_t N>
PyObject* frozen(const std::array<std::string_view, N>& items) {
    Ref set = Ref::steal(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    for (std::string_view s : items) {
        Ref item = Ref::steal(kl::py::str_from_ascii(s));
        if (!item || PySet_Add(set.get(), item.get()) < 0) return nullptr;
    }
    return set.release();
}

int exec(PyObject* m) {
    using namespace kl::invariants;
    bool ok = kl::py::add(m, "CRITIC_FLAG_TAXONOMY", frozen(kCriticFlagTaxonomy)) &&
              kl::py::add(m, "DIRECTIVE_DEDUP_COSINE_THRESHOLD",
                          PyFloat_FromDouble(kDirectiveDedupCosineThreshold)) &&
              kl::py::add(m, "DREAM_VALID_STATUSES", frozen(kDreamValidStatuses)) &&
              kl::py::set_all(m, {"CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD",
                                  "DREAM_VALID_STATUSES"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = kl::py::module_def<0>("kelvane_layer._internal._invariants", kDoc,
                                            kNoMethods, kSlots);

}  // namespace

PyMODINIT_FUNC PyInit__invariants() { return PyModuleDef_Init(&kModule); }
