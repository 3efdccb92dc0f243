// Binding of health scoring: reads the statistics map and the profile with
// the host's own conversions, and hands the numbers to the core (score.hpp).
#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "health/score.hpp"
#include "kl/py/containers.hpp"
#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/ref.hpp"
#include "tuning_profile/c_api.hpp"
#include "tuning_profile/fields.hpp"

namespace {

using kl::py::Number;
using kl::py::Ref;
namespace hl = kl::health;
namespace tp = kl::tuning;

// ---- Module state ------------------------------------------------------------

enum Slot : std::size_t {
    kProfileType,  // TuningProfile, from the profile interface
    kApi,          // the profile interface's capsule
    kMappingAbc,   // collections.abc.Mapping
    kZero,         // 0, for comparisons of big ints
    kStatusType,   // CognitiveHealthStatus
    kStatus0,      // its members, in hl::Status order
    kUrl0 = kStatus0 + 4,  // their troubleshooting links (None for HEALTHY)
    // Statistics keys, interned once so dict lookups hit the cached hash.
    kMemory = kUrl0 + 4,
    kDreams,
    kCritic,
    kJournals,
    kDirectives,
    kEventTypeCounts,
    kReinforcedCount,
    kTotalMemories,
    kCaptures7d,
    kRuns7d,
    kFailureCount7d,
    kSuccessRate7d,
    kPassRate7d,
    kEntries7d,
    kDemotionRate7d,
    kSlotCount
};

constexpr const char* kKeyNames[] = {
    "memory",        "dreams",         "critic",           "journals",
    "directives",    "event_type_counts", "reinforced_count", "total_memories",
    "captures_7d",   "runs_7d",        "failure_count_7d", "success_rate_7d",
    "pass_rate_7d",  "entries_7d",     "demotion_rate_7d",
};
static_assert(std::size(kKeyNames) == kSlotCount - kMemory);

// ---- One call's reading of host values ---------------------------------------

// The state of one call.  `epoch` moves wherever host code may run (a
// conversion hook, a mapping's own __getitem__, an isinstance() hook): a section
// read in one pass stays valid only while it has not moved, since such code
// could have changed the map.  It belongs to the call, so concurrent calls
// share nothing.
struct Call {
    explicit Call(PyObject* module) noexcept : state(kl::py::state_of(module)) {}

    PyObject* const* state;
    const tp::CApi* api = nullptr;
    unsigned long epoch = 0;

    PyObject* slot(std::size_t s) const noexcept { return state[s]; }
    void host_code_may_run() noexcept { ++epoch; }
};

// Whether `o` is a map: a dict or any collections.abc.Mapping.  -1 on error.
int is_mapping(Call& c, PyObject* o) {
    if (PyDict_Check(o)) return 1;
    c.host_code_may_run();
    return kl::py::is_mapping(o, c.slot(kMappingAbc));
}

// Integers below 2**53 in magnitude convert to double exactly, so ratios of
// them divide as doubles with the very result the host's int / int gives;
// larger ones keep the host's int and its arithmetic.
constexpr long long kExact = 1LL << 53;

struct Int {
    long long v = 0;
    Ref big;  // set when the value lies outside +-2**53

    static bool of(long long x, Int& out) {
        if (x > kExact || x < -kExact) {
            out.big = Ref::steal(PyLong_FromLongLong(x));
            return static_cast<bool>(out.big);
        }
        out.v = x;
        if (out.big) out.big = Ref();
        return true;
    }
    // `o` is an exact int.
    static bool of_exact(PyObject* o, Int& out) {
        // Counts are small: read one-digit ints in place.
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
            out.v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
            if (out.big) out.big = Ref();
            return true;
        }
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (x == -1 && PyErr_Occurred()) return false;
        if (overflow) {
            out.big = Ref::borrow(o);
            return true;
        }
        return of(x, out);
    }
    PyObject* object() const {  // new reference
        return big ? Py_NewRef(big.get()) : PyLong_FromLongLong(v);
    }
    // -1 on error.
    int positive(const Call& c) const {
        if (!big) return v > 0;
        return PyObject_RichCompareBool(big.get(), c.slot(kZero), Py_GT);
    }
    // float(self) as the host converts an int in mixed arithmetic.
    bool to_double(double& out) const {
        if (!big) {
            out = static_cast<double>(v);
            return true;
        }
        out = PyLong_AsDouble(big.get());
        return !(out == -1.0 && PyErr_Occurred());
    }
};

// The host's int(value): a float truncates toward zero, a numeric text parses.
bool host_int(Call& c, PyObject* value, Int& out) {
    if (PyLong_CheckExact(value)) return Int::of_exact(value, out);
    c.host_code_may_run();
    Ref r = Ref::steal(PyNumber_Long(value));
    return r && Int::of_exact(r.get(), out);
}

