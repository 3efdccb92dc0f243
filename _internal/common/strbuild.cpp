#include "kl/strbuild.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "kl/pyedge.hpp"

namespace kl::py {

StrBuilder::~StrBuilder() {
    for (const Segment& s : segments_)
        if (s.source == Source::str) Py_DECREF(s.str);
}

void StrBuilder::grew(Source source, std::size_t old_size, std::size_t new_size) {
    std::size_t added = new_size - old_size;
    if (added == 0) return;
    if (!segments_.empty() && segments_.back().source == source &&
        segments_.back().begin + segments_.back().length == old_size)
        segments_.back().length += added;
    else
        segments_.push_back({source, nullptr, old_size, added});
    total_ += added;
}

void StrBuilder::append(TextView t) {
    char32_t top = 0;
    for (char32_t c : t) top = std::max(top, c);
    if (top < 0x80) {
        std::size_t old = ascii_.size();
        ascii_.resize(old + t.size());
        for (std::size_t i = 0; i < t.size(); ++i) ascii_[old + i] = static_cast<char>(t[i]);
        grew(Source::ascii, old, ascii_.size());
    } else {
        std::size_t old = wide_.size();
        wide_.append(t);
        wide_max_ = std::max(wide_max_, top);
        grew(Source::wide, old, wide_.size());
    }
}

void StrBuilder::append(char32_t c) { append(TextView(&c, 1)); }

void StrBuilder::append_ascii(std::string_view ascii) {
    std::size_t old = ascii_.size();
    ascii_.append(ascii);
    grew(Source::ascii, old, ascii_.size());
}

void StrBuilder::append_int(long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    append_ascii(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

void StrBuilder::append_str(nb::handle s) {
    std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s.ptr()));
    if (n == 0) return;
    segments_.reserve(segments_.size() + 1);  // no throw between the incref and the push
    segments_.push_back({Source::str, Py_NewRef(s.ptr()), 0, n});
    total_ += n;
}

void StrBuilder::append_plain(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) {
        append_str(value);
        return;
    }
    Text plain;
    kl::py::append_plain(plain, value);
    append(plain);
}

namespace {

template <typename Unit, typename Src>
void write_units(void* data, std::size_t at, const Src* src, std::size_t n) {
    Unit* dst = static_cast<Unit*>(data) + at;
    if constexpr (sizeof(Unit) == sizeof(Src)) {
        std::memcpy(dst, src, n * sizeof(Unit));
    } else {
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = static_cast<Unit>(static_cast<std::make_unsigned_t<Src>>(src[i]));
    }
}

template <typename Src>
void write_any(int kind, void* data, std::size_t at, const Src* src, std::size_t n) {
    if (kind == PyUnicode_1BYTE_KIND)
        write_units<Py_UCS1>(data, at, src, n);
    else if (kind == PyUnicode_2BYTE_KIND)
        write_units<Py_UCS2>(data, at, src, n);
    else
        write_units<Py_UCS4>(data, at, src, n);
}

}  // namespace

nb::str StrBuilder::finish() const {
    // A str's storage width is the narrowest that holds its largest code
    // point, so the widest piece decides the result's width exactly (only
    // the range of the largest code point matters).
    Py_UCS4 maxchar = wide_max_;
    if (!ascii_.empty()) maxchar = std::max<Py_UCS4>(maxchar, 0x7F);
    for (const Segment& s : segments_)
        if (s.source == Source::str) maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(s.str));
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(total_), maxchar);
    if (!out) throw nb::python_error();
    nb::str result = nb::steal<nb::str>(out);
    void* data = PyUnicode_DATA(out);
    int kind = PyUnicode_KIND(out);
    std::size_t at = 0;
    for (const Segment& s : segments_) {
        switch (s.source) {
            case Source::str:
                if (PyUnicode_CopyCharacters(out, static_cast<Py_ssize_t>(at), s.str, 0,
                                             static_cast<Py_ssize_t>(s.length)) < 0)
                    throw nb::python_error();
                break;
            case Source::ascii:
                write_any(kind, data, at, ascii_.data() + s.begin, s.length);
                break;
            case Source::wide:
                write_any(kind, data, at, wide_.data() + s.begin, s.length);
                break;
        }
        at += s.length;
    }
    return result;
}

}  // namespace kl::py
