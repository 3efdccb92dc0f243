#include "kl/py/module.hpp"

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "kl/py/containers.hpp"
#include "kl/py/raw_alloc.hpp"
#include "kl/py/ref.hpp"

namespace kl::py {

bool keep(PyObject* module, std::size_t i, PyObject* value) noexcept {
    if (!value) return false;
    // A kept str is handed to every caller (a verdict word, a system prompt
    // inside each result).  Interned, it is immortal on the free-threaded
    // build, so threads that return it do not fight over its reference
    // count; with the GIL interning changes nothing but the one lookup here.
    if (PyUnicode_CheckExact(value)) PyUnicode_InternInPlace(&value);
    PyObject** s = state_of(module);
    Py_XSETREF(s[i], value);
    return true;
}

bool add(PyObject* module, const char* name, PyObject* value) noexcept {
    // PyModule_Add takes the reference over even when it fails.
    return PyModule_Add(module, name, value) == 0;
}

bool set_all(PyObject* module, std::initializer_list<const char*> names) noexcept {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return false;
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (!s) return false;
        PyList_SET_ITEM(list.get(), i++, s);
    }
    return add(module, "__all__", list.release());
}

void share_type_across_threads(PyObject* type) noexcept {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000 && SIZEOF_VOID_P == 8
    // Every instance holds a reference to its type.  The free-threaded 3.13
    // keeps a type made from a spec one count that all threads but its
    // creator update atomically, so two threads creating instances pass that
    // count's cache line back and forth on every call.  (Classes defined in
    // Python do not pay this: the interpreter makes them immortal once a
    // second thread starts; 3.14 counts per thread.)  A type is made
    // immortal the same way here: on this build, a count set past UINT32_MAX
    // by the thread that owns the object (the one whose exec made it) makes
    // it immortal, and an immortal object is never collected, so it leaves
    // the collector first, as the interpreter's own immortal objects do.
    // What this gives up is the release at shutdown of the type and of what
    // it keeps: its module, whose state holds the presets.  A module made
    // again in the main interpreter (a reload) keeps one more of each.
    // Like the interpreter, a subinterpreter's types are left mortal: they
    // must go with their interpreter.  (Only where Py_ssize_t holds a count
    // past UINT32_MAX: 64-bit builds.)
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
    PyObject_GC_UnTrack(type);
    Py_SET_REFCNT(type, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
#else
    (void)type;
#endif
}

PyObject* intern(const char* s) noexcept { return PyUnicode_InternFromString(s); }

PyObject* import_attr(const char* module, const char* name) noexcept {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    return PyObject_GetAttrString(mod.get(), name);
}

PyObject* get_logger(const char* name) noexcept {
    Ref get = Ref::steal(import_attr("logging", "getLogger"));
    if (!get) return nullptr;
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return nullptr;
    return PyObject_CallOneArg(get.get(), n.get());
}

bool log_warning(PyObject* logger, const char* message, const char* field,
                 PyObject* value) noexcept {
    Ref extra = Ref::steal(PyDict_New());
    if (!extra || PyDict_SetItemString(extra.get(), field, value) < 0) return false;
    Ref method = Ref::steal(PyUnicode_InternFromString("warning"));
    Ref msg = Ref::steal(PyUnicode_FromString(message));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "extra"));
    if (!method || !msg || !kwnames) return false;
    PyObject* args[] = {logger, msg.get(), extra.get()};
    Ref r = Ref::steal(PyObject_VectorcallMethod(
        method.get(), args, 2, kwnames.get()));
    return static_cast<bool>(r);
}

int is_mapping(PyObject* o, PyObject* mapping_abc) noexcept {
    if (PyDict_Check(o)) return 1;
    return PyObject_IsInstance(o, mapping_abc);
}

