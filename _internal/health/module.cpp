#include <nanobind/nanobind.h>

#include "health/health.hpp"
#include "kl/pyedge.hpp"

namespace nb = nanobind;
namespace hl = kl::health;

namespace {

// The host's health buckets, indexed by hl::Status, and their links.  Plain
// handles holding strong references for the life of the process: a static
// nb::object would be released after the interpreter has shut down.
nb::handle g_status_type;
nb::handle g_status[4];
nb::handle g_url[4];

bool is_number(nb::handle o) {
    PyObject* p = o.ptr();
    return !(PyUnicode_Check(p) || PyBytes_Check(p) || PyByteArray_Check(p) || !PyNumber_Check(p));
}

void check_stats(const char* func, nb::handle stats) {
    if (!hl::is_mapping(stats)) kl::py::raise_arg_type(func, "stats", "a mapping", stats);
}

void check_profile(const char* func, nb::handle admin) {
    PyObject* o = admin.ptr();
    // The type admits no subclasses, so identity is the whole test.
    if (reinterpret_cast<PyObject*>(Py_TYPE(o)) != hl::profile_type())
        kl::py::raise_arg_type(func, "admin", "TuningProfile", admin);
}

}  // namespace

NB_MODULE(health, m) {
    m.doc() =
        "Health scoring: the memory-diversity and reinforcement sub-scores, the composite "
        "kelvane score in [0, 1], the four-way cognitive-health classifier and its "
        "troubleshooting link.";

    hl::init();
    g_status_type =
        nb::object(nb::module_::import_("kelvane_layer.types").attr("CognitiveHealthStatus"))
            .release();
    const char* names[4] = {"HEALTHY", "DRIFTING", "OVERLOADED", "STAGNANT"};
    nb::str base(hl::kRemedyUrlBase);
    for (int i = 0; i < 4; ++i) {
        g_status[i] = nb::object(g_status_type.attr(names[i])).release();
        if (i != 0)
            g_url[i] = nb::object(nb::str("{}/{}").format(base, g_status[i].attr("value"))).release();
    }

    m.attr("REMEDY_URL_BASE") = base;

    m.def(
        "classify_cognitive_health",
        [](nb::handle stats, nb::handle kelvane_score, nb::handle admin) -> nb::object {
            const char* f = "classify_cognitive_health";
            check_stats(f, stats);
            if (!is_number(kelvane_score))
                kl::py::raise_arg_type(f, "kelvane_score", "a number", kelvane_score);
            check_profile(f, admin);
            double score = kl::py::float_param(f, "kelvane_score", kelvane_score);
            return nb::borrow(g_status[static_cast<int>(hl::classify(stats, score, admin))]);
        },
        nb::arg("stats").none(), nb::arg("kelvane_score").none(), nb::arg("admin").none(),
        nb::sig("def classify_cognitive_health(stats: collections.abc.Mapping[str, "
                "collections.abc.Mapping[str, object]], kelvane_score: float, admin: "
                "kelvane_layer._internal.tuning_profile.TuningProfile) -> "
                "kelvane_layer.types.CognitiveHealthStatus"),
        "The cognitive-health bucket of an agent.\n\n"
        "Tests in a fixed order, the first that holds deciding: OVERLOADED (seven-day dream "
        "failure rate above the profile's threshold), DRIFTING (demotion rate above its "
        "threshold), STAGNANT (few captures and little reinforcement), HEALTHY (score and "
        "dream success rate at or above their thresholds), otherwise STAGNANT.  Pass the "
        "score from compute_kelvane_score() with the same statistics and profile.");

    m.def(
        "compute_memory_diversity",
        [](nb::handle event_type_counts) {
            if (!hl::is_mapping(event_type_counts))
                kl::py::raise_arg_type("compute_memory_diversity", "event_type_counts",
                                       "a mapping", event_type_counts);
            return hl::memory_diversity(event_type_counts);
        },
        nb::arg("event_type_counts").none(),
        nb::sig("def compute_memory_diversity(event_type_counts: collections.abc.Mapping[str, "
                "int]) -> float"),
        "Normalised Shannon entropy (base 2) of the event-type counts, in [0, 1].\n\n"
        "0.0 for an empty map, a single type or a zero total; keys with zero counts widen the "
        "maximum without adding entropy.");

    m.def(
        "compute_reinforcement_ratio",
        [](nb::handle reinforced_count, nb::handle total_memories) {
            const char* f = "compute_reinforcement_ratio";
            if (!is_number(reinforced_count))
                kl::py::raise_arg_type(f, "reinforced_count", "a number", reinforced_count);
            if (!is_number(total_memories))
                kl::py::raise_arg_type(f, "total_memories", "a number", total_memories);
            nb::int_ r = kl::py::int_param(f, "reinforced_count", reinforced_count);
            nb::int_ t = kl::py::int_param(f, "total_memories", total_memories);
            return hl::reinforcement_ratio(r, t);
        },
        nb::arg("reinforced_count").none(), nb::arg("total_memories").none(),
        nb::sig("def compute_reinforcement_ratio(reinforced_count: int, total_memories: int) "
                "-> float"),
        "Fraction of memories reinforced at least once, clamped to [0, 1]; 0.0 when there are "
        "no memories.");

    m.def(
        "compute_kelvane_score",
        [](nb::handle stats, nb::handle admin) {
            check_stats("compute_kelvane_score", stats);
            check_profile("compute_kelvane_score", admin);
            return hl::kelvane_score(stats, admin);
        },
        nb::arg("stats").none(), nb::arg("admin").none(),
        nb::sig("def compute_kelvane_score(stats: collections.abc.Mapping[str, "
                "collections.abc.Mapping[str, object]], admin: "
                "kelvane_layer._internal.tuning_profile.TuningProfile) -> float"),
        "The composite kelvane score in [0, 1].\n\n"
        "Weighs memory diversity, directive coherence (critic pass rate), dream health, "
        "reinforcement ratio and journal cadence with the profile's five kelvane weights, "
        "renormalised to sum to 1 (0.0 when they sum to zero or less).");

    m.def(
        "remedy_url_for",
        [](nb::handle status) -> nb::object {
            int ok = PyObject_IsInstance(status.ptr(), g_status_type.ptr());
            if (ok < 0) throw nb::python_error();
            if (!ok)
                kl::py::raise_arg_type("remedy_url_for", "status", "CognitiveHealthStatus",
                                       status);
            if (status.equal(g_status[0])) return nb::none();
            for (int i = 1; i < 4; ++i)
                if (status.is(g_status[i])) return nb::borrow(g_url[i]);
            return nb::str("{}/{}").format(nb::str(hl::kRemedyUrlBase), status.attr("value"));
        },
        nb::arg("status").none(),
        nb::sig("def remedy_url_for(status: kelvane_layer.types.CognitiveHealthStatus) -> str "
                "| None"),
        "Troubleshooting link for a health status: REMEDY_URL_BASE, '/', and the status's "
        "value; None for HEALTHY.");

    m.def(
        "_journal_frequency_score",
        [](nb::handle entries_7d, nb::handle target_days) {
            const char* f = "_journal_frequency_score";
            if (!is_number(entries_7d)) kl::py::raise_arg_type(f, "entries_7d", "a number", entries_7d);
            if (!is_number(target_days))
                kl::py::raise_arg_type(f, "target_days", "a number", target_days);
            nb::int_ entries = kl::py::int_param(f, "entries_7d", entries_7d);
            double target = kl::py::float_param(f, "target_days", target_days);
            if (target <= 0.0 || 7.0 / target <= 0.0) return 0.0;
            double e = PyLong_AsDouble(entries.ptr());
            if (e == -1.0 && PyErr_Occurred()) throw nb::python_error();
            return hl::journal_frequency(e, target);
        },
        nb::arg("entries_7d").none(), nb::arg("target_days").none(),
        nb::sig("def _journal_frequency_score(entries_7d: int, target_days: float) -> float"),
        "Journal entries of the last seven days against the number a target interval of "
        "`target_days` expects, clamped to [0, 1]; 0.0 for a non-positive or infinite target.");

    nb::list all;
    for (const char* name : {"REMEDY_URL_BASE", "classify_cognitive_health",
                             "compute_memory_diversity", "compute_reinforcement_ratio",
                             "compute_kelvane_score", "remedy_url_for"})
        all.append(name);
    m.attr("__all__") = all;
}
