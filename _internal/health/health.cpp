#include "health/health.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "tuning_profile/tuning_profile.hpp"

namespace kl::health {

// --- Pure arithmetic --------------------------------------------------------

double journal_frequency(double entries, double target_days) noexcept {
    if (target_days <= 0.0) return 0.0;
    double expected = 7.0 / target_days;
    if (expected <= 0.0) return 0.0;  // an infinite target expects nothing
    return clamp01(entries / expected);
}

double compensated_sum(const std::array<double, 5>& values) noexcept {
    double sum = 0.0;
    double correction = 0.0;
    for (double v : values) {
        double t = sum + v;
        if (std::fabs(sum) >= std::fabs(v))
            correction += (sum - t) + v;
        else
            correction += (v - t) + sum;
        sum = t;
    }
    return sum + correction;
}

double weighted_score(const std::array<double, 5>& weights,
                      const std::array<double, 5>& subscores) noexcept {
    double total = compensated_sum(weights);
    if (total <= 0.0) return 0.0;
    double score = 0.0;
    for (std::size_t i = 0; i < 5; ++i) score += (weights[i] / total) * subscores[i];
    return clamp01(score);
}

// --- Host values ------------------------------------------------------------

namespace {

PyObject* g_profile_type = nullptr;
PyObject* g_mapping_abc = nullptr;
PyObject* g_zero = nullptr;
PyObject* g_get = nullptr;
PyObject* g_values = nullptr;
PyObject* g_absent = nullptr;  // private sentinel for get() on non-dict maps

// Bumped wherever host code may run (a conversion hook, a mapping's own
// get(), an isinstance() hook).  A section read in one pass stays valid only
// while it has not moved: such code could have changed the map since.
unsigned long g_epoch = 0;
inline void host_code_may_run() noexcept { ++g_epoch; }

// Keys, interned once so dict lookups hit the cached hash.
struct Keys {
    PyObject *memory, *dreams, *critic, *journals, *directives;
    PyObject *event_type_counts, *reinforced_count, *total_memories, *captures_7d;
    PyObject *runs_7d, *failure_count_7d, *success_rate_7d, *pass_rate_7d, *entries_7d,
        *demotion_rate_7d;
} K;

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw nb::python_error();
    return o;
}

[[noreturn]] void raise() { throw nb::python_error(); }

// Integers below 2**53 in magnitude convert to double exactly, so ratios of
// them divide as doubles with the very result the host's int / int gives;
// larger ones keep the host's int and its arithmetic.
constexpr long long kExact = 1LL << 53;

struct Int {
    long long v = 0;
    nb::object big;  // set when the value lies outside +-2**53

    static Int of(long long x) {
        Int r;
        if (x > kExact || x < -kExact) {
            PyObject* o = PyLong_FromLongLong(x);
            if (!o) raise();
            r.big = nb::steal(o);
        } else {
            r.v = x;
        }
        return r;
    }
    // `o` is an exact int.
    static Int of_exact(nb::object o) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
        if (x == -1 && PyErr_Occurred()) raise();
        if (overflow) {
            Int r;
            r.big = std::move(o);
            return r;
        }
        return of(x);
    }
    nb::object object() const {
        if (big) return big;
        PyObject* o = PyLong_FromLongLong(v);
        if (!o) raise();
        return nb::steal(o);
    }
    bool positive() const {
        if (!big) return v > 0;
        int r = PyObject_RichCompareBool(big.ptr(), g_zero, Py_GT);
        if (r < 0) raise();
        return r == 1;
    }
    // float(self) as the host converts an int in mixed arithmetic.
    double to_double() const {
        if (!big) return static_cast<double>(v);
        double d = PyLong_AsDouble(big.ptr());
        if (d == -1.0 && PyErr_Occurred()) raise();
        return d;
    }
};

// The host's int(value): a float truncates toward zero, a numeric text parses.
Int host_int(nb::handle value) {
    if (PyLong_CheckExact(value.ptr())) return Int::of_exact(nb::borrow(value));
    host_code_may_run();
    PyObject* r = PyNumber_Long(value.ptr());
    if (!r) raise();
    return Int::of_exact(nb::steal(r));
}

// The host's float(value).
double host_float(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    host_code_may_run();
    PyObject* r = PyNumber_Float(value.ptr());
    if (!r) raise();
    double d = PyFloat_AS_DOUBLE(r);
    Py_DECREF(r);
    return d;
}

