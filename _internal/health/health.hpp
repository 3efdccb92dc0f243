// Health scoring: the sub-scores, the composite kelvane score and the
// cognitive-health classifier.
//
// Results are reproducible to the last bit of a double: every operation is
// the one the reference arithmetic performs, in the same order (compensated
// weight total, products added left to right, integer ratios divided as the
// host divides integers).
//
// The statistics arrive as the host's maps, so the readers below work on
// host objects; every function raises nb::python_error with the host's own
// error when a value cannot be read or converted.
#pragma once

#include <nanobind/nanobind.h>

#include <array>

namespace kl::health {

namespace nb = nanobind;

inline constexpr const char* kRemedyUrlBase = "https://docs.kelvane-layer.dev/docs/troubleshooting";

// --- Pure arithmetic --------------------------------------------------------

// Less than 1.0, else 1.0; then greater than 0.0, else 0.0.  NaN becomes 1.0.
constexpr double clamp01(double v) noexcept {
    double hi = v < 1.0 ? v : 1.0;
    return hi > 0.0 ? hi : 0.0;
}

// Journal cadence of `entries` (already a double) against `target_days`.
double journal_frequency(double entries, double target_days) noexcept;

// Neumaier-compensated sum: running sum plus one correction added at the end.
double compensated_sum(const std::array<double, 5>& values) noexcept;

// The kelvane score from the raw profile weights and the five sub-scores in
// the fixed order diversity, coherence, dream health, reinforcement, journal.
double weighted_score(const std::array<double, 5>& weights,
                      const std::array<double, 5>& subscores) noexcept;

// --- Readers of host values -------------------------------------------------

// Loads the host modules this one depends on; call once while the module loads.
void init();

// The TuningProfile type (borrowed; alive for the life of the process).
PyObject* profile_type() noexcept;

// Whether `o` is a map: a dict or any collections.abc.Mapping.
bool is_mapping(nb::handle o);

double memory_diversity(nb::handle counts);
double reinforcement_ratio(nb::handle reinforced, nb::handle total);  // host ints
double kelvane_score(nb::handle stats, nb::handle profile);

enum class Status { Healthy, Drifting, Overloaded, Stagnant };
Status classify(nb::handle stats, double kelvane_score, nb::handle profile);

}  // namespace kl::health
