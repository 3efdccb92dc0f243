// Prompt texts as host strs, and the prompt pair every builder returns.
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

// Writes a template's fixed runs and, for each placeholder, what slot(i)
// writes (every slot writer here cannot fail, or records its failure
// itself).
template <class F>
void render(StrWriter& w, const Template& t, F&& slot) {
    t.walk([&](const AnyText& lit) { return w.fixed(lit), true; },
           [&](int i) { return slot(i), true; });
}

// The prompt pair (system, [{role_key: user, content_key: content}]), the
// keys and "user" given as the module keeps them.  Takes the reference to
// `system` over (nullptr: the error of the call that failed to make it).
inline PyObject* prompt_pair(PyObject* system, PyObject* content, PyObject* role_key,
                             PyObject* content_key, PyObject* user) noexcept {
    Ref sys = Ref::steal(system);
    if (!sys) return nullptr;
    Ref message = Ref::steal(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), role_key, user) < 0 ||
        PyDict_SetItem(message.get(), content_key, content) < 0)
        return nullptr;
    PyObject* messages = PyList_New(1);
    if (!messages) return nullptr;
    PyList_SET_ITEM(messages, 0, message.release());
    PyObject* pair = PyTuple_New(2);
    if (!pair) {
        Py_DECREF(messages);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, sys.release());
    PyTuple_SET_ITEM(pair, 1, messages);
    return pair;
}

}  // namespace kl::py