// a / b as the host's true division of two ints.
double true_div(const Int& a, const Int& b) {
    if (!a.big && !b.big) return static_cast<double>(a.v) / static_cast<double>(b.v);
    PyObject* q = PyNumber_TrueDivide(a.object().ptr(), b.object().ptr());
    if (!q) raise();
    double d = PyFloat_AsDouble(q);
    Py_DECREF(q);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

// a < threshold, exact for every pairing of int and float, as the host compares.
bool less_than(const Int& a, PyObject* threshold) {
    if (!a.big) {
        if (PyLong_CheckExact(threshold)) {
            int overflow = 0;
            long long t = PyLong_AsLongLongAndOverflow(threshold, &overflow);
            if (overflow) return overflow > 0;
            if (t == -1 && PyErr_Occurred()) raise();
            return a.v < t;
        }
        if (PyFloat_CheckExact(threshold))
            return static_cast<double>(a.v) < PyFloat_AS_DOUBLE(threshold);
    }
    host_code_may_run();
    int r = PyObject_RichCompareBool(a.object().ptr(), threshold, Py_LT);
    if (r < 0) raise();
    return r == 1;
}

// A profile value in floating-point arithmetic (an int weight or threshold
// takes part as the host would convert it).
double profile_double(nb::handle profile, std::size_t i) {
    PyObject* v = tuning::field(profile.ptr(), i);
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    host_code_may_run();
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

// map.get(key): a new reference, or null when absent.
nb::object lookup(nb::handle map, PyObject* key) {
    if (!map) return {};
    host_code_may_run();  // a key's own __eq__ may run on a hash collision
    if (PyDict_CheckExact(map.ptr())) {
        PyObject* r = nullptr;
        if (PyDict_GetItemRef(map.ptr(), key, &r) < 0) raise();
        return nb::steal(r);
    }
    // Any other mapping answers through its own get(), which is what a
    // Mapping promises; a default of None could be a present value, so a
    // private sentinel marks absence.
    PyObject* r = PyObject_CallMethodObjArgs(map.ptr(), g_get, key, g_absent, nullptr);
    if (!r) raise();
    if (r == g_absent) {
        Py_DECREF(r);
        return {};
    }
    return nb::steal(r);
}

// A map whose values are read by a few fixed keys.  A plain dict with plain
// str keys is read in one pass on first use: walking its handful of entries
// costs less than one hashed probe per key, which matters because keys
// decoded from JSON are never the interned ones, so each probe ends in a
// string comparison anyway.  Anything else is asked key by key.
class Section {
public:
    Section() = default;
    Section(nb::object map, std::initializer_list<PyObject*> keys) : map_(std::move(map)) {
        for (PyObject* k : keys) keys_[n_++] = k;
    }
    explicit operator bool() const noexcept { return bool(map_); }
    nb::handle map() const noexcept { return map_; }

    // map.get(key), `key` being one of the keys given at construction.
    nb::object get(PyObject* key) {
        if (!map_) return {};
        if (state_ == kUnread && PyDict_CheckExact(map_.ptr())) scan();
        if (state_ == kRead && epoch_ == g_epoch)
            for (std::size_t i = 0; i < n_; ++i)
                if (keys_[i] == key) return vals_[i];
        return lookup(map_, key);
    }

private:
    enum State { kUnread, kRead, kByKey };
    static constexpr std::size_t kMax = 4;

    void scan() {
        state_ = kByKey;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(map_.ptr(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return;  // equality could be anyone's
            if (!PyUnicode_IS_ASCII(k)) continue;  // never equal to an ASCII key
            Py_ssize_t len = PyUnicode_GET_LENGTH(k);
            const void* data = PyUnicode_DATA(k);
            for (std::size_t i = 0; i < n_; ++i) {
                if (k == keys_[i] || (PyUnicode_GET_LENGTH(keys_[i]) == len &&
                                      std::memcmp(PyUnicode_DATA(keys_[i]), data,
                                                  static_cast<std::size_t>(len)) == 0)) {
                    vals_[i] = nb::borrow(v);
                    break;
                }
            }
        }
        state_ = kRead;
        epoch_ = g_epoch;
    }

    nb::object map_;
    PyObject* keys_[kMax] = {};
    nb::object vals_[kMax];
    std::size_t n_ = 0;
    State state_ = kUnread;
    unsigned long epoch_ = 0;
};

// stats[name] when present (it must then be a map), else null for "empty".
nb::object section(Section& stats, PyObject* key) {
    nb::object s = stats.get(key);
    if (s && !is_mapping(s)) {
        PyErr_Format(PyExc_TypeError, "stats[%R] must be a mapping, not %.200s", key,
                     Py_TYPE(s.ptr())->tp_name);
        raise();
    }
    return s;
}

Int int_in(Section& sec, PyObject* key) {
    nb::object v = sec.get(key);
    return v ? host_int(v) : Int{};
}

double float_in(Section& sec, PyObject* key, double dflt) {
    nb::object v = sec.get(key);
    return v ? host_float(v) : dflt;
}

double ratio(const Int& reinforced, const Int& total) {
    if (!total.positive()) return 0.0;
    return clamp01(true_div(reinforced, total));
}

double journal_frequency_of(const Int& entries, double target_days) {
    if (target_days <= 0.0) return 0.0;
    double expected = 7.0 / target_days;
    if (expected <= 0.0) return 0.0;
    return clamp01(entries.to_double() / expected);
}

double dream_health(const Int& failures, const Int& runs) {
    if (runs.positive()) return 1.0 - true_div(failures, runs);
    return 0.5;  // no runs in the window: neutral
}

// Converted counts in iteration order; the few event types a back-end
// reports fit inline, so the common call allocates nothing.
class Counts {
public:
    void push_back(Int&& c) {
        if (n_ < kInline)
            inline_[n_] = std::move(c);
        else
            spill_.push_back(std::move(c));
        ++n_;
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

// The counts of an event-type map, converted, in iteration order.
void collect_counts(nb::handle counts, Counts& out, Py_ssize_t& distinct) {
    PyObject* m = counts.ptr();
    if (PyDict_Check(m)) {
        Py_ssize_t n = PyDict_GET_SIZE(m);
        out.reserve(static_cast<std::size_t>(n));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(m, &pos, &key, &value)) {
            if (PyLong_CheckExact(value)) {
                out.push_back(Int::of_exact(nb::borrow(value)));
                continue;
            }
            // Converting may run host code that changes the map; hold the
            // value and refuse to continue over a resized map.
            out.push_back(host_int(nb::borrow(value)));
            if (PyDict_GET_SIZE(m) != n) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                raise();
            }
        }
        distinct = n;
        return;
    }
    host_code_may_run();
    distinct = PyObject_Size(m);
    if (distinct < 0) raise();
    PyObject* values = PyObject_CallMethodNoArgs(m, g_values);
    if (!values) raise();
    nb::object hold = nb::steal(values);
    PyObject* it = PyObject_GetIter(values);
    if (!it) raise();
    nb::object iter = nb::steal(it);
    while (PyObject* item = PyIter_Next(it)) out.push_back(host_int(nb::steal(item)));
    if (PyErr_Occurred()) raise();
}

}  // namespace

void init() {
    nb::module_ tuning = nb::module_::import_(tuning::kModuleName);
    g_profile_type = nb::object(tuning.attr(tuning::kTypeName)).release().ptr();
    g_mapping_abc = nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
    g_zero = PyLong_FromLong(0);
    if (!g_zero) raise();
    g_absent = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!g_absent) raise();
    g_get = intern("get");
    g_values = intern("values");
    K = Keys{intern("memory"),           intern("dreams"),
             intern("critic"),           intern("journals"),
             intern("directives"),       intern("event_type_counts"),
             intern("reinforced_count"), intern("total_memories"),
             intern("captures_7d"),      intern("runs_7d"),
             intern("failure_count_7d"), intern("success_rate_7d"),
             intern("pass_rate_7d"),     intern("entries_7d"),
             intern("demotion_rate_7d")};
}

PyObject* profile_type() noexcept { return g_profile_type; }

bool is_mapping(nb::handle o) {
    if (PyDict_Check(o.ptr())) return true;
    host_code_may_run();
    int r = PyObject_IsInstance(o.ptr(), g_mapping_abc);
    if (r < 0) raise();
    return r == 1;
}

double memory_diversity(nb::handle counts) {
    Counts values;
    Py_ssize_t distinct = 0;
    collect_counts(counts, values, distinct);

    // Exact integer total: machine arithmetic while it fits, host ints after.
    long long acc = 0;
    nb::object big_acc;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Int& c = values[i];
        if (!big_acc) {
            long long next;
            if (!c.big && !__builtin_add_overflow(acc, c.v, &next)) {
                acc = next;
                continue;
            }
            big_acc = Int{acc, {}}.object();
        }
        PyObject* s = PyNumber_Add(big_acc.ptr(), c.object().ptr());
        if (!s) raise();
        big_acc = nb::steal(s);
    }
    Int total = big_acc ? Int::of_exact(std::move(big_acc)) : Int::of(acc);

    if (!total.positive()) return 0.0;
    if (distinct < 2) return 0.0;  // one event type has no diversity
    double entropy = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Int& c = values[i];
        if (!c.positive()) continue;
        double p = true_div(c, total);
        entropy -= p * std::log2(p);
    }
    double max_entropy = std::log2(static_cast<double>(distinct));
    if (max_entropy <= 0.0) return 0.0;
    return clamp01(entropy / max_entropy);
}

