// TuningProfile as a CPython type.
//
// Written against the C API directly rather than through a binding class so
// that the layout of an instance is plain (a header and one array of value
// references): other modules read fields by index, fields are read-only
// member descriptors, and construction is one vectorcall with no
// intermediate tuple or dict.
#include "tuning_profile/tuning_profile.hpp"

#include <bitset>
#include <cstddef>
#include <cstring>
#include <string>

namespace kl::tuning {
namespace {

constexpr Py_ssize_t kN = static_cast<Py_ssize_t>(kFieldCount);

struct Override {
    std::size_t index;
    Value value;
};

constexpr const char* kCodeReviewGuidance =
    "Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a function "
    "exceeds 50 lines, flag it for splitting').";
constexpr const char* kUserPerspectiveGuidance =
    "Phrase rules from the perspective of serving the user well, not from a business-strategy "
    "perspective. Avoid framing terms like 'retention', 'lifetime value', 'loyalty', "
    "'maximize', or 'strategically'. A rule the user would feel respected by, not manipulated "
    "by.";

constexpr auto kResearch = std::to_array<Override>({
    {index_of("salience_recency_half_life_days"), F(21.0)},
    {index_of("decay_factor"), F(0.95)},
    {index_of("weaken_days"), I(60)},
    {index_of("archive_days"), I(180)},
    {index_of("directive_max_volume"), I(100)},
    {index_of("critic_max_directives"), I(30)},
    {index_of("coherence_threshold"), F(0.5)},
    {index_of("journal_max_content_size"), I(100000)},
    {index_of("journal_max_memories"), I(100)},
    {index_of("dream_evolve_max_per_cycle"), I(5)},
    {index_of("dream_evolve_temperature"), F(0.4)},
    {index_of("consolidation_max_inputs"), I(30)},
    {index_of("consolidation_min_salience"), F(0.3)},
});

constexpr auto kCodingAssistant = std::to_array<Override>({
    {index_of("salience_recency_half_life_days"), F(3.0)},
    {index_of("decay_factor"), F(0.8)},
    {index_of("weaken_days"), I(14)},
    {index_of("archive_days"), I(60)},
    {index_of("directive_decay_usage_threshold"), I(3)},
    {index_of("directive_decay_age_days"), I(5)},
    {index_of("directive_max_volume"), I(40)},
    {index_of("coherence_threshold"), F(0.7)},
    {index_of("entropy_stale_days"), I(14)},
    {index_of("journal_max_memories"), I(30)},
    {index_of("dream_evolve_max_per_cycle"), I(2)},
    {index_of("dream_evolve_temperature"), F(0.1)},
    {index_of("dream_evolve_style_guidance"), T(kCodeReviewGuidance)},
    {index_of("consolidation_min_salience"), F(0.5)},
    {index_of("max_context_chars"), I(80000)},
});

constexpr auto kConsumerSupport = std::to_array<Override>({
    {index_of("dream_evolve_style_guidance"), T(kUserPerspectiveGuidance)},
});

constexpr auto kStrategicAdvisors = std::to_array<Override>({
    {index_of("salience_reinforcement_weight"), F(0.6)},
    {index_of("salience_emotion_weight"), F(0.2)},
    {index_of("salience_recency_half_life_days"), F(30.0)},
    {index_of("decay_factor"), F(0.95)},
    {index_of("weaken_days"), I(90)},
    {index_of("archive_days"), I(365)},
    {index_of("emotional_immunity_threshold"), F(0.8)},
    {index_of("directive_provisional_days"), I(14)},
    {index_of("directive_max_volume"), I(30)},
    {index_of("critic_max_directives"), I(25)},
    {index_of("coherence_threshold"), F(0.75)},
    {index_of("journal_max_memories"), I(30)},
    {index_of("dream_evolve_max_per_cycle"), I(2)},
    {index_of("dream_evolve_temperature"), F(0.15)},
    {index_of("consolidation_min_salience"), F(0.5)},
});

constexpr auto kLightweightLocal = std::to_array<Override>({
    {index_of("directive_max_volume"), I(20)},
    {index_of("critic_max_directives"), I(10)},
    {index_of("journal_max_content_size"), I(20000)},
    {index_of("journal_max_memories"), I(20)},
    {index_of("dream_evolve_max_per_cycle"), I(1)},
    // Set explicitly to the balanced value: small local models still need
    // a little exploration.
    {index_of("dream_evolve_temperature"), F(0.2)},
    {index_of("consolidation_max_inputs"), I(10)},
    {index_of("max_context_chars"), I(32000)},
});

enum Preset { kBalanced, kResearchP, kCodingP, kConsumerP, kStrategicP, kLightweightP, kPresets };

// Value references shared by every profile built from a preset; created at
// load and kept for the life of the process (all immutable objects).
PyObject* g_presets[kPresets][kFieldCount];
// Field name (str) -> index (int), for keyword lookup.
PyObject* g_index = nullptr;
PyTypeObject* g_type = nullptr;

PyObject* make_value(const Value& v) {
    switch (v.kind) {
        case Kind::Int: return PyLong_FromLongLong(v.i);
        case Kind::Float: return PyFloat_FromDouble(v.f);
        case Kind::Bool: return PyBool_FromLong(static_cast<long>(v.i));
        case Kind::OptText: return v.text ? PyUnicode_FromString(v.text) : Py_NewRef(Py_None);
    }
    return nullptr;
}

// A new instance holding new references to `vals`.
PyObject* instantiate(PyObject* const* vals) {
    auto* self = PyObject_GC_New(ProfileObject, g_type);
    if (!self) return nullptr;
    for (Py_ssize_t i = 0; i < kN; ++i) self->values[i] = Py_NewRef(vals[i]);
    self->hash = -1;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// The fields of a construction call gathered before the object exists, so a
// failed call creates nothing.
struct Pending {
    PyObject* vals[kFieldCount];  // borrowed
    std::bitset<kFieldCount> by_keyword;
    Py_ssize_t npos = 0;

    explicit Pending(PyObject* const* base) { std::memcpy(vals, base, sizeof vals); }

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
        PyObject* ix = PyDict_GetItemWithError(g_index, name);
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
};

PyObject* profile_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Pending p(g_presets[kBalanced]);
    if (!p.positional(args, PyVectorcall_NARGS(nargsf))) return nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!p.keyword(PyTuple_GET_ITEM(kwnames, k), args[p.npos + k])) return nullptr;
    }
    return instantiate(p.vals);
}

