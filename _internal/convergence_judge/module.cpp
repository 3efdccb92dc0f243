#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "convergence_judge/convergence_judge.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace nb = nanobind;
namespace cj = kl::convergence_judge;

namespace {

constexpr const char* kBuild = "build_convergence_prompt";

// A turn is a tuple or a list (subclasses included, so named tuples work)
// holding exactly two str values.  Other containers are refused rather than
// unpacked: a two-character str or a two-key dict would otherwise pass as a
// turn.  Non-str values are refused too instead of being rendered through
// str(), so an id of None never turns up in a transcript as "None".
void check_turn(Py_ssize_t index, PyObject* turn, PyObject*& sender, PyObject*& content) {
    Py_ssize_t n;
    PyObject* const* items;
    if (PyTuple_Check(turn)) {
        n = PyTuple_GET_SIZE(turn);
        items = &PyTuple_GET_ITEM(turn, 0);
    } else if (PyList_Check(turn)) {
        n = PyList_GET_SIZE(turn);
        items = reinterpret_cast<PyListObject*>(turn)->ob_item;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() turns[%zd] must be a (sender_id, content) tuple or list, not %.200s",
                     kBuild, index, Py_TYPE(turn)->tp_name);
        throw nb::python_error();
    }
    if (n != 2) {
        PyErr_Format(PyExc_ValueError,
                     "%s() turns[%zd] must hold exactly two values (sender_id, content), got %zd",
                     kBuild, index, n);
        throw nb::python_error();
    }
    sender = items[0];
    content = items[1];
    const char* field = !PyUnicode_Check(sender) ? "sender_id" : !PyUnicode_Check(content) ? "content" : nullptr;
    if (field) {
        PyObject* bad = PyUnicode_Check(sender) ? content : sender;
        PyErr_Format(PyExc_TypeError, "%s() turns[%zd] %s must be str, not %.200s", kBuild, index,
                     field, Py_TYPE(bad)->tp_name);
        throw nb::python_error();
    }
}

nb::str build_py(nb::handle turns) {
    PyObject* list = turns.ptr();
    if (!PyList_Check(list)) kl::py::raise_arg_type(kBuild, "turns", "list", turns);
    const Py_ssize_t n = PyList_GET_SIZE(list);

    // Everything is checked before anything is rendered.  No host code runs
    // between here and the end (only type tests and reads of str data), so
    // the list cannot change under us.
    std::vector<std::pair<PyObject*, PyObject*>> pairs(static_cast<std::size_t>(n));
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto& [s, c] = pairs[static_cast<std::size_t>(i)];
        check_turn(i, PyList_GET_ITEM(list, i), s, c);
        total += static_cast<std::size_t>(PyUnicode_GET_LENGTH(s) + PyUnicode_GET_LENGTH(c));
    }

    // One buffer holds the code points of every field; the turns view it.
    kl::Text store;
    store.reserve(total);
    std::vector<std::size_t> bounds;
    bounds.reserve(2 * pairs.size() + 1);
    bounds.push_back(0);
    for (auto& [s, c] : pairs) {
        kl::py::append_text_of(store, s);
        bounds.push_back(store.size());
        kl::py::append_text_of(store, c);
        bounds.push_back(store.size());
    }
    std::vector<cj::Turn> views(pairs.size());
    const kl::TextView all(store);
    for (std::size_t i = 0; i < views.size(); ++i) {
        std::size_t b0 = bounds[2 * i], b1 = bounds[2 * i + 1], b2 = bounds[2 * i + 2];
        views[i] = {all.substr(b0, b1 - b0), all.substr(b1, b2 - b1)};
    }
    return kl::py::make_str(cj::build_convergence_prompt(views));
}

nb::tuple parse_py(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        kl::py::raise_arg_type("parse_convergence_verdict", "text", "str", text);
    cj::Verdict v = cj::parse_convergence_verdict(kl::py::text_of(text));
    return nb::make_tuple(nb::bool_(v.converged), kl::py::make_str(v.text));
}

