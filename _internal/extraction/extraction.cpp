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

// Decoding and the shape checks shared by both readers.  Returns the array
// of entries, or an absent value when there is nothing to walk.
json::Value entries_of(const AnyText& reply, bool terminated, json::Document& doc,
                       std::string_view member, ParseResult& r) {
    if (!doc.parse_reply(reply, terminated)) {
        r.failure = Failure::Undecodable;
        return {};
    }
    json::Value root = doc.root();
    if (!root.is(json::Kind::Object)) {
        r.failure = Failure::NotObject;
        r.type_name = root.kind_name();
        return {};
    }
    json::Value list = root.get(member);
    if (!list.present()) return {};  // no member: nothing extracted
    if (!list.is(json::Kind::Array)) {
        r.failure = Failure::NotList;
        r.type_name = list.kind_name();
        return {};
    }
    return list;
}

// The members an entry is read by; any other member is ignored and, as with
// any lookup, a repeated key counts with its last value.
struct Entry {
    json::Value subject, attribute, value, confidence;
};

Entry read_entry(json::Value obj) {
    Entry e;
    for (json::Member m : obj.members()) {
        // Told apart by length first: every entry repeats these four keys.
        switch (m.key.size()) {
            case 5:
                if (m.key == "value") e.value = m.value;
                break;
            case 7:
                if (m.key == "subject") e.subject = m.value;
                break;
            case 9:
                if (m.key == "attribute") e.attribute = m.value;
                break;
            case 10:
                if (m.key == "confidence") e.confidence = m.value;
                break;
            default: break;
        }
    }
    return e;
}

// A member that must be a string with something left after trimming.
bool usable_text(json::Value v, json::Str& out) {
    if (!v.is(json::Kind::String)) return false;
    out = json::trim(v.string());
    return !out.empty();
}

bool read_triple(const Entry& e, Triple& t) {
    return usable_text(e.subject, t.subject) && usable_text(e.attribute, t.attribute) &&
           usable_text(e.value, t.value);
}

}  // namespace

ParseResult parse_facts(const AnyText& reply, bool terminated, json::Document& doc,
                        std::vector<Triple>& out) {
    ParseResult r;
    json::Value list = entries_of(reply, terminated, doc, "facts", r);
    // Room for one triple per entry, so a long reply does not grow the
    // vector step by step.
    out.reserve(out.size() + list.size());
    for (json::Value item : list) {
        if (!item.is(json::Kind::Object)) continue;
        Entry entry = read_entry(item);
        Triple t{};
        if (!read_triple(entry, t)) continue;
        json::Value c = entry.confidence;
        double conf;
        if (c.is(json::Kind::Bool)) {
            conf = c.boolean() ? 1.0 : 0.0;
        } else if (c.is(json::Kind::Int) || c.is(json::Kind::Float)) {
            // An integer no finite double can hold is as malformed as any
            // other bad entry: dropped, never an error out of the reader.
            if (!c.to_double(conf)) continue;
        } else {
            continue;
        }
        // Written so that NaN fails too: a fact's confidence always lies
        // within [0.5, 1.0].
        if (!(conf >= 0.5 && conf <= 1.0)) continue;
        t.confidence = conf;
        out.push_back(t);
    }
    return r;
}

ParseResult parse_claims(const AnyText& reply, bool terminated, json::Document& doc,
                         std::vector<Triple>& out) {
    ParseResult r;
    json::Value list = entries_of(reply, terminated, doc, "claims", r);
    out.reserve(out.size() + list.size());
    for (json::Value item : list) {
        Triple t{};
        if (item.is(json::Kind::Object) && read_triple(read_entry(item), t)) out.push_back(t);
    }
    return r;
}

}  // namespace kl::extraction