// The host's float(value).
bool host_float(Call& c, PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    c.host_code_may_run();
    Ref r = Ref::steal(PyNumber_Float(value));
    if (!r) return false;
    out = PyFloat_AS_DOUBLE(r.get());
    return true;
}

// a / b as the host's true division of two ints.
bool true_div(const Int& a, const Int& b, double& out) {
    if (!a.big && !b.big) {
        out = static_cast<double>(a.v) / static_cast<double>(b.v);
        return true;
    }
    Ref x = Ref::steal(a.object());
    Ref y = Ref::steal(b.object());
    if (!x || !y) return false;
    Ref q = Ref::steal(PyNumber_TrueDivide(x.get(), y.get()));
    if (!q) return false;
    out = PyFloat_AsDouble(q.get());
    return !(out == -1.0 && PyErr_Occurred());
}

// a < threshold, exact for every pairing of int and float, as the host compares.
bool less_than(Call& c, const Int& a, PyObject* threshold, bool& out) {
    if (!a.big) {
        if (PyLong_CheckExact(threshold)) {
            int overflow = 0;
            long long t = PyLong_AsLongLongAndOverflow(threshold, &overflow);
            if (overflow) {
                out = overflow > 0;
                return true;
            }
            if (t == -1 && PyErr_Occurred()) return false;
            out = a.v < t;
            return true;
        }
        if (PyFloat_CheckExact(threshold)) {
            out = static_cast<double>(a.v) < PyFloat_AS_DOUBLE(threshold);
            return true;
        }
    }
    c.host_code_may_run();
    Ref x = Ref::steal(a.object());
    if (!x) return false;
    int r = PyObject_RichCompareBool(x.get(), threshold, Py_LT);
    if (r < 0) return false;
    out = r == 1;
    return true;
}

// A profile value in floating-point arithmetic (an int weight or threshold
// takes part as the host would convert it).
bool profile_double(Call& c, PyObject* profile, std::size_t i, double& out) {
    PyObject* v = c.api->field(profile, i);
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    c.host_code_may_run();
    return c.api->field_as_double(profile, i, &out) == 0;
}

// The value of `key` in `map` into `out` (left empty when absent).  False
// on error.
bool lookup(Call& c, PyObject* map, PyObject* key, Ref& out) {
    out = Ref();
    if (!map) return true;
    // A key's own __eq__ may run on a hash collision, a mapping's
    // __getitem__ always.
    c.host_code_may_run();
    PyObject* r = nullptr;
    int found = kl::py::get_optional_item(map, key, &r);
    out = Ref::steal(r);
    return found >= 0;
}

// A map whose values are read by a few fixed keys.  A plain dict with plain
// str keys is read in one pass on first use: walking its handful of entries
// costs less than one hashed probe per key, which matters because keys
// decoded from JSON are never the interned ones, so each probe ends in a
// string comparison anyway.  Anything else is asked key by key.
class Section {
public:
    Section(Call& c, Ref map, std::initializer_list<Slot> keys) : c_(c), map_(std::move(map)) {
        for (Slot k : keys) keys_[n_++] = c.slot(k);
    }
    PyObject* map() const noexcept { return map_.get(); }

    // map.get(key), `key` being one of the keys given at construction:
    // `value` is the value, borrowed (valid while this section and `hold`
    // live), or nullptr when absent.  False on error.
    bool get(Slot key_slot, PyObject*& value, Ref& hold) {
        PyObject* key = c_.slot(key_slot);
        value = nullptr;
        if (!map_) return true;
        if (state_ == kUnread && PyDict_CheckExact(map_.get())) scan();
        if (state_ == kRead && epoch_ == c_.epoch) {
            for (std::size_t i = 0; i < n_; ++i) {
                if (keys_[i] == key) {
                    value = vals_[i].get();
                    return true;
                }
            }
        }
        if (!lookup(c_, map_.get(), key, hold)) return false;
        value = hold.get();
        return true;
    }

private:
    enum State { kUnread, kRead, kByKey };
    static constexpr std::size_t kMax = 4;

    // The dict is locked for the pass (free-threaded builds), which runs no
    // host code, so the values it keeps are taken before anyone can drop them.
    void scan() {
        Py_BEGIN_CRITICAL_SECTION(map_.get());
        state_ = scan_locked() ? kRead : kByKey;
        Py_END_CRITICAL_SECTION();
        epoch_ = c_.epoch;
    }

