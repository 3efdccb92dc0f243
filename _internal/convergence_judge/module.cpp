// Binding of the convergence judge and the stagnation gate's cosine.
#include <Python.h>

#include <cstdio>
#include <string>
#include <vector>

#include "convergence_judge/convergence_judge.hpp"
#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/prompt_text.hpp"
#include "kl/py/raw_alloc.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"

namespace {

using kl::py::Ref;
namespace cj = kl::convergence_judge;

// Module state: the host's str.upper for non-ASCII tokens, and the fixed
// reason every bare "OPEN|" verdict returns.
enum Slot : std::size_t { kStrUpper, kMarkedOpen, kSlotCount };

constexpr const char* kBuild = "build_convergence_prompt";
constexpr const char* kParse = "parse_convergence_verdict";
constexpr const char* kCosine = "cosine_similarity";

// ---- Transcript --------------------------------------------------------

// A turn's two values, owned: unpacking a turn that is not a tuple or a
// list runs its iterator, and that host code could change any other turn.
struct Turn {
    Ref sender;
    Ref content;
    bool as_is = false;  // the content is already flat (found by the measure pass)
};

bool wrong_count(Py_ssize_t index, const char* got) {
    PyErr_Format(PyExc_ValueError,
                 "%s() turns[%zd] must hold exactly two values (sender_id, content), got %s",
                 kBuild, index, got);
    return false;
}

// `sender_id, content = turn`, as the host unpacks it: a tuple or a list by
// its items, any other iterable by iterating it (at most three steps, so a
// long one is never run to its end).  Both values must be strs: an id of
// None never turns up in a transcript as "None".
bool unpack_turn(Py_ssize_t index, PyObject* turn, Turn& out) {
    if (PyTuple_Check(turn) || PyList_Check(turn)) {
        // No host code runs between the size test and the reads, and a list
        // is locked across them (free-threaded builds).
        Py_ssize_t n;
        Py_BEGIN_CRITICAL_SECTION(turn);
        n = Py_SIZE(turn);
        if (n == 2) {
            PyObject* const* items = PyTuple_Check(turn)
                                         ? &PyTuple_GET_ITEM(turn, 0)
                                         : reinterpret_cast<PyListObject*>(turn)->ob_item;
            out.sender = Ref::borrow(items[0]);
            out.content = Ref::borrow(items[1]);
        }
        Py_END_CRITICAL_SECTION();
        if (n != 2) {
            char got[24];
            std::snprintf(got, sizeof got, "%zd", n);
            return wrong_count(index, got);
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(turn));
        if (!it) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "%s() turns[%zd] must be a (sender_id, content) pair, not %.200s",
                         kBuild, index, Py_TYPE(turn)->tp_name);
            return false;
        }
        Ref* slots[] = {&out.sender, &out.content};
        for (int k = 0; k < 2; ++k) {
            *slots[k] = Ref::steal(PyIter_Next(it.get()));
            if (!*slots[k]) return !PyErr_Occurred() && wrong_count(index, k ? "1" : "0");
        }
        Ref extra = Ref::steal(PyIter_Next(it.get()));
        if (extra) return wrong_count(index, "more than 2");
        if (PyErr_Occurred()) return false;
    }
    const char* field = !PyUnicode_Check(out.sender.get())    ? "sender_id"
                        : !PyUnicode_Check(out.content.get()) ? "content"
                                                              : nullptr;
    if (field) {
        PyObject* bad = PyUnicode_Check(out.sender.get()) ? out.content.get() : out.sender.get();
        PyErr_Format(PyExc_TypeError, "%s() turns[%zd] %s must be str, not %.200s", kBuild, index,
                     field, Py_TYPE(bad)->tp_name);
        return false;
    }
    return true;
}

// The flattened content.  The measure pass finds its shape and notes
// whether it is the content itself (single-spaced prose, the common case),
// which the fill pass then copies whole instead of scanning it again.
template <class Sink>
void put_flattened(Sink& sink, Turn& turn) {
    PyObject* content = turn.content.get();
    if constexpr (Sink::measuring) {
        const cj::FlatShape shape =
            kl::py::text_of(content).visit([](auto v) { return cj::flat_shape(v); });
        turn.as_is = shape.as_is;
        sink.shaped(shape.size, shape.maxchar);
    } else if (turn.as_is) {
        sink.str(content);
    } else {
        kl::py::text_of(content).visit(
            [&](auto v) { sink.cursor() = cj::write_flat(v, sink.cursor()); });
    }
}

