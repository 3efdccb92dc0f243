// Prompt templates: named placeholders between single braces, doubled braces
// as escapes, rendered in one pass so inserted text is never rescanned.
#pragma once

#include <initializer_list>
#include <span>
#include <vector>

#include "kl/text.hpp"

namespace kl {

class Template {
public:
    // Parses `source` once.  `slots` lists the placeholder names; render()
    // takes the values in that same order.  A placeholder not in `slots`, or a
    // lone brace, is a programming error and throws std::logic_error (the
    // templates are constants, so this fires at module import, never later).
    Template(TextView source, std::initializer_list<TextView> slots);

    // Appends the rendered text to `out`.  values[i] replaces slot i.
    void render_into(Text& out, std::span<const TextView> values) const;
    Text render(std::span<const TextView> values) const;
    Text render(std::initializer_list<TextView> values) const {
        return render(std::span<const TextView>(values.begin(), values.size()));
    }

    // Size of the fixed text, for callers that reserve output space.
    std::size_t fixed_size() const noexcept { return fixed_size_; }
    std::size_t slot_count() const noexcept { return slot_count_; }

private:
    struct Piece {
        std::size_t begin, length;  // literal run in literals_, or
        int slot;                   // >= 0: placeholder index
    };
    Text literals_;
    std::vector<Piece> pieces_;
    std::size_t fixed_size_ = 0;
    std::size_t slot_count_ = 0;
};

}  // namespace kl