    bool scan_locked() {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(map_.get(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;  // equality could be anyone's
            if (!PyUnicode_IS_ASCII(k)) continue;  // never equal to an ASCII key
            std::size_t i = 0;
            // The keys of a literal map are the interned ones: try identity
            // first, and compare text only when none is the same object.
            while (i < n_ && keys_[i] != k) ++i;
            if (i == n_) {
                Py_ssize_t len = PyUnicode_GET_LENGTH(k);
                const void* data = PyUnicode_DATA(k);
                for (i = 0; i < n_; ++i)
                    if (PyUnicode_GET_LENGTH(keys_[i]) == len &&
                        std::memcmp(PyUnicode_DATA(keys_[i]), data,
                                    static_cast<std::size_t>(len)) == 0)
                        break;
            }
            if (i < n_) vals_[i] = Ref::borrow(v);
        }
        return true;
    }

    Call& c_;
    Ref map_;
    PyObject* keys_[kMax] = {};
    Ref vals_[kMax];
    std::size_t n_ = 0;
    State state_ = kUnread;
    unsigned long epoch_ = 0;
};

// stats[name] when present (it must then be a map), else empty for "empty".
bool section(Call& c, Section& stats, Slot key, Ref& out) {
    PyObject* v;
    Ref hold;
    if (!stats.get(key, v, hold)) return false;
    out = hold ? std::move(hold) : Ref::borrow(v);
    if (!out) return true;
    int r = is_mapping(c, out.get());
    if (r < 0) return false;
    if (!r) {
        PyErr_Format(PyExc_TypeError, "stats[%R] must be a mapping, not %.200s", c.slot(key),
                     Py_TYPE(out.get())->tp_name);
        return false;
    }
    return true;
}

bool int_in(Call& c, Section& sec, Slot key, Int& out) {
    PyObject* v;
    Ref hold;
    if (!sec.get(key, v, hold)) return false;
    if (!v) return Int::of(0, out);
    return host_int(c, v, out);
}

bool float_in(Call& c, Section& sec, Slot key, double dflt, double& out) {
    PyObject* v;
    Ref hold;
    if (!sec.get(key, v, hold)) return false;
    if (!v) {
        out = dflt;
        return true;
    }
    return host_float(c, v, out);
}

bool ratio(const Call& c, const Int& reinforced, const Int& total, double& out) {
    int pos = total.positive(c);
    if (pos < 0) return false;
    if (!pos) {
        out = 0.0;
        return true;
    }
    double share;
    if (!true_div(reinforced, total, share)) return false;
    out = hl::share_score(share);
    return true;
}

// ---- Memory diversity ------------------------------------------------------------

// Converted counts in iteration order; the few event types a back-end
// reports fit inline, so the common call allocates nothing.
class Counts {
public:
    Int& push() {
        ++n_;
        if (n_ <= kInline) return inline_[n_ - 1];
        return spill_.emplace_back();
    }
    void reserve(std::size_t n) {
        if (n > kInline) spill_.reserve(n - kInline);
    }
    std::size_t size() const noexcept { return n_; }
    const Int& operator[](std::size_t i) const noexcept {
        return i < kInline ? inline_[i] : spill_[i - kInline];
    }

private:
    static constexpr std::size_t kInline = 16;
    Int inline_[kInline];
    std::vector<Int> spill_;
    std::size_t n_ = 0;
};

// How the counts of an event-type map are read: the function's own argument
// must hold numbers (named in the error), while counts inside a statistics
// map take the host's int() like every other statistic.
enum class CountKind { Argument, Statistic };

bool count_of(Call& c, PyObject* key, PyObject* value, CountKind kind, Int& out) {
    if (kind == CountKind::Argument && !kl::py::is_real_number(value, Number::Integer)) {
        if (key)
            PyErr_Format(PyExc_TypeError,
                         "compute_memory_diversity() argument 'event_type_counts' must map to "
                         "numbers, but the count of %R is %.200s",
                         key, Py_TYPE(value)->tp_name);
        else
            PyErr_Format(PyExc_TypeError,
                         "compute_memory_diversity() argument 'event_type_counts' must map to "
                         "numbers, not to %.200s",
                         Py_TYPE(value)->tp_name);
        return false;
    }
    return host_int(c, value, out);
}

// The counts of an event-type map, converted, in iteration order.
bool collect_counts(Call& c, PyObject* m, CountKind kind, Counts& out, Py_ssize_t& distinct) {
    if (PyDict_Check(m)) {
        Py_ssize_t n = PyDict_GET_SIZE(m);
        out.reserve(static_cast<std::size_t>(n));
        Py_ssize_t pos = 0, seen = 0;
        Ref k, v;
        // Converting may run host code that changes the map, and on a
        // free-threaded build another thread may: each entry is held, and a
        // map whose size moved is refused as the host's own walk refuses it.
        while (kl::py::dict_next(m, pos, k, v)) {
            ++seen;
            if (PyLong_CheckExact(v.get())) {
                if (!Int::of_exact(v.get(), out.push())) return false;
            } else if (!count_of(c, k.get(), v.get(), kind, out.push())) {
                return false;
            }
            if (PyDict_GET_SIZE(m) != n) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
        }
        distinct = seen;
        return true;
    }
    // Any other mapping through the protocol alone, as its values() would
    // read it: each key it iterates, then m[key].
    c.host_code_may_run();
    distinct = PyObject_Size(m);
    if (distinct < 0) return false;
    Ref it = Ref::steal(PyObject_GetIter(m));
    if (!it) return false;
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        Ref item = Ref::steal(PyObject_GetItem(m, key.get()));
        if (!item || !count_of(c, key.get(), item.get(), kind, out.push())) return false;
    }
    return !PyErr_Occurred();
}

