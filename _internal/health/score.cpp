#include "health/score.hpp"

namespace kl::health {

double journal_frequency(double entries, double target_days) noexcept {
    if (!journal_expects_entries(target_days)) return 0.0;
    return clamp01(entries / (7.0 / target_days));
}

double Entropy::normalised(std::size_t distinct) const noexcept {
    double max_entropy = std::log2(static_cast<double>(distinct));
    if (max_entropy <= 0.0) return 0.0;
    return clamp01(sum_ / max_entropy);
}

double compensated_sum(const std::array<double, 5>& values) noexcept {
    double sum = 0.0;
    double correction = 0.0;
    for (double v : values) {
        double t = sum + v;
        if (std::fabs(sum) >= std::fabs(v))
            correction += (sum - t) + v;
        else
            correction += (v - t) + sum;
        sum = t;
    }
    return sum + correction;
}

double weighted_score(const std::array<double, 5>& weights,
                      const std::array<double, 5>& subscores) noexcept {
    double total = compensated_sum(weights);
    if (total <= 0.0) return 0.0;
    double score = 0.0;
    for (std::size_t i = 0; i < 5; ++i) score += (weights[i] / total) * subscores[i];
    return clamp01(score);
}

}  // namespace kl::health
