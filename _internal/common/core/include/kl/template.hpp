// Prompt templates: the one mechanism every prompt, line and list entry of
// the system is rendered through.
//
// A template holds named placeholders, each a name between single braces,
// and writes each doubled brace as one brace.  It is parsed once (templates
// are constants) into a list of pieces, fixed runs and placeholders, and
// rendering walks that list a single time, so text inserted for a
// placeholder is never scanned for placeholders again.
//
// The core knows nothing of where the values come from: walk() hands each
// fixed run to one callback and each placeholder's index to another, and the
// caller writes what belongs there (the binding layer writes host values
// straight into the result str).
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kl/text.hpp"

namespace kl {

class Template {
public:
    // `source` is UTF-8.  `slots` lists the placeholder names; a
    // placeholder's index is its position in that list.  A placeholder not
    // in `slots`, a lone brace or malformed UTF-8 leaves the template
    // invalid (see valid()); templates are constants, so the modules check
    // this when they load.
    Template(std::string_view source, std::initializer_list<std::string_view> slots);
    Template(const Template&) = delete;
    Template& operator=(const Template&) = delete;

    bool valid() const noexcept { return valid_; }

    // Code points of the fixed text, and the maxchar class of all of it.
    std::size_t fixed_size() const noexcept { return fixed_size_; }
    char32_t fixed_maxchar() const noexcept { return fixed_maxchar_; }

    // Calls lit(AnyText) for each fixed run and slot(int) for each
    // placeholder, in order; stops early, returning false, as soon as a
    // callback returns false.
    template <class Lit, class Slot>
    bool walk(Lit&& lit, Slot&& slot) const {
        for (const Piece& p : pieces_) {
            bool ok = p.slot >= 0 ? slot(p.slot) : lit(literal(p));
            if (!ok) return false;
        }
        return true;
    }

    // The whole text with every placeholder left empty.
    std::u32string fixed_text() const;

private:
    struct Piece {
        std::size_t begin, length;  // fixed run in the literal store
        int slot;                   // >= 0: placeholder index
        bool ascii = false;         // fixed run: every code point below U+0080
        char32_t maxchar = 0;       // fixed run: its maxchar class
    };
    AnyText literal(const Piece& p) const noexcept;

    std::vector<Piece> pieces_;
    std::u32string lit32_;
    std::u16string lit16_;  // filled when every fixed code point fits
    std::u8string lit8_;    // filled when every fixed code point is Latin-1
    std::size_t fixed_size_ = 0;
    char32_t fixed_maxchar_ = 0x7F;
    bool valid_ = true;
};

}  // namespace kl
