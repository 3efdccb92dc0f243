#include <nanobind/nanobind.h>

#include "_invariants/invariants.hpp"

namespace nb = nanobind;

namespace {

template <std::size_t N>
nb::object frozen(const std::array<std::string_view, N>& items) {
    nb::list members;
    for (std::string_view s : items) members.append(nb::str(s.data(), s.size()));
    PyObject* fs = PyFrozenSet_New(members.ptr());
    if (!fs) throw nb::python_error();
    return nb::steal(fs);
}

}  // namespace

NB_MODULE(_invariants, m) {
    using namespace kl::invariants;
    m.doc() =
        "Structural invariants of the compute core: the closed critic flag taxonomy, the "
        "contractual directive de-duplication threshold and the closed set of reflection-cycle "
        "statuses.  No tuning profile changes them.";
    m.attr("CRITIC_FLAG_TAXONOMY") = frozen(kCriticFlagTaxonomy);
    m.attr("DIRECTIVE_DEDUP_COSINE_THRESHOLD") = kDirectiveDedupCosineThreshold;
    m.attr("DREAM_VALID_STATUSES") = frozen(kDreamValidStatuses);
    nb::list all;
    for (const char* name :
         {"CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"})
        all.append(name);
    m.attr("__all__") = all;
}