bool memory_diversity(Call& c, PyObject* counts, CountKind kind, double& out) {
    Counts values;
    Py_ssize_t distinct = 0;
    if (!collect_counts(c, counts, kind, values, distinct)) return false;

    // Exact integer total: machine arithmetic while it fits, host ints after.
    long long acc = 0;
    Ref big_acc;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Int& n = values[i];
        if (!big_acc) {
            long long next;
            if (!n.big && !__builtin_add_overflow(acc, n.v, &next)) {
                acc = next;
                continue;
            }
            big_acc = Ref::steal(PyLong_FromLongLong(acc));
            if (!big_acc) return false;
        }
        Ref term = Ref::steal(n.object());
        if (!term) return false;
        big_acc = Ref::steal(PyNumber_Add(big_acc.get(), term.get()));
        if (!big_acc) return false;
    }
    Int total;
    if (!(big_acc ? Int::of_exact(big_acc.get(), total) : Int::of(acc, total))) return false;

    out = 0.0;
    int pos = total.positive(c);
    if (pos <= 0) return pos == 0;
    if (distinct < 2) return true;  // one event type has no diversity
    // The shares first, then their terms, in the same order.  In one loop,
    // clang's code converted the next count into the register that still
    // held the last term, and a conversion that writes half a register waits
    // for its last writer: every division waited for the log2 before it
    // (13% slower than GCC's code, on the same instructions).
    double few[16];
    std::vector<double> many;
    double* shares = few;
    if (values.size() > std::size(few)) {
        many.resize(values.size());
        shares = many.data();
    }
    std::size_t m = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Int& n = values[i];
        int p = n.positive(c);
        if (p < 0) return false;
        if (!p) continue;
        if (!true_div(n, total, shares[m])) return false;
        ++m;
    }
    hl::Entropy entropy;
    for (std::size_t i = 0; i < m; ++i) entropy.add(shares[i]);
    out = entropy.normalised(static_cast<std::size_t>(distinct));
    return true;
}

// ---- Composite score -------------------------------------------------------------

bool kelvane_score(Call& c, PyObject* stats, PyObject* profile, double& out) {
    Section top(c, Ref::borrow(stats), {kMemory, kDreams, kCritic, kJournals});
    Ref mem, dr, cr, jn;
    if (!section(c, top, kMemory, mem) || !section(c, top, kDreams, dr) ||
        !section(c, top, kCritic, cr) || !section(c, top, kJournals, jn))
        return false;
    Section memory(c, std::move(mem), {kEventTypeCounts, kReinforcedCount, kTotalMemories});
    Section dreams(c, std::move(dr), {kFailureCount7d, kRuns7d});
    Section critic(c, std::move(cr), {kPassRate7d});
    Section journals(c, std::move(jn), {kEntries7d});

    std::array<double, 5> subs{};  // diversity, coherence, dream health, reinforcement, journal
    PyObject* counts;
    Ref hold;
    if (!memory.get(kEventTypeCounts, counts, hold)) return false;
    if (counts) {
        // Held for the walk: host code run by a conversion could drop the
        // section's entry.
        Ref keep = Ref::borrow(counts);
        int r = is_mapping(c, counts);
        if (r < 0) return false;
        if (!r) {
            PyErr_Format(PyExc_TypeError,
                         "stats['memory']['event_type_counts'] must be a mapping, not %.200s",
                         Py_TYPE(counts)->tp_name);
            return false;
        }
        if (!memory_diversity(c, counts, CountKind::Statistic, subs[0])) return false;
    }
    if (!float_in(c, critic, kPassRate7d, 1.0, subs[1])) return false;

    Int failures, runs;
    if (!int_in(c, dreams, kFailureCount7d, failures) || !int_in(c, dreams, kRuns7d, runs))
        return false;
    int has_runs = runs.positive(c);
    if (has_runs < 0) return false;
    double failure_share = 0.0;
    if (has_runs && !true_div(failures, runs, failure_share)) return false;
    subs[2] = hl::dream_health(has_runs, failure_share);

    Int reinforced, total;
    if (!int_in(c, memory, kReinforcedCount, reinforced) ||
        !int_in(c, memory, kTotalMemories, total) || !ratio(c, reinforced, total, subs[3]))
        return false;

    Int entries;
    double target;
    if (!int_in(c, journals, kEntries7d, entries) ||
        !profile_double(c, profile, tp::idx::kelvane_journal_target_days, target))
        return false;
    if (hl::journal_expects_entries(target)) {
        double e;
        if (!entries.to_double(e)) return false;
        subs[4] = hl::journal_frequency(e, target);
    }

    namespace ix = tp::idx;
    constexpr std::size_t kWeights[] = {
        ix::kelvane_memory_diversity_weight, ix::kelvane_directive_coherence_weight,
        ix::kelvane_dream_health_weight, ix::kelvane_reinforcement_ratio_weight,
        ix::kelvane_journal_frequency_weight};
    std::array<double, 5> weights{};
    for (std::size_t i = 0; i < 5; ++i)
        if (!profile_double(c, profile, kWeights[i], weights[i])) return false;
    out = hl::weighted_score(weights, subs);
    return true;
}

