#include "kl/json_encode.hpp"

#include "kl/pyedge.hpp"

#include <charconv>
#include <cmath>
#include <unordered_set>
#include <vector>

namespace kl::py {
namespace {

constexpr char kHex[] = "0123456789abcdef";

inline void put_u_escape(std::string& out, char32_t unit) {
    char e[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF],
                 kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
    out.append(e, 6);
}

// Printable ASCII other than the quote and the backslash: copied as it is.
constexpr bool is_plain(char32_t c) noexcept {
    return c >= 0x20 && c <= 0x7E && c != U'"' && c != U'\\';
}

inline void put_escaped(std::string& out, char32_t c) {
    switch (c) {
        case U'"': out.append("\\\""); return;
        case U'\\': out.append("\\\\"); return;
        case U'\n': out.append("\\n"); return;
        case U'\r': out.append("\\r"); return;
        case U'\t': out.append("\\t"); return;
        case U'\b': out.append("\\b"); return;
        case U'\f': out.append("\\f"); return;
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
void put_string_units(std::string& out, const Unit* p, std::size_t n) {
    out.push_back('"');
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = i;
        while (run < n && is_plain(static_cast<char32_t>(p[run]))) ++run;
        if (run > i) {  // a run of plain characters in one step
            std::size_t old = out.size();
            out.resize(old + (run - i));
            char* dst = out.data() + old;
            for (std::size_t k = i; k < run; ++k) *dst++ = static_cast<char>(p[k]);
            i = run;
        }
        if (i < n) put_escaped(out, static_cast<char32_t>(p[i++]));
    }
    out.push_back('"');
}

// A str's code points, straight from its storage.
void put_str(std::string& out, PyObject* s) {
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
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

void put_ascii(std::string& out, const char* s) { out.append(s); }

// The digits of a str that is known to be ASCII (an int's repr).
void put_ascii_str(std::string& out, PyObject* s) {
    out.append(static_cast<const char*>(PyUnicode_DATA(s)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
}

// int's own decimal form (a subclass's __repr__ is not consulted).
void put_int(std::string& out, PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, res.ptr);
        return;
    }
    PyObject* r = PyLong_Type.tp_repr(o);
    if (!r) throw nb::python_error();
    nb::object guard = nb::steal(r);
    put_ascii_str(out, r);
}

// float's repr, or the JSON literals for the non-finite values.
void put_float(std::string& out, double d) {
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

void put_key(std::string& out, PyObject* key) {
    if (PyUnicode_Check(key)) {
        put_str(out, key);
        return;
    }
    // Every non-text key's text is ASCII with nothing to escape.
    out.push_back('"');
    if (PyFloat_Check(key)) {
        put_float(out, PyFloat_AS_DOUBLE(key));
    } else if (key == Py_True) {
        put_ascii(out, "true");
    } else if (key == Py_False) {
        put_ascii(out, "false");
    } else if (key == Py_None) {
        put_ascii(out, "null");
    } else if (PyLong_Check(key)) {
        put_int(out, key);
    } else {
        PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.200s",
                     Py_TYPE(key)->tp_name);
        throw nb::python_error();
    }
    out.push_back('"');
}

struct Frame {
    nb::object container;  // the dict, list or tuple being written
    nb::object items;      // dict: a list of (key, value) pairs; else the sequence itself
    Py_ssize_t next;
    bool is_dict;
};

class Encoder {
public:
    explicit Encoder(std::string& out) : out_(out) {}

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
                out_.push_back(stack_[top].is_dict ? '}' : ']');
                open_.erase(stack_[top].container.ptr());
                stack_.pop_back();
                continue;
            }
            stack_[top].next = i + 1;
            if (i > 0) out_.append(", ");
            nb::object item = nb::borrow(PyList_Check(items) ? PyList_GET_ITEM(items, i)
                                                             : PyTuple_GET_ITEM(items, i));
            if (stack_[top].is_dict) {
                PyObject* pair = item.ptr();
                if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    throw nb::python_error();
                }
                put_key(out_, PyTuple_GET_ITEM(pair, 0));
                out_.append(": ");
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
            out_.push_back('[');
        } else if (PyDict_Check(o)) {
            enter(o);
            PyObject* items = PyMapping_Items(o);
            if (!items) {
                open_.erase(o);
                throw nb::python_error();
            }
            stack_.push_back({nb::borrow(o), nb::steal(items), 0, true});
            out_.push_back('{');
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

    std::string& out_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject*> open_;  // containers currently being written
};

}  // namespace

void append_json_string(std::string& out, TextView s) {
    put_string_units(out, s.data(), s.size());
}

void append_json(std::string& out, nb::handle value) {
    Encoder(out).run(value);
}

}  // namespace kl::py
