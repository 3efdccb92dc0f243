#include <nanobind/nanobind.h>

#include "consolidation/consolidation.hpp"
#include "kl/pyedge.hpp"
#include "kl/reflection_step.hpp"

namespace nb = nanobind;

namespace {

struct Consolidation {
    static constexpr const char* kBuild = "build_consolidation_prompt";
    static constexpr const char* kParse = "parse_consolidation_output";
    static kl::TextView system() { return kl::consolidation::kSystem; }
    static nb::str render_user(nb::handle list) { return kl::consolidation::render_user(list); }
    static kl::TextView parse_output(kl::TextView reply) {
        return kl::consolidation::parse_output(reply);
    }
};
using Binding = kl::py::ReflectionStep<Consolidation>;

}  // namespace

NB_MODULE(consolidation, m) {
    m.doc() =
        "Memory consolidation: the LLM prompt that distils a batch of memories into one "
        "non-obvious insight, its reply parser, and the consolidation tuning constants of the "
        "balanced profile.";

    // Declared for the host's logging configuration; this module writes no records.
    static const kl::py::Logger logger("kelvane_layer._internal.consolidation");
    (void)logger;

    Binding::add(m,
        "build_consolidation_prompt(memories)\n--\n\n"
        "Render the consolidation prompt pair for ``memories``.\n\n"
        "Each memory is a mapping with the keys ``content`` (text, or a dict written as "
        "JSON), ``event_type`` and ``created_at``; other keys are ignored.  Every memory is "
        "rendered, in the order given, as ``[n] (event_type, created_at): content``.\n\n"
        "Returns ``(system_prompt, [{'role': 'user', 'content': user_message}])``.\n\n"
        "Raises TypeError if ``memories`` is not a list of mappings, KeyError for the first "
        "missing key (content, event_type, created_at, memory by memory), TypeError or "
        "ValueError if map content cannot be encoded (a key of an unsupported kind, a "
        "container that contains itself).",
        "parse_consolidation_output(response)\n--\n\n"
        "Clean the LLM's reply into the insight text.\n\n"
        "Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept "
        "as text), then one pair of enclosing double quotes.  Never fails on text; the "
        "result may be empty.");
    m.attr("_CONSOLIDATION_SYSTEM") = Binding::system_object();
    m.attr("_CONSOLIDATION_USER") = kl::py::make_str(kl::consolidation::kUser);

    // The published constants are copies of the balanced profile's fields.
    nb::object profile_mod = nb::module_::import_("kelvane_layer._internal.tuning_profile");
    nb::object profile = profile_mod.attr("TuningProfile")();
    m.attr("_PROFILE") = profile;
    m.attr("MAX_CONSOLIDATION_INPUTS") = profile.attr("consolidation_max_inputs");
    m.attr("DEFAULT_CONSOLIDATION_MIN_SALIENCE") = profile.attr("consolidation_min_salience");
    m.attr("TIER2_DEDUP_THRESHOLD") = profile.attr("tier2_dedup_threshold");

    nb::list all;
    for (const char* name : {"build_consolidation_prompt", "parse_consolidation_output",
                             "MAX_CONSOLIDATION_INPUTS", "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
                             "TIER2_DEDUP_THRESHOLD"})
        all.append(name);
    m.attr("__all__") = all;
}
