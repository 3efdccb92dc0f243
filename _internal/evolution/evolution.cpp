#include "evolution/evolution.hpp"

#include <algorithm>

namespace kl::evolution {

const std::string_view kEvolutionSystem = R"tpl(You are a behavioral directive engine. Your task is to derive new behavioral rules for an AI agent based on distilled insights from its recent experience.

CURRENT DIRECTIVES:
{directives_block}

INSIGHTS FROM THIS REFLECTION CYCLE:
{insights_block}

Derive at most {max_per_cycle} new behavioral directives.

Rules:
- Each directive must be a single imperative sentence (≤ 15 words).
- Directives must be concrete and behavioral, not aspirational.
- Do not restate or paraphrase any existing directive.
- Anchor each rule to an observable trigger and a concrete action (e.g., "When X happens, do Y"). Avoid abstract goals.
- If the insights yield no new actionable rules, return an empty list.{style_guidance_block}

Respond with JSON only — no preamble, no commentary:
{{"proposed": [{{"text": "...", "source_insight_id": "..."}}, ...]}}
)tpl";

const std::string_view kEvolutionUser = "Generate directive proposals.";
const std::string_view kLineBreak = "\n";
const std::string_view kNoDirectives = "(none)";

const Template& system_template() {
    static const Template t(kEvolutionSystem, {"directives_block", "insights_block",
                                               "max_per_cycle", "style_guidance_block"});
    return t;
}

const Template& directive_line() {
    static const Template t("{number}. {directive}", {"number", "directive"});
    return t;
}

const Template& insight_line() {
    static const Template t("[{id}]: {text}", {"id", "text"});
    return t;
}

const Template& style_rule() {
    static const Template t("\n- {guidance}", {"guidance"});
    return t;
}

bool templates_valid() {
    return system_template().valid() && directive_line().valid() && insight_line().valid() &&
           style_rule().valid();
}

Entries find_proposals(const AnyText& reply, bool terminated, json::Document& doc) {
    Entries r;
    if (!doc.parse_reply(reply, terminated)) {
        r.failure = Failure::Undecodable;
        return r;
    }
    json::Value root = doc.root();
    if (!root.is(json::Kind::Object)) {
        r.failure = Failure::NotObject;
        r.type_name = root.kind_name();
        return r;
    }
    json::Value proposed = root.get("proposed");
    if (!proposed.present()) return r;  // no member: nothing proposed
    if (!proposed.is(json::Kind::Array)) {
        r.failure = Failure::ProposedNotList;
        r.type_name = proposed.kind_name();
        return r;
    }
    r.list = proposed;
    return r;
}

void sort_ids(std::span<KnownId> ids) {
    std::sort(ids.begin(), ids.end(), [](const KnownId& a, const KnownId& b) {
        return compare_text(a.text, b.text) < 0;
    });
}

bool for_each_proposal(const Entries& entries, std::span<const KnownId> sorted_ids,
                       Accept accept) {
    enum { kText, kSource };
    static constexpr std::string_view kKeys[] = {"text", "source_insight_id"};
    for (json::Value item : entries.list) {
        json::Value entry[2];
        item.pick(kKeys, entry);
        if (!entry[kText].is(json::Kind::String)) continue;
        json::Str trimmed = json::trim(entry[kText].string());
        if (trimmed.size == 0) continue;
        // An unknown, missing or non-text source falls back to the smallest
        // id (index 0), so every proposal cites one of the cycle's insights.
        std::size_t source = 0;
        if (entry[kSource].is(json::Kind::String) && !sorted_ids.empty()) {
            json::Str s = entry[kSource].string();
            auto it = std::lower_bound(
                sorted_ids.begin(), sorted_ids.end(), s,
                [](const KnownId& id, const json::Str& v) { return compare_text(id.text, v) < 0; });
            if (it != sorted_ids.end() && same_text(it->text, s))
                source = static_cast<std::size_t>(it - sorted_ids.begin());
        }
        if (!accept(trimmed, source)) return false;
    }
    return true;
}

}  // namespace kl::evolution