double reinforcement_ratio(nb::handle reinforced, nb::handle total) {
    return ratio(Int::of_exact(nb::borrow(reinforced)), Int::of_exact(nb::borrow(total)));
}

double kelvane_score(nb::handle stats, nb::handle profile) {
    Section top(nb::borrow(stats), {K.memory, K.dreams, K.critic, K.journals});
    Section memory(section(top, K.memory), {K.event_type_counts, K.reinforced_count, K.total_memories});
    Section dreams(section(top, K.dreams), {K.failure_count_7d, K.runs_7d});
    Section critic(section(top, K.critic), {K.pass_rate_7d});
    Section journals(section(top, K.journals), {K.entries_7d});

    double diversity = 0.0;
    if (nb::object counts = memory.get(K.event_type_counts)) {
        if (!is_mapping(counts)) {
            PyErr_Format(PyExc_TypeError,
                         "stats['memory']['event_type_counts'] must be a mapping, not %.200s",
                         Py_TYPE(counts.ptr())->tp_name);
            raise();
        }
        diversity = memory_diversity(counts);
    }
    double coherence = float_in(critic, K.pass_rate_7d, 1.0);
    Int failures = int_in(dreams, K.failure_count_7d);
    Int runs = int_in(dreams, K.runs_7d);
    double dream = dream_health(failures, runs);
    Int reinforced = int_in(memory, K.reinforced_count);
    Int total = int_in(memory, K.total_memories);
    double reinforcement = ratio(reinforced, total);
    Int entries = int_in(journals, K.entries_7d);
    double journal =
        journal_frequency_of(entries, profile_double(profile, tuning::idx::kelvane_journal_target_days));

    namespace ix = tuning::idx;
    std::array<double, 5> weights = {
        profile_double(profile, ix::kelvane_memory_diversity_weight),
        profile_double(profile, ix::kelvane_directive_coherence_weight),
        profile_double(profile, ix::kelvane_dream_health_weight),
        profile_double(profile, ix::kelvane_reinforcement_ratio_weight),
        profile_double(profile, ix::kelvane_journal_frequency_weight),
    };
    return weighted_score(weights, {diversity, coherence, dream, reinforcement, journal});
}