bool apply_dict(Pending& p, PyObject* kwargs) {
    if (!kwargs) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
        if (!p.keyword(key, value)) return false;
    return true;
}

PyObject* profile_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    Pending p(g_presets[kBalanced]);
    if (!p.positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args))) return nullptr;
    if (!apply_dict(p, kwargs)) return nullptr;
    return instantiate(p.vals);
}

void profile_dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    // Profiles nested inside profiles can form long chains; the trashcan
    // keeps their destruction from exhausting the C stack.
    Py_TRASHCAN_BEGIN(op, profile_dealloc)
    auto* self = reinterpret_cast<ProfileObject*>(op);
    for (PyObject*& v : self->values) Py_CLEAR(v);
    PyObject_GC_Del(op);
    Py_TRASHCAN_END
}

// No tp_clear, as for tuples: the record is immutable, so any reference
// cycle through it passes through a mutable object whose tp_clear breaks
// it, and the fields are never seen empty.
int profile_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<ProfileObject*>(op);
    for (PyObject* v : self->values) Py_VISIT(v);
    return 0;
}

PyObject* profile_repr(PyObject* op) {
    int rc = Py_ReprEnter(op);
    if (rc != 0) return rc > 0 ? PyUnicode_FromString("...") : nullptr;
    auto* self = reinterpret_cast<ProfileObject*>(op);
    PyObject* parts = PyList_New(kN);
    PyObject* result = nullptr;
    if (parts) {
        Py_ssize_t i = 0;
        for (; i < kN; ++i) {
            PyObject* item = PyUnicode_FromFormat("%s=%R", kFields[i].name.data(), self->values[i]);
            if (!item) break;
            PyList_SET_ITEM(parts, i, item);
        }
        if (i == kN) {
            PyObject* sep = PyUnicode_FromString(", ");
            PyObject* body = sep ? PyUnicode_Join(sep, parts) : nullptr;
            Py_XDECREF(sep);
            if (body) result = PyUnicode_FromFormat("TuningProfile(%U)", body);
            Py_XDECREF(body);
        }
        Py_DECREF(parts);
    }
    Py_ReprLeave(op);
    return result;
}

