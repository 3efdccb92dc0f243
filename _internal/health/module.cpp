#include <nanobind/nanobind.h>

#include "health/health.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace nb = nanobind;
namespace hl = kl::health;

namespace {

// The host's health buckets, indexed by hl::Status, and their links.  Plain
// handles holding strong references for the life of the process: a static
// nb::object would be released after the interpreter has shut down.
nb::handle g_status_type;
nb::handle g_status[4];
nb::handle g_url[4];

bool is_number(PyObject* p) {
    return !(PyUnicode_Check(p) || PyBytes_Check(p) || PyByteArray_Check(p) || !PyNumber_Check(p));
}

void check_number(const char* func, const char* param, PyObject* o) {
    if (!is_number(o)) kl::py::raise_arg_type(func, param, "a number", o);
}

void check_stats(const char* func, PyObject* stats) {
    if (!hl::is_mapping(stats)) kl::py::raise_arg_type(func, "stats", "a mapping", stats);
}

void check_profile(const char* func, PyObject* admin) {
    // The type admits no subclasses, so identity is the whole test.
    if (reinterpret_cast<PyObject*>(Py_TYPE(admin)) != hl::profile_type())
        kl::py::raise_arg_type(func, "admin", "TuningProfile", admin);
}

nb::object as_float(double v) {
    PyObject* o = PyFloat_FromDouble(v);
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

template <std::size_t N>
using Args = PyObject* [N];

PyObject* classify_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return kl::py::call_guarded([&] {
        static constexpr const char* f = "classify_cognitive_health";
        static constexpr const char* names[] = {"stats", "kelvane_score", "admin"};
        Args<3> a;
        kl::py::bind_args(f, names, 3, args, nargs, kw, a);
        check_stats(f, a[0]);
        check_number(f, "kelvane_score", a[1]);
        check_profile(f, a[2]);
        double score = kl::py::float_param(f, "kelvane_score", a[1]);
        return nb::borrow(g_status[static_cast<int>(hl::classify(a[0], score, a[2]))]);
    });
}

PyObject* diversity_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return kl::py::call_guarded([&] {
        static constexpr const char* f = "compute_memory_diversity";
        static constexpr const char* names[] = {"event_type_counts"};
        Args<1> a;
        kl::py::bind_args(f, names, 1, args, nargs, kw, a);
        if (!hl::is_mapping(a[0])) kl::py::raise_arg_type(f, names[0], "a mapping", a[0]);
        return as_float(hl::memory_diversity(a[0]));
    });
}

PyObject* ratio_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return kl::py::call_guarded([&] {
        static constexpr const char* f = "compute_reinforcement_ratio";
        static constexpr const char* names[] = {"reinforced_count", "total_memories"};
        Args<2> a;
        kl::py::bind_args(f, names, 2, args, nargs, kw, a);
        check_number(f, names[0], a[0]);
        check_number(f, names[1], a[1]);
        nb::int_ r = kl::py::int_param(f, names[0], a[0]);
        nb::int_ t = kl::py::int_param(f, names[1], a[1]);
        return as_float(hl::reinforcement_ratio(r, t));
    });
}

PyObject* score_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return kl::py::call_guarded([&] {
        static constexpr const char* f = "compute_kelvane_score";
        static constexpr const char* names[] = {"stats", "admin"};
        Args<2> a;
        kl::py::bind_args(f, names, 2, args, nargs, kw, a);
        check_stats(f, a[0]);
        check_profile(f, a[1]);
        return as_float(hl::kelvane_score(a[0], a[1]));
    });
}

PyObject* remedy_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return kl::py::call_guarded([&]() -> nb::object {
        static constexpr const char* f = "remedy_url_for";
        static constexpr const char* names[] = {"status"};
        Args<1> a;
        kl::py::bind_args(f, names, 1, args, nargs, kw, a);
        nb::handle status(a[0]);
        int ok = PyObject_IsInstance(a[0], g_status_type.ptr());
        if (ok < 0) throw nb::python_error();
        if (!ok) kl::py::raise_arg_type(f, names[0], "CognitiveHealthStatus", status);
        if (status.equal(g_status[0])) return nb::none();
        for (int i = 1; i < 4; ++i)
            if (status.is(g_status[i])) return nb::borrow(g_url[i]);
        return nb::str("{}/{}").format(nb::str(hl::kRemedyUrlBase), status.attr("value"));
    });
}

