#include "kl/py/json_encode.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "kl/json_write.hpp"
#include "kl/py/containers.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"

namespace kl::py {

// Literals are appended as string_views, their length known where the call
// is compiled: libc++ keeps append(const char*) out of line, and there
// strlen measured the literal again on every call.
using namespace std::string_view_literals;
namespace {

// int's own decimal form (a subclass's __repr__ is not consulted).
bool put_int(std::pmr::string& out, PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) return false;
        append_int(out, v);
        return true;
    }
    Ref r = Ref::steal(PyLong_Type.tp_repr(o));
    if (!r) return false;
    out.append(text_of(r.get()).ascii_view());  // digits and a sign: ASCII
    return true;
}

// A key that is not a str.
bool put_key(std::pmr::string& out, PyObject* key) {
    // Every non-text key's text is ASCII with nothing to escape.
    out.push_back('"');
    if (PyFloat_Check(key)) {
        append_json_float(out, PyFloat_AS_DOUBLE(key));
    } else if (key == Py_True) {
        out.append("true"sv);
    } else if (key == Py_False) {
        out.append("false"sv);
    } else if (key == Py_None) {
        out.append("null"sv);
    } else if (PyLong_Check(key)) {
        if (!put_int(out, key)) return false;
    } else {
        PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    out.push_back('"');
    return true;
}

enum class FrameKind : unsigned char { sequence, dict, items };

struct Frame {
    Ref container;       // the dict, list or tuple being written
    Ref items;           // FrameKind::items: the (key, value) pairs of a dict subclass's items()
    Py_ssize_t next = 0; // index, or PyDict_Next position
    Py_ssize_t written = 0;
    FrameKind kind = FrameKind::sequence;
};

// Containers open at once beyond this depth are tracked in a hash set; up to
// it a scan of the stack is cheaper than hashing.
constexpr std::size_t kScanDepth = 32;

enum class Next { member, end, error };

class Encoder {
public:
    explicit Encoder(StrWriter& w) : w_(w), out_(w.ascii_buffer()), from_(out_.size()) {}

    bool run(PyObject* root) {
        if (!value(root)) return false;
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            Ref key, item;  // strong: a value's __str__ may change the container
            Next got = next_member(f, key, item);
            if (got == Next::error) return false;
            if (got == Next::end) {
                out_.push_back(f.kind == FrameKind::sequence ? ']' : '}');
                if (stack_.size() > kScanDepth) deep_open_.erase(f.container.get());
                stack_.pop_back();
                continue;
            }
            if (f.written++ > 0) out_.append(", "sv);
            if (key) {
                if (PyUnicode_Check(key.get()))
                    text(key.get());
                else if (!put_key(out_, key.get()))
                    return false;
                out_.append(": "sv);
            }
            if (!value(item.get())) return false;  // may push a frame: `f` is not used after this
        }
        w_.ascii_grown(from_);
        return true;
    }

private:
    // The next element (or key and value) of a frame.  Sizes are read afresh
    // each step: a value's __str__ may have changed a container while it was
    // being written, which must never read freed or out-of-range memory.
    static Next next_member(Frame& f, Ref& key, Ref& item) {
        PyObject* c = f.container.get();
        switch (f.kind) {
            case FrameKind::sequence: {
                if (PyList_Check(c)) {
                    item = list_item(c, f.next);
                    if (!item) return Next::end;
                } else {
                    if (f.next >= PyTuple_GET_SIZE(c)) return Next::end;
                    item = Ref::borrow(PyTuple_GET_ITEM(c, f.next));
                }
                ++f.next;
                return Next::member;
            }
            case FrameKind::dict:
                return dict_next(c, f.next, key, item) ? Next::member : Next::end;
            case FrameKind::items: {
                PyObject* pairs = f.items.get();
                if (f.next >= PyList_GET_SIZE(pairs)) return Next::end;
                PyObject* pair = PyList_GET_ITEM(pairs, f.next);
                ++f.next;
                if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    return Next::error;
                }
                key = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
                item = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
                return Next::member;
            }
        }
        return Next::end;
    }

    // Writes a scalar, or opens a container (pushes a frame).
    bool value(PyObject* o) {
        if (o == Py_None) {
            out_.append("null"sv);
        } else if (o == Py_True) {
            out_.append("true"sv);
        } else if (o == Py_False) {
            out_.append("false"sv);
        } else if (PyUnicode_Check(o)) {
            text(o);
        } else if (PyLong_Check(o)) {
            return put_int(out_, o);
        } else if (PyFloat_Check(o)) {
            append_json_float(out_, PyFloat_AS_DOUBLE(o));
        } else if (PyList_Check(o) || PyTuple_Check(o)) {
            if (!enter(o, Ref(), FrameKind::sequence)) return false;
            out_.push_back('[');
        } else if (PyDict_Check(o)) {
            if (PyDict_CheckExact(o)) {
                if (!enter(o, Ref(), FrameKind::dict)) return false;
            } else {
                // A subclass is read through its own items(), as the host does.
                Ref items = Ref::steal(PyMapping_Items(o));
                if (!items || !enter(o, std::move(items), FrameKind::items)) return false;
            }
            out_.push_back('{');
        } else {
            Ref plain = Ref::steal(PyObject_Str(o));
            if (!plain) return false;
            text(plain.get());
        }
        return true;
    }

    // A str as a JSON string.  A long one becomes a piece of the writer,
    // escaped straight into the result: its escaped form (up to twelve
    // units a code point) never sits in the buffer.
    void text(PyObject* s) {
        if (PyUnicode_GET_LENGTH(s) < kPieceFrom) {
            append_json_string(out_, text_of(s));
            return;
        }
        w_.ascii_grown(from_);
        w_.json_string(s);
        from_ = out_.size();
    }
    static constexpr Py_ssize_t kPieceFrom = 64;

    // Pushes the frame of a container, refusing one that is already open.
    bool enter(PyObject* o, Ref items, FrameKind kind) {
        std::size_t shallow = std::min(stack_.size(), kScanDepth);
        for (std::size_t i = 0; i < shallow; ++i)
            if (stack_[i].container.get() == o) return circular();
        if (stack_.size() >= kScanDepth && !deep_open_.insert(o).second) return circular();
        Frame f;
        f.container = Ref::borrow(o);
        f.items = std::move(items);
        f.kind = kind;
        stack_.push_back(std::move(f));
        return true;
    }

    static bool circular() {
        PyErr_SetString(PyExc_ValueError, "Circular reference detected");
        return false;
    }

    StrWriter& w_;
    std::pmr::string& out_;  // the writer's ASCII buffer
    std::size_t from_;       // where the text not yet handed to the writer begins
    std::vector<Frame> stack_;
    std::unordered_set<PyObject*> deep_open_;  // open containers below kScanDepth frames
};

}  // namespace

bool append_json(StrWriter& out, PyObject* value) { return Encoder(out).run(value); }

}  // namespace kl::py
