// Directive evolution: the prompt that asks the model for new directives
// derived from a reflection cycle's insights, and the reader of its reply.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "kl/function_ref.hpp"
#include "kl/json.hpp"
#include "kl/scratch.hpp"
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

// How a reply read (json::read_array_reply); NotList: "proposed" is not an
// array; Stopped: the binding's `accept` returned false (its error is set).
using json::Failure;
using json::Outcome;

// The cycle's insight ids, found by their code points: a hash table over
// them (made once per reply, linear in their total length) and the smallest
// one, which unknown sources fall back to, found while the table is made
// when every id is one byte a code point, else on first use.
class IdIndex {
public:
    explicit IdIndex(std::span<const AnyText> ids);
    // The position in `ids` of an id equal to `s`, or npos.
    std::size_t find(const AnyText& s) const noexcept;
    // The position of the smallest id in code-point order (0 with no ids).
    std::size_t smallest() const noexcept;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    // Per id: its first eight code points as one number (order_key in
    // evolution.cpp), and its length when that number tells the whole id
    // (kLong otherwise): most lookups never read the ids themselves.
    struct Note {
        std::uint64_t key;
        std::uint32_t short_size;
    };
    bool matches(std::size_t k, std::uint64_t key, std::uint32_t short_size,
                 const AnyText& s) const noexcept;

    std::span<const AnyText> ids_;
    std::size_t mask_;
    Scratch<std::uint32_t, 64> slots_;  // position + 1; 0 is an empty slot
    Scratch<Note, 32> notes_;
    mutable std::size_t smallest_ = npos;
};

// Cleans and decodes `reply` into `doc` (see json::Document::parse_reply for
// `terminated`) and hands each usable proposal of its "proposed" array, in
// reply order, to `accept` as soon as it is read: its text trimmed (a view
// into the document, valid until `accept` returns) and its source, a
// position in the ids.  A source that is unknown, missing or not text falls
// back to the smallest id; with no ids the position is 0 and the caller
// substitutes the empty text.  A long reply is read through a window
// (json::Document::Streamed), so proposals come while the rest of the reply
// is still undecoded: they stand only when the outcome is Failure::None.
// `restart` says that those handed on so far are void (a later "proposed"
// member replaces the one they came from).  Stops as soon as `accept`
// returns false (Failure::Stopped).
using Accept = FunctionRef<bool(const json::Str& text, std::size_t source)>;
using Restart = FunctionRef<void()>;
Outcome read_proposals(const AnyText& reply, bool terminated, json::Document& doc,
                       const IdIndex& ids, Accept accept, Restart restart);

}  // namespace kl::evolution
