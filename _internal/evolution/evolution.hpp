// Directive evolution: the prompt that asks the model for new directives
// derived from a reflection cycle's insights, and the reader of its reply.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "kl/json.hpp"
#include "kl/text.hpp"

namespace kl::evolution {

// The system-prompt template, exactly as sent (placeholders unrendered).
extern const TextView kEvolutionSystem;
// The one user message that goes with it.
extern const TextView kEvolutionUser;

struct Insight {
    Text id;
    Text text;
};

// Renders the system prompt.  `max_per_cycle` is the decimal text of the
// limit (the host's integers have no fixed width); `style_guidance` is the
// raw guidance or nullopt.  Every directive and insight is shown, verbatim.
Text build_system_prompt(std::span<const Text> directives, std::span<const Insight> insights,
                         TextView max_per_cycle, std::optional<TextView> style_guidance);

enum class Failure { None, Undecodable, NotObject, ProposedNotList };

struct Proposal {
    TextView text;       // trimmed; a view into the decoded document
    std::size_t source;  // index into the sorted id list
};

struct ParseResult {
    Failure failure = Failure::None;
    const char* type_name = nullptr;  // kind name for NotObject/ProposedNotList
    std::vector<Proposal> proposals;
};

// Reads the reply held in ws.reply (consumed).  `sorted_ids` holds the valid
// insight ids in code-point order (so the fallback for an unknown source is
// index 0); with no ids the caller substitutes the empty text for every
// source.  Proposal texts point into ws.doc.
ParseResult parse_output(json::Workspace& ws, std::span<const TextView> sorted_ids);

}  // namespace kl::evolution
