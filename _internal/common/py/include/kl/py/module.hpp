// Multi-phase module definition and module state.
//
// A module's state is a fixed array of strong references (the key strs it
// writes into every result, a logger, imported types), made by its exec
// function when it loads and released with the module; nothing lives in
// process-wide variables.  A module.cpp therefore reads:
//
//     enum Slot : std::size_t { kKeyText, kKeySource, kLogger, kSlotCount };
//     constexpr kl::py::Function kFunctions[] = { ... };
//     int exec(PyObject* m) { ... fills the slots, adds constants ... }
//     PyModuleDef_Slot kSlots[] = {{Py_mod_exec, (void*)exec}, ...};
//     PyModuleDef kModule = kl::py::module_def<kSlotCount>(
//         "journal", kDoc, kl::py::methods<kFunctions>(), kSlots);
//     PyMODINIT_FUNC PyInit_journal() { return PyModuleDef_Init(&kModule); }
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

namespace kl::py {

inline PyObject** state_of(PyObject* module) noexcept {
    return static_cast<PyObject**>(PyModule_GetState(module));
}
// A borrowed reference to state slot i (valid while the module lives).
inline PyObject* slot(PyObject* module, std::size_t i) noexcept { return state_of(module)[i]; }

template <std::size_t N>
int traverse_slots(PyObject* m, visitproc visit, void* arg) {
    PyObject** s = state_of(m);
    if (!s) return 0;
    for (std::size_t i = 0; i < N; ++i) Py_VISIT(s[i]);
    return 0;
}
template <std::size_t N>
int clear_slots(PyObject* m) {
    PyObject** s = state_of(m);
    if (!s) return 0;
    for (std::size_t i = 0; i < N; ++i) Py_CLEAR(s[i]);
    return 0;
}
template <std::size_t N>
void free_slots(void* m) {
    clear_slots<N>(static_cast<PyObject*>(m));
}

template <std::size_t N>
PyModuleDef module_def(const char* name, const char* doc, PyMethodDef* methods,
                       PyModuleDef_Slot* slots) {
    return PyModuleDef{PyModuleDef_HEAD_INIT,
                       name,
                       doc,
                       static_cast<Py_ssize_t>(N * sizeof(PyObject*)),
                       methods,
                       slots,
                       N ? &traverse_slots<N> : nullptr,
                       N ? &clear_slots<N> : nullptr,
                       N ? &free_slots<N> : nullptr};
}

// ---- Used by exec functions (each returns false with an error set) ------

// Stores a new reference in state slot i (nullptr: the error of the call
// that failed to make it); an exact str is interned first.
bool keep(PyObject* module, std::size_t i, PyObject* value) noexcept;

// Adds a new reference as a module attribute (nullptr: propagates the error).
bool add(PyObject* module, const char* name, PyObject* value) noexcept;

// Sets __all__ to exactly these names, in this order.
bool set_all(PyObject* module, std::initializer_list<const char*> names) noexcept;

// Lets every thread take references to a type its module keeps for the
// module's life (a type whose instances each call creates) without taking
// turns on one reference count; a no-op where that costs nothing.
void share_type_across_threads(PyObject* type) noexcept;

// An interned str (new reference).
PyObject* intern(const char* s) noexcept;

// logging.getLogger(name) (new reference).
PyObject* get_logger(const char* name) noexcept;

// logger.warning(message, extra={field: value}): the structured field is an
// attribute of the record, never formatted into the message.
bool log_warning(PyObject* logger, const char* message, const char* field,
                 PyObject* value) noexcept;

// Imports `module` and returns its attribute `name` (new reference).
PyObject* import_attr(const char* module, const char* name) noexcept;

// Whether o is a mapping: a dict (or subclass) or an instance of the
// collections.abc.Mapping object `mapping_abc`.  -1 with an error set.
int is_mapping(PyObject* o, PyObject* mapping_abc) noexcept;

}  // namespace kl::py
