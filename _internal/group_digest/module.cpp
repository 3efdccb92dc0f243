// Binding of the group digest: the row walk (scores ordered exactly as the
// host compares numbers) and the prompt hash.
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "group_digest/group_digest.hpp"
#include "kl/py/containers.hpp"
#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/prompt_text.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"

namespace {

using kl::py::Ref;
namespace gd = kl::group_digest;

// Module state: the attribute names read from every row.
enum Slot : std::size_t { kTeamScore, kContent, kSlotCount };

constexpr const char* kBuild = "build_group_digest_prompt";
constexpr const char* kHash = "compute_prompt_hash";

// From this many UTF-8 bytes on, the digest runs without the host's lock.
constexpr std::size_t kReleaseLockFrom = 64 * 1024;

// ---- Scores ------------------------------------------------------------

// Ints below this magnitude convert to double exactly.
constexpr double kExactIntLimit = 9007199254740992.0;  // 2**53

struct Score {
    Ref obj;
    double approx = 0.0;  // the value rounded to the nearest double (+-inf beyond range)
    bool exact = true;    // approx is the value itself
    bool is_nan = false;
    bool is_number = true;
};

bool read_score(Ref o, Score& s) {
    PyObject* v = o.get();
    s.obj = std::move(o);
    if (PyFloat_Check(v)) {
        s.approx = PyFloat_AS_DOUBLE(v);
        s.is_nan = std::isnan(s.approx);
    } else if (PyLong_Check(v)) {
        s.approx = PyLong_AsDouble(v);
        if (s.approx == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            // Beyond the double range: only the sign matters against any float.
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return false;
            Ref lt = Ref::steal(PyLong_Type.tp_richcompare(v, zero.get(), Py_LT));
            if (!lt) return false;
            s.approx = lt.get() == Py_True ? -HUGE_VAL : HUGE_VAL;
        }
        // Below 2**53 in magnitude every int converts exactly; at 2**53 the
        // int may be 2**53 + 1, rounded down.
        s.exact = std::fabs(s.approx) < kExactIntLimit;
    } else {
        s.is_number = false;
    }
    return true;
}

std::nullptr_t bad_score(std::size_t index, PyObject* score) {
    PyErr_Format(PyExc_TypeError, "%s(): team_score of rows[%zu] must be int or float, not %.200s",
                 kBuild, index, Py_TYPE(score)->tp_name);
    return nullptr;
}

// a > b for two numbers whose nearest doubles are equal but not both exact:
// the host's own exact int/float comparison (never a subclass's override).
// -1 with an error set.
int exact_greater(PyObject* a, PyObject* b) {
    Ref r = Ref::steal(PyFloat_Check(a)   ? PyFloat_Type.tp_richcompare(a, b, Py_GT)
                       : PyFloat_Check(b) ? PyFloat_Type.tp_richcompare(b, a, Py_LT)
                                          : PyLong_Type.tp_richcompare(a, b, Py_GT));
    if (!r) return -1;
    return r.get() == Py_True;
}

// An integer that orders as the (non-NaN) double does, reversed: integer
// comparisons in the sort below are cheaper than double ones, which must
// also test for unordered operands.  -0.0 and 0.0 get one rank, as the host
// finds them equal.
std::uint64_t descending_rank(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x == 0.0 ? 0.0 : x);
    // Negative doubles order backwards as integers: flip all their bits;
    // positive ones go above them.
    const std::uint64_t ascending = bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
    return ~ascending;
}

