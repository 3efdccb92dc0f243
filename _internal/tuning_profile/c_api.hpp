// The interface through which other extension modules read profiles.
//
// The tuning_profile module publishes one capsule, named kCapsuleName and
// found as the module's attribute `_C_API`, that points to a CApi table.  A
// consumer imports it once, while its own module executes, and keeps the
// capsule (and a reference to `type`) in its module state:
//
//     PyObject* capsule;
//     const kl::tuning::CApi* api = kl::tuning::import_api(&capsule);
//     if (!api) ... fail the import (the error is set) ...
//     std::size_t i = api->index_of("kelvane_dream_health_weight");
//     ...
//     if (Py_TYPE(o) == api->type) PyObject* w = api->field(o, i);
//
// Rules of the interface:
// - `version` is kVersion of the module that made the table.  Entries are
//   only ever appended, and `size` (sizeof the table as that module knows it)
//   says which are present; a change that alters the meaning of an existing
//   entry takes a new version number.
// - `type` is borrowed: the capsule lives no longer than the module, so a
//   consumer holds its own reference to the type for as long as it checks
//   objects against it.  The type admits no subclasses: an exact type test is
//   the whole check.
// - Field indices are the declaration order of the record.  A consumer that
//   was built against fields.hpp resolves the indices it uses through
//   index_of() when it loads and refuses to load if they differ, so a
//   mismatched pair of libraries fails at import rather than reading the
//   wrong field.
// - Values are stored exactly as the caller passed them (an int where the
//   table says float stays an int); field() hands out the stored object.
//
// Nothing here reads an instance's memory layout; only tuning_profile's own
// module.cpp knows it.
#pragma once

#include <Python.h>

#include <cstddef>

namespace kl::tuning {

inline constexpr const char* kModuleName = "kelvane_layer._internal.tuning_profile";
inline constexpr const char* kCapsuleName = "kelvane_layer._internal.tuning_profile._C_API";
inline constexpr unsigned kVersion = 1;

struct CApi {
    unsigned version;
    std::size_t size;
    // The TuningProfile type (borrowed, see above).
    PyTypeObject* type;
    // Number of fields of the record.
    std::size_t field_count;
    // Index of the field called `name` (a NUL-terminated ASCII name), or
    // field_count when there is no such field.
    std::size_t (*index_of)(const char* name) noexcept;
    // Borrowed reference to field i of `profile`, which must be of `type`
    // (the caller has checked) with i < field_count.  Never fails.
    PyObject* (*field)(PyObject* profile, std::size_t i) noexcept;
    // Field i as a double, converted as the host's arithmetic converts a
    // number (a float as it is, else __float__ or __index__; a text is a
    // TypeError): 0, or -1 with the host's error set (the value's own
    // conversion may run host code).
    int (*field_as_double)(PyObject* profile, std::size_t i, double* out) noexcept;
};

// Whether a table from the capsule offers everything this header describes.
inline bool compatible(const CApi* api) noexcept {
    return api->version == kVersion && api->size >= sizeof(CApi);
}

// Imports the module and returns its table, with a new reference to the
// capsule in *capsule (keep it while the table is in use); nullptr with
// ImportError (or the import's own error) set.  The module is imported by
// its full name first: the capsule lives in a submodule, which an attribute
// walk from the package would not load.
inline const CApi* import_api(PyObject** capsule) noexcept {
    *capsule = nullptr;
    PyObject* mod = PyImport_ImportModule(kModuleName);
    if (!mod) return nullptr;
    PyObject* cap = PyObject_GetAttrString(mod, "_C_API");
    Py_DECREF(mod);
    if (!cap) return nullptr;
    auto* api = static_cast<const CApi*>(PyCapsule_GetPointer(cap, kCapsuleName));
    if (!api || !compatible(api)) {
        Py_DECREF(cap);
        PyErr_Clear();  // not our capsule: say so as an import failure
        PyErr_SetString(PyExc_ImportError,
                        "kelvane_layer._internal.tuning_profile offers an incompatible "
                        "profile interface");
        return nullptr;
    }
    *capsule = cap;
    return api;
}

}  // namespace kl::tuning
