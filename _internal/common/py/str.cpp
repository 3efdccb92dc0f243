#include "kl/py/str.hpp"

#include <algorithm>
#include <cstring>

#include "kl/json_write.hpp"

namespace kl::py {

namespace {

// Writes n units of width `sw` at src into a str's storage of kind `dk`,
// starting at code point `at`.
void write_units(void* dst, int dk, std::size_t at, const void* src, unsigned sw,
                 std::size_t n) noexcept {
    auto go = [&](auto* d) {
        d += at;
        switch (sw) {
            case 1: copy_units(d, static_cast<const Py_UCS1*>(src), n); break;
            case 2: copy_units(d, static_cast<const Py_UCS2*>(src), n); break;
            default: copy_units(d, static_cast<const Py_UCS4*>(src), n); break;
        }
    };
    switch (dk) {
        case PyUnicode_1BYTE_KIND: go(static_cast<Py_UCS1*>(dst)); break;
        case PyUnicode_2BYTE_KIND: go(static_cast<Py_UCS2*>(dst)); break;
        default: go(static_cast<Py_UCS4*>(dst)); break;
    }
}

}  // namespace

PyObject* str_from(const AnyText& t) noexcept {
    if (t.ascii && t.width == 1) return str_from_ascii(t.ascii_view());
    char32_t maxchar = max_char_class(t);
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(t.size), maxchar);
    if (!o || t.size == 0) return o;
    write_units(PyUnicode_DATA(o), PyUnicode_KIND(o), 0, t.data, t.width, t.size);
    return o;
}

PyObject* str_from_ascii(std::string_view s) noexcept {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 0x7F);
    if (o && !s.empty()) std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), s.size());
    return o;
}

PyObject* str_from_utf8(std::string_view s) noexcept {
    // ASCII is the rule for decoded replies: check it with one cheap pass.
    bool ascii = true;
    for (unsigned char c : s) ascii &= c < 0x80;
    if (ascii) return str_from_ascii(s);
    Utf8Shape shape = utf8_shape(s);
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(shape.size), shape.maxchar);
    if (!o) return nullptr;
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND: decode_utf8(s, reinterpret_cast<U1*>(PyUnicode_DATA(o))); break;
        case PyUnicode_2BYTE_KIND: decode_utf8(s, reinterpret_cast<U2*>(PyUnicode_DATA(o))); break;
        default: decode_utf8(s, reinterpret_cast<U4*>(PyUnicode_DATA(o))); break;
    }
    return o;
}

PyObject* substr(PyObject* s, std::size_t begin, std::size_t n) noexcept {
    auto b = static_cast<Py_ssize_t>(begin);
    return PyUnicode_Substring(s, b, b + static_cast<Py_ssize_t>(n));
}

PyObject* plain_str(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return Py_NewRef(value);
    return PyObject_Str(value);
}

// ---- StrWriter ---------------------------------------------------------

void StrWriter::push(const Piece& p) {
    if (p.size == 0) return;
    pieces_.push_back(p);
    total_ += p.size;
    maxchar_ = std::max(maxchar_, p.maxchar);
}

void StrWriter::borrowed(PyObject* s) {
    push({PyUnicode_DATA(s), 0, static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
          static_cast<unsigned char>(PyUnicode_KIND(s)), false, PyUnicode_MAX_CHAR_VALUE(s)});
}

void StrWriter::owned(Ref s) {
    // If push_back throws, `s` still owns the reference and releases it.
    // (Reserving size() + 1 here would reallocate on every call.)
    PyObject* o = s.get();
    keep_.push_back(std::move(s));
    borrowed(o);
}

void StrWriter::borrowed_slice(PyObject* s, std::size_t begin, std::size_t n) {
    AnyText t = text_of(s).slice(begin, n);
    push({t.data, 0, n, t.width, false, max_char_class(t)});
}

void StrWriter::borrowed_slice(PyObject* s, std::size_t begin, std::size_t n, char32_t maxchar) {
    AnyText t = text_of(s).slice(begin, n);
    push({t.data, 0, n, t.width, false, maxchar});
}

void StrWriter::fixed(const AnyText& t) {
    push({t.data, 0, t.size, t.width, false, t.ascii ? char32_t{0x7F} : max_char_class(t)});
}

void StrWriter::ascii(std::string_view s) {
    std::size_t old = scratch_.size();
    scratch_.append(s);
    ascii_grown(old);
}

void StrWriter::ascii_grown(std::size_t old) {
    std::size_t added = scratch_.size() - old;
    if (added == 0) return;
    // Runs of computed text that follow each other become one piece.
    if (pieces_.size() > sealed_ && !pieces_.back().data &&
        pieces_.back().offset + pieces_.back().size == old) {
        pieces_.back().size += added;
        total_ += added;
        maxchar_ = std::max<char32_t>(maxchar_, 0x7F);
        return;
    }
    push({nullptr, old, added, 1, false, 0x7F});
}

void StrWriter::scratch_piece(std::size_t begin, std::size_t n) {
    push({nullptr, begin, n, 1, false, 0x7F});
}

void StrWriter::json_string(PyObject* s) {
    const AnyText t = text_of(s);
    keep_.push_back(Ref::borrow(s));
    push({t.data, t.size, json_string_size(t), t.width, true, 0x7F});
}

void StrWriter::move_to_end(std::size_t from, std::size_t to) {
    std::rotate(pieces_.begin() + static_cast<std::ptrdiff_t>(from),
                pieces_.begin() + static_cast<std::ptrdiff_t>(to), pieces_.end());
    seal();
}

void StrWriter::integer(long long v) {
    std::size_t old = scratch_.size();
    append_int(scratch_, v);
    ascii_grown(old);
}

bool StrWriter::plain(PyObject* value) {
    if (PyUnicode_Check(value)) {
        borrowed(value);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) {
            integer(v);
            return true;
        }
    }
    Ref s = Ref::steal(PyObject_Str(value));
    if (!s) return false;
    owned(std::move(s));
    return true;
}

PyObject* StrWriter::finish() {
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(total_), maxchar_);
    if (!out || total_ == 0) return out;
    void* data = PyUnicode_DATA(out);
    int kind = PyUnicode_KIND(out);
    std::size_t at = 0;
    for (const Piece& p : pieces_) {
        if (p.json) {
            write_json_string(AnyText{p.data, p.offset, p.width, false},
                              static_cast<char*>(data) + at * static_cast<std::size_t>(kind),
                              static_cast<unsigned>(kind));
            at += p.size;
            continue;
        }
        const void* src = p.data ? p.data : scratch_.data() + p.offset;
        write_units(data, kind, at, src, p.width, p.size);
        at += p.size;
    }
    return out;
}

}  // namespace kl::py
