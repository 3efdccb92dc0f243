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

// order_key of a text of any width or of fewer than four units.
std::uint64_t order_key_slow(const AnyText& t) noexcept {
    return t.visit([](auto v) {
        std::uint64_t key = 0;
        for (std::size_t i = 0; i < v.size() && i < 8; ++i)
            key |= std::uint64_t{static_cast<std::uint8_t>(v[i])} << (56 - 8 * i);
        return key;
    });
}

// The low bytes of a text's first eight code points as one number, most
// significant first and zero past its end.  Equal texts have equal keys,
// at any width.  For one-byte texts a smaller key is a smaller text in code
// point order, and one-byte texts of at most eight units with equal keys
// and lengths are equal.  Without a loop over the units for the usual ids
// ("ins-12"): a text of four to seven units is its first four and its last
// four, overlapping, each one load.
[[gnu::always_inline]] inline std::uint64_t order_key(const AnyText& t) noexcept {
    const std::size_t n = t.size;
    if (t.width != 1 || n < 4) return order_key_slow(t);
    const U1* u = static_cast<const U1*>(t.data);
    if (n >= 8) return load_be<std::uint64_t>(u);
    return (std::uint64_t{load_be<std::uint32_t>(u)} << 32) |
           (std::uint64_t{load_be<std::uint32_t>(u + n - 4)} << (64 - 8 * n));
}

// The length of a one-byte text of at most eight units, which its key then
// tells completely; kLong for any other text.
constexpr std::uint32_t kLong = 0xFFFFFFFFu;
inline std::uint32_t short_size(const AnyText& t) noexcept {
    return t.width == 1 && t.size <= 8 ? static_cast<std::uint32_t>(t.size) : kLong;
}

constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMul2 = 0xBF58476D1CE4E5B9ull;

// The last mixing step: every bit of h reaches the low bits a table slot
// is taken from.
inline std::uint64_t finish(std::uint64_t h) noexcept {
    h *= kMul2;
    return h ^ (h >> 29);
}

// The low bytes of eight code points from `at` on, as a native load of the
// same text stored one byte a code point gives them.
template <class U>
inline std::uint64_t word_at(const U* u, std::size_t at) noexcept {
    std::uint64_t w = 0;
    if constexpr (sizeof(U) == 1) {
        std::memcpy(&w, u + at, sizeof w);
    } else {
        for (std::size_t j = 0; j < 8; ++j) {
            const std::uint64_t byte = static_cast<std::uint8_t>(u[at + j]);
            w |= byte << (8 * (std::endian::native == std::endian::little ? j : 7 - j));
        }
    }
    return w;
}

// A hash of the whole text and its length, alike at any width.  The low
// byte of every code point counts: a text of at most eight code points is
// its key, a longer one is read in words, so that ids alike but for a few
// units in the middle ("ins-00017-a", "ins-00018-a") do not share a chain
// of slots: whole words, then the last eight units, overlapping.  The rest
// of each code point is folded in apart, and only when some code point has
// one (never in a one-byte text), so that a text hashes the same at every
// width that holds it.
template <class U>
inline std::uint64_t hash_long(const U* u, std::size_t n) noexcept {
    std::uint64_t h = n * kMul1;
    auto mix = [&h](std::uint64_t w) {
        h = (h ^ w) * kMul1;
        h ^= h >> 32;
    };
    for (std::size_t at = 0; at + 8 < n; at += 8) mix(word_at(u, at));
    mix(word_at(u, n - 8));
    return h;
}

template <class U>
inline std::uint64_t high_parts(const U* u, std::size_t n) noexcept {
    std::uint64_t hi = 0;
    for (std::size_t i = 0; i < n; ++i) hi = (hi ^ (std::uint64_t{u[i]} >> 8)) * kMul1;
    return hi;
}

// hash_of for a text stored two or four bytes a code point.
std::uint64_t hash_wide(const AnyText& t, std::uint64_t h) noexcept {
    if (t.size > 8) h = t.visit([&t](auto v) { return hash_long(v.data(), t.size); });
    return h ^ t.visit([&t](auto v) { return high_parts(v.data(), t.size); });
}

