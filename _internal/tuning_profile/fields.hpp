// The tuning profile's field table: names, balanced values, archetype values
// and docs, in declaration order.
//
// This table is the single source of truth of the record: declaration order,
// balanced values (the defaults), positional construction order, equality,
// hashing and the text form all follow it.  It is plain C++ (no host types),
// so the core of any module may read it; the TuningProfile type itself is
// built from it in module.cpp, and other modules reach profiles through the
// interface in c_api.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kl::tuning {

enum class Kind { Int, Float, Bool, OptText };

// A balanced (or archetype) value; `text` is used by OptText only, where
// nullptr means None.
struct Value {
    Kind kind;
    std::int64_t i = 0;
    double f = 0.0;
    const char* text = nullptr;
};

constexpr Value I(std::int64_t v) { return {Kind::Int, v, 0.0, nullptr}; }
constexpr Value F(double v) { return {Kind::Float, 0, v, nullptr}; }
constexpr Value B(bool v) { return {Kind::Bool, v ? 1 : 0, 0.0, nullptr}; }
constexpr Value T(const char* v) { return {Kind::OptText, 0, 0.0, v}; }

struct Field {
    std::string_view name;
    Value balanced;
    const char* doc;
};

inline constexpr auto kFields = std::to_array<Field>({
    // Salience scoring.
    {"salience_reinforcement_weight", F(0.4), "Weight of a memory's reinforcement in its salience."},
    {"salience_emotion_weight", F(0.4), "Weight of a memory's emotional intensity in its salience."},
    {"salience_recency_weight", F(0.2), "Weight of a memory's recency in its salience."},
    {"salience_reinforcement_cap", I(5), "Reinforcement count at which the reinforcement contribution stops growing."},
    {"salience_recency_half_life_days", F(7.0), "Half-life of the recency contribution, in days."},
    // Memory decay.
    {"decay_factor", F(0.9), "Multiplier applied by a decay pass; lower values decay faster."},
    {"weaken_days", I(30), "Age in days after which the decay pass weakens a memory."},
    {"archive_days", I(90), "Age in days after which a memory is archived."},
    {"emotional_immunity_threshold", F(0.7), "Emotional intensity of flashbulb memories, which decay spares."},
    // Directives.
    {"directive_provisional_days", I(7), "Days a newly evolved directive stays provisional."},
    {"directive_decay_usage_threshold", I(2), "Usage count a directive must reach to escape usage decay."},
    {"directive_decay_age_days", I(7), "Age in days from which an under-used directive decays."},
    {"directive_max_volume", I(50), "Most directives an agent keeps."},
    // Critic and coherence.
    {"critic_max_directives", I(20), "Most directives the critic checks a draft against."},
    {"coherence_threshold", F(0.6), "Coherence bar; higher is stricter."},
    // Memory entropy.
    {"entropy_churn_weight", F(0.4), "Weight of memory churn in the entropy measure."},
    {"entropy_volume_weight", F(0.4), "Weight of memory volume in the entropy measure."},
    {"entropy_staleness_weight", F(0.2), "Weight of staleness in the entropy measure."},
    {"entropy_volume_cap", F(50.0), "Volume at which the volume contribution saturates."},
    {"entropy_stale_days", I(30), "Age in days from which a memory counts as stale."},
    {"entropy_cycle_hours", I(24), "Cycle length in hours used by the entropy measure."},
    // Journal.
    {"journal_max_content_size", I(50000), "Upper bound on the memory content given to one journal entry."},
    {"journal_max_memories", I(50), "Most memories one journal entry draws on."},
    {"journal_min_memories", I(2), "Fewest memories needed before a journal entry is written."},
    // Reflection cycle and directive evolution.
    {"dream_max_steps_size", I(100000), "Upper bound on the size of one reflection cycle's step record."},
    {"dream_evolve_max_per_cycle", I(3), "Most directives one evolution step may propose."},
    {"dream_evolve_temperature", F(0.2), "Sampling temperature of the evolution LLM call."},
    {"dream_evolve_style_guidance", T(nullptr), "Extra phrasing rule for evolved directives, or None."},
    // Consolidation.
    {"consolidation_max_inputs", I(20), "Most memories one consolidation takes."},
    {"consolidation_min_salience", F(0.4), "Least salience a memory needs to be consolidated."},
    {"tier2_dedup_threshold", F(0.95), "Similarity from which two consolidated entries are duplicates."},
    // Context budget.
    {"max_context_chars", I(100000), "Most characters of assembled context sent with an LLM call."},
    // Fact extraction.
    {"enable_fact_extraction", B(false), "Whether facts are extracted from every captured memory."},
    {"fact_extraction_temperature", F(0.1), "Sampling temperature of the extraction LLM call."},
    {"fact_extraction_max_per_memory", I(8), "Most facts requested per memory."},
    {"facts_context_slot_chars", I(4000), "Characters of the context budget reserved for stored facts."},
    // Grounding verification by the critic.
    {"critic_verifies_grounding", B(false), "Whether the critic checks a draft's claims against stored facts."},
    {"grounding_max_claims", I(6), "Most claims extracted from one draft."},
    {"grounding_semantic_threshold", F(0.6), "Similarity from which a stored fact supports a claim by meaning."},
    // Composite kelvane score.
    {"kelvane_memory_diversity_weight", F(0.25), "Weight of the memory-diversity sub-score."},
    {"kelvane_directive_coherence_weight", F(0.2), "Weight of the directive-coherence sub-score."},
    {"kelvane_dream_health_weight", F(0.25), "Weight of the dream-health sub-score."},
    {"kelvane_reinforcement_ratio_weight", F(0.2), "Weight of the reinforcement-ratio sub-score."},
    {"kelvane_journal_frequency_weight", F(0.1), "Weight of the journal-cadence sub-score."},
    {"kelvane_journal_target_days", F(7.0), "Target interval between journal entries, in days."},
    // Cognitive-health classification.
    {"health_kelvane_healthy_threshold", F(0.65), "Least kelvane score for the healthy classification."},
    {"health_dream_success_healthy_threshold", F(0.9), "Least seven-day dream success rate for healthy."},
    {"health_stagnant_capture_threshold_7d", I(3), "Seven-day capture count below which an agent may be stagnant."},
    {"health_stagnant_reinforcement_ratio", F(0.05), "Reinforcement ratio below which an agent may be stagnant."},
    {"health_drifting_demotion_rate_threshold", F(0.4), "Seven-day demotion rate above which an agent is drifting."},
    {"health_overloaded_dream_failure_threshold", F(0.3), "Seven-day dream failure rate above which an agent is overloaded."},
    // Vector index of the PostgreSQL back-end.
    {"postgres_ivf_lists", I(100), "Number of inverted-file lists of the embedding index."},
    {"postgres_ivf_threshold_rows", I(1000), "Stored row count from which the back-end builds that index."},
    // Reflection-cycle concurrency.
    {"dream_phase_concurrency", I(2), "How many reflection-cycle phases run at the same time."},
});