// The row order, highest score first; ties keep their input order and NaN
// scores go after every number, in input order.  False with an error set.
//
// The numbers are sorted by (nearest double, input position), a total order,
// so any sort gives the one result, and the comparison is a couple of
// instructions on a small record read in place.  Only where equal doubles
// stand for values that may differ (ints from 2**53 in magnitude) does a run
// need the host's exact comparison, and it is already in input order there,
// so a stable sort of that run alone finishes the job.  Sorting the whole
// list stably with the exact comparison instead costs twice as much under
// libc++, whose stable sort insertion-sorts runs of up to 128 positions: that
// many comparisons, each through two indirections, went quadratic.
bool order_rows(const std::vector<Score>& scores, std::vector<std::size_t>& order) {
    struct Key {
        std::uint64_t rank;  // ascending as the double descends
        std::size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(scores.size());
    for (std::size_t i = 0; i < scores.size(); ++i)
        if (!scores[i].is_nan) keys.push_back({descending_rank(scores[i].approx), i});
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.index < b.index;
    });
    order.clear();
    order.reserve(scores.size());
    for (const Key& k : keys) order.push_back(k.index);
    const std::size_t numbers = order.size();
    for (std::size_t i = 0; i < scores.size(); ++i)
        if (scores[i].is_nan) order.push_back(i);

    bool failed = false;
    auto greater = [&](std::size_t ia, std::size_t ib) {
        const Score &a = scores[ia], &b = scores[ib];
        if (failed || (a.exact && b.exact)) return false;
        int r = exact_greater(a.obj.get(), b.obj.get());
        if (r < 0) failed = true;
        return r > 0;
    };
    for (std::size_t lo = 0, hi; lo < numbers; lo = hi) {
        bool all_exact = scores[order[lo]].exact;
        for (hi = lo + 1; hi < numbers && keys[hi].rank == keys[lo].rank; ++hi)
            all_exact = all_exact && scores[order[hi]].exact;
        if (!all_exact) {
            const auto first = order.begin() + static_cast<std::ptrdiff_t>(lo);
            std::stable_sort(first, first + static_cast<std::ptrdiff_t>(hi - lo), greater);
            if (failed) return false;
        }
    }
    return true;
}

// The score text: a float correctly rounded to three decimals, an int
// exactly (int's own decimal form, never a subclass's) followed by ".000".
bool put_score(kl::py::StrWriter& out, const Score& s) {
    PyObject* o = s.obj.get();
    if (PyFloat_Check(o)) {
        char buf[400];
        out.ascii(std::string_view(buf, gd::score_chars(buf, s.approx)));
        return true;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) return false;
        out.integer(v);
    } else {
        Ref r = Ref::steal(PyLong_Type.tp_repr(o));
        if (!r) return false;
        out.ascii(kl::py::text_of(r.get()).ascii_view());
    }
    out.ascii(".000");
    return true;
}

// ---- Functions ---------------------------------------------------------

PyObject* build_group_digest_prompt(PyObject* m, PyObject* const* args) {
    PyObject* rows = args[0];
    if (!PyList_Check(rows)) return kl::py::arg_type_error(kBuild, "rows", "list", rows);
    // A private copy: a row's attribute code cannot change what is walked.
    Ref list = kl::py::list_copy(rows);
    if (!list) return nullptr;
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list.get()));
    auto row = [&](std::size_t i) { return PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)); };

    // Every score is read before anything is rendered; ordering compares
    // every score as soon as there are two rows.
    std::vector<Score> scores(n);
    for (std::size_t i = 0; i < n; ++i) {
        Ref v = Ref::steal(PyObject_GetAttr(row(i), kl::py::slot(m, kTeamScore)));
        if (!v || !read_score(std::move(v), scores[i])) return nullptr;
    }
    if (n >= 2)
        for (std::size_t i = 0; i < n; ++i)
            if (!scores[i].is_number) return bad_score(i, scores[i].obj.get());
    std::vector<std::size_t> order;
    if (!order_rows(scores, order)) return nullptr;

    kl::py::StrWriter out;
    out.reserve(4 * n + 4);
    auto lit = [&](const kl::AnyText& t) {
        out.literal(t);
        return true;
    };
    bool ok = gd::kBody.walk(lit, [&](int) {
        for (std::size_t i : order) {
            const Score& s = scores[i];
            if (!s.is_number) {
                bad_score(i, s.obj.get());
                return false;
            }
            bool line_ok = gd::kLine.walk(lit, [&](int slot) {
                if (slot == 0) return put_score(out, s);
                Ref c = Ref::steal(PyObject_GetAttr(row(i), kl::py::slot(m, kContent)));
                if (!c) return false;
                if (PyUnicode_Check(c.get())) {
                    out.owned(std::move(c));
                    return true;
                }
                return out.plain(c.get());
            });
            if (!line_ok) return false;
        }
        return true;
    });
    return ok ? out.finish() : nullptr;
}

