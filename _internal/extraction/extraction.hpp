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

// How a reply read (json::read_array_reply); Stopped: the binding's `accept`
// returned false (its error is set).
using json::Failure;
using json::Outcome;

// One accepted triple; the texts are trimmed views into the decoded document.
struct Triple {
    json::Str subject, attribute, value;
    double confidence;  // facts only
};

// Cleans and decodes `reply` into `doc` (see json::Document::parse_reply for
// `terminated`) and hands each accepted triple of its "facts" (or "claims")
// array, in reply order, to `accept` as soon as its entry is read; its
// texts point into the document, and only until `accept` returns.  A long
// reply is read through a window (json::Document::Streamed), so the triples
// come while the rest of the reply is still undecoded: they stand only when
// the outcome is Failure::None.  `restart` says that the triples handed on
// so far are void (a later member of the array's name replaces the one they
// came from).  Stops as soon as `accept` returns false (Failure::Stopped).
using Accept = FunctionRef<bool(const Triple&)>;
using Restart = FunctionRef<void()>;

// Facts: entries need three non-blank strings and a numeric or boolean
// confidence in [0.5, 1.0].  NaN and integers beyond every finite double
// never pass, so every fact returned has a usable confidence.
Outcome read_facts(const AnyText& reply, bool terminated, json::Document& doc, Accept accept,
                   Restart restart);

// Claims: entries need three non-blank strings; anything else is ignored.
Outcome read_claims(const AnyText& reply, bool terminated, json::Document& doc, Accept accept,
                    Restart restart);

}  // namespace kl::extraction
