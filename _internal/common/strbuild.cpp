#include "kl/strbuild.hpp"

#include <algorithm>

#include "kl/pyedge.hpp"

namespace kl::py {

StrBuilder::~StrBuilder() {
    for (const Segment& s : segments_) Py_XDECREF(s.str);
}

void StrBuilder::local_grew(std::size_t old_size, bool ascii) {
    std::size_t added = local_.size() - old_size;
    if (added == 0) return;
    // Only the range of the largest code point matters (it picks the
    // result's storage width), so known ASCII needs no scan.
    if (ascii)
        local_max_ = std::max<char32_t>(local_max_, 0x7F);
    else
        for (std::size_t i = old_size; i < local_.size(); ++i)
            local_max_ = std::max(local_max_, local_[i]);
    if (!segments_.empty() && segments_.back().str == nullptr &&
        segments_.back().begin + segments_.back().length == old_size)
        segments_.back().length += added;
    else
        segments_.push_back({nullptr, old_size, added});
    total_ += added;
}

void StrBuilder::append(TextView t) {
    std::size_t old = local_.size();
    local_.append(t);
    local_grew(old, false);
}

void StrBuilder::append(char32_t c) {
    std::size_t old = local_.size();
    local_.push_back(c);
    local_grew(old, false);
}

void StrBuilder::append_ascii(std::string_view ascii) {
    std::size_t old = local_.size();
    kl::append_ascii(local_, ascii);
    local_grew(old, true);
}

void StrBuilder::append_int(long long value) {
    std::size_t old = local_.size();
    kl::append_int(local_, value);
    local_grew(old, true);
}

void StrBuilder::append_str(nb::handle s) {
    std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s.ptr()));
    if (n == 0) return;
    segments_.reserve(segments_.size() + 1);  // no throw between the incref and the push
    segments_.push_back({Py_NewRef(s.ptr()), 0, n});
    total_ += n;
}

void StrBuilder::append_plain(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) {
        append_str(value);
        return;
    }
    std::size_t old = local_.size();
    kl::py::append_plain(local_, value);
    local_grew(old, false);
}

namespace {

template <typename Unit>
void write_units(void* data, std::size_t at, const char32_t* src, std::size_t n) {
    Unit* dst = static_cast<Unit*>(data) + at;
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<Unit>(src[i]);
}

}  // namespace

nb::str StrBuilder::finish() const {
    // A str's storage width is the narrowest that holds its largest code
    // point, so the widest piece decides the result's width exactly.
    Py_UCS4 maxchar = local_max_;
    for (const Segment& s : segments_)
        if (s.str) maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(s.str));
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(total_), maxchar);
    if (!out) throw nb::python_error();
    nb::str result = nb::steal<nb::str>(out);
    void* data = PyUnicode_DATA(out);
    int kind = PyUnicode_KIND(out);
    std::size_t at = 0;
    for (const Segment& s : segments_) {
        if (s.str) {
            if (PyUnicode_CopyCharacters(out, static_cast<Py_ssize_t>(at), s.str, 0,
                                         static_cast<Py_ssize_t>(s.length)) < 0)
                throw nb::python_error();
        } else {
            const char32_t* src = local_.data() + s.begin;
            if (kind == PyUnicode_1BYTE_KIND)
                write_units<Py_UCS1>(data, at, src, s.length);
            else if (kind == PyUnicode_2BYTE_KIND)
                write_units<Py_UCS2>(data, at, src, s.length);
            else
                write_units<Py_UCS4>(data, at, src, s.length);
        }
        at += s.length;
    }
    return result;
}

}  // namespace kl::py