// hash(tuple(values)), computed without building the tuple: the same
// xxHash-based mixing the interpreter uses for tuples, so a profile hashes
// like the tuple of its values, as a frozen record would.
Py_hash_t profile_hash(PyObject* op) {
    static_assert(sizeof(Py_uhash_t) == 8, "64-bit hash expected");
    constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL;
    constexpr Py_uhash_t kPrime2 = 14029467366897019727ULL;
    constexpr Py_uhash_t kPrime5 = 2870177450012600261ULL;
    auto* self = reinterpret_cast<ProfileObject*>(op);
    if (self->hash != -1) return self->hash;
    Py_uhash_t acc = kPrime5;
    bool stable = true;
    for (PyObject* v : self->values) {
        stable = stable && (PyFloat_CheckExact(v) || PyLong_CheckExact(v) ||
                            PyUnicode_CheckExact(v) || PyBool_Check(v) || v == Py_None);
        Py_hash_t lane = PyObject_Hash(v);
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
    if (stable) self->hash = h;
    return h;
}

PyObject* profile_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != g_type || Py_TYPE(a) != g_type)
        Py_RETURN_NOTIMPLEMENTED;
    auto* x = reinterpret_cast<ProfileObject*>(a);
    auto* y = reinterpret_cast<ProfileObject*>(b);
    bool equal = true;
    for (Py_ssize_t i = 0; i < kN && equal; ++i) {
        int r = PyObject_RichCompareBool(x->values[i], y->values[i], Py_EQ);
        if (r < 0) return nullptr;
        equal = r == 1;
    }
    return PyBool_FromLong((op == Py_EQ) == equal);
}

PyObject* preset(Preset which) { return instantiate(g_presets[which]); }

PyObject* m_balanced(PyObject*, PyObject*) { return preset(kBalanced); }
PyObject* m_research(PyObject*, PyObject*) { return preset(kResearchP); }
PyObject* m_coding(PyObject*, PyObject*) { return preset(kCodingP); }
PyObject* m_consumer(PyObject*, PyObject*) { return preset(kConsumerP); }
PyObject* m_strategic(PyObject*, PyObject*) { return preset(kStrategicP); }
PyObject* m_lightweight(PyObject*, PyObject*) { return preset(kLightweightP); }

PyObject* m_reduce(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<ProfileObject*>(op);
    PyObject* values = PyTuple_New(kN);
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < kN; ++i) PyTuple_SET_ITEM(values, i, Py_NewRef(self->values[i]));
    return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(g_type), values);
}

PyObject* m_replace(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError,
                     "TuningProfile.__replace__() takes 1 positional argument but %zd were given",
                     nargs + 1);
        return nullptr;
    }
    return replace_fields(op, args, kwnames);
}

PyMethodDef kMethods[] = {
    {"balanced", m_balanced, METH_CLASS | METH_NOARGS,
     "balanced($cls, /)\n--\n\nA new balanced profile, equal to TuningProfile()."},
    {"for_research", m_research, METH_CLASS | METH_NOARGS,
     "for_research($cls, /)\n--\n\n"
     "A new profile for research agents that live with information for weeks or months: "
     "gentle decay, wider consolidation batches, a higher evolution temperature, larger "
     "directive sets."},
    {"for_coding_assistant", m_coding, METH_CLASS | METH_NOARGS,
     "for_coding_assistant($cls, /)\n--\n\n"
     "A new profile for coding assistants: short half-lives, aggressive decay, a stricter "
     "directive usage bar, near-deterministic evolution, high coherence, a tighter context "
     "budget and a code-review phrasing rule for evolved directives."},
    {"for_consumer_support", m_consumer, METH_CLASS | METH_NOARGS,
     "for_consumer_support($cls, /)\n--\n\n"
     "A new profile for end-user-facing support: balanced values plus a phrasing rule that "
     "makes evolved directives serve the user rather than business strategy."},
    {"for_strategic_advisors", m_strategic, METH_CLASS | METH_NOARGS,
     "for_strategic_advisors($cls, /)\n--\n\n"
     "A new profile for high-stakes advisors: long persistence (archiving after a year), "
     "strict coherence, low emotional reactivity, conservative evolution, a higher flashbulb "
     "threshold."},
    {"for_lightweight_local", m_lightweight, METH_CLASS | METH_NOARGS,
     "for_lightweight_local($cls, /)\n--\n\n"
     "A new profile for small local models: smaller directive sets and batches, one evolved "
     "directive per cycle, tight context windows."},
    {"__reduce__", m_reduce, METH_NOARGS, "Pickle support: the type and the field values."},
    {"__replace__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_replace)),
     METH_FASTCALL | METH_KEYWORDS,
     "__replace__($self, /, **changes)\n--\n\nA new profile with the named fields changed "
     "(copy.replace)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef g_members[kFieldCount + 1];
std::string g_doc;

// The remaining slots are filled in create_profile_type().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject g_type_object = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "kelvane_layer._internal.tuning_profile.TuningProfile",  // tp_name
    sizeof(ProfileObject),                                   // tp_basicsize
};
#pragma GCC diagnostic pop

bool build_presets() {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        PyObject* v = make_value(kFields[i].balanced);
        if (!v) return false;
        g_presets[kBalanced][i] = v;
    }
    auto derive = [](Preset which, const Override* begin, std::size_t n) {
        for (std::size_t i = 0; i < kFieldCount; ++i)
            g_presets[which][i] = Py_NewRef(g_presets[kBalanced][i]);
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* v = make_value(begin[k].value);
            if (!v) return false;
            Py_SETREF(g_presets[which][begin[k].index], v);
        }
        return true;
    };
    return derive(kResearchP, kResearch.data(), kResearch.size()) &&
           derive(kCodingP, kCodingAssistant.data(), kCodingAssistant.size()) &&
           derive(kConsumerP, kConsumerSupport.data(), kConsumerSupport.size()) &&
           derive(kStrategicP, kStrategicAdvisors.data(), kStrategicAdvisors.size()) &&
           derive(kLightweightP, kLightweightLocal.data(), kLightweightLocal.size());
}

