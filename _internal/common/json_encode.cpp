#include "kl/json_encode.hpp"

#include "kl/pyedge.hpp"

#include <cmath>
#include <unordered_set>
#include <vector>

namespace kl::py {
namespace {

constexpr char kHex[] = "0123456789abcdef";

inline void put_u_escape(Text& out, char32_t unit) {
    out.append({U'\\', U'u', static_cast<char32_t>(kHex[(unit >> 12) & 0xF]),
                static_cast<char32_t>(kHex[(unit >> 8) & 0xF]),
                static_cast<char32_t>(kHex[(unit >> 4) & 0xF]),
                static_cast<char32_t>(kHex[unit & 0xF])});
}

inline void put_escaped(Text& out, char32_t c) {
    if (c >= 0x20 && c <= 0x7E) {
        if (c == U'"' || c == U'\\') out.push_back(U'\\');
        out.push_back(c);
        return;
    }
    switch (c) {
        case U'\n': out.append(U"\\n"); return;
        case U'\r': out.append(U"\\r"); return;
        case U'\t': out.append(U"\\t"); return;
        case U'\b': out.append(U"\\b"); return;
        case U'\f': out.append(U"\\f"); return;
        default: break;
    }
    if (c >= 0x10000) {
        char32_t v = c - 0x10000;
        put_u_escape(out, 0xD800 | (v >> 10));
        put_u_escape(out, 0xDC00 | (v & 0x3FF));
    } else {
        put_u_escape(out, c);
    }
}

template <typename Unit>
void put_string_units(Text& out, const Unit* p, Py_ssize_t n) {
    out.push_back(U'"');
    for (Py_ssize_t i = 0; i < n; ++i) put_escaped(out, static_cast<char32_t>(p[i]));
    out.push_back(U'"');
}

// A str's code points, straight from its storage.
void put_str(Text& out, PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            put_string_units(out, static_cast<const Py_UCS1*>(data), n);
            break;
        case PyUnicode_2BYTE_KIND:
            put_string_units(out, static_cast<const Py_UCS2*>(data), n);
            break;
        default:
            put_string_units(out, static_cast<const Py_UCS4*>(data), n);
            break;
    }
}

void put_ascii(Text& out, const char* s) {
    while (*s) out.push_back(static_cast<unsigned char>(*s++));
}

// int's own decimal form (a subclass's __repr__ is not consulted).
void put_int(Text& out, PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        append_int(out, v);
        return;
    }
    PyObject* r = PyLong_Type.tp_repr(o);
    if (!r) throw nb::python_error();
    nb::object guard = nb::steal(r);
    append_text_of(out, guard);
}

// float's repr, or the JSON literals for the non-finite values.
void put_float(Text& out, double d) {
    if (d != d) {
        put_ascii(out, "NaN");
        return;
    }
    if (d == HUGE_VAL || d == -HUGE_VAL) {
        put_ascii(out, d > 0 ? "Infinity" : "-Infinity");
        return;
    }
    char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) throw nb::python_error();
    put_ascii(out, s);
    PyMem_Free(s);
}

void put_key(Text& out, PyObject* key) {
    if (PyUnicode_Check(key)) {
        put_str(out, key);
        return;
    }
    Text number;
    if (PyFloat_Check(key)) {
        put_float(number, PyFloat_AS_DOUBLE(key));
    } else if (key == Py_True) {
        put_ascii(number, "true");
    } else if (key == Py_False) {
        put_ascii(number, "false");
    } else if (key == Py_None) {
        put_ascii(number, "null");
    } else if (PyLong_Check(key)) {
        put_int(number, key);
    } else {
        PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.200s",
                     Py_TYPE(key)->tp_name);
        throw nb::python_error();
    }
    append_json_string(out, number);
}

struct Frame {
    nb::object container;  // the dict, list or tuple being written
    nb::object items;      // dict: a list of (key, value) pairs; else the sequence itself
    Py_ssize_t next;
    bool is_dict;
};

class Encoder {
public:
    explicit Encoder(Text& out) : out_(out) {}

    void run(nb::handle root) {
        value(root.ptr());
        while (!stack_.empty()) {
            std::size_t top = stack_.size() - 1;
            PyObject* items = stack_[top].items.ptr();
            // Sizes are read afresh each step: a value's __str__ may have
            // changed a list while it was being written.
            Py_ssize_t size = PyList_Check(items) ? PyList_GET_SIZE(items)
                                                  : PyTuple_GET_SIZE(items);
            Py_ssize_t i = stack_[top].next;
            if (i >= size) {
                out_.push_back(stack_[top].is_dict ? U'}' : U']');
                open_.erase(stack_[top].container.ptr());
                stack_.pop_back();
                continue;
            }
            stack_[top].next = i + 1;
            if (i > 0) out_.append(U", ");
            nb::object item = nb::borrow(PyList_Check(items) ? PyList_GET_ITEM(items, i)
                                                             : PyTuple_GET_ITEM(items, i));
            if (stack_[top].is_dict) {
                PyObject* pair = item.ptr();
                if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    throw nb::python_error();
                }
                put_key(out_, PyTuple_GET_ITEM(pair, 0));
                out_.append(U": ");
                value(PyTuple_GET_ITEM(pair, 1));  // `item` keeps the pair alive
            } else {
                value(item.ptr());
            }
        }
    }

private:
    // Writes a scalar, or opens a container (pushes a frame).
    void value(PyObject* o) {
        if (o == Py_None) {
            put_ascii(out_, "null");
        } else if (o == Py_True) {
            put_ascii(out_, "true");
        } else if (o == Py_False) {
            put_ascii(out_, "false");
        } else if (PyUnicode_Check(o)) {
            put_str(out_, o);
        } else if (PyLong_Check(o)) {
            put_int(out_, o);
        } else if (PyFloat_Check(o)) {
            put_float(out_, PyFloat_AS_DOUBLE(o));
        } else if (PyList_Check(o) || PyTuple_Check(o)) {
            enter(o);
            stack_.push_back({nb::borrow(o), nb::borrow(o), 0, false});
            out_.push_back(U'[');
        } else if (PyDict_Check(o)) {
            enter(o);
            PyObject* items = PyMapping_Items(o);
            if (!items) {
                open_.erase(o);
                throw nb::python_error();
            }
            stack_.push_back({nb::borrow(o), nb::steal(items), 0, true});
            out_.push_back(U'{');
        } else {
            Text plain;
            append_plain(plain, o);
            append_json_string(out_, plain);
        }
    }

    void enter(PyObject* o) {
        if (!open_.insert(o).second) {
            PyErr_SetString(PyExc_ValueError, "Circular reference detected");
            throw nb::python_error();
        }
    }

    Text& out_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject*> open_;  // containers currently being written
};

}  // namespace

void append_json_string(Text& out, TextView s) {
    put_string_units(out, s.data(), static_cast<Py_ssize_t>(s.size()));
}

void append_json(Text& out, nb::handle value) {
    Encoder(out).run(value);
}

}  // namespace kl::py
