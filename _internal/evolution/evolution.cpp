#include "evolution/evolution.hpp"

#include <algorithm>

#include "kl/template.hpp"

namespace kl::evolution {

const TextView kEvolutionSystem = UR"tpl(You are a behavioral directive engine. Your task is to derive new behavioral rules for an AI agent based on distilled insights from its recent experience.

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

const TextView kEvolutionUser = U"Generate directive proposals.";

namespace {

const Template& system_template() {
    static const Template t(kEvolutionSystem, {U"directives_block", U"insights_block",
                                               U"max_per_cycle", U"style_guidance_block"});
    return t;
}

}  // namespace

Text build_system_prompt(std::span<const Text> directives, std::span<const Insight> insights,
                         TextView max_per_cycle, std::optional<TextView> style_guidance) {
    Text directives_block;
    if (directives.empty()) {
        directives_block = U"(none)";
    } else {
        for (std::size_t i = 0; i < directives.size(); ++i) {
            if (i) directives_block.push_back(U'\n');
            append_int(directives_block, static_cast<long long>(i + 1));
            directives_block.append(U". ");
            directives_block.append(directives[i]);
        }
    }

    Text insights_block;
    for (std::size_t i = 0; i < insights.size(); ++i) {
        if (i) insights_block.push_back(U'\n');
        insights_block.push_back(U'[');
        insights_block.append(insights[i].id);
        insights_block.append(U"]: ");
        insights_block.append(insights[i].text);
    }

    // The guidance becomes one more rule bullet, on its own line right after
    // the last fixed rule; blank guidance adds nothing.
    Text style_block;
    if (style_guidance) {
        TextView g = trim(*style_guidance);
        if (!g.empty()) {
            style_block.append(U"\n- ");
            style_block.append(g);
        }
    }

    return system_template().render(
        {TextView(directives_block), TextView(insights_block), max_per_cycle, TextView(style_block)});
}

ParseResult parse_output(json::Workspace& ws, std::span<const TextView> sorted_ids) {
    ParseResult r;
    if (!json::decode_reply(ws)) {
        r.failure = Failure::Undecodable;
        return r;
    }
    json::Value root = ws.doc.root();
    if (!root.is(json::Kind::Object)) {
        r.failure = Failure::NotObject;
        r.type_name = root.kind_name();
        return r;
    }
    json::Value proposed = root.get(U"proposed");
    if (!proposed.present()) return r;  // no member: nothing proposed
    if (!proposed.is(json::Kind::Array)) {
        r.failure = Failure::ProposedNotList;
        r.type_name = proposed.kind_name();
        return r;
    }
    for (json::Value entry : proposed) {
        if (!entry.is(json::Kind::Object)) continue;
        json::Value text = entry.get(U"text");
        if (!text.is(json::Kind::String)) continue;
        TextView trimmed = trim(text.string());
        if (trimmed.empty()) continue;
        // An unknown, missing or non-text source falls back to the smallest
        // id (index 0), so every proposal cites one of the cycle's insights.
        std::size_t source = 0;
        json::Value sid = entry.get(U"source_insight_id");
        if (sid.is(json::Kind::String) && !sorted_ids.empty()) {
            TextView s = sid.string();
            auto it = std::lower_bound(sorted_ids.begin(), sorted_ids.end(), s);
            if (it != sorted_ids.end() && *it == s)
                source = static_cast<std::size_t>(it - sorted_ids.begin());
        }
        r.proposals.push_back({trimmed, source});
    }
    return r;
}

}  // namespace kl::evolution
