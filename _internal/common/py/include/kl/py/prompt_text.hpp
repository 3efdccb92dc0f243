// Fixed prompt texts as host strs.
#pragma once

#include <Python.h>

#include <string_view>

#include "kl/py/str.hpp"
#include "kl/template.hpp"

namespace kl::py {

// The text of a template without placeholders (its doubled braces written
// once), as a new str; nullptr with an error.
inline PyObject* fixed_str(const Template& t) {
    StrWriter out;
    t.walk([&](const AnyText& lit) { out.fixed(lit); return true; }, [](int) { return true; });
    return out.finish();
}

// A template's source as it stands, placeholders included (a UTF-8 text).
inline PyObject* source_str(std::string_view utf8) {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

}  // namespace kl::py