// ---- Classification ------------------------------------------------------------

// Answers the core classifier's questions from the statistics and the
// profile (see hl::classify for the order they are asked in).
class Reader {
public:
    Reader(Call& c, PyObject* profile, Ref mem, Ref dr, Ref dv)
        : c_(c),
          profile_(profile),
          memory_(c, std::move(mem), {kCaptures7d, kReinforcedCount, kTotalMemories}),
          dreams_(c, std::move(dr), {kRuns7d, kFailureCount7d, kSuccessRate7d}),
          directives_(c, std::move(dv), {kDemotionRate7d}) {}

    bool dream_failure_rate(double& out) {
        Int failures;
        if (!int_in(c_, dreams_, kRuns7d, runs_) || !int_in(c_, dreams_, kFailureCount7d, failures))
            return false;
        int pos = runs_.positive(c_);
        if (pos < 0) return false;
        out = 0.0;
        return !pos || true_div(failures, runs_, out);
    }
    bool threshold(hl::Threshold t, double& out) {
        return profile_double(c_, profile_, index_of(t), out);
    }
    bool demotion_rate(double& out) {
        return float_in(c_, directives_, kDemotionRate7d, 0.0, out);
    }
    bool reinforcement(double& out) {
        Int reinforced, total;
        return int_in(c_, memory_, kCaptures7d, captures_) &&
               int_in(c_, memory_, kReinforcedCount, reinforced) &&
               int_in(c_, memory_, kTotalMemories, total) && ratio(c_, reinforced, total, out);
    }
    bool few_captures(bool& out) {
        PyObject* limit = c_.api->field(profile_, tp::idx::health_stagnant_capture_threshold_7d);
        return less_than(c_, captures_, limit, out);
    }
    bool dream_success(double& out) {
        return float_in(c_, dreams_, kSuccessRate7d, 1.0, out);
    }
    bool no_runs() const noexcept { return !runs_.big && runs_.v == 0; }

private:
    static std::size_t index_of(hl::Threshold t) noexcept {
        namespace ix = tp::idx;
        switch (t) {
            case hl::Threshold::OverloadedDreamFailure:
                return ix::health_overloaded_dream_failure_threshold;
            case hl::Threshold::DriftingDemotionRate:
                return ix::health_drifting_demotion_rate_threshold;
            case hl::Threshold::StagnantReinforcementRatio:
                return ix::health_stagnant_reinforcement_ratio;
            case hl::Threshold::KelvaneHealthy: return ix::health_kelvane_healthy_threshold;
            case hl::Threshold::DreamSuccessHealthy:
                return ix::health_dream_success_healthy_threshold;
        }
        return ix::health_kelvane_healthy_threshold;
    }

    Call& c_;
    PyObject* profile_;
    Section memory_, dreams_, directives_;
    Int runs_, captures_;
};

// ---- Functions -------------------------------------------------------------------

bool begin(Call& c) {
    c.api = static_cast<const tp::CApi*>(PyCapsule_GetPointer(c.slot(kApi), tp::kCapsuleName));
    return c.api != nullptr;
}

bool check_stats(Call& c, const char* f, PyObject* stats) {
    int r = is_mapping(c, stats);
    if (r < 0) return false;
    if (!r) kl::py::arg_type_error(f, "stats", "a mapping", stats);
    return r == 1;
}

bool check_profile(const Call& c, const char* f, PyObject* admin) {
    // The type admits no subclasses, so identity is the whole test.
    if (reinterpret_cast<PyObject*>(Py_TYPE(admin)) == c.slot(kProfileType)) return true;
    kl::py::arg_type_error(f, "admin", "TuningProfile", admin);
    return false;
}

