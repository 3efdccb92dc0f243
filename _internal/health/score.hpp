// Health scoring on plain numbers: the sub-scores, the composite kelvane
// score and the cognitive-health decision.
//
// Results are reproducible to the last bit of a double: every operation is
// the one the reference arithmetic performs, in the same order (compensated
// weight total, products added left to right).  Reading the statistics and
// the profile, with the host's own conversions and exact integer ratios, is
// the binding's work; it hands the numbers over as doubles.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace kl::health {

inline constexpr const char* kRemedyUrlBase = "https://docs.kelvane-layer.dev/docs/troubleshooting";

// Less than 1.0, else 1.0; then greater than 0.0, else 0.0.  NaN becomes 1.0.
constexpr double clamp01(double v) noexcept {
    double hi = v < 1.0 ? v : 1.0;
    return hi > 0.0 ? hi : 0.0;
}

// The sub-score of a share that should lie in [0, 1] (reinforcement ratio).
constexpr double share_score(double share) noexcept { return clamp01(share); }

// Whether a journal target of `target_days` expects any entries in seven
// days; when it does not (non-positive or infinite target) the cadence is
// 0.0 and the entry count is never needed.  Each test is the negation of
// "<= 0", never "> 0": a NaN target is not <= 0, so its NaN quotient goes on
// to the clamp and scores 1.0, as every other NaN sub-score does.
constexpr bool journal_expects_entries(double target_days) noexcept {
    return !(target_days <= 0.0) && !(7.0 / target_days <= 0.0);
}
// Journal cadence of `entries` against `target_days` (0.0 when the target
// expects nothing).
double journal_frequency(double entries, double target_days) noexcept;

// Dream health: 1 - failures/runs when there were runs (unclamped: more
// failures than runs go negative), else the neutral 0.5.
constexpr double dream_health(bool has_runs, double failure_share) noexcept {
    return has_runs ? 1.0 - failure_share : 0.5;
}

// Shannon entropy (base 2) of event-type shares, normalised by its maximum
// over `distinct` types.  Add the share of every positive count in the
// map's order.
class Entropy {
public:
    void add(double share) noexcept { sum_ -= share * std::log2(share); }
    double normalised(std::size_t distinct) const noexcept;

private:
    double sum_ = 0.0;
};

// Neumaier-compensated sum: running sum plus one correction added at the end.
double compensated_sum(const std::array<double, 5>& values) noexcept;

// The kelvane score from the raw profile weights and the five sub-scores in
// the fixed order diversity, coherence, dream health, reinforcement, journal.
double weighted_score(const std::array<double, 5>& weights,
                      const std::array<double, 5>& subscores) noexcept;

// ---- Classification ----------------------------------------------------------

enum class Status { Healthy, Drifting, Overloaded, Stagnant, Unreadable };

// The profile thresholds the classifier consults.
enum class Threshold {
    OverloadedDreamFailure,
    DriftingDemotionRate,
    StagnantReinforcementRatio,
    KelvaneHealthy,
    DreamSuccessHealthy,
};

// The decision, in its fixed order: overloaded and drifting first (the more
// urgent findings when an agent is also stagnant), then stagnant, then
// healthy, else stagnant.  Unhealthy tests are strict, healthy ones
// inclusive.
//
// `in` answers the questions one at a time, in the order asked, so that a
// value the decision never reaches is never read:
//   bool dream_failure_rate(double&)    failures / runs, 0.0 without runs
//   bool threshold(Threshold, double&)
//   bool demotion_rate(double&)
//   bool reinforcement(double&)         reads captures, then the ratio
//   bool few_captures(bool&)            captures < the stagnant capture threshold
//   bool dream_success(double&)         the reported rate
//   bool no_runs()
// Each returns false when its value cannot be read (the reader keeps the
// reason); the decision then stops with Status::Unreadable.
template <class Reader>
Status classify(Reader& in, double kelvane_score) {
    double v = 0.0, limit = 0.0;
    if (!in.dream_failure_rate(v) || !in.threshold(Threshold::OverloadedDreamFailure, limit))
        return Status::Unreadable;
    if (v > limit) return Status::Overloaded;

    if (!in.demotion_rate(v) || !in.threshold(Threshold::DriftingDemotionRate, limit))
        return Status::Unreadable;
    if (v > limit) return Status::Drifting;

    double reinforcement = 0.0;
    bool few = false;
    if (!in.reinforcement(reinforcement) || !in.few_captures(few)) return Status::Unreadable;
    if (few) {
        if (!in.threshold(Threshold::StagnantReinforcementRatio, limit)) return Status::Unreadable;
        if (reinforcement < limit) return Status::Stagnant;
    }

    double success = 0.0;
    if (!in.dream_success(success)) return Status::Unreadable;
    if (in.no_runs()) success = 1.0;  // no runs, no evidence of failure

    if (!in.threshold(Threshold::KelvaneHealthy, limit)) return Status::Unreadable;
    if (kelvane_score >= limit) {
        if (!in.threshold(Threshold::DreamSuccessHealthy, limit)) return Status::Unreadable;
        if (success >= limit) return Status::Healthy;
    }
    return Status::Stagnant;
}

}  // namespace kl::health