Status classify(nb::handle stats, double kelvane_score, nb::handle profile) {
    namespace ix = tuning::idx;
    Section top(nb::borrow(stats), {K.memory, K.dreams, K.directives});
    Section memory(section(top, K.memory), {K.captures_7d, K.reinforced_count, K.total_memories});
    Section dreams(section(top, K.dreams), {K.runs_7d, K.failure_count_7d, K.success_rate_7d});
    Section directives(section(top, K.directives), {K.demotion_rate_7d});

    Int runs = int_in(dreams, K.runs_7d);
    Int failures = int_in(dreams, K.failure_count_7d);
    // Overloaded and drifting come first: they are the more urgent findings
    // when an agent is also stagnant.
    double failure_rate = runs.positive() ? true_div(failures, runs) : 0.0;
    if (failure_rate > profile_double(profile, ix::health_overloaded_dream_failure_threshold))
        return Status::Overloaded;

    double demotion_rate = float_in(directives, K.demotion_rate_7d, 0.0);
    if (demotion_rate > profile_double(profile, ix::health_drifting_demotion_rate_threshold))
        return Status::Drifting;

    Int captures = int_in(memory, K.captures_7d);
    Int reinforced = int_in(memory, K.reinforced_count);
    Int total = int_in(memory, K.total_memories);
    double reinforcement = ratio(reinforced, total);
    if (less_than(captures, tuning::field(profile.ptr(), ix::health_stagnant_capture_threshold_7d)) &&
        reinforcement < profile_double(profile, ix::health_stagnant_reinforcement_ratio))
        return Status::Stagnant;

    double dream_success = float_in(dreams, K.success_rate_7d, 1.0);
    if (!runs.big && runs.v == 0) dream_success = 1.0;  // no runs, no evidence of failure

    if (kelvane_score >= profile_double(profile, ix::health_kelvane_healthy_threshold) &&
        dream_success >= profile_double(profile, ix::health_dream_success_healthy_threshold))
        return Status::Healthy;
    return Status::Stagnant;
}

}  // namespace kl::health
