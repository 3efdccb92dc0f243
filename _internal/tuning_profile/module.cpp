#include <nanobind/nanobind.h>

#include "kl/pyedge.hpp"
#include "tuning_profile/tuning_profile.hpp"

namespace nb = nanobind;

NB_MODULE(tuning_profile, m) {
    m.doc() =
        "The tuning profile: one immutable record of every tuning constant, its balanced "
        "values and five archetype presets.";

    PyObject* type = kl::tuning::create_profile_type();
    if (!type) throw nb::python_error();
    m.attr("TuningProfile") = nb::steal(type);

    m.def(
        "replace",
        [](nb::handle profile, nb::kwargs changes) {
            if (!kl::tuning::is_profile(profile.ptr()))
                kl::py::raise_arg_type("replace", "profile", "TuningProfile", profile);
            PyObject* r = kl::tuning::replace_fields(profile.ptr(), changes.ptr());
            if (!r) throw nb::python_error();
            return nb::steal(r);
        },
        nb::sig("def replace(profile: TuningProfile, /, **changes: object) -> TuningProfile"),
        "A new profile equal to `profile` except for the fields named in `changes`.\n\n"
        "The given profile is unchanged.  An unknown field name raises TypeError.");

    nb::list all;
    all.append("TuningProfile");
    all.append("replace");
    m.attr("__all__") = all;
}
