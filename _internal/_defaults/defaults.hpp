// The balanced tuning values that the compatibility module republishes as
// upper-case constants, in publication order.  The values themselves come
// from a balanced TuningProfile built at load, read through the profile's
// interface (tuning_profile/c_api.hpp), so they cannot drift from the
// profile's defaults.
#pragma once

#include <array>
#include <string_view>

namespace kl::defaults {

struct Republished {
    std::string_view constant;  // module constant
    std::string_view field;     // TuningProfile field it copies
};

inline constexpr auto kRepublished = std::to_array<Republished>({
    {"SALIENCE_REINFORCEMENT_WEIGHT", "salience_reinforcement_weight"},
    {"SALIENCE_EMOTION_WEIGHT", "salience_emotion_weight"},
    {"SALIENCE_RECENCY_WEIGHT", "salience_recency_weight"},
    {"SALIENCE_REINFORCEMENT_CAP", "salience_reinforcement_cap"},
    {"SALIENCE_RECENCY_HALF_LIFE_DAYS", "salience_recency_half_life_days"},
    {"DECAY_FACTOR", "decay_factor"},
    {"DIRECTIVE_PROVISIONAL_DAYS", "directive_provisional_days"},
    {"DIRECTIVE_DECAY_USAGE_THRESHOLD", "directive_decay_usage_threshold"},
    {"DIRECTIVE_DECAY_AGE_DAYS", "directive_decay_age_days"},
    {"DIRECTIVE_MAX_VOLUME", "directive_max_volume"},
    {"CRITIC_MAX_DIRECTIVES", "critic_max_directives"},
    {"COHERENCE_THRESHOLD", "coherence_threshold"},
    {"ENTROPY_CHURN_WEIGHT", "entropy_churn_weight"},
    {"ENTROPY_VOLUME_WEIGHT", "entropy_volume_weight"},
    {"ENTROPY_STALENESS_WEIGHT", "entropy_staleness_weight"},
    {"ENTROPY_VOLUME_CAP", "entropy_volume_cap"},
    {"ENTROPY_STALE_DAYS", "entropy_stale_days"},
    {"ENTROPY_CYCLE_HOURS", "entropy_cycle_hours"},
    {"JOURNAL_MAX_CONTENT_SIZE", "journal_max_content_size"},
    {"JOURNAL_MAX_MEMORIES", "journal_max_memories"},
    {"JOURNAL_MIN_MEMORIES", "journal_min_memories"},
    {"DREAM_MAX_STEPS_SIZE", "dream_max_steps_size"},
    {"DREAM_EVOLVE_MAX_PER_CYCLE", "dream_evolve_max_per_cycle"},
    {"DREAM_EVOLVE_TEMPERATURE", "dream_evolve_temperature"},
});

// The published names, in order: the 24 constants with the three
// invariants placed among them where importers have always found them.
inline constexpr auto kAll = std::to_array<std::string_view>({
    "SALIENCE_REINFORCEMENT_WEIGHT", "SALIENCE_EMOTION_WEIGHT", "SALIENCE_RECENCY_WEIGHT",
    "SALIENCE_REINFORCEMENT_CAP", "SALIENCE_RECENCY_HALF_LIFE_DAYS", "DECAY_FACTOR",
    "DIRECTIVE_PROVISIONAL_DAYS", "DIRECTIVE_DECAY_USAGE_THRESHOLD", "DIRECTIVE_DECAY_AGE_DAYS",
    "DIRECTIVE_MAX_VOLUME", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "CRITIC_MAX_DIRECTIVES",
    "CRITIC_FLAG_TAXONOMY", "COHERENCE_THRESHOLD", "ENTROPY_CHURN_WEIGHT",
    "ENTROPY_VOLUME_WEIGHT", "ENTROPY_STALENESS_WEIGHT", "ENTROPY_VOLUME_CAP",
    "ENTROPY_STALE_DAYS", "ENTROPY_CYCLE_HOURS", "JOURNAL_MAX_CONTENT_SIZE",
    "JOURNAL_MAX_MEMORIES", "JOURNAL_MIN_MEMORIES", "DREAM_MAX_STEPS_SIZE",
    "DREAM_EVOLVE_MAX_PER_CYCLE", "DREAM_EVOLVE_TEMPERATURE", "DREAM_VALID_STATUSES",
});

inline constexpr std::array<std::string_view, 3> kInvariantNames = {
    "CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"};

}  // namespace kl::defaults