// One element as a double: a float (subclasses included) as it stands, an
// int correctly rounded as the host's float() rounds it.
inline double element(const char* param, Py_ssize_t i, PyObject* x) {
    if (PyFloat_CheckExact(x) || PyFloat_Check(x)) return PyFloat_AS_DOUBLE(x);
    if (PyLong_Check(x)) {
        // OverflowError when the integer lies beyond the largest finite double.
        double v = PyLong_AsDouble(x);
        if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    PyErr_Format(PyExc_TypeError,
                 "cosine_similarity() argument '%s' item %zd must be float or int, not %.200s",
                 param, i, Py_TYPE(x)->tp_name);
    throw nb::python_error();
}

// Feeds the sums from index i on while both elements are exact floats (the
// embedder's usual output) and returns where it stopped.  Kept apart and out
// of line so that no call sits in this loop: the sums then stay in registers
// instead of going through memory on every element.
[[gnu::noinline]] Py_ssize_t float_run(PyObject* const* ia, PyObject* const* ib, Py_ssize_t i,
                                       Py_ssize_t n, cj::CosineSums& out) noexcept {
    cj::CosineSums s = out;
    for (; i < n; ++i) {
        PyObject* x = ia[i];
        PyObject* y = ib[i];
        if (!PyFloat_CheckExact(x) || !PyFloat_CheckExact(y)) break;
        s.add(PyFloat_AS_DOUBLE(x), PyFloat_AS_DOUBLE(y));
    }
    out = s;
    return i;
}

double cosine_py(nb::handle a, nb::handle b) {
    if (!PyList_Check(a.ptr())) kl::py::raise_arg_type("cosine_similarity", "a", "list", a);
    if (!PyList_Check(b.ptr())) kl::py::raise_arg_type("cosine_similarity", "b", "list", b);
    const Py_ssize_t na = PyList_GET_SIZE(a.ptr()), nb_ = PyList_GET_SIZE(b.ptr());
    if (na != nb_) {
        PyErr_Format(PyExc_ValueError,
                     "cosine_similarity expects equal-length vectors, got len(a)=%zd and "
                     "len(b)=%zd.",
                     na, nb_);
        throw nb::python_error();
    }
    // The elements are read straight into the sums (see cj::CosineSums): no
    // host code runs while they are read, so the lists cannot change, and an
    // error on any element leaves nothing behind but the exception.
    PyObject* const* ia = reinterpret_cast<PyListObject*>(a.ptr())->ob_item;
    PyObject* const* ib = reinterpret_cast<PyListObject*>(b.ptr())->ob_item;
    cj::CosineSums sums;
    Py_ssize_t i = 0;
    while (true) {
        i = float_run(ia, ib, i, na, sums);
        if (i == na) break;
        const double x = element("a", i, ia[i]);
        sums.add(x, element("b", i, ib[i]));
        ++i;
    }
    return sums.result(static_cast<std::size_t>(na));
}

PyObject* build_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static constexpr const char* names[] = {"turns"};
        PyObject* a[1];
        kl::py::bind_args(kBuild, names, 1, args, nargs, kwnames, a);
        return build_py(a[0]);
    });
}

PyObject* parse_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static constexpr const char* names[] = {"text"};
        PyObject* a[1];
        kl::py::bind_args("parse_convergence_verdict", names, 1, args, nargs, kwnames, a);
        return parse_py(a[0]);
    });
}

PyObject* cosine_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static constexpr const char* names[] = {"a", "b"};
        PyObject* a[2];
        kl::py::bind_args("cosine_similarity", names, 2, args, nargs, kwnames, a);
        return nb::float_(cosine_py(a[0], a[1]));
    });
}

}  // namespace

NB_MODULE(convergence_judge, m) {
    m.doc() =
        "Convergence judge of a multi-agent thread: the judge's system prompt, the transcript "
        "builder and the verdict parser, plus the cosine similarity and ceiling of the "
        "stagnation gate.";

    m.attr("CONVERGENCE_JUDGE_SYSTEM_PROMPT") = kl::py::make_str(cj::kSystemPrompt);
    m.attr("STAGNATION_COSINE_THRESHOLD") = cj::kStagnationCosineThreshold;

    kl::py::add_function(m, "build_convergence_prompt", &build_fast,
          "build_convergence_prompt(turns)\n--\n\n"
          "Render a thread's turns as the judge's user prompt.\n\n"
          "``turns`` is a list of (sender_id, content) pairs in chronological order; each pair\n"
          "is a tuple or list of exactly two str.  Each turn becomes one line\n"
          "``- [sender_id] content``: the sender id exactly as given, the content with every\n"
          "run of whitespace made one space and the ends trimmed.  The lines follow the header\n"
          "``Thread transcript (chronological):``; an empty line and the closing question end\n"
          "the text, with no final line feed.\n\n"
          "Raises TypeError if ``turns`` is not a list, a turn is not a tuple or list, or a\n"
          "field is not a str; ValueError if a turn does not hold exactly two values.");

    kl::py::add_function(m, "parse_convergence_verdict", &parse_fast,
          "parse_convergence_verdict(text)\n--\n\n"
          "Read the judge's reply as ``(is_converged, text)``.\n\n"
          "The trimmed reply is split at its first ``|``; the part before it, trimmed and\n"
          "upper-cased (full Unicode mapping), is the token.  ``CONVERGED`` with a non-empty\n"
          "summary gives ``(True, summary)``; ``OPEN`` gives ``(False, reason)`` or\n"
          "``(False, 'judge marked thread open')`` without a reason.  Anything else, including\n"
          "``CONVERGED`` without a summary, gives ``(False, trimmed reply)``.  Never raises on\n"
          "any str; raises TypeError if ``text`` is not a str.");

    kl::py::add_function(m, "cosine_similarity", &cosine_fast,
          "cosine_similarity(a, b)\n--\n\n"
          "Cosine similarity of two equal-length vectors (lists of float or int).\n\n"
          "Computed in sequential double arithmetic: dot product and both squared norms summed\n"
          "in index order, then ``dot / (sqrt(norm_a) * sqrt(norm_b))``.  Empty vectors and a\n"
          "zero norm (including squares that underflow) give 0.0; the result is not clamped\n"
          "and NaN or infinities propagate.  Raises TypeError unless both are lists of float or\n"
          "int, ValueError on a length mismatch, OverflowError for an int beyond the double\n"
          "range.");

    nb::list all;
    for (const char* name : {"CONVERGENCE_JUDGE_SYSTEM_PROMPT", "STAGNATION_COSINE_THRESHOLD",
                             "build_convergence_prompt", "cosine_similarity",
                             "parse_convergence_verdict"})
        all.append(name);
    m.attr("__all__") = all;
}
