// Binding of the tuning profile: the TuningProfile type, replace(), and the
// interface other modules read profiles through (c_api.hpp).
//
// TuningProfile is a heap type of this module.  An instance is a header, its
// hash once known, and one array of value references in declaration order:
// fields are read-only member descriptors over that array, and construction
// is one vectorcall with no intermediate tuple or dict.  Only this file knows
// the layout.
#include <Python.h>

#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"
#include "tuning_profile/c_api.hpp"
#include "tuning_profile/fields.hpp"

namespace {

using kl::py::Ref;
using namespace kl::tuning;

constexpr Py_ssize_t kN = static_cast<Py_ssize_t>(kFieldCount);

// Module state: the type, field name -> index (for keywords), and one tuple
// of values per preset, shared by every profile built from it (all values
// are immutable objects).
enum Slot : std::size_t { kType, kIndex, kPreset0, kSlotCount = kPreset0 + kPresetCount };

struct ProfileObject {
    PyObject_HEAD
    // -1 until computed; kept only when no value could change its hash.
    // An atomic of its own rather than a plain field seen through
    // std::atomic_ref, which LLVM's C++ library gained only in release 19;
    // constructed in place by instantiate() (the allocator does not run
    // constructors) and trivially destructible, so nothing ends it.
    std::atomic<Py_hash_t> hash;
    // Every slot holds a strong reference once construction has finished;
    // construction either fills all of them or creates no object.
    PyObject* values[kFieldCount];
};
// Lock-free, so a profile needs no lock beside it; nothing to destroy.
static_assert(std::atomic<Py_hash_t>::is_always_lock_free);
static_assert(std::is_trivially_destructible_v<std::atomic<Py_hash_t>>);

ProfileObject* as_profile(PyObject* o) noexcept { return reinterpret_cast<ProfileObject*>(o); }

PyObject** state_of_type(PyTypeObject* t) noexcept {
    return static_cast<PyObject**>(PyType_GetModuleState(t));
}

PyObject* const* preset_values(PyObject** state, Preset p) noexcept {
    return &PyTuple_GET_ITEM(state[kPreset0 + static_cast<std::size_t>(p)], 0);
}

// ---- Construction ----------------------------------------------------------

// The reference a new profile holds to one field value.
PyObject* field_ref(PyObject* v) noexcept {
#ifdef Py_GIL_DISABLED
    // Without the GIL a new reference to an object another thread also
    // references is an atomic write to a count the other thread writes too.
    // Profiles are built from the shared preset values, or from a profile
    // the threads share, so two threads building profiles would spend most
    // of their time passing those counts back and forth.  A plain float or
    // int gets an object of its own instead: equal, of the same type, and
    // different only to `is` (small ints, bools, None and the interned
    // texts are immortal and shared freely).  A NaN keeps its object: two
    // profiles holding the same NaN compare equal, as tuples do, because
    // comparison tries identity first.
    if (PyFloat_CheckExact(v)) {
        double d = PyFloat_AS_DOUBLE(v);
        if (d != d) return Py_NewRef(v);
        if (PyObject* own = PyFloat_FromDouble(d)) return own;
        PyErr_Clear();  // out of memory: sharing is still correct
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow)
            if (PyObject* own = PyLong_FromLongLong(x)) return own;
        PyErr_Clear();
    }
#endif
    return Py_NewRef(v);
}

// A new instance holding new references to `vals`.
PyObject* instantiate(PyTypeObject* type, PyObject* const* vals) {
    auto* self = PyObject_GC_New(ProfileObject, type);
    if (!self) return nullptr;
    new (&self->hash) std::atomic<Py_hash_t>(-1);
    for (Py_ssize_t i = 0; i < kN; ++i) self->values[i] = field_ref(vals[i]);
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// The fields of a construction call gathered before the object exists, so a
// failed call creates nothing.
struct Pending {
    PyObject* vals[kFieldCount];  // borrowed
    std::bitset<kFieldCount> by_keyword;
    Py_ssize_t npos = 0;
    PyObject* index;  // name -> index

    Pending(PyObject* const* base, PyObject* index_map) : index(index_map) {
        std::memcpy(vals, base, sizeof vals);
    }

    bool positional(PyObject* const* args, Py_ssize_t n) {
        if (n > kN) {
            PyErr_Format(PyExc_TypeError,
                         "TuningProfile.__init__() takes from 1 to %zd positional arguments but "
                         "%zd were given",
                         kN + 1, n + 1);
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) vals[i] = args[i];
        npos = n;
        return true;
    }

    bool keyword(PyObject* name, PyObject* value) {
        PyObject* ix = PyDict_GetItemWithError(index, name);
        if (!ix) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError,
                             "TuningProfile.__init__() got an unexpected keyword argument '%S'",
                             name);
            return false;
        }
        auto i = static_cast<std::size_t>(PyLong_AsSsize_t(ix));
        if (static_cast<Py_ssize_t>(i) < npos || by_keyword[i]) {
            PyErr_Format(PyExc_TypeError,
                         "TuningProfile.__init__() got multiple values for argument '%S'", name);
            return false;
        }
        by_keyword[i] = true;
        vals[i] = value;
        return true;
    }

    // The vectorcall keywords: names in `kwnames`, values from `values`.
    bool keywords(PyObject* kwnames, PyObject* const* values) {
        if (!kwnames) return true;
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!keyword(PyTuple_GET_ITEM(kwnames, k), values[k])) return false;
        return true;
    }
};

