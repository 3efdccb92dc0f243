// Fact and claim extraction: prompts that ask the model for atomic
// (subject, attribute, value) triples, and the readers of its replies.
#pragma once

#include <string_view>
#include <vector>

#include "kl/json.hpp"
#include "kl/template.hpp"
#include "kl/text.hpp"

namespace kl::extraction {

// System-prompt templates, exactly as sent (placeholders unrendered, UTF-8),
// and the user message that goes with each.
extern const std::string_view kExtractionSystem;
extern const std::string_view kExtractionUser;
extern const std::string_view kClaimExtractionSystem;
extern const std::string_view kClaimExtractionUser;

// The templates themselves.  Fact extraction's slots, in index order:
// role, memory_block, max_facts; claim extraction's: output_block,
// max_claims.  The memory and the draft are inserted trimmed.
enum FactSlot { kRole, kMemoryBlock, kMaxFacts };
enum ClaimSlot { kOutputBlock, kMaxClaims };
const Template& extraction_template();
const Template& claim_template();

enum class Failure { None, Undecodable, NotObject, NotList };

// One accepted triple; the texts are trimmed views into the decoded document.
struct Triple {
    json::Str subject, attribute, value;
    double confidence;  // facts only
};

struct ParseResult {
    Failure failure = Failure::None;
    const char* type_name = nullptr;  // kind name for NotObject/NotList
};

// Both readers clean and decode `reply` into `doc` (see
// json::Document::parse_reply for `terminated`) and append the accepted
// triples to `out`, whose texts point into doc.

// Facts: entries need three non-blank strings and a numeric or boolean
// confidence in [0.5, 1.0].  NaN and integers beyond every finite double
// never pass, so every fact returned has a usable confidence.
ParseResult parse_facts(const AnyText& reply, bool terminated, json::Document& doc,
                        std::vector<Triple>& out);

// Claims: entries need three non-blank strings; anything else is ignored.
ParseResult parse_claims(const AnyText& reply, bool terminated, json::Document& doc,
                         std::vector<Triple>& out);

}  // namespace kl::extraction
