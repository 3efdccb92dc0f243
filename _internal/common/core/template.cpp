#include "kl/template.hpp"

#include <algorithm>

namespace kl {

namespace {

// Decodes strict UTF-8 into code points; false on a malformed sequence.
bool utf8_to_u32(std::string_view s, std::u32string& out) {
    Utf8Shape shape = utf8_shape(s);
    out.resize(shape.size);
    decode_utf8(s, out.data());
    // utf8_shape passes malformed bytes through one by one; a template must
    // not contain any, so re-encoding has to give the source back.
    std::string back;
    append_utf8(back, AnyText{out.data(), out.size(), 4, false});
    return back == s;
}

}  // namespace

Template::Template(std::string_view source, std::initializer_list<std::string_view> slots) {
    std::u32string src;
    if (!utf8_to_u32(source, src)) {
        valid_ = false;
        return;
    }
    std::vector<std::u32string> names;
    for (std::string_view s : slots) {
        std::u32string n;
        utf8_to_u32(s, n);
        names.push_back(std::move(n));
    }
    std::size_t run_begin = 0;
    auto close_run = [&] {
        if (lit32_.size() > run_begin) pieces_.push_back({run_begin, lit32_.size() - run_begin, -1});
        run_begin = lit32_.size();
    };
    for (std::size_t i = 0; i < src.size(); ++i) {
        char32_t c = src[i];
        if (c == U'{' || c == U'}') {
            if (i + 1 < src.size() && src[i + 1] == c) {
                lit32_.push_back(c);
                ++i;
                continue;
            }
            std::size_t end = c == U'{' ? src.find(U'}', i + 1) : std::u32string::npos;
            if (end == std::u32string::npos) {
                valid_ = false;
                return;
            }
            std::u32string_view name(src.data() + i + 1, end - i - 1);
            auto it = std::find(names.begin(), names.end(), name);
            if (it == names.end()) {
                valid_ = false;
                return;
            }
            close_run();
            pieces_.push_back({0, 0, static_cast<int>(it - names.begin())});
            i = end;
            continue;
        }
        lit32_.push_back(c);
    }
    close_run();
    fixed_size_ = lit32_.size();
    fixed_maxchar_ = max_char_class(View<U4>(lit32_));
    if (fixed_maxchar_ <= 0xFF) lit8_.assign(lit32_.begin(), lit32_.end());
    if (fixed_maxchar_ == 0xFFFF) lit16_.assign(lit32_.begin(), lit32_.end());
    for (Piece& p : pieces_)
        if (p.slot < 0) {
            p.maxchar = max_char_class(View<U4>(lit32_.data() + p.begin, p.length));
            p.ascii = p.maxchar == 0x7F;
        }
}

AnyText Template::literal(const Piece& p) const noexcept {
    // Each run is handed over in the narrowest store that holds the whole
    // fixed text, with its own ASCII flag so an ASCII run never widens the
    // result by itself.
    AnyText t;
    if (fixed_maxchar_ <= 0xFF)
        t = {lit8_.data() + p.begin, p.length, 1, false};
    else if (fixed_maxchar_ == 0xFFFF)
        t = {lit16_.data() + p.begin, p.length, 2, false};
    else
        t = {lit32_.data() + p.begin, p.length, 4, false};
    t.ascii = p.ascii;
    t.maxchar = p.maxchar;
    return t;
}

std::u32string Template::fixed_text() const { return lit32_; }

}  // namespace kl