PyObject* profile_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject** state = state_of_type(tp);
    Pending p(preset_values(state, Preset::Balanced), state[kIndex]);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (!p.positional(args, n) || !p.keywords(kwnames, args + n)) return nullptr;
    return instantiate(tp, p.vals);
}

// TuningProfile.__new__(cls, ...), for callers that reach it explicitly.
PyObject* profile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject** state = state_of_type(type);
    Pending p(preset_values(state, Preset::Balanced), state[kIndex]);
    if (!p.positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args))) return nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!p.keyword(key, value)) return nullptr;
    }
    return instantiate(type, p.vals);
}

// A new profile equal to `profile` except for the fields named by the
// vectorcall keywords.
PyObject* replace_fields(PyObject* profile, PyObject* const* values, PyObject* kwnames) {
    PyTypeObject* tp = Py_TYPE(profile);
    Pending p(as_profile(profile)->values, state_of_type(tp)[kIndex]);
    if (!p.keywords(kwnames, values)) return nullptr;
    return instantiate(tp, p.vals);
}

// ---- Type slots --------------------------------------------------------------

void profile_dealloc(PyObject* op) {
    PyTypeObject* tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    // Profiles nested inside profiles can form long chains; the trashcan
    // keeps their destruction from exhausting the C stack.
    Py_TRASHCAN_BEGIN(op, profile_dealloc)
    // Every slot is set once construction has finished, and nothing can see
    // the object any more.
    for (PyObject* v : as_profile(op)->values) Py_DECREF(v);
    PyObject_GC_Del(op);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// No tp_clear, as for tuples: the record is immutable, so any reference
// cycle through it passes through a mutable object whose tp_clear breaks
// it, and the fields are never seen empty.
int profile_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(op));
    for (PyObject* v : as_profile(op)->values) Py_VISIT(v);
    return 0;
}

PyObject* profile_repr_fields(PyObject* op);

PyObject* profile_repr(PyObject* op) {
    // A nested profile recurses here through its values.  This frame is
    // larger than the host's own repr frames, so it counts against the
    // recursion limit too: a chain too deep then ends in RecursionError
    // while the C stack still has room, whatever the build.
    if (Py_EnterRecursiveCall(" while getting the repr of a TuningProfile")) return nullptr;
    PyObject* result = profile_repr_fields(op);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* profile_repr_fields(PyObject* op) {
    int rc = Py_ReprEnter(op);
    if (rc != 0) return rc > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject* result = nullptr;
    try {
        kl::py::StrWriter w;
        w.fixed_ascii("TuningProfile(");
        bool ok = true;
        for (std::size_t i = 0; i < kFieldCount && ok; ++i) {
            if (i) w.fixed_ascii(", ");
            w.fixed_ascii(kFields[i].name);
            w.fixed_ascii("=");
            Ref r = Ref::steal(PyObject_Repr(as_profile(op)->values[i]));
            ok = static_cast<bool>(r);
            if (ok) w.owned(std::move(r));
        }
        if (ok) {
            w.fixed_ascii(")");
            result = w.finish();
        }
    } catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    }
    Py_ReprLeave(op);
    return result;
}

// Values of these kinds always hash the same and never recurse.
bool plain_value(PyObject* v) noexcept {
    return PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
           PyBool_Check(v) || v == Py_None;
}