int get_optional_item(PyObject* map, PyObject* key, PyObject** out) noexcept {
    // A dict, or a subclass that keeps dict's own subscript, answers as
    // dict.get() does.  Subscripting it would call a subclass's __missing__
    // (defaultdict, Counter), which is meant for m[key] and may insert the
    // key into the caller's map.
    if (PyDict_Check(map) &&
        Py_TYPE(map)->tp_as_mapping->mp_subscript == PyDict_Type.tp_as_mapping->mp_subscript)
        return PyDict_GetItemRef(map, key, out);
    return PyMapping_GetOptionalItem(map, key, out);
}

void RecordList::clear() noexcept {
    // Emptied first: a record's destruction may run host code that reaches
    // this list again only through its owner, never through these slots.
    std::size_t n = n_;
    n_ = 0;
    for (std::size_t i = 0; i < n; ++i) Py_DECREF(items_[i]);
}

bool RecordList::grow() noexcept {
    std::size_t capacity = 2 * capacity_;
    std::unique_ptr<PyObject*[]> bigger(new (std::nothrow) PyObject*[capacity]);
    if (!bigger) {
        PyErr_NoMemory();
        return false;
    }
    std::copy(items_, items_ + n_, bigger.get());
    heap_ = std::move(bigger);
    items_ = heap_.get();
    capacity_ = capacity;
    return true;
}

PyObject* RecordList::finish() noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n_));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n_; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items_[i]);
    n_ = 0;  // the list owns them now
    return list;
}

SetMembers::SetMembers(PyObject* set) {
    PySetObject* so = reinterpret_cast<PySetObject*>(set);
    std::size_t room = kInline;
    // Room for the taken slots (members and removed ones) and one more: the
    // scan below writes one past the last.  Guessed from the member count,
    // then checked under the lock; a set that outgrew it is scanned anew.
    std::size_t need = static_cast<std::size_t>(PySet_GET_SIZE(set)) + 1;
    for (;;) {
        if (need > room) {
            heap_ = std::make_unique<PyObject*[]>(need);
            items_ = heap_.get();
            room = need;
        }
        bool fits;
        Py_BEGIN_CRITICAL_SECTION(set);
        fits = static_cast<std::size_t>(so->fill) < room;
        if (fits) {
            // Without a branch on each slot: whether a slot is taken follows
            // the members' hashes, which no predictor can guess.  Every
            // taken slot is noted, then those marked removed (a key but a
            // hash of -1; few) are passed over.
            const setentry* table = so->table;
            const Py_ssize_t mask = so->mask;
            std::size_t t = 0;
            for (Py_ssize_t i = 0; i <= mask; ++i) {
                items_[t] = reinterpret_cast<PyObject*>(const_cast<setentry*>(&table[i]));
                t += static_cast<std::size_t>(table[i].key != nullptr);
            }
            std::size_t n = 0;
            for (std::size_t k = 0; k < t; ++k) {
                const setentry* e = reinterpret_cast<const setentry*>(items_[k]);
                if (e->hash != -1) items_[n++] = Py_NewRef(e->key);
            }
            n_ = n;
        } else {
            need = static_cast<std::size_t>(so->fill) + 1;
        }
        Py_END_CRITICAL_SECTION();
        if (fits) return;
    }
}

SetMembers::~SetMembers() {
    for (std::size_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
}

}  // namespace kl::py

// ---- Raw scratch memory ---------------------------------------------------

namespace kl::py {
namespace {

class RawMemory final : public std::pmr::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t align) override {
        // The raw allocator aligns as malloc does; nothing here asks more.
        if (align > alignof(std::max_align_t)) throw std::bad_alloc();
        void* p = PyMem_RawMalloc(bytes ? bytes : 1);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void do_deallocate(void* p, std::size_t, std::size_t) override { PyMem_RawFree(p); }
    bool do_is_equal(const std::pmr::memory_resource& o) const noexcept override {
        return this == &o;
    }
};

}  // namespace

std::pmr::memory_resource* raw_memory() noexcept {
    static RawMemory resource;
    return &resource;
}

}  // namespace kl::py