inline constexpr std::size_t kFieldCount = kFields.size();

consteval std::size_t index_of(std::string_view name) {
    for (std::size_t i = 0; i < kFieldCount; ++i)
        if (kFields[i].name == name) return i;
    throw "unknown tuning profile field";  // a compile error in a constant expression
}

// Indices of the fields other modules read.
namespace idx {
#define KL_TUNING_IDX(name) inline constexpr std::size_t name = index_of(#name)
KL_TUNING_IDX(kelvane_memory_diversity_weight);
KL_TUNING_IDX(kelvane_directive_coherence_weight);
KL_TUNING_IDX(kelvane_dream_health_weight);
KL_TUNING_IDX(kelvane_reinforcement_ratio_weight);
KL_TUNING_IDX(kelvane_journal_frequency_weight);
KL_TUNING_IDX(kelvane_journal_target_days);
KL_TUNING_IDX(health_kelvane_healthy_threshold);
KL_TUNING_IDX(health_dream_success_healthy_threshold);
KL_TUNING_IDX(health_stagnant_capture_threshold_7d);
KL_TUNING_IDX(health_stagnant_reinforcement_ratio);
KL_TUNING_IDX(health_drifting_demotion_rate_threshold);
KL_TUNING_IDX(health_overloaded_dream_failure_threshold);
#undef KL_TUNING_IDX
}  // namespace idx

// ---- Archetype presets ------------------------------------------------------

// One field an archetype sets to a value of its own.
struct Override {
    std::size_t index;
    Value value;
};

// The two phrasing rules for evolved directives that archetypes set.
inline constexpr const char* kCodeReviewGuidance =
    "Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a function "
    "exceeds 50 lines, flag it for splitting').";
inline constexpr const char* kUserPerspectiveGuidance =
    "Phrase rules from the perspective of serving the user well, not from a business-strategy "
    "perspective. Avoid framing terms like 'retention', 'lifetime value', 'loyalty', "
    "'maximize', or 'strategically'. A rule the user would feel respected by, not manipulated "
    "by.";