// hash(tuple(values)), computed without building the tuple: the same
// xxHash-based mixing the interpreter uses for tuples, so a profile hashes
// like the tuple of its values, as a frozen record would.
Py_hash_t profile_hash(PyObject* op) {
    static_assert(sizeof(Py_uhash_t) == 8, "64-bit hash expected");
    constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL;
    constexpr Py_uhash_t kPrime2 = 14029467366897019727ULL;
    constexpr Py_uhash_t kPrime5 = 2870177450012600261ULL;
    ProfileObject* self = as_profile(op);
    // The one field written after construction.  Profiles are shared between
    // threads, so it is read and written atomically: every thread computes
    // the same value, so whichever store lands is right.
    std::atomic<Py_hash_t>& cached = self->hash;
    if (Py_hash_t known = cached.load(std::memory_order_relaxed); known != -1) return known;
    Py_uhash_t acc = kPrime5;
    bool stable = true;
    for (PyObject* v : self->values) {
        Py_hash_t lane;
        if (plain_value(v)) {
            lane = PyObject_Hash(v);
        } else {
            stable = false;
            // A value may itself be a profile, nested to any depth: hashing
            // it recurses, and the recursion guard turns a chain too deep for
            // the C stack into RecursionError.
            if (Py_EnterRecursiveCall(" while hashing a TuningProfile")) return -1;
            lane = PyObject_Hash(v);
            Py_LeaveRecursiveCall();
        }
        if (lane == -1) return -1;
        acc += static_cast<Py_uhash_t>(lane) * kPrime2;
        acc = (acc << 31) | (acc >> 33);
        acc *= kPrime1;
    }
    acc += static_cast<Py_uhash_t>(kN) ^ (kPrime5 ^ 3527539UL);
    Py_hash_t h = acc == static_cast<Py_uhash_t>(-1) ? 1546275796 : static_cast<Py_hash_t>(acc);
    // Values of the builtin immutable kinds always hash the same, so their
    // combined hash can be kept; any other value is asked again every time,
    // as a frozen record would.
    if (stable) cached.store(h, std::memory_order_relaxed);
    return h;
}

PyObject* profile_richcompare(PyObject* a, PyObject* b, int op) {
    // The type admits no subclasses: equal types are both this one.
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    ProfileObject* x = as_profile(a);
    ProfileObject* y = as_profile(b);
    bool equal = true;
    // The host's comparison guards its own recursion, so nested profiles
    // raise RecursionError rather than exhaust the C stack.
    for (Py_ssize_t i = 0; i < kN && equal; ++i) {
        int r = PyObject_RichCompareBool(x->values[i], y->values[i], Py_EQ);
        if (r < 0) return nullptr;
        equal = r == 1;
    }
    return PyBool_FromLong((op == Py_EQ) == equal);
}

// ---- Methods -------------------------------------------------------------------

template <Preset P>
PyObject* make_preset(PyObject* cls, PyObject* const*) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    return instantiate(tp, preset_values(state_of_type(tp), P));
}

PyObject* reduce(PyObject* self, PyObject* const*) {
    Ref values = Ref::steal(PyTuple_New(kN));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < kN; ++i)
        PyTuple_SET_ITEM(values.get(), i, Py_NewRef(as_profile(self)->values[i]));
    // The type itself, which pickle records by its qualified name.
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), values.get());
}

PyObject* replace_method(PyObject* self, PyObject* const* args, PyObject* kwnames) {
    return replace_fields(self, args, kwnames);
}

constexpr kl::py::Function kMethods[] = {
    {"balanced", {}, 0,
     "balanced($cls, /)\n--\n\nA new balanced profile, equal to TuningProfile().",
     &make_preset<Preset::Balanced>, METH_CLASS},
    {"for_research", {}, 0,
     "for_research($cls, /)\n--\n\n"
     "A new profile for research agents that live with information for weeks or months: "
     "gentle decay, wider consolidation batches, a higher evolution temperature, larger "
     "directive sets.",
     &make_preset<Preset::Research>, METH_CLASS},
    {"for_coding_assistant", {}, 0,
     "for_coding_assistant($cls, /)\n--\n\n"
     "A new profile for coding assistants: short half-lives, aggressive decay, a stricter "
     "directive usage bar, near-deterministic evolution, high coherence, a tighter context "
     "budget and a code-review phrasing rule for evolved directives.",
     &make_preset<Preset::CodingAssistant>, METH_CLASS},
    {"for_consumer_support", {}, 0,
     "for_consumer_support($cls, /)\n--\n\n"
     "A new profile for end-user-facing support: balanced values plus a phrasing rule that "
     "makes evolved directives serve the user rather than business strategy.",
     &make_preset<Preset::ConsumerSupport>, METH_CLASS},
    {"for_strategic_advisors", {}, 0,
     "for_strategic_advisors($cls, /)\n--\n\n"
     "A new profile for high-stakes advisors: long persistence (archiving after a year), "
     "strict coherence, low emotional reactivity, conservative evolution, a higher flashbulb "
     "threshold.",
     &make_preset<Preset::StrategicAdvisors>, METH_CLASS},
    {"for_lightweight_local", {}, 0,
     "for_lightweight_local($cls, /)\n--\n\n"
     "A new profile for small local models: smaller directive sets and batches, one evolved "
     "directive per cycle, tight context windows.",
     &make_preset<Preset::LightweightLocal>, METH_CLASS},
    {"__reduce__", {}, 0,
     "__reduce__($self, /)\n--\n\nPickle support: the type and the field values.", &reduce},
};

