// Fact and claim extraction: prompts that ask the model for atomic
// (subject, attribute, value) triples, and the readers of its replies.
#pragma once

#include <string_view>

#include "kl/function_ref.hpp"
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

// A decoded reply and its array of entries.
struct Entries {
    Failure failure = Failure::None;
    const char* type_name = nullptr;  // kind name for NotObject/NotList
    json::Value list;                 // absent when there is nothing to walk
};

// Cleans and decodes `reply` into `doc` (see json::Document::parse_reply
// for `terminated`) and finds its "facts" (or "claims") array.
Entries find_facts(const AnyText& reply, bool terminated, json::Document& doc);
Entries find_claims(const AnyText& reply, bool terminated, json::Document& doc);

// Hands each accepted triple of the entries, in reply order, to `accept`;
// its texts point into the document.  Stops as soon as `accept` returns
// false (the binding's error is then set) and returns false.  At most
// entries.list.size() triples are handed on.
using Accept = FunctionRef<bool(const Triple&)>;

// Facts: entries need three non-blank strings and a numeric or boolean
// confidence in [0.5, 1.0].  NaN and integers beyond every finite double
// never pass, so every fact returned has a usable confidence.
bool for_each_fact(const Entries& entries, Accept accept);

// Claims: entries need three non-blank strings; anything else is ignored.
bool for_each_claim(const Entries& entries, Accept accept);

}  // namespace kl::extraction
