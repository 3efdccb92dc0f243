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

ParseResult parse_output(const AnyText& reply, bool terminated, json::Document& doc,
                         std::span<const std::string_view> sorted_ids) {
    ParseResult r;
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
    for (json::Value entry : proposed) {
        if (!entry.is(json::Kind::Object)) continue;
        json::Value text = entry.get("text");
        if (!text.is(json::Kind::String)) continue;
        json::Str trimmed = json::trim(text.string());
        if (trimmed.empty()) continue;
        // An unknown, missing or non-text source falls back to the smallest
        // id (index 0), so every proposal cites one of the cycle's insights.
        std::size_t source = 0;
        json::Value sid = entry.get("source_insight_id");
        if (sid.is(json::Kind::String) && !sorted_ids.empty()) {
            std::string_view s = sid.string().utf8;
            auto it = std::lower_bound(sorted_ids.begin(), sorted_ids.end(), s);
            if (it != sorted_ids.end() && *it == s)
                source = static_cast<std::size_t>(it - sorted_ids.begin());
        }
        r.proposals.push_back({trimmed, source});
    }
    return r;
}

}  // namespace kl::evolution