inline constexpr auto kResearch = std::to_array<Override>({
    {index_of("salience_recency_half_life_days"), F(21.0)},
    {index_of("decay_factor"), F(0.95)},
    {index_of("weaken_days"), I(60)},
    {index_of("archive_days"), I(180)},
    {index_of("directive_max_volume"), I(100)},
    {index_of("critic_max_directives"), I(30)},
    {index_of("coherence_threshold"), F(0.5)},
    {index_of("journal_max_content_size"), I(100000)},
    {index_of("journal_max_memories"), I(100)},
    {index_of("dream_evolve_max_per_cycle"), I(5)},
    {index_of("dream_evolve_temperature"), F(0.4)},
    {index_of("consolidation_max_inputs"), I(30)},
    {index_of("consolidation_min_salience"), F(0.3)},
});

inline constexpr auto kCodingAssistant = std::to_array<Override>({
    {index_of("salience_recency_half_life_days"), F(3.0)},
    {index_of("decay_factor"), F(0.8)},
    {index_of("weaken_days"), I(14)},
    {index_of("archive_days"), I(60)},
    {index_of("directive_decay_usage_threshold"), I(3)},
    {index_of("directive_decay_age_days"), I(5)},
    {index_of("directive_max_volume"), I(40)},
    {index_of("coherence_threshold"), F(0.7)},
    {index_of("entropy_stale_days"), I(14)},
    {index_of("journal_max_memories"), I(30)},
    {index_of("dream_evolve_max_per_cycle"), I(2)},
    {index_of("dream_evolve_temperature"), F(0.1)},
    {index_of("dream_evolve_style_guidance"), T(kCodeReviewGuidance)},
    {index_of("consolidation_min_salience"), F(0.5)},
    {index_of("max_context_chars"), I(80000)},
});

inline constexpr auto kConsumerSupport = std::to_array<Override>({
    {index_of("dream_evolve_style_guidance"), T(kUserPerspectiveGuidance)},
});

inline constexpr auto kStrategicAdvisors = std::to_array<Override>({
    {index_of("salience_reinforcement_weight"), F(0.6)},
    {index_of("salience_emotion_weight"), F(0.2)},
    {index_of("salience_recency_half_life_days"), F(30.0)},
    {index_of("decay_factor"), F(0.95)},
    {index_of("weaken_days"), I(90)},
    {index_of("archive_days"), I(365)},
    {index_of("emotional_immunity_threshold"), F(0.8)},
    {index_of("directive_provisional_days"), I(14)},
    {index_of("directive_max_volume"), I(30)},
    {index_of("critic_max_directives"), I(25)},
    {index_of("coherence_threshold"), F(0.75)},
    {index_of("journal_max_memories"), I(30)},
    {index_of("dream_evolve_max_per_cycle"), I(2)},
    {index_of("dream_evolve_temperature"), F(0.15)},
    {index_of("consolidation_min_salience"), F(0.5)},
});

inline constexpr auto kLightweightLocal = std::to_array<Override>({
    {index_of("directive_max_volume"), I(20)},
    {index_of("critic_max_directives"), I(10)},
    {index_of("journal_max_content_size"), I(20000)},
    {index_of("journal_max_memories"), I(20)},
    {index_of("dream_evolve_max_per_cycle"), I(1)},
    // Set explicitly to the balanced value: small local models still need
    // a little exploration.
    {index_of("dream_evolve_temperature"), F(0.2)},
    {index_of("consolidation_max_inputs"), I(10)},
    {index_of("max_context_chars"), I(32000)},
});

enum class Preset { Balanced, Research, CodingAssistant, ConsumerSupport, StrategicAdvisors,
                    LightweightLocal };
inline constexpr std::size_t kPresetCount = 6;

// The fields a preset sets (none for the balanced profile); every other field
// keeps its balanced value.
constexpr std::span<const Override> overrides(Preset p) noexcept {
    switch (p) {
        case Preset::Balanced: return {};
        case Preset::Research: return kResearch;
        case Preset::CodingAssistant: return kCodingAssistant;
        case Preset::ConsumerSupport: return kConsumerSupport;
        case Preset::StrategicAdvisors: return kStrategicAdvisors;
        case Preset::LightweightLocal: return kLightweightLocal;
    }
    return {};
}

}  // namespace kl::tuning
