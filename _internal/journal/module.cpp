#include <nanobind/nanobind.h>

#include "journal/journal.hpp"
#include "kl/pyedge.hpp"
#include "kl/reflection_step.hpp"

namespace nb = nanobind;

namespace {

struct Journal {
    static constexpr const char* kBuild = "build_journal_prompt";
    static constexpr const char* kParse = "parse_journal_output";
    static kl::TextView system() { return kl::journal::kSystem; }
    static nb::str render_user(nb::handle list) { return kl::journal::render_user(list); }
    static kl::TextView parse_output(kl::TextView reply) { return kl::journal::parse_output(reply); }
};
using Binding = kl::py::ReflectionStep<Journal>;

}  // namespace

NB_MODULE(journal, m) {
    m.doc() =
        "Journal synthesis: the LLM prompt that turns memories (oldest first) into one "
        "narrative journal entry, and its reply parser.";

    // Declared for the host's logging configuration; this module writes no records.
    static const kl::py::Logger logger("kelvane_layer._internal.journal");
    (void)logger;

    Binding::add(m,
        "build_journal_prompt(memories)\n--\n\n"
        "Render the journal prompt pair for ``memories``, passed oldest first.\n\n"
        "Each memory is a mapping with the keys ``content`` (text, or a dict written as "
        "JSON), ``event_type``, optionally ``salience`` (\"N/A\" when absent) and "
        "``created_at``; other keys are ignored.  Every memory is rendered, in the order "
        "given, as ``[n] (event_type, salience=..., created_at): content``; nothing is "
        "shortened.\n\n"
        "Returns ``(system_prompt, [{'role': 'user', 'content': user_message}])``.\n\n"
        "Raises TypeError if ``memories`` is not a list of mappings, KeyError for the first "
        "missing required key (content, event_type, created_at, memory by memory), "
        "TypeError or ValueError if map content cannot be encoded.",
        "parse_journal_output(response)\n--\n\n"
        "Clean the LLM's reply into the journal text.\n\n"
        "Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept "
        "as text), then one pair of enclosing double quotes.  Never fails on text; the "
        "result may be empty.");
    m.attr("_JOURNAL_SYSTEM") = Binding::system_object();
    m.attr("_JOURNAL_USER") = kl::py::make_str(kl::journal::kUser);

    nb::list all;
    for (const char* name : {"build_journal_prompt", "parse_journal_output"}) all.append(name);
    m.attr("__all__") = all;
}