// "TuningProfile(salience_reinforcement_weight=0.4, ...)" as the text
// signature, so help() and inspect show every field with its default.
void build_doc() {
    g_doc = "TuningProfile(";
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i) g_doc += ", ";
        g_doc += kFields[i].name;
        g_doc += '=';
        PyObject* r = PyObject_Repr(g_presets[kBalanced][i]);
        if (r) {
            g_doc += PyUnicode_AsUTF8(r);
            Py_DECREF(r);
        } else {
            PyErr_Clear();
        }
    }
    g_doc +=
        ")\n--\n\n"
        "Immutable record of every tuning constant.\n\n"
        "Built with no arguments it is the balanced profile; the archetype presets are the "
        "for_* class methods.  Fields may be given by keyword, or by position in declaration "
        "order, and are stored exactly as passed (no conversion, no range check).  Profiles "
        "compare and hash by their field values, cannot be ordered, and cannot be changed: "
        "use replace() or copy.replace() for a changed copy.";
}

}  // namespace

PyObject* create_profile_type() {
    if (g_type) return Py_NewRef(reinterpret_cast<PyObject*>(g_type));
    if (!build_presets()) return nullptr;
    g_index = PyDict_New();
    if (!g_index) return nullptr;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        PyObject* ix = PyLong_FromSize_t(i);
        int rc = ix ? PyDict_SetItemString(g_index, kFields[i].name.data(), ix) : -1;
        Py_XDECREF(ix);
        if (rc < 0) return nullptr;
        g_members[i] = PyMemberDef{
            kFields[i].name.data(), Py_T_OBJECT_EX,
            static_cast<Py_ssize_t>(offsetof(ProfileObject, values) + i * sizeof(PyObject*)),
            Py_READONLY, kFields[i].doc};
    }
    g_members[kFieldCount] = PyMemberDef{nullptr, 0, 0, 0, nullptr};
    build_doc();

    PyTypeObject& t = g_type_object;
    t.tp_dealloc = profile_dealloc;
    t.tp_repr = profile_repr;
    t.tp_hash = profile_hash;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    t.tp_doc = g_doc.c_str();
    t.tp_traverse = profile_traverse;
    t.tp_richcompare = profile_richcompare;
    t.tp_methods = kMethods;
    t.tp_members = g_members;
    t.tp_new = profile_new;
    t.tp_vectorcall = profile_vectorcall;
    if (PyType_Ready(&t) < 0) return nullptr;

    // Field names in declaration order, for positional pattern matching.
    PyObject* match_args = PyTuple_New(kN);
    if (!match_args) return nullptr;
    for (Py_ssize_t i = 0; i < kN; ++i) {
        PyObject* name = PyUnicode_FromString(kFields[static_cast<std::size_t>(i)].name.data());
        if (!name) {
            Py_DECREF(match_args);
            return nullptr;
        }
        PyTuple_SET_ITEM(match_args, i, name);
    }
    int rc = PyDict_SetItemString(t.tp_dict, "__match_args__", match_args);
    Py_DECREF(match_args);
    if (rc < 0) return nullptr;
    PyType_Modified(&t);

    g_type = &t;
    return Py_NewRef(reinterpret_cast<PyObject*>(g_type));
}

bool is_profile(PyObject* o) noexcept { return g_type && Py_TYPE(o) == g_type; }

PyObject* replace_fields(PyObject* profile, PyObject* const* values, PyObject* kwnames) {
    Pending p(reinterpret_cast<ProfileObject*>(profile)->values);
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!p.keyword(PyTuple_GET_ITEM(kwnames, k), values[k])) return nullptr;
    }
    return instantiate(p.vals);
}

}  // namespace kl::tuning