PyObject* classify_cognitive_health(PyObject* m, PyObject* const* args) {
    constexpr const char* f = "classify_cognitive_health";
    Call c(m);
    PyObject *stats = args[0], *admin = args[2];
    double score;
    if (!begin(c) || !check_stats(c, f, stats) ||
        !kl::py::check_number(f, "kelvane_score", args[1], Number::Real) ||
        !check_profile(c, f, admin) || !kl::py::float_param(f, "kelvane_score", args[1], score))
        return nullptr;
    Section top(c, Ref::borrow(stats), {kMemory, kDreams, kDirectives});
    Ref mem, dr, dv;
    if (!section(c, top, kMemory, mem) || !section(c, top, kDreams, dr) ||
        !section(c, top, kDirectives, dv))
        return nullptr;
    Reader in(c, admin, std::move(mem), std::move(dr), std::move(dv));
    hl::Status s = hl::classify(in, score);
    if (s == hl::Status::Unreadable) return nullptr;
    return Py_NewRef(c.slot(kStatus0 + static_cast<std::size_t>(s)));
}

PyObject* compute_memory_diversity(PyObject* m, PyObject* const* args) {
    Call c(m);
    PyObject* counts = args[0];
    int r = is_mapping(c, counts);
    if (r < 0) return nullptr;
    if (!r)
        return kl::py::arg_type_error("compute_memory_diversity", "event_type_counts",
                                      "a mapping", counts);
    double out;
    if (!memory_diversity(c, counts, CountKind::Argument, out)) return nullptr;
    return PyFloat_FromDouble(out);
}

PyObject* compute_reinforcement_ratio(PyObject* m, PyObject* const* args) {
    constexpr const char* f = "compute_reinforcement_ratio";
    Call c(m);
    if (!kl::py::check_number(f, "reinforced_count", args[0], Number::Integer) ||
        !kl::py::check_number(f, "total_memories", args[1], Number::Integer))
        return nullptr;
    Ref r = Ref::steal(kl::py::int_param(f, "reinforced_count", args[0]));
    if (!r) return nullptr;
    Ref t = Ref::steal(kl::py::int_param(f, "total_memories", args[1]));
    if (!t) return nullptr;
    Int reinforced, total;
    double out;
    if (!Int::of_exact(r.get(), reinforced) || !Int::of_exact(t.get(), total) ||
        !ratio(c, reinforced, total, out))
        return nullptr;
    return PyFloat_FromDouble(out);
}

PyObject* compute_kelvane_score(PyObject* m, PyObject* const* args) {
    constexpr const char* f = "compute_kelvane_score";
    Call c(m);
    double out;
    if (!begin(c) || !check_stats(c, f, args[0]) || !check_profile(c, f, args[1]) ||
        !kelvane_score(c, args[0], args[1], out))
        return nullptr;
    return PyFloat_FromDouble(out);
}

PyObject* remedy_url_for(PyObject* m, PyObject* const* args) {
    PyObject* status = args[0];
    int ok = PyObject_IsInstance(status, kl::py::slot(m, kStatusType));
    if (ok < 0) return nullptr;
    if (!ok)
        return kl::py::arg_type_error("remedy_url_for", "status", "CognitiveHealthStatus", status);
    PyObject* healthy = kl::py::slot(m, kStatus0 + static_cast<std::size_t>(hl::Status::Healthy));
    int eq = PyObject_RichCompareBool(status, healthy, Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) Py_RETURN_NONE;
    for (std::size_t i = 0; i < 4; ++i)
        if (status == kl::py::slot(m, kStatus0 + i)) return Py_NewRef(kl::py::slot(m, kUrl0 + i));
    // Not one of the four members this module knows: its own value.
    Ref value = Ref::steal(PyObject_GetAttrString(status, "value"));
    if (!value) return nullptr;
    Ref text = Ref::steal(PyObject_Format(value.get(), nullptr));
    if (!text) return nullptr;
    return PyUnicode_FromFormat("%s/%U", hl::kRemedyUrlBase, text.get());
}

