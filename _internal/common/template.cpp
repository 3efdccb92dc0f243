#include "kl/template.hpp"

#include <stdexcept>

namespace kl {

Template::Template(TextView source, std::initializer_list<TextView> slots)
    : slot_count_(slots.size()) {
    std::vector<TextView> names(slots);
    std::size_t run_begin = 0;
    auto close_run = [&] {
        if (literals_.size() > run_begin)
            pieces_.push_back({run_begin, literals_.size() - run_begin, -1});
        run_begin = literals_.size();
    };
    for (std::size_t i = 0; i < source.size(); ++i) {
        char32_t c = source[i];
        if (c == U'{' || c == U'}') {
            if (i + 1 < source.size() && source[i + 1] == c) {
                literals_.push_back(c);
                ++i;
                continue;
            }
            if (c == U'}') throw std::logic_error("template: lone closing brace");
            std::size_t end = source.find(U'}', i + 1);
            if (end == TextView::npos) throw std::logic_error("template: unclosed placeholder");
            TextView name = source.substr(i + 1, end - i - 1);
            int slot = -1;
            for (std::size_t k = 0; k < names.size(); ++k)
                if (names[k] == name) slot = static_cast<int>(k);
            if (slot < 0) throw std::logic_error("template: unknown placeholder");
            close_run();
            pieces_.push_back({0, 0, slot});
            i = end;
            continue;
        }
        literals_.push_back(c);
    }
    close_run();
    fixed_size_ = literals_.size();
}

void Template::render_into(Text& out, std::span<const TextView> values) const {
    if (values.size() != slot_count_) throw std::logic_error("template: wrong value count");
    std::size_t total = out.size() + fixed_size_;
    for (const Piece& p : pieces_)
        if (p.slot >= 0) total += values[static_cast<std::size_t>(p.slot)].size();
    out.reserve(total);
    const char32_t* lit = literals_.data();
    for (const Piece& p : pieces_) {
        if (p.slot >= 0)
            out.append(values[static_cast<std::size_t>(p.slot)]);
        else
            out.append(lit + p.begin, p.length);
    }
}

Text Template::render(std::span<const TextView> values) const {
    Text out;
    render_into(out, values);
    return out;
}

}  // namespace kl
