#include "kl/json_encode.hpp"

#include "kl/pyedge.hpp"

#include <algorithm>
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
            if constexpr (sizeof(Unit) == 1) {
                out.append(reinterpret_cast<const char*>(p + i), run - i);
            } else {
                std::size_t old = out.size();
                out.resize(old + (run - i));
                char* dst = out.data() + old;
                for (std::size_t k = i; k < run; ++k) *dst++ = static_cast<char>(p[k]);
            }
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

// float's repr, or the JSON literals for the non-finite values.  The shortest
// round-trip digits come from std::to_chars (the same digits the host's repr
// picks); the layout is the host's: positional between 1e-4 and 1e16 with at
// least one digit after the point, scientific otherwise.
void put_float(std::string& out, double d) {
    if (d != d) {
        out.append("NaN");
        return;
    }
    if (d == HUGE_VAL || d == -HUGE_VAL) {
        out.append(d > 0 ? "Infinity" : "-Infinity");
        return;
    }
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    const char* e_mark = std::find(p, static_cast<const char*>(res.ptr), 'e');
    int exp10 = 0;
    std::from_chars(e_mark + (e_mark[1] == '+' ? 2 : 1), res.ptr, exp10);
    if (exp10 < -4 || exp10 >= 16) {
        out.append(p, static_cast<std::size_t>(res.ptr - p));  // already "1e-05", "1.5e+16", "5e-324"
        return;
    }
    char digits[20];
    std::size_t n = 0;
    for (const char* q = p; q != e_mark; ++q)
        if (*q != '.') digits[n++] = *q;
    if (exp10 < 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out.append(digits, n);
        return;
    }
    auto int_len = static_cast<std::size_t>(exp10) + 1;
    if (n <= int_len) {
        out.append(digits, n);
        out.append(int_len - n, '0');
        out.append(".0");
    } else {
        out.append(digits, int_len);
        out.push_back('.');
        out.append(digits + int_len, n - int_len);
    }
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

enum class FrameKind : unsigned char { sequence, dict, items };

struct Frame {
    nb::object container;  // the dict, list or tuple being written
    nb::object items;      // FrameKind::items: the (key, value) pairs of a dict subclass's items()
    Py_ssize_t next;       // index, or PyDict_Next position
    Py_ssize_t written;    // members or elements written so far
    FrameKind kind;
};

// Containers open at once beyond this depth are tracked in a hash set; up to
// it a scan of the stack is cheaper than hashing.
constexpr std::size_t kScanDepth = 32;

class Encoder {
public:
    explicit Encoder(std::string& out) : out_(out) {}

    void run(nb::handle root) {
        value(root.ptr());
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            nb::object key, item;  // strong: a value's __str__ may change the container
            if (!next_member(f, key, item)) {
                out_.push_back(f.kind == FrameKind::sequence ? ']' : '}');
                if (stack_.size() > kScanDepth) deep_open_.erase(f.container.ptr());
                stack_.pop_back();
                continue;
            }
            if (f.written++ > 0) out_.append(", ");
            if (key.is_valid()) {
                put_key(out_, key.ptr());
                out_.append(": ");
            }
            value(item.ptr());  // may push a frame: `f` is not used after this
        }
    }

private:
    // The next element (or key and value) of a frame; false at its end.
    // Sizes are read afresh each step: a value's __str__ may have changed a
    // container while it was being written, which must never read freed or
    // out-of-range memory.
    static bool next_member(Frame& f, nb::object& key, nb::object& item) {
        PyObject* c = f.container.ptr();
        switch (f.kind) {
            case FrameKind::sequence: {
                Py_ssize_t size = PyList_Check(c) ? PyList_GET_SIZE(c) : PyTuple_GET_SIZE(c);
                if (f.next >= size) return false;
                item = nb::borrow(PyList_Check(c) ? PyList_GET_ITEM(c, f.next)
                                                  : PyTuple_GET_ITEM(c, f.next));
                ++f.next;
                return true;
            }
            case FrameKind::dict: {
                PyObject *k, *v;
                if (!PyDict_Next(c, &f.next, &k, &v)) return false;
                key = nb::borrow(k);
                item = nb::borrow(v);
                return true;
            }
            case FrameKind::items: {
                PyObject* pairs = f.items.ptr();
                if (f.next >= PyList_GET_SIZE(pairs)) return false;
                PyObject* pair = PyList_GET_ITEM(pairs, f.next);
                ++f.next;
                if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    throw nb::python_error();
                }
                key = nb::borrow(PyTuple_GET_ITEM(pair, 0));
                item = nb::borrow(PyTuple_GET_ITEM(pair, 1));
                return true;
            }
        }
        return false;
    }

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
            enter(o, {nb::borrow(o), nb::object(), 0, 0, FrameKind::sequence});
            out_.push_back('[');
        } else if (PyDict_Check(o)) {
            if (PyDict_CheckExact(o)) {
                enter(o, {nb::borrow(o), nb::object(), 0, 0, FrameKind::dict});
            } else {
                // A subclass is read through its own items(), as the host does.
                PyObject* items = PyMapping_Items(o);
                if (!items) throw nb::python_error();
                enter(o, {nb::borrow(o), nb::steal(items), 0, 0, FrameKind::items});
            }
            out_.push_back('{');
        } else {
            Text plain;
            append_plain(plain, o);
            append_json_string(out_, plain);
        }
    }

    // Pushes the frame of a container, refusing one that is already open.
    void enter(PyObject* o, Frame frame) {
        std::size_t shallow = std::min(stack_.size(), kScanDepth);
        for (std::size_t i = 0; i < shallow; ++i)
            if (stack_[i].container.ptr() == o) circular();
        if (stack_.size() >= kScanDepth && !deep_open_.insert(o).second) circular();
        stack_.push_back(std::move(frame));
    }

    [[noreturn]] static void circular() {
        PyErr_SetString(PyExc_ValueError, "Circular reference detected");
        throw nb::python_error();
    }

    std::string& out_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject*> deep_open_;  // open containers below kScanDepth frames
};

}  // namespace

void append_json_string(std::string& out, TextView s) {
    put_string_units(out, s.data(), s.size());
}

void append_json(std::string& out, nb::handle value) {
    Encoder(out).run(value);
}

}  // namespace kl::py
