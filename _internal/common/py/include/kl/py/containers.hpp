// Reading the host's lists and dicts while someone else may change them.
//
// A container an argument holds can change during a call: host code that a
// conversion runs (a __str__, an __index__, a mapping's __getitem__) may
// change it, and on a free-threaded interpreter so may any other thread at
// any moment.  A borrowed item could then be freed between the read and the
// incref, so these helpers take every item as a strong reference while the
// container is locked.  On a build with the GIL the locks compile to
// nothing and the helpers cost what the plain macros cost.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "kl/py/ref.hpp"

namespace kl::py {

// The records a reply parser makes while the reply is still being read,
// held until finish() hands them over as one list of exactly their number
// (a reply read through a window gives no count up front).  clear() drops
// them: a later member may replace what an earlier one gave, and a reply
// that turns out not to decode gives nothing.  A short reply's records stay
// in the object itself.
class RecordList {
public:
    RecordList() noexcept = default;
    ~RecordList() { clear(); }
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;

    // Takes over `record` (a new reference; nullptr means its making
    // failed).  False with an error set.
    bool add(PyObject* record) noexcept {
        if (!record) return false;
        if (n_ == capacity_ && !grow()) {
            Py_DECREF(record);
            return false;
        }
        items_[n_++] = record;
        return true;
    }
    void clear() noexcept;
    // A new list of the records, in order; nullptr with an error set.
    PyObject* finish() noexcept;

private:
    bool grow() noexcept;
    static constexpr std::size_t kInline = 16;
    PyObject** items_ = inline_;
    std::size_t n_ = 0;
    std::size_t capacity_ = kInline;
    std::unique_ptr<PyObject*[]> heap_;
    PyObject* inline_[kInline];
};

// Item i of a list as a strong reference; empty (no error) past its end,
// the end being measured afresh on every call.
inline Ref list_item(PyObject* list, Py_ssize_t i) noexcept {
    if (i >= PyList_GET_SIZE(list)) return Ref();
    PyObject* item = PyList_GetItemRef(list, i);
    // The list shrank since it was measured: its end came early.
    if (!item) PyErr_Clear();
    return Ref::steal(item);
}

// One step of PyDict_Next, the key and value taken as strong references
// while the dict is locked.  A dict changed between steps is never read out
// of bounds; it may show an entry twice or not at all, as any walk over a
// changing dict may.
inline bool dict_next(PyObject* dict, Py_ssize_t& pos, Ref& key, Ref& value) noexcept {
    PyObject *k = nullptr, *v = nullptr;
    int found;
    Py_BEGIN_CRITICAL_SECTION(dict);
    found = PyDict_Next(dict, &pos, &k, &v);
    if (found) {
        Py_INCREF(k);
        Py_INCREF(v);
    }
    Py_END_CRITICAL_SECTION();
    key = Ref::steal(k);
    value = Ref::steal(v);
    return found != 0;
}

// A private copy of a whole list, taken in one locked step.
inline Ref list_copy(PyObject* list) noexcept {
    return Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
}

// The members of a set or frozenset, each held by a strong reference of its
// own, all taken in one locked step: nothing the host does to the set
// afterwards can free them.  The set's table is read where it lies, through
// the layout and slot conventions the interpreter's own header publishes
// (an active slot has a key and a hash other than -1): copying a short set
// into a list, element by element through the interpreter's iteration
// calls, costs more than parsing a short reply.
class SetMembers {
public:
    // May throw std::bad_alloc, never while the set is locked.
    explicit SetMembers(PyObject* set);
    ~SetMembers();
    SetMembers(const SetMembers&) = delete;
    SetMembers& operator=(const SetMembers&) = delete;

    std::size_t size() const noexcept { return n_; }
    PyObject* operator[](std::size_t i) const noexcept { return items_[i]; }

private:
    static constexpr std::size_t kInline = 32;
    PyObject** items_ = inline_;
    std::size_t n_ = 0;
    std::unique_ptr<PyObject*[]> heap_;
    PyObject* inline_[kInline];
};

// The value of `key` in a mapping if it holds one, through the mapping
// protocol alone (m[key], a KeyError meaning absent), so a class registered
// with collections.abc.Mapping needs no get() of its own.  1 with *out a new
// reference, 0 with *out nullptr when absent, -1 with an error set (any
// error of __getitem__ other than KeyError, unchanged).
int get_optional_item(PyObject* map, PyObject* key, PyObject** out) noexcept;

}  // namespace kl::py
