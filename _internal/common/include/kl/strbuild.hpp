// Assembles a host str from pieces without first copying it all into one
// UTF-32 buffer.
//
// Prompts are mostly made of host strs (memory contents, often many
// kilobytes) with short fixed or computed text in between.  The builder keeps
// a reference to each str piece and copies it exactly once, straight into
// the result in the result's final storage width; only the short computed
// text goes through a local buffer.  Large prompts therefore cost one pass
// over their characters and one allocation.
#pragma once

#include <string_view>
#include <vector>

#include <nanobind/nanobind.h>

#include "kl/text.hpp"

namespace kl::py {

namespace nb = nanobind;

class StrBuilder {
public:
    StrBuilder() = default;
    StrBuilder(const StrBuilder&) = delete;
    StrBuilder& operator=(const StrBuilder&) = delete;
    ~StrBuilder();

    // Computed or fixed text, copied now.
    void append(TextView t);
    void append(char32_t c);
    // Text known to be ASCII (no scan for the largest code point).
    void append_ascii(std::string_view ascii);
    void append_int(long long value);
    // A str (or str subclass): its code points, copied when finished.
    void append_str(nb::handle s);
    // The plain text form of any value (see kl::py::append_plain).
    void append_plain(nb::handle value);

    // The whole text as a new str.
    nb::str finish() const;

private:
    struct Segment {
        PyObject* str;  // a strong reference, or nullptr for local_[begin, begin+length)
        std::size_t begin, length;
    };
    void local_grew(std::size_t old_size, bool ascii);

    Text local_;
    std::vector<Segment> segments_;
    char32_t local_max_ = 0;
    std::size_t total_ = 0;
};

}  // namespace kl::py
