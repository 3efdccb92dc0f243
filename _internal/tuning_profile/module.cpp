#include <nanobind/nanobind.h>

#include "kl/pyedge.hpp"
#include "tuning_profile/tuning_profile.hpp"

namespace nb = nanobind;

namespace {

// replace(profile, /, **changes).  Bound through the C API: the profile is
// positional-only, so a field that happened to be called "profile" could
// still be passed as a change, and the keywords reach the record's own
// keyword handling without an intermediate dict.
PyObject* replace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "replace() takes exactly 1 positional argument (%zd given)",
                     nargs);
        return nullptr;
    }
    if (!kl::tuning::is_profile(args[0])) {
        PyErr_Format(PyExc_TypeError, "replace() argument 'profile' must be TuningProfile, not %.200s",
                     Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    return kl::tuning::replace_fields(args[0], args + 1, kwnames);
}

PyMethodDef kFunctions[] = {
    {"replace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(replace)),
     METH_FASTCALL | METH_KEYWORDS,
     "replace($module, profile, /, **changes)\n--\n\n"
     "A new profile equal to `profile` except for the fields named in `changes`.\n\n"
     "The given profile is unchanged.  An unknown field name raises TypeError."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

NB_MODULE(tuning_profile, m) {
    m.doc() =
        "The tuning profile: one immutable record of every tuning constant, its balanced "
        "values and five archetype presets.";

    PyObject* type = kl::tuning::create_profile_type();
    if (!type) throw nb::python_error();
    m.attr("TuningProfile") = nb::steal(type);
    if (PyModule_AddFunctions(m.ptr(), kFunctions) < 0) throw nb::python_error();

    nb::list all;
    all.append("TuningProfile");
    all.append("replace");
    m.attr("__all__") = all;
}
