#include <nanobind/nanobind.h>

#include <string>

#include "_defaults/defaults.hpp"

namespace nb = nanobind;

namespace {

nb::str str_of(std::string_view s) { return nb::str(s.data(), s.size()); }

}  // namespace

NB_MODULE(_defaults, m) {
    using namespace kl::defaults;
    m.doc() =
        "Compatibility constants: the most-used balanced tuning values as upper-case names, "
        "plus the three structural invariants (the very same objects as in _invariants).\n\n"
        "New code reads tuning values from the agent's own TuningProfile; these constants "
        "always hold the balanced values.";

    // Invariants first, then the profile, so the load order is fixed.
    nb::module_ invariants = nb::module_::import_("kelvane_layer._internal._invariants");
    for (std::string_view name : kInvariantNames)
        m.attr(str_of(name)) = invariants.attr(str_of(name));

    nb::module_ tuning = nb::module_::import_("kelvane_layer._internal.tuning_profile");
    nb::object balanced = tuning.attr("TuningProfile")();
    m.attr("_BALANCED") = balanced;
    for (const Republished& r : kRepublished)
        m.attr(str_of(r.constant)) = balanced.attr(str_of(r.field));

    nb::list all;
    for (std::string_view name : kAll) all.append(str_of(name));
    m.attr("__all__") = all;
}