[[gnu::always_inline]] inline std::uint64_t hash_of(const AnyText& t, std::uint64_t key) noexcept {
    std::uint64_t h = 0;
    if (t.size <= 8) {
        h = (key ^ (t.size * kMul2)) * kMul1;
        h ^= h >> 32;
    }
    if (t.width != 1)
        h = hash_wide(t, h);
    else if (t.size > 8)
        h = hash_long(static_cast<const U1*>(t.data), t.size);
    return finish(h);
}

// Slots for n ids: a power of two at least twice n.
std::size_t slots_for(std::size_t n) noexcept {
    std::size_t size = 4;
    while (size < 2 * n) size *= 2;
    return size;
}

}  // namespace

IdIndex::IdIndex(std::span<const AnyText> ids)
    : ids_(ids),
      mask_(slots_for(ids.size()) - 1),
      slots_(slots_for(ids.size())),
      notes_(ids.size(), kUninitialised) {
    // One pass: each id goes into the table, and while every id is one
    // byte a unit the smallest is kept by its key on the way (that costs
    // less than a second pass when a source falls back to it).
    bool narrow = true;
    std::size_t best = 0;
    std::uint64_t best_key = 0;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const AnyText& id = ids[k];
        const std::uint64_t key = order_key(id);
        const std::uint32_t size = short_size(id);
        notes_[k] = {key, size};
        if (narrow && (narrow = id.width == 1)) {
            if (k == 0 || key < best_key || (key == best_key && compare_text(id, ids[best]) < 0)) {
                best = k;
                best_key = key;
            }
        }
        for (std::size_t i = hash_of(id, key) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == 0) {
                slots_[i] = static_cast<std::uint32_t>(k + 1);
                break;
            }
            if (matches(slots_[i] - 1, key, size, id)) break;  // an equal id is there
        }
    }
    if (narrow) smallest_ = best;
}

inline bool IdIndex::matches(std::size_t k, std::uint64_t key, std::uint32_t short_size,
                             const AnyText& s) const noexcept {
    const Note& note = notes_[k];
    if (note.key != key) return false;
    // Both short and one byte a unit: the keys told them completely.
    if (note.short_size == short_size && short_size != kLong) return true;
    return same_text(ids_[k], s);
}

std::size_t IdIndex::find(const AnyText& s) const noexcept {
    if (ids_.empty()) return npos;
    const std::uint64_t key = order_key(s);
    const std::uint32_t size = short_size(s);
    for (std::size_t i = hash_of(s, key) & mask_; slots_[i] != 0; i = (i + 1) & mask_)
        if (matches(slots_[i] - 1, key, size, s)) return slots_[i] - 1;
    return npos;
}

std::size_t IdIndex::smallest() const noexcept {
    if (smallest_ == npos) {  // some id is wider than one byte a unit
        std::size_t best = 0;
        for (std::size_t k = 1; k < ids_.size(); ++k)
            if (compare_text(ids_[k], ids_[best]) < 0) best = k;
        smallest_ = best;
    }
    return smallest_;
}

namespace {

// One element of "proposed": true when it was dropped or accepted, false
// when `accept` stopped.
bool proposal_of(json::Value item, const IdIndex& ids, Accept accept) {
    enum { kText, kSource };
    json::Value entry[2];
    item.pick<"text", "source_insight_id">(entry);
    if (!entry[kText].is(json::Kind::String)) return true;
    json::Str trimmed = json::trim(entry[kText].string());
    if (trimmed.size == 0) return true;
    // An unknown, missing or non-text source falls back to the smallest id,
    // so every proposal cites one of the cycle's insights.
    std::size_t source = IdIndex::npos;
    if (entry[kSource].is(json::Kind::String)) source = ids.find(entry[kSource].string());
    if (source == IdIndex::npos) source = ids.smallest();
    return accept(trimmed, source);
}

}  // namespace

Outcome read_proposals(const AnyText& reply, bool terminated, json::Document& doc,
                       const IdIndex& ids, Accept accept, Restart restart) {
    auto element = [&](json::Value item) { return proposal_of(item, ids, accept); };
    return json::read_array_reply(doc, reply, terminated, {"proposed", element, restart});
}

}  // namespace kl::evolution
