#include "evolution/evolution.hpp"

#include <bit>
#include <cstring>

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

Entries find_proposals(const AnyText& reply, bool terminated, json::Document& doc) {
    Entries r;
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
    r.list = proposed;
    return r;
}

namespace {

// A hash of a few code points and the length, so that a text hashes alike
// at any width and in constant time.  Ids are short and mostly differ at
// their ends ("ins-12", "ins-13"); equal hashes are told apart by
// comparison.
inline std::uint64_t hash_of(const AnyText& t) noexcept {
    const std::size_t n = t.size;
    if (n == 0) return 0;
    // The unit at i, at whichever width the text has: ids of one hash at
    // one width, so the branch is taken alike every time.
    auto at = [&t](std::size_t i) -> std::uint64_t {
        if (t.width == 1) return static_cast<const U1*>(t.data)[i];
        if (t.width == 2) return static_cast<const U2*>(t.data)[i];
        return static_cast<const U4*>(t.data)[i];
    };
    std::uint64_t h = (n * 0x9E3779B97F4A7C15ull) ^ (at(0) << 42) ^ (at(n / 2) << 21) ^
                      (at(n - 2 < n ? n - 2 : 0) << 7) ^ at(n - 1);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// Slots for n ids: a power of two at least twice n (none for no ids).
std::size_t slots_for(std::size_t n) noexcept {
    if (n == 0) return 0;
    std::size_t size = 4;
    while (size < 2 * n) size *= 2;
    return size;
}

}  // namespace

IdIndex::IdIndex(std::span<const AnyText> ids)
    : ids_(ids), mask_(slots_for(ids.size()) - 1), slots_(slots_for(ids.size())) {
    for (std::size_t k = 0; k < ids.size(); ++k) {
        for (std::size_t i = hash_of(ids[k]) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == 0) {
                slots_[i] = static_cast<std::uint32_t>(k + 1);
                break;
            }
            if (same_text(ids[slots_[i] - 1], ids[k])) break;  // an equal id is there
        }
    }
}

std::size_t IdIndex::find(const AnyText& s) const noexcept {
    if (ids_.empty()) return npos;
    for (std::size_t i = hash_of(s) & mask_; slots_[i] != 0; i = (i + 1) & mask_) {
        const AnyText& id = ids_[slots_[i] - 1];
        if (id.size == s.size && same_text(id, s)) return slots_[i] - 1;
    }
    return npos;
}

namespace {

// sizeof(Word) one-byte units at p as one big-endian number: one load,
// byte-swapped where the machine is little-endian.
template <class Word>
inline Word load_be(const U1* p) noexcept {
    Word w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::little) {
#if defined(__GNUC__) || defined(__clang__)
        if constexpr (sizeof(Word) == 8)
            w = __builtin_bswap64(w);
        else
            w = __builtin_bswap32(w);
#else
        Word r = 0;
        for (std::size_t i = 0; i < sizeof(Word); ++i, w >>= 8) r = (r << 8) | (w & 0xFF);
        w = r;
#endif
    }
    return w;
}

// The first eight units of a one-byte text as one number, most significant
// first and zero past its end: a smaller number is a smaller text in code
// point order, and only equal numbers need the whole comparison.  Without a
// loop over the units for the usual ids ("ins-12"): a text of four to seven
// units is its first four and its last four, overlapping, each one load.
inline std::uint64_t order_key(const AnyText& t) noexcept {
    const U1* u = static_cast<const U1*>(t.data);
    const std::size_t n = t.size;
    if (n >= 8) return load_be<std::uint64_t>(u);
    if (n >= 4)
        return (std::uint64_t{load_be<std::uint32_t>(u)} << 32) |
               (std::uint64_t{load_be<std::uint32_t>(u + n - 4)} << (64 - 8 * n));
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < n; ++i) key |= std::uint64_t{u[i]} << (56 - 8 * i);
    return key;
}

}  // namespace

std::size_t IdIndex::smallest() const noexcept {
    if (smallest_ == npos) {
        bool narrow = true;
        for (const AnyText& id : ids_) narrow &= id.width == 1;
        std::size_t best = 0;
        if (narrow && !ids_.empty()) {
            std::uint64_t best_key = order_key(ids_[0]);
            for (std::size_t k = 1; k < ids_.size(); ++k) {
                std::uint64_t key = order_key(ids_[k]);
                if (key < best_key || (key == best_key && compare_text(ids_[k], ids_[best]) < 0)) {
                    best = k;
                    best_key = key;
                }
            }
        } else {
            for (std::size_t k = 1; k < ids_.size(); ++k)
                if (compare_text(ids_[k], ids_[best]) < 0) best = k;
        }
        smallest_ = best;
    }
    return smallest_;
}

bool for_each_proposal(const Entries& entries, const IdIndex& ids, Accept accept) {
    enum { kText, kSource };
    static constexpr std::string_view kKeys[] = {"text", "source_insight_id"};
    for (json::Value item : entries.list) {
        json::Value entry[2];
        item.pick(kKeys, entry);
        if (!entry[kText].is(json::Kind::String)) continue;
        json::Str trimmed = json::trim(entry[kText].string());
        if (trimmed.size == 0) continue;
        // An unknown, missing or non-text source falls back to the smallest
        // id, so every proposal cites one of the cycle's insights.
        std::size_t source = IdIndex::npos;
        if (entry[kSource].is(json::Kind::String)) source = ids.find(entry[kSource].string());
        if (source == IdIndex::npos) source = ids.smallest();
        if (!accept(trimmed, source)) return false;
    }
    return true;
}

}  // namespace kl::evolution