constexpr kl::py::KeywordsFunction kKeywordMethods[] = {
    {"__replace__", 0,
     "__replace__($self, /, **changes)\n--\n\n"
     "A new profile with the named fields changed (copy.replace).",
     &replace_method},
};

// ---- Module functions ------------------------------------------------------------

// The profile is positional-only, so a field that happened to be called
// "profile" could still be passed as a change.
PyObject* replace(PyObject* m, PyObject* const* args, PyObject* kwnames) {
    if (Py_TYPE(args[0]) != reinterpret_cast<PyTypeObject*>(kl::py::slot(m, kType)))
        return kl::py::arg_type_error("replace", "profile", "TuningProfile", args[0]);
    return replace_fields(args[0], args + 1, kwnames);
}

constexpr kl::py::KeywordsFunction kFunctions[] = {
    {"replace", 1,
     "replace($module, profile, /, **changes)\n--\n\n"
     "A new profile equal to `profile` except for the fields named in `changes`.\n\n"
     "The given profile is unchanged.  An unknown field name raises TypeError.",
     &replace},
};

// ---- The interface for other modules -------------------------------------------

std::size_t api_index_of(const char* name) noexcept {
    std::string_view n(name);
    for (std::size_t i = 0; i < kFieldCount; ++i)
        if (kFields[i].name == n) return i;
    return kFieldCount;
}

PyObject* api_field(PyObject* profile, std::size_t i) noexcept {
    return as_profile(profile)->values[i];
}

int api_field_as_double(PyObject* profile, std::size_t i, double* out) noexcept {
    PyObject* v = as_profile(profile)->values[i];
    if (PyFloat_CheckExact(v)) {
        *out = PyFloat_AS_DOUBLE(v);
        return 0;
    }
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return -1;
    *out = d;
    return 0;
}

void free_api(PyObject* capsule) {
    PyMem_Free(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* make_capsule(PyTypeObject* type) {
    auto* api = static_cast<CApi*>(PyMem_Malloc(sizeof(CApi)));
    if (!api) return PyErr_NoMemory();
    *api = CApi{kVersion,  sizeof(CApi), type, kFieldCount, &api_index_of,
                &api_field, &api_field_as_double};
    PyObject* capsule = PyCapsule_New(api, kCapsuleName, &free_api);
    if (!capsule) PyMem_Free(api);
    return capsule;
}

// ---- Module execution ------------------------------------------------------------

PyObject* make_value(const Value& v) {
    switch (v.kind) {
        case Kind::Int: return PyLong_FromLongLong(v.i);
        case Kind::Float: return PyFloat_FromDouble(v.f);
        case Kind::Bool: return PyBool_FromLong(static_cast<long>(v.i));
        case Kind::OptText: return v.text ? PyUnicode_InternFromString(v.text) : Py_NewRef(Py_None);
    }
    return nullptr;
}

// The value tuples of the six presets; the archetypes share the balanced
// objects for every field they leave alone.
bool build_presets(PyObject* m) {
    Ref balanced = Ref::steal(PyTuple_New(kN));
    if (!balanced) return false;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        PyObject* v = make_value(kFields[i].balanced);
        if (!v) return false;
        PyTuple_SET_ITEM(balanced.get(), static_cast<Py_ssize_t>(i), v);
    }
    for (std::size_t p = 1; p < kPresetCount; ++p) {
        Ref t = Ref::steal(PyTuple_New(kN));
        if (!t) return false;
        for (Py_ssize_t i = 0; i < kN; ++i)
            PyTuple_SET_ITEM(t.get(), i, Py_NewRef(PyTuple_GET_ITEM(balanced.get(), i)));
        for (const Override& o : overrides(static_cast<Preset>(p))) {
            PyObject* v = make_value(o.value);
            if (!v) return false;
            // The tuple is new and not yet shared, so it may still be filled.
            Py_SETREF(PyTuple_GET_ITEM(t.get(), static_cast<Py_ssize_t>(o.index)), v);
        }
        if (!kl::py::keep(m, kPreset0 + p, t.release())) return false;
    }
    return kl::py::keep(m, kPreset0, balanced.release());
}

// "TuningProfile(salience_reinforcement_weight=0.4, ...)" as the text
// signature, so help() and inspect show every field with its default.
bool build_doc(PyObject* balanced, std::string& doc) {
    doc = "TuningProfile(";
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i) doc += ", ";
        doc += kFields[i].name;
        doc += '=';
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(balanced, static_cast<Py_ssize_t>(i))));
        const char* text = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
        if (!text) return false;
        doc += text;
    }
    doc +=
        ")\n--\n\n"
        "Immutable record of every tuning constant.\n\n"
        "Built with no arguments it is the balanced profile; the archetype presets are the "
        "for_* class methods.  Fields may be given by keyword, or by position in declaration "
        "order, and are stored exactly as passed (no conversion, no range check).  Profiles "
        "compare and hash by their field values, cannot be ordered, and cannot be changed: "
        "use replace() or copy.replace() for a changed copy.";
    return true;
}

