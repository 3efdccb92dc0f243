// Directive evolution: the prompt that asks the model for new directives
// derived from a reflection cycle's insights, and the reader of its reply.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "kl/json.hpp"
#include "kl/template.hpp"
#include "kl/text.hpp"

namespace kl::evolution {

// The system-prompt template, exactly as sent (placeholders unrendered,
// UTF-8), and the one user message that goes with it.
extern const std::string_view kEvolutionSystem;
extern const std::string_view kEvolutionUser;

// The system prompt's slots, in index order.
enum SystemSlot { kDirectivesBlock, kInsightsBlock, kMaxPerCycle, kStyleGuidanceBlock };
const Template& system_template();

// The directives block: one numbered line per directive (numbered from 1),
// lines separated by kLineBreak; kNoDirectives when there are none.
enum DirectiveSlot { kNumber, kDirective };
const Template& directive_line();
// The insights block: one bracketed line per insight, in order, separated
// by kLineBreak (nothing when there are none).
enum InsightSlot { kId, kText };
const Template& insight_line();
// Non-blank style guidance, trimmed, becomes one more rule bullet on its own
// line right after the last fixed rule; blank or absent guidance adds
// nothing.  One slot: the guidance.
const Template& style_rule();
extern const std::string_view kLineBreak;
extern const std::string_view kNoDirectives;

// Whether every template above is well formed (checked when the module
// loads).
bool templates_valid();

enum class Failure { None, Undecodable, NotObject, ProposedNotList };

struct Proposal {
    json::Str text;      // trimmed; a view into the decoded document
    std::size_t source;  // index into the sorted id list
};

struct ParseResult {
    Failure failure = Failure::None;
    const char* type_name = nullptr;  // kind name for NotObject/ProposedNotList
    std::vector<Proposal> proposals;
};

// Cleans and decodes `reply` into `doc` (see json::Document::parse_reply for
// `terminated`) and reads its proposals.  `sorted_ids` holds the valid
// insight ids as UTF-8 in code-point order (byte order of UTF-8 is
// code-point order), so the fallback for an unknown source is index 0; with
// no ids the caller substitutes the empty text for every source.
ParseResult parse_output(const AnyText& reply, bool terminated, json::Document& doc,
                         std::span<const std::string_view> sorted_ids);

}  // namespace kl::evolution
