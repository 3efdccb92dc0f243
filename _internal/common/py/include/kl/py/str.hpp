// Host strs: read in place, written once at their final width.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "kl/py/raw_alloc.hpp"
#include "kl/py/ref.hpp"
#include "kl/text.hpp"

namespace kl::py {

// A str's code points where they lie (no copy).  `s` must be a str (or a
// subclass); the view lives as long as s does.
inline AnyText text_of(PyObject* s) noexcept {
    return {PyUnicode_DATA(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
            static_cast<unsigned char>(PyUnicode_KIND(s)), PyUnicode_IS_ASCII(s) != 0};
}

// A new str holding exactly these code points.
PyObject* str_from(const AnyText& t) noexcept;
// A new str from ASCII bytes.
PyObject* str_from_ascii(std::string_view s) noexcept;
// A new str from (generalised) UTF-8 as kl::append_utf8 and the JSON decoder
// write it: lone surrogates come back as themselves.
PyObject* str_from_utf8(std::string_view s) noexcept;

// s[begin:begin+n] of a host str: the str itself when that is all of it.
PyObject* substr(PyObject* s, std::size_t begin, std::size_t n) noexcept;

// The plain text form of a value as a new str: a str as it stands, an int
// in decimal, anything else through the host's str().
PyObject* plain_str(PyObject* value) noexcept;

// Assembles one result str from pieces.
//
// Host strs are kept by reference and copied exactly once, when the result
// is made, straight into its storage at its final width; fixed texts that
// outlive the writer (templates, constants) are referenced too; computed
// ASCII (numbers, JSON) is gathered in one local buffer.  finish() sizes the
// result from the widest piece and writes every piece in a single pass.
class StrWriter {
public:
    StrWriter() = default;
    StrWriter(const StrWriter&) = delete;
    StrWriter& operator=(const StrWriter&) = delete;

    // A host str the caller keeps alive until finish().
    void borrowed(PyObject* s);
    // A host str the writer keeps alive (takes the reference over).
    void owned(Ref s);
    // Part of a host str, code points [begin, begin + n); the caller keeps
    // it alive.
    void borrowed_slice(PyObject* s, std::size_t begin, std::size_t n);
    // The same when the caller already knows the slice's maxchar class
    // (0x7F, 0xFF, 0xFFFF or 0x10FFFF), found while it scanned the slice.
    void borrowed_slice(PyObject* s, std::size_t begin, std::size_t n, char32_t maxchar);
    // Text in storage that outlives the writer.
    void fixed(const AnyText& t);
    void fixed_ascii(std::string_view s) { fixed(ascii_text(s)); }
    // A template's fixed run: a short ASCII run is copied into the ASCII
    // buffer, where it joins the computed text beside it in one piece (a
    // piece costs more than copying a few bytes); any other is referenced.
    void literal(const AnyText& t) {
        if (t.ascii && t.size <= kCopyAsciiUpTo)
            ascii(t.ascii_view());
        else
            fixed(t);
    }
    static constexpr std::size_t kCopyAsciiUpTo = 32;
    // Computed ASCII, copied now.
    void ascii(std::string_view s);
    // Code points known to be ASCII, in units of any width, copied now.
    template <class C>
    void ascii_units(std::basic_string_view<C> s) {
        std::size_t old = scratch_.size();
        scratch_.resize(old + s.size());
        char* d = scratch_.data() + old;
        for (C c : s) *d++ = static_cast<char>(c);
        ascii_grown(old);
    }
    void integer(long long v);
    // The plain text form of a value (see plain_str).  False with an error.
    bool plain(PyObject* value);
    // Direct access to the ASCII buffer for encoders: append to it, then
    // call ascii_grown().
    std::pmr::string& ascii_buffer() noexcept { return scratch_; }
    void ascii_grown(std::size_t old_size);
    // A piece of the ASCII buffer written earlier, scratch[begin, begin + n),
    // placed here (for text that has to be computed before the pieces in
    // front of it are known).
    void scratch_piece(std::size_t begin, std::size_t n);
    // A host str as a JSON string (json_write.hpp), escaped only when the
    // result is written, at the result's width: a long text with many
    // escapes costs no buffer of its escaped form.  The writer keeps `s`
    // alive.
    void json_string(PyObject* s);
    // Ends the last piece: text added from now on never joins it.  Returns
    // the number of pieces so far (a mark for move_to_end).
    std::size_t seal() noexcept {
        sealed_ = pieces_.size();
        return sealed_;
    }
    // Moves the pieces [from, to) (two marks) behind all others, for text
    // that had to be made before the pieces in front of it; then seals.
    void move_to_end(std::size_t from, std::size_t to);
    // Room for this many more pieces.
    void reserve(std::size_t pieces) { pieces_.reserve(pieces_.size() + pieces); }

    std::size_t size() const noexcept { return total_; }

    // The result (new reference), or nullptr with an error set.
    PyObject* finish();

private:
    struct Piece {
        const void* data;   // nullptr: scratch_[offset, offset + size)
        std::size_t offset;
        std::size_t size;
        unsigned char width;
        bool json;         // data: a text of `offset` code points, written escaped
        char32_t maxchar;
    };
    void push(const Piece& p);

    // Scratch from the host's raw allocator (kl/py/raw_alloc.hpp).
    RawVector<Piece> pieces_{raw_memory()};
    RawVector<Ref> keep_{raw_memory()};
    RawString scratch_{raw_memory()};
    std::size_t total_ = 0;
    std::size_t sealed_ = 0;
    char32_t maxchar_ = 0;
};

// ---- Results written in two passes --------------------------------------
//
// When a result is made only of immutable texts (host strs and constants,
// read again at no risk), it needs no pieces at all: render(sink) runs once
// with a StrMeasure, which adds up the length and the maxchar class, and
// once with a StrFill at the result's width, which writes every text
// straight into the result's storage.  The only memory beyond the result is
// what render itself keeps.  render must write the same texts both times;
// `Sink::measuring` tells the passes apart where a text is computed (the
// measure pass adds its shape with shaped(), the fill pass writes it at
// cursor()).

class StrMeasure {
public:
    static constexpr bool measuring = true;
    void text(const AnyText& t) noexcept {
        if (t.size) add(t.size, max_char_class(t));
    }
    void str(PyObject* s) noexcept {
        auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        if (n) add(n, PyUnicode_MAX_CHAR_VALUE(s));
    }
    void ascii(std::string_view s) noexcept {
        if (!s.empty()) add(s.size(), 0x7F);
    }
    // Computed text of this length and maxchar class (0 when empty).
    void shaped(std::size_t n, char32_t maxchar) noexcept {
        size_ += n;
        if (maxchar > maxchar_) maxchar_ = maxchar;
    }
    std::size_t size() const noexcept { return size_; }
    char32_t maxchar() const noexcept { return maxchar_; }

private:
    void add(std::size_t n, char32_t maxchar) noexcept { shaped(n, maxchar); }
    std::size_t size_ = 0;
    char32_t maxchar_ = 0;
};

template <class D>
class StrFill {
public:
    static constexpr bool measuring = false;
    explicit StrFill(D* at) noexcept : at_(at) {}
    void text(const AnyText& t) noexcept {
        t.visit([&](auto v) { copy_units(at_, v.data(), v.size()); });
        at_ += t.size;
    }
    void str(PyObject* s) noexcept { text(text_of(s)); }
    void ascii(std::string_view s) noexcept {
        copy_units(at_, reinterpret_cast<const unsigned char*>(s.data()), s.size());
        at_ += s.size();
    }
    // Where the next unit goes; computed text is written there and the
    // cursor moved past it.
    D*& cursor() noexcept { return at_; }

private:
    D* at_;
};

template <class Render>
PyObject* write_twice(Render&& render) {
    StrMeasure measure;
    render(measure);
    const auto size = static_cast<Py_ssize_t>(measure.size());
    PyObject* out = PyUnicode_New(size, measure.maxchar());
    if (!out || size == 0) return out;
    void* data = PyUnicode_DATA(out);
    switch (PyUnicode_KIND(out)) {
        case PyUnicode_1BYTE_KIND: {
            StrFill<U1> fill(static_cast<U1*>(data));
            render(fill);
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            StrFill<U2> fill(static_cast<U2*>(data));
            render(fill);
            break;
        }
        default: {
            StrFill<U4> fill(static_cast<U4*>(data));
            render(fill);
            break;
        }
    }
    return out;
}

}  // namespace kl::py
