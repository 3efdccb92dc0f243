#include "extraction/extraction.hpp"

namespace kl::extraction {

const std::string_view kExtractionSystem = R"tpl(You are an atomic fact extractor. Your task is to extract verifiable factual claims from a single memory excerpt.

MEMORY ROLE: {role}
MEMORY CONTENT:
{memory_block}

Extract at most {max_facts} atomic facts.

Rules:
- Each fact is a single (subject, attribute, value) triple.
- A fact must be EXPLICITLY stated in the memory — no inference, no paraphrase that adds meaning, no embellishment.
- Subject: the entity the fact is about (e.g., "Jorvan", "the user", "Acme Corp"). Use the most specific identifier present.
- Attribute: a short noun phrase naming the property (e.g., "location", "employer", "preferred_language"). snake_case preferred.
- Value: the asserted value, copied as faithfully as possible from the source.
- Confidence: 0.0-1.0. Use 0.9+ only for direct, unambiguous statements. Use 0.5-0.7 for paraphrasable but clear claims. Below 0.5 should not be emitted at all.
- Skip opinions, hypotheticals, questions, and meta-commentary about the conversation itself.
- If the memory contains no extractable facts, return an empty list.

Respond with JSON only — no preamble, no commentary:
{{"facts": [{{"subject": "...", "attribute": "...", "value": "...", "confidence": 0.0}}, ...]}}
)tpl";

const std::string_view kExtractionUser = "Extract facts.";

const std::string_view kClaimExtractionSystem = R"tpl(You are a claim extractor. Your task is to extract verifiable factual claims from a draft response an AI agent is about to send to a user.

DRAFT RESPONSE:
{output_block}

Extract at most {max_claims} atomic claims.

Rules:
- Each claim is a single (subject, attribute, value) triple.
- Only include claims that assert facts about the world or about specific entities (people, places, things, prior conversation history).
- Skip greetings, questions, opinions, suggestions, and meta-commentary ("I can help with that", "Would you like me to...").
- Skip claims about the agent's own capabilities or limitations.
- Subject: the entity the claim is about. Use the most specific identifier present.
- Attribute: a short noun phrase naming the property (snake_case preferred).
- Value: the asserted value, copied as faithfully as possible.
- If the draft contains no verifiable factual claims, return an empty list.

Respond with JSON only — no preamble, no commentary:
{{"claims": [{{"subject": "...", "attribute": "...", "value": "..."}}, ...]}}
)tpl";

const std::string_view kClaimExtractionUser = "Extract claims.";

const Template& extraction_template() {
    static const Template t(kExtractionSystem, {"role", "memory_block", "max_facts"});
    return t;
}

const Template& claim_template() {
    static const Template t(kClaimExtractionSystem, {"output_block", "max_claims"});
    return t;
}

namespace {

// The members an entry is read by, in this order; any other member is
// ignored and, as with any lookup, a repeated key counts with its last value.
enum Field { kSubject, kAttribute, kValue, kConfidence };

// A member that must be a string with something left after trimming.
inline bool usable_text(json::Value v, json::Str& out) {
    if (!v.is(json::Kind::String)) return false;
    json::Str s = json::trim(v.string());
    // Field by field: a copy of the whole struct is made with wide moves
    // that stall on the narrow stores that just built it.
    out.data = s.data;
    out.size = s.size;
    out.width = s.width;
    out.ascii = s.ascii;
    out.maxchar = s.maxchar;
    return s.size != 0;
}

// e: the picked members, kSubject..kValue at least.
inline bool read_triple(const json::Value* e, Triple& t) {
    return usable_text(e[kSubject], t.subject) && usable_text(e[kAttribute], t.attribute) &&
           usable_text(e[kValue], t.value);
}

// One entry of "facts": true when it was dropped or accepted, false when
// `accept` stopped.
bool fact_of(json::Value item, Accept accept) {
    json::Value entry[4];
    item.pick<"subject", "attribute", "value", "confidence">(entry);
    Triple t{};
    if (!read_triple(entry, t)) return true;
    json::Value c = entry[kConfidence];
    double conf;
    if (c.is(json::Kind::Bool)) {
        conf = c.boolean() ? 1.0 : 0.0;
    } else if (c.is(json::Kind::Int) || c.is(json::Kind::Float)) {
        // An integer no finite double can hold is as malformed as any
        // other bad entry: dropped, never an error out of the reader.
        if (!c.to_double(conf)) return true;
    } else {
        return true;
    }
    // Written so that NaN fails too: a fact's confidence always lies
    // within [0.5, 1.0].
    if (!(conf >= 0.5 && conf <= 1.0)) return true;
    t.confidence = conf;
    return accept(t);
}

bool claim_of(json::Value item, Accept accept) {
    json::Value entry[3];
    item.pick<"subject", "attribute", "value">(entry);
    Triple t{};
    return !read_triple(entry, t) || accept(t);
}

}  // namespace

Outcome read_facts(const AnyText& reply, bool terminated, json::Document& doc, Accept accept,
                   Restart restart) {
    auto entry = [&](json::Value item) { return fact_of(item, accept); };
    return json::read_array_reply(doc, reply, terminated, {"facts", entry, restart});
}

Outcome read_claims(const AnyText& reply, bool terminated, json::Document& doc, Accept accept,
                    Restart restart) {
    auto entry = [&](json::Value item) { return claim_of(item, accept); };
    return json::read_array_reply(doc, reply, terminated, {"claims", entry, restart});
}

}  // namespace kl::extraction
