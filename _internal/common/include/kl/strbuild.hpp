// Assembles a host str from pieces without first copying it all into one
// UTF-32 buffer.
//
// Prompts are mostly made of host strs (memory contents, often many
// kilobytes) with short fixed or computed text in between.  The builder keeps
// a reference to each str piece and copies it exactly once, straight into
// the result in the result's final storage width; computed text goes through
// a local buffer, a byte buffer when it is ASCII (numbers, JSON, the fixed
// parts of most templates).  Large prompts therefore cost one pass over
// their characters and one allocation.
#pragma once

#include <string>
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
    // Text known to be ASCII, copied now without a scan.
    void append_ascii(std::string_view ascii);
    void append_int(long long value);
    // A str (or str subclass): its code points, copied when finished.
    void append_str(nb::handle s);
    // The plain text form of any value (see kl::py::append_plain).
    void append_plain(nb::handle value);

    // The whole text as a new str.
    nb::str finish() const;

private:
    enum class Source : unsigned char { str, ascii, wide };
    struct Segment {
        Source source;
        PyObject* str;  // Source::str: a strong reference
        std::size_t begin, length;  // the range in ascii_ or wide_
    };
    void grew(Source source, std::size_t old_size, std::size_t new_size);

    std::string ascii_;
    Text wide_;
    std::vector<Segment> segments_;
    char32_t wide_max_ = 0;
    std::size_t total_ = 0;
};

}  // namespace kl::py
