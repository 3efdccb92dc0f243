// Fact and claim extraction: prompts that ask the model for atomic
// (subject, attribute, value) triples, and the readers of its replies.
#pragma once

#include <vector>

#include "kl/json.hpp"
#include "kl/text.hpp"

namespace kl::extraction {

// System-prompt templates, exactly as sent (placeholders unrendered), and
// the user message that goes with each.
extern const TextView kExtractionSystem;
extern const TextView kExtractionUser;
extern const TextView kClaimExtractionSystem;
extern const TextView kClaimExtractionUser;

// `max_facts` / `max_claims` are the decimal text of the host's integer.
Text build_extraction_system(TextView memory_content, TextView max_facts, TextView role);
Text build_claim_extraction_system(TextView output, TextView max_claims);

enum class Failure { None, Undecodable, NotObject, NotList };

// One accepted triple; the texts are trimmed views into the decoded document.
struct Triple {
    TextView subject, attribute, value;
    double confidence;  // facts only
};

struct ParseResult {
    Failure failure = Failure::None;
    const char* type_name = nullptr;  // kind name for NotObject/NotList
};

// Both readers take the reply held in ws.reply (consumed) and append the
// accepted triples to `out`, whose texts point into ws.doc.

// Facts: entries need three non-blank strings and a numeric or boolean
// confidence in [0.5, 1.0].  NaN and integers beyond every finite double
// never pass, so every fact returned has a usable confidence.
ParseResult parse_facts(json::Workspace& ws, std::vector<Triple>& out);

// Claims: entries need three non-blank strings; anything else is ignored.
ParseResult parse_claims(json::Workspace& ws, std::vector<Triple>& out);

}  // namespace kl::extraction