PyObject* build_convergence_prompt(PyObject*, PyObject* const* args) {
    PyObject* list = args[0];
    if (!PyList_Check(list)) return kl::py::arg_type_error(kBuild, "turns", "list", list);
    // A private copy of the list: unpacking may run host code (a turn's
    // iterator) that changes the caller's list.  Everything is unpacked and
    // checked before anything is rendered; from then on no host code runs
    // and every text is an immutable str, so the transcript is written
    // straight into the result in two passes over the same turns.
    Ref copy = Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
    if (!copy) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(copy.get());
    kl::py::RawVector<Turn> turns(static_cast<std::size_t>(n), kl::py::raw_memory());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!unpack_turn(i, PyList_GET_ITEM(copy.get(), i), turns[static_cast<std::size_t>(i)]))
            return nullptr;
    copy = Ref();

    return kl::py::write_twice([&](auto& sink) {
        auto lit = [&](const kl::AnyText& t) {
            sink.text(t);
            return true;
        };
        cj::kTranscript.walk(lit, [&](int) {
            for (Turn& t : turns) {
                cj::kTurnLine.walk(lit, [&](int slot) {
                    if (slot == cj::kSenderId)
                        sink.str(t.sender.get());
                    else
                        put_flattened(sink, t);
                    return true;
                });
            }
            return true;
        });
    });
}

// ---- Verdict -----------------------------------------------------------

PyObject* parse_convergence_verdict(PyObject* m, PyObject* const* args) {
    PyObject* text = args[0];
    if (!kl::py::check_str(kParse, "text", text)) return nullptr;
    const cj::VerdictCut cut = cj::cut_verdict(kl::py::text_of(text));
    cj::Token token = cj::Token::other;
    if (cut.has_bar) {
        token = cj::token_without_table(kl::py::text_of(text).slice(cut.head.begin, cut.head.size));
        if (token == cj::Token::needs_case_mapping) {
            // The full default upper-case mapping is the host's own
            // str.upper(), so the result follows the interpreter's Unicode
            // version.
            Ref head = Ref::steal(kl::py::substr(text, cut.head.begin, cut.head.size));
            if (!head) return nullptr;
            Ref upper = Ref::steal(PyObject_CallOneArg(kl::py::slot(m, kStrUpper), head.get()));
            if (!upper) return nullptr;
            token = cj::token_of_upper(kl::py::text_of(upper.get()));
        }
    }
    const cj::Outcome outcome = cj::decide(token, cut);
    PyObject* said;
    switch (outcome) {
        case cj::Outcome::converged:
        case cj::Outcome::open: said = kl::py::substr(text, cut.summary.begin, cut.summary.size); break;
        case cj::Outcome::marked_open: said = Py_NewRef(kl::py::slot(m, kMarkedOpen)); break;
        default: said = kl::py::substr(text, cut.raw.begin, cut.raw.size); break;
    }
    if (!said) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) {
        Py_DECREF(said);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, PyBool_FromLong(outcome == cj::Outcome::converged));
    PyTuple_SET_ITEM(pair, 1, said);
    return pair;
}

// ---- Cosine ------------------------------------------------------------

// One element as a double: a float (subclasses included) as it stands, an
// int correctly rounded as the host's float() rounds it.  False with an
// error set.
bool element(const char* param, Py_ssize_t i, PyObject* x, double& out) {
    if (PyFloat_Check(x)) {
        out = PyFloat_AS_DOUBLE(x);
        return true;
    }
    if (PyLong_Check(x)) {
        // OverflowError when the integer lies beyond the largest finite double.
        out = PyLong_AsDouble(x);
        return !(out == -1.0 && PyErr_Occurred());
    }
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' item %zd must be float or int, not %.200s",
                 kCosine, param, i, Py_TYPE(x)->tp_name);
    return false;
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

bool cosine_locked(PyObject* a, PyObject* b, double& result) {
    const Py_ssize_t na = PyList_GET_SIZE(a), nb = PyList_GET_SIZE(b);
    if (na != nb) {
        PyErr_Format(PyExc_ValueError,
                     "cosine_similarity expects equal-length vectors, got len(a)=%zd and "
                     "len(b)=%zd.",
                     na, nb);
        return false;
    }
    PyObject* const* ia = reinterpret_cast<PyListObject*>(a)->ob_item;
    PyObject* const* ib = reinterpret_cast<PyListObject*>(b)->ob_item;
    cj::CosineSums sums;
    Py_ssize_t i = 0;
    while (true) {
        i = float_run(ia, ib, i, na, sums);
        if (i == na) break;
        double x, y;
        if (!element("a", i, ia[i], x) || !element("b", i, ib[i], y)) return false;
        sums.add(x, y);
        ++i;
    }
    result = sums.result(static_cast<std::size_t>(na));
    return true;
}