// Read-only members over the value array, one per field.
constexpr auto kMembers = [] {
    std::array<PyMemberDef, kFieldCount + 1> d{};
    for (std::size_t i = 0; i < kFieldCount; ++i)
        d[i] = PyMemberDef{kFields[i].name.data(), Py_T_OBJECT_EX,
                           static_cast<Py_ssize_t>(offsetof(ProfileObject, values) +
                                                   i * sizeof(PyObject*)),
                           Py_READONLY, kFields[i].doc};
    return d;
}();

PyObject* make_type(PyObject* m) {
    std::string doc;
    if (!build_doc(kl::py::slot(m, kPreset0), doc)) return nullptr;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&profile_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&profile_repr)},
        {Py_tp_hash, reinterpret_cast<void*>(&profile_hash)},
        {Py_tp_traverse, reinterpret_cast<void*>(&profile_traverse)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&profile_richcompare)},
        {Py_tp_methods, kl::py::methods<kMethods, kKeywordMethods>()},
        {Py_tp_members, const_cast<PyMemberDef*>(kMembers.data())},
        {Py_tp_new, reinterpret_cast<void*>(&profile_new)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},  // copied into the type
        {0, nullptr},
    };
    PyType_Spec spec = {
        "kelvane_layer._internal.tuning_profile.TuningProfile",
        static_cast<int>(sizeof(ProfileObject)),
        0,
        // Not a base type: other modules rely on an exact type test.
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    Ref type = Ref::steal(PyType_FromModuleAndSpec(m, &spec, nullptr));
    if (!type) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    // Calls of the type go straight to the constructor.  (Set before any
    // instance exists; the type slots of this interpreter offer no entry.)
    tp->tp_vectorcall = &profile_vectorcall;

    // Field names in declaration order, for positional pattern matching.
    Ref match_args = Ref::steal(PyTuple_New(kN));
    if (!match_args) return nullptr;
    for (Py_ssize_t i = 0; i < kN; ++i) {
        PyObject* name = kl::py::intern(kFields[static_cast<std::size_t>(i)].name.data());
        if (!name) return nullptr;
        PyTuple_SET_ITEM(match_args.get(), i, name);
    }
    // The type is immutable to host code; its own module still completes it.
    Ref dict = Ref::steal(PyType_GetDict(tp));
    if (!dict || PyDict_SetItemString(dict.get(), "__match_args__", match_args.get()) < 0)
        return nullptr;
    PyType_Modified(tp);
    // Every profile built on any thread references this type.
    kl::py::share_type_across_threads(type.get());
    return type.release();
}

PyObject* make_index() {
    Ref index = Ref::steal(PyDict_New());
    if (!index) return nullptr;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        Ref name = Ref::steal(kl::py::intern(kFields[i].name.data()));
        Ref ix = Ref::steal(PyLong_FromSize_t(i));
        if (!name || !ix || PyDict_SetItem(index.get(), name.get(), ix.get()) < 0) return nullptr;
    }
    return index.release();
}

int exec(PyObject* m) {
    bool ok = build_presets(m) && kl::py::keep(m, kIndex, make_index()) &&
              kl::py::keep(m, kType, make_type(m));
    if (!ok) return -1;
    auto* type = reinterpret_cast<PyTypeObject*>(kl::py::slot(m, kType));
    ok = kl::py::add(m, "TuningProfile", Py_NewRef(type)) &&
         kl::py::add(m, "_C_API", make_capsule(type)) &&
         kl::py::set_all(m, {"TuningProfile", "replace"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "The tuning profile: one immutable record of every tuning constant, its balanced "
    "values and five archetype presets.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    kModuleName, kDoc, kl::py::keywords_methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_tuning_profile() { return PyModuleDef_Init(&kModule); }