PyObject* journal_frequency_score(PyObject*, PyObject* const* args) {
    constexpr const char* f = "_journal_frequency_score";
    if (!kl::py::check_number(f, "entries_7d", args[0], Number::Integer) ||
        !kl::py::check_number(f, "target_days", args[1], Number::Real))
        return nullptr;
    Ref entries = Ref::steal(kl::py::int_param(f, "entries_7d", args[0]));
    double target;
    if (!entries || !kl::py::float_param(f, "target_days", args[1], target)) return nullptr;
    // The count converts only when the target expects entries, as the
    // host's arithmetic would: a huge count never overflows otherwise.
    if (!hl::journal_expects_entries(target)) return PyFloat_FromDouble(0.0);
    double e = PyLong_AsDouble(entries.get());
    if (e == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(hl::journal_frequency(e, target));
}

constexpr const char* kClassifyDoc =
    "classify_cognitive_health(stats, kelvane_score, admin)\n--\n\n"
    "The cognitive-health bucket (a CognitiveHealthStatus) of an agent.\n\n"
    "Tests in a fixed order, the first that holds deciding: OVERLOADED (seven-day dream\n"
    "failure rate above the profile's threshold), DRIFTING (demotion rate above its\n"
    "threshold), STAGNANT (few captures and little reinforcement), HEALTHY (score and dream\n"
    "success rate at or above their thresholds), otherwise STAGNANT.  Pass the score from\n"
    "compute_kelvane_score() with the same statistics and profile.\n\n"
    "Reads, each absent key taking its default: memory.reinforced_count,\n"
    "memory.total_memories, memory.captures_7d, dreams.runs_7d, dreams.failure_count_7d\n"
    "(integers, default 0), dreams.success_rate_7d (float, default 1.0; taken as 1.0 when\n"
    "there were no runs) and directives.demotion_rate_7d (float, default 0.0).  The module\n"
    "docstring lists every statistics key.";
constexpr const char* kDiversityDoc =
    "compute_memory_diversity(event_type_counts)\n--\n\n"
    "Normalised Shannon entropy (base 2) of the event-type counts, in [0, 1].\n\n"
    "0.0 for an empty map, a single type or a total of zero or less; keys with zero counts\n"
    "widen the maximum without adding entropy.  Every count must be a number (a non-integer\n"
    "is truncated toward zero).";
constexpr const char* kRatioDoc =
    "compute_reinforcement_ratio(reinforced_count, total_memories)\n--\n\n"
    "Fraction of memories reinforced at least once, clamped to [0, 1]; 0.0 when there are\n"
    "no memories.";
constexpr const char* kScoreDoc =
    "compute_kelvane_score(stats, admin)\n--\n\n"
    "The composite kelvane score in [0, 1] of a statistics map under a TuningProfile.\n\n"
    "Weighs memory diversity, directive coherence (critic pass rate), dream health,\n"
    "reinforcement ratio and journal cadence with the profile's five kelvane weights,\n"
    "renormalised to sum to 1 (0.0 when they sum to zero or less).\n\n"
    "Reads, each absent key taking its default: memory.event_type_counts (map of event\n"
    "type to integer count, default {}), memory.reinforced_count, memory.total_memories,\n"
    "dreams.runs_7d, dreams.failure_count_7d, journals.entries_7d (integers, default 0)\n"
    "and critic.pass_rate_7d (float, default 1.0).  The module docstring lists every\n"
    "statistics key.";
constexpr const char* kRemedyDoc =
    "remedy_url_for(status)\n--\n\n"
    "Troubleshooting link for a health status: REMEDY_URL_BASE, '/', and the status's\n"
    "value; None for HEALTHY.  Raises TypeError unless ``status`` is a member of the\n"
    "host's CognitiveHealthStatus.";
constexpr const char* kJournalDoc =
    "_journal_frequency_score(entries_7d, target_days)\n--\n\n"
    "Journal entries of the last seven days against the number a target interval of\n"
    "`target_days` expects, clamped to [0, 1]; 0.0 for a non-positive or infinite target.";

constexpr kl::py::Function kFunctions[] = {
    {"classify_cognitive_health", {"stats", "kelvane_score", "admin"}, 3, kClassifyDoc,
     &classify_cognitive_health},
    {"compute_memory_diversity", {"event_type_counts"}, 1, kDiversityDoc,
     &compute_memory_diversity},
    {"compute_reinforcement_ratio", {"reinforced_count", "total_memories"}, 2, kRatioDoc,
     &compute_reinforcement_ratio},
    {"compute_kelvane_score", {"stats", "admin"}, 2, kScoreDoc, &compute_kelvane_score},
    {"remedy_url_for", {"status"}, 1, kRemedyDoc, &remedy_url_for},
    {"_journal_frequency_score", {"entries_7d", "target_days"}, 2, kJournalDoc,
     &journal_frequency_score},
};

// ---- Module execution --------------------------------------------------------------

// The profile interface, and a check that every field this module reads
// sits where this module was built to find it.
bool import_profile(PyObject* m) {
    PyObject* capsule;
    const tp::CApi* api = tp::import_api(&capsule);
    if (!kl::py::keep(m, kApi, capsule)) return false;
    namespace ix = tp::idx;
    for (std::size_t i :
         {ix::kelvane_memory_diversity_weight, ix::kelvane_directive_coherence_weight,
          ix::kelvane_dream_health_weight, ix::kelvane_reinforcement_ratio_weight,
          ix::kelvane_journal_frequency_weight, ix::kelvane_journal_target_days,
          ix::health_kelvane_healthy_threshold, ix::health_dream_success_healthy_threshold,
          ix::health_stagnant_capture_threshold_7d, ix::health_stagnant_reinforcement_ratio,
          ix::health_drifting_demotion_rate_threshold,
          ix::health_overloaded_dream_failure_threshold}) {
        if (api->index_of(tp::kFields[i].name.data()) != i) {
            PyErr_Format(PyExc_ImportError, "TuningProfile field %s is not where health expects it",
                         tp::kFields[i].name.data());
            return false;
        }
    }
    return kl::py::keep(m, kProfileType, Py_NewRef(reinterpret_cast<PyObject*>(api->type)));
}

bool import_statuses(PyObject* m) {
    if (!kl::py::keep(m, kStatusType, kl::py::import_attr("kelvane_layer.types",
                                                          "CognitiveHealthStatus")))
        return false;
    constexpr const char* kNames[4] = {"HEALTHY", "DRIFTING", "OVERLOADED", "STAGNANT"};
    static_assert(static_cast<int>(hl::Status::Healthy) == 0 &&
                  static_cast<int>(hl::Status::Drifting) == 1 &&
                  static_cast<int>(hl::Status::Overloaded) == 2 &&
                  static_cast<int>(hl::Status::Stagnant) == 3);
    for (std::size_t i = 0; i < 4; ++i) {
        if (!kl::py::keep(m, kStatus0 + i,
                          PyObject_GetAttrString(kl::py::slot(m, kStatusType), kNames[i])))
            return false;
        if (i == 0) {
            if (!kl::py::keep(m, kUrl0, Py_NewRef(Py_None))) return false;
            continue;
        }
        Ref value = Ref::steal(PyObject_GetAttrString(kl::py::slot(m, kStatus0 + i), "value"));
        Ref text = value ? Ref::steal(PyObject_Format(value.get(), nullptr)) : Ref();
        PyObject* url =
            text ? PyUnicode_FromFormat("%s/%U", hl::kRemedyUrlBase, text.get()) : nullptr;
        if (!kl::py::keep(m, kUrl0 + i, url)) return false;
    }
    return true;
}

int exec(PyObject* m) {
    bool ok = import_profile(m) && import_statuses(m) &&
              kl::py::keep(m, kMappingAbc, kl::py::import_attr("collections.abc", "Mapping")) &&
              kl::py::keep(m, kZero, PyLong_FromLong(0));
    for (std::size_t i = 0; ok && i < std::size(kKeyNames); ++i)
        ok = kl::py::keep(m, kMemory + i, kl::py::intern(kKeyNames[i]));
    ok = ok && kl::py::add(m, "REMEDY_URL_BASE", PyUnicode_FromString(hl::kRemedyUrlBase)) &&
         kl::py::set_all(m, {"REMEDY_URL_BASE", "classify_cognitive_health",
                             "compute_memory_diversity", "compute_reinforcement_ratio",
                             "compute_kelvane_score", "remedy_url_for"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Health scoring: the memory-diversity and reinforcement sub-scores, the composite "
    "kelvane score in [0, 1], the four-way cognitive-health classifier and its "
    "troubleshooting link.\n\n"
    "The statistics map `stats` (as the storage back-end reports it) holds sections, each\n"
    "a map.  An absent section counts as an empty map and an absent key takes its\n"
    "default; a present section must be a map.  Integer values are converted with int()\n"
    "(a float truncates toward zero), floating-point values with float().  Sections and\n"
    "keys other than these are ignored without a word.\n\n"
    "  section     key                kind                          default  read by\n"
    "  memory      event_type_counts  map: event type -> integer    {}       score\n"
    "  memory      reinforced_count   integer                       0        score, classifier\n"
    "  memory      total_memories     integer                       0        score, classifier\n"
    "  memory      captures_7d        integer                       0        classifier\n"
    "  dreams      runs_7d            integer                       0        score, classifier\n"
    "  dreams      failure_count_7d   integer                       0        score, classifier\n"
    "  dreams      success_rate_7d    floating-point                1.0      classifier\n"
    "  critic      pass_rate_7d       floating-point                1.0      score\n"
    "  journals    entries_7d         integer                       0        score\n"
    "  directives  demotion_rate_7d   floating-point                0.0      classifier\n\n"
    "reinforced_count counts memories reinforced at least once; captures_7d, runs_7d,\n"
    "failure_count_7d (failed cycles among runs_7d), entries_7d (journal entries) and the\n"
    "three rates cover the last seven days.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.health", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_health() { return PyModuleDef_Init(&kModule); }