PyObject* journal_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return kl::py::call_guarded([&] {
        static constexpr const char* f = "_journal_frequency_score";
        static constexpr const char* names[] = {"entries_7d", "target_days"};
        Args<2> a;
        kl::py::bind_args(f, names, 2, args, nargs, kw, a);
        check_number(f, names[0], a[0]);
        check_number(f, names[1], a[1]);
        nb::int_ entries = kl::py::int_param(f, names[0], a[0]);
        double target = kl::py::float_param(f, names[1], a[1]);
        // The count converts only when the target expects entries, as the
        // host's arithmetic would: a huge count never overflows otherwise.
        if (target <= 0.0 || 7.0 / target <= 0.0) return as_float(0.0);
        double e = PyLong_AsDouble(entries.ptr());
        if (e == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return as_float(hl::journal_frequency(e, target));
    });
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

    kl::py::add_function(
        m, "classify_cognitive_health", &classify_fast,
        "classify_cognitive_health(stats, kelvane_score, admin)\n--\n\n"
        "The cognitive-health bucket (a CognitiveHealthStatus) of an agent.\n\n"
        "Tests in a fixed order, the first that holds deciding: OVERLOADED (seven-day dream\n"
        "failure rate above the profile's threshold), DRIFTING (demotion rate above its\n"
        "threshold), STAGNANT (few captures and little reinforcement), HEALTHY (score and dream\n"
        "success rate at or above their thresholds), otherwise STAGNANT.  Pass the score from\n"
        "compute_kelvane_score() with the same statistics and profile.");
    kl::py::add_function(
        m, "compute_memory_diversity", &diversity_fast,
        "compute_memory_diversity(event_type_counts)\n--\n\n"
        "Normalised Shannon entropy (base 2) of the event-type counts, in [0, 1].\n\n"
        "0.0 for an empty map, a single type or a total of zero or less; keys with zero counts\n"
        "widen the maximum without adding entropy.");
    kl::py::add_function(
        m, "compute_reinforcement_ratio", &ratio_fast,
        "compute_reinforcement_ratio(reinforced_count, total_memories)\n--\n\n"
        "Fraction of memories reinforced at least once, clamped to [0, 1]; 0.0 when there are\n"
        "no memories.");
    kl::py::add_function(
        m, "compute_kelvane_score", &score_fast,
        "compute_kelvane_score(stats, admin)\n--\n\n"
        "The composite kelvane score in [0, 1] of a statistics map under a TuningProfile.\n\n"
        "Weighs memory diversity, directive coherence (critic pass rate), dream health,\n"
        "reinforcement ratio and journal cadence with the profile's five kelvane weights,\n"
        "renormalised to sum to 1 (0.0 when they sum to zero or less).");
    kl::py::add_function(
        m, "remedy_url_for", &remedy_fast,
        "remedy_url_for(status)\n--\n\n"
        "Troubleshooting link for a health status: REMEDY_URL_BASE, '/', and the status's\n"
        "value; None for HEALTHY.");
    kl::py::add_function(
        m, "_journal_frequency_score", &journal_fast,
        "_journal_frequency_score(entries_7d, target_days)\n--\n\n"
        "Journal entries of the last seven days against the number a target interval of\n"
        "`target_days` expects, clamped to [0, 1]; 0.0 for a non-positive or infinite target.");

    nb::list all;
    for (const char* name : {"REMEDY_URL_BASE", "classify_cognitive_health",
                             "compute_memory_diversity", "compute_reinforcement_ratio",
                             "compute_kelvane_score", "remedy_url_for"})
        all.append(name);
    m.attr("__all__") = all;
}