PyObject* cosine_similarity(PyObject*, PyObject* const* args) {
    PyObject* a = args[0];
    PyObject* b = args[1];
    if (!PyList_Check(a)) return kl::py::arg_type_error(kCosine, "a", "list", a);
    if (!PyList_Check(b)) return kl::py::arg_type_error(kCosine, "b", "list", b);
    double result = 0.0;
    bool ok = true;
    // The elements are read straight into the sums.  No host code runs while
    // they are read, and both lists are locked for the loop (free-threaded
    // builds: another thread could otherwise free an element mid-read).
    Py_BEGIN_CRITICAL_SECTION2(a, b);
    ok = cosine_locked(a, b, result);
    Py_END_CRITICAL_SECTION2();
    return ok ? PyFloat_FromDouble(result) : nullptr;
}

// ---- Table -------------------------------------------------------------

constexpr const char* kBuildDoc =
    "build_convergence_prompt(turns)\n--\n\n"
    "Render a thread's turns as the judge's user prompt.\n\n"
    "``turns`` is a list of (sender_id, content) pairs in chronological order; each turn\n"
    "is unpacked as ``sender_id, content = turn`` would unpack it (any iterable of\n"
    "exactly two values) and both values must be str.  Each turn becomes one line\n"
    "``- [sender_id] content``: the sender id exactly as given, the content with every\n"
    "run of whitespace made one space and the ends trimmed.  The lines follow the header\n"
    "``Thread transcript (chronological):``; an empty line and the closing question end\n"
    "the text, with no final line feed.\n\n"
    "Raises TypeError if ``turns`` is not a list, a turn is not iterable, or a value\n"
    "is not a str; ValueError if a turn does not hold exactly two values.";

constexpr const char* kParseDoc =
    "parse_convergence_verdict(text)\n--\n\n"
    "Read the judge's reply as ``(is_converged, text)``.\n\n"
    "The trimmed reply is split at its first ``|``; the part before it, trimmed and\n"
    "upper-cased (full Unicode mapping), is the token.  ``CONVERGED`` with a non-empty\n"
    "summary gives ``(True, summary)``; ``OPEN`` gives ``(False, reason)`` or\n"
    "``(False, 'judge marked thread open')`` without a reason.  Anything else, including\n"
    "``CONVERGED`` without a summary, gives ``(False, trimmed reply)``.  Never raises on\n"
    "any str; raises TypeError if ``text`` is not a str.";

constexpr const char* kCosineDoc =
    "cosine_similarity(a, b)\n--\n\n"
    "Cosine similarity of two equal-length vectors (lists of float or int).\n\n"
    "Computed in sequential double arithmetic: dot product and both squared norms summed\n"
    "in index order, then ``dot / (sqrt(norm_a) * sqrt(norm_b))``.  Empty vectors and a\n"
    "zero norm (including squares that underflow) give 0.0; the result is not clamped\n"
    "and NaN or infinities propagate.  Raises TypeError unless both are lists of float or\n"
    "int, ValueError on a length mismatch, OverflowError for an int beyond the double\n"
    "range.";

constexpr kl::py::Function kFunctions[] = {
    {"build_convergence_prompt", {"turns"}, 1, kBuildDoc, &build_convergence_prompt},
    {"parse_convergence_verdict", {"text"}, 1, kParseDoc, &parse_convergence_verdict},
    {"cosine_similarity", {"a", "b"}, 2, kCosineDoc, &cosine_similarity},
};

int exec(PyObject* m) {
    if (!cj::kSystemPrompt.valid() || !cj::kTranscript.valid() || !cj::kTurnLine.valid()) {
        PyErr_SetString(PyExc_SystemError, "convergence_judge: malformed prompt template");
        return -1;
    }
    // str.upper, unbound: a str subclass's own upper() is not consulted.
    Ref str_type = Ref::steal(kl::py::import_attr("builtins", "str"));
    if (!str_type) return -1;
    bool ok =
        kl::py::keep(m, kStrUpper, PyObject_GetAttrString(str_type.get(), "upper")) &&
        kl::py::keep(m, kMarkedOpen, kl::py::str_from_ascii(cj::kMarkedOpen)) &&
        kl::py::add(m, "CONVERGENCE_JUDGE_SYSTEM_PROMPT", kl::py::fixed_str(cj::kSystemPrompt)) &&
        kl::py::add(m, "STAGNATION_COSINE_THRESHOLD",
                    PyFloat_FromDouble(cj::kStagnationCosineThreshold)) &&
        kl::py::set_all(m, {"CONVERGENCE_JUDGE_SYSTEM_PROMPT", "STAGNATION_COSINE_THRESHOLD",
                            "build_convergence_prompt", "cosine_similarity",
                            "parse_convergence_verdict"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Convergence judge of a multi-agent thread: the judge's system prompt, the transcript "
    "builder and the verdict parser, plus the cosine similarity and ceiling of the "
    "stagnation gate.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.convergence_judge", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_convergence_judge() { return PyModuleDef_Init(&kModule); }
