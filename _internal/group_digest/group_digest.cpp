#include "group_digest/group_digest.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

#include <openssl/evp.h>

#include "kl/pyedge.hpp"
#include "kl/strbuild.hpp"

namespace kl::group_digest {

const TextView kSystem =
    U"You are the team's collective synthesis voice. Given a set of memories shared by "
    U"multiple agents in this workspace, distill a single concise team insight that captures "
    U"the consensus, pattern, or unresolved tension across them. Speak in the team's voice "
    U"\u2014 do NOT attribute by agent. Do NOT invent facts beyond what the shared memories "
    U"state.";

namespace {

constexpr TextView kHeader = U"Team-shared memories (one per line, prefixed with team_score):";
constexpr TextView kClosing =
    U"Synthesise a single team insight that captures the collective signal across the above "
    U"memories.";

// Ints below this magnitude convert to double exactly.
constexpr double kExactIntLimit = 9007199254740992.0;  // 2**53

struct Score {
    PyObject* obj = nullptr;  // kept alive by the caller's `scores` vector
    double approx = 0.0;      // the value rounded to the nearest double (+-inf beyond range)
    bool exact = true;        // approx is the value itself
    bool is_nan = false;
    bool is_number = true;
};

Score read_score(PyObject* o) {
    Score s;
    s.obj = o;
    if (PyFloat_Check(o)) {
        s.approx = PyFloat_AS_DOUBLE(o);
        s.is_nan = std::isnan(s.approx);
    } else if (PyLong_Check(o)) {
        s.approx = PyLong_AsDouble(o);
        if (s.approx == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
            PyErr_Clear();
            PyObject* zero = PyLong_FromLong(0);
            if (!zero) throw nb::python_error();
            PyObject* lt = PyLong_Type.tp_richcompare(o, zero, Py_LT);
            Py_DECREF(zero);
            if (!lt) throw nb::python_error();
            s.approx = lt == Py_True ? -HUGE_VAL : HUGE_VAL;
            Py_DECREF(lt);
        }
        // Below 2**53 in magnitude every int converts exactly; at 2**53 the
        // int may be 2**53 + 1, rounded down.
        s.exact = std::fabs(s.approx) < kExactIntLimit;
    } else {
        s.is_number = false;
    }
    return s;
}

[[noreturn]] void raise_bad_score(const char* func, std::size_t index, PyObject* score) {
    PyErr_Format(PyExc_TypeError, "%s(): team_score of rows[%zu] must be int or float, not %.200s",
                 func, index, Py_TYPE(score)->tp_name);
    throw nb::python_error();
}

// a > b for two numbers whose nearest doubles are equal but not both exact:
// the host's own exact int/float comparison (never a subclass's override).
bool exact_greater(PyObject* a, PyObject* b) {
    PyObject* r;
    if (PyFloat_Check(a))
        r = PyFloat_Type.tp_richcompare(a, b, Py_GT);
    else if (PyFloat_Check(b))
        r = PyFloat_Type.tp_richcompare(b, a, Py_LT);
    else
        r = PyLong_Type.tp_richcompare(a, b, Py_GT);
    if (!r) throw nb::python_error();
    bool greater = r == Py_True;
    Py_DECREF(r);
    return greater;
}

// "a goes before b": higher first, NaN after every number.
bool before(const Score& a, const Score& b) {
    if (a.is_nan || b.is_nan) return !a.is_nan && b.is_nan;
    if (a.approx != b.approx) return a.approx > b.approx;
    if (a.exact && b.exact) return false;
    return exact_greater(a.obj, b.obj);
}

// An int score: its exact decimal form (int's own, never a subclass's) and ".000".
void append_int_score(py::StrBuilder& out, PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        out.append_int(v);
    } else {
        PyObject* r = PyLong_Type.tp_repr(o);
        if (!r) throw nb::python_error();
        nb::object guard = nb::steal(r);
        out.append_str(guard);
    }
    out.append_ascii(".000");
}

// Made once at module load and kept for the life of the process.
const EVP_MD* g_sha256 = nullptr;
PyObject* g_team_score = nullptr;
PyObject* g_content = nullptr;

}  // namespace

std::size_t score_chars(char (&buf)[400], double score) {
    std::string_view text;
    if (std::isnan(score))
        text = "nan";
    else if (std::isinf(score))
        text = score > 0 ? "inf" : "-inf";
    if (!text.empty()) {
        text.copy(buf, text.size());
        return text.size();
    }
    // Exact: to_chars rounds the binary value itself, ties to even.
    auto res = std::to_chars(buf, buf + sizeof buf, score, std::chars_format::fixed, 3);
    return static_cast<std::size_t>(res.ptr - buf);
}

nb::str render_body(const char* func, nb::handle rows) {
    PyObject* copy = PyList_GetSlice(rows.ptr(), 0, PyList_GET_SIZE(rows.ptr()));
    if (!copy) throw nb::python_error();
    nb::list list = nb::steal<nb::list>(copy);
    const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(copy));

    PyObject* const team_score = g_team_score;
    PyObject* const content_name = g_content;

    std::vector<nb::object> held;  // keeps every score object alive
    held.reserve(n);
    std::vector<Score> scores;
    scores.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* v = PyObject_GetAttr(PyList_GET_ITEM(copy, i), team_score);
        if (!v) throw nb::python_error();
        held.push_back(nb::steal(v));
        scores.push_back(read_score(v));
    }
    // Ordering compares every score when there are two rows or more.
    if (n >= 2)
        for (std::size_t i = 0; i < n; ++i)
            if (!scores[i].is_number) raise_bad_score(func, i, scores[i].obj);

    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return before(scores[a], scores[b]); });

    py::StrBuilder out;
    out.append(kHeader);
    for (std::size_t i : order) {
        const Score& s = scores[i];
        if (!s.is_number) raise_bad_score(func, i, s.obj);
        out.append_ascii("\n- (");
        if (PyFloat_Check(s.obj)) {
            char buf[400];
            out.append_ascii(std::string_view(buf, score_chars(buf, s.approx)));
        } else {
            append_int_score(out, s.obj);
        }
        out.append_ascii(") ");
        PyObject* c = PyObject_GetAttr(PyList_GET_ITEM(copy, i), content_name);
        if (!c) throw nb::python_error();
        nb::object content = nb::steal(c);
        out.append_plain(content);
    }
    out.append_ascii("\n\n");
    out.append(kClosing);
    return out.finish();
}

void init() {
    if (g_sha256) return;
    g_team_score = PyUnicode_InternFromString("team_score");
    if (!g_team_score) throw nb::python_error();
    g_content = PyUnicode_InternFromString("content");
    if (!g_content) throw nb::python_error();
    g_sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!g_sha256) throw std::runtime_error("SHA-256 is not available from the crypto library");
}

std::string hash16(const void* data, std::size_t size) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(data, size, md, &len, g_sha256, nullptr) || len < 8)
        throw std::runtime_error("SHA-256 digest failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = hex[md[i] >> 4];
        out[2 * i + 1] = hex[md[i] & 0xF];
    }
    return out;
}

}  // namespace kl::group_digest