PyObject* hash_result(const void* data, std::size_t size) {
    char hex[16];
    bool ok;
    if (size >= kReleaseLockFrom) {
        Py_BEGIN_ALLOW_THREADS
        ok = gd::hash16(data, size, hex);
        Py_END_ALLOW_THREADS
    } else {
        ok = gd::hash16(data, size, hex);
    }
    if (!ok) {
        PyErr_SetString(PyExc_RuntimeError, "SHA-256 is not available from the crypto library");
        return nullptr;
    }
    return kl::py::str_from_ascii(std::string_view(hex, 16));
}

PyObject* compute_prompt_hash(PyObject*, PyObject* const* args) {
    PyObject* prompt = args[0];
    if (!kl::py::check_str(kHash, "prompt", prompt)) return nullptr;
    if (PyUnicode_IS_ASCII(prompt)) {
        // ASCII storage is its own UTF-8; strs never change, and the
        // reference held here keeps the storage alive while the lock is off.
        Ref keep = Ref::borrow(prompt);
        return hash_result(PyUnicode_DATA(prompt),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(prompt)));
    }
    // Converted once by the host's own codec, which raises its
    // UnicodeEncodeError for an unpaired surrogate.
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(prompt));
    if (!bytes) return nullptr;
    return hash_result(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

constexpr const char* kBuildDoc =
    "build_group_digest_prompt(rows)\n--\n\n"
    "Render the digest body for ``rows`` (shared memories: objects with ``team_score`` "
    "and ``content`` attributes).\n\n"
    "The header line, then one ``- (score) content`` line per row, highest score first "
    "(ties keep their input order; NaN scores go last, in input order), then an empty "
    "line and the closing instruction; no final line feed.  Scores are written with "
    "three decimals, correctly rounded (ints exactly, followed by .000).\n\n"
    "Raises TypeError if ``rows`` is not a list or a score is not an int or float, "
    "AttributeError for a missing attribute (every score is read before any content).";

constexpr const char* kHashDoc =
    "compute_prompt_hash(prompt)\n--\n\n"
    "The first 16 lower-case hex digits of the SHA-256 digest of ``prompt`` in UTF-8.\n\n"
    "Raises TypeError if ``prompt`` is not a str, UnicodeEncodeError for a prompt holding "
    "an unpaired surrogate.  Long prompts are hashed without holding the GIL.";

constexpr kl::py::Function kFunctions[] = {
    {"build_group_digest_prompt", {"rows"}, 1, kBuildDoc, &build_group_digest_prompt},
    {"compute_prompt_hash", {"prompt"}, 1, kHashDoc, &compute_prompt_hash},
};

int exec(PyObject* m) {
    if (!gd::kSystem.valid() || !gd::kBody.valid() || !gd::kLine.valid()) {
        PyErr_SetString(PyExc_SystemError, "group_digest: malformed prompt template");
        return -1;
    }
    bool ok = kl::py::keep(m, kTeamScore, kl::py::intern("team_score")) &&
              kl::py::keep(m, kContent, kl::py::intern("content")) &&
              kl::py::add(m, "GROUP_DIGEST_SYSTEM_PROMPT", kl::py::fixed_str(gd::kSystem)) &&
              kl::py::set_all(m, {"GROUP_DIGEST_SYSTEM_PROMPT", "build_group_digest_prompt",
                                  "compute_prompt_hash"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Group digest of a team workspace: the system prompt, the user-prompt body rendered "
    "from the shared memories (highest team_score first) and the 16-hex-digit prompt hash "
    "that keys a synthesis run.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.group_digest", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_group_digest() { return PyModuleDef_Init(&kModule); }
