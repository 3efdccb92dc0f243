// Module functions from one declarative table per module.
//
// Each module lists its functions once:
//
//     constexpr kl::py::Function kFunctions[] = {
//         {"parse_convergence_verdict", {"response"}, 1, doc::parse_verdict,
//          &parse_convergence_verdict},
//     };
//     ... kl::py::methods<kFunctions>() ...
//
// and every row becomes a builtin function of the host with the
// METH_FASTCALL | METH_KEYWORDS convention.  Its docstring begins with the
// text signature ("name(a, b)\n--\n\n"), so inspect.signature() and help()
// show the real parameters.  A type's methods come from such a table too
// (its method table is methods<Table>()); their implementations receive the
// instance where a module function receives the module.  A row may end with
// the index from which its parameters are keyword-only.
//
// The error convention of the whole binding layer: an implementation returns
// a new reference, or nullptr with the host's error set.  The table's entry
// point binds the arguments (raising the host's own TypeError wording for a
// missing, repeated or unknown one) and is the one place where a C++
// exception (only std::bad_alloc can occur) is turned into a host error, so
// none ever reaches the host.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <utility>

namespace kl::py {

inline constexpr std::size_t kMaxParams = 6;

// An implementation: the module object (for a method of a type: the
// instance) and one borrowed reference per parameter, nullptr for an optional
// parameter that was not given.
using Impl = PyObject* (*)(PyObject* module, PyObject* const* args);

struct Function {
    const char* name;
    std::array<const char*, kMaxParams> params;  // trailing entries nullptr
    std::size_t required;                        // the first `required` are mandatory
    const char* doc;                             // begins with the text signature
    Impl impl;
    // Extra METH_* flags; METH_CLASS makes a row of a type's table a class
    // method (the implementation then gets the class where a module
    // function gets its module, and an instance method its instance).
    int flags = 0;
    // Parameters from this index on are keyword-only ("*" in the signature).
    std::size_t positional = kMaxParams;

    constexpr std::size_t count() const noexcept {
        std::size_t n = 0;
        while (n < kMaxParams && params[n]) ++n;
        return n;
    }
    constexpr std::size_t max_positional() const noexcept {
        return positional < count() ? positional : count();
    }
};

// Binds one call's arguments to f's parameters (by position or by name),
// writing borrowed references to out[0..f.count()).  False with TypeError set
// on a bad call.
bool bind_args(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) noexcept;

// The same for a call that arrives as a tuple and a dict of keywords (or
// nullptr), as a type's tp_new receives it.
bool bind_call(const Function& f, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

// Runs an implementation; a C++ exception becomes a host error.
inline PyObject* run_guarded(Impl impl, PyObject* module, PyObject* const* args) noexcept {
    try {
        return impl(module, args);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in the compute core");
        return nullptr;
    }
}

template <const auto& Table, std::size_t I>
PyObject* fastcall(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    constexpr const Function& f = Table[I];
    constexpr std::size_t n = f.count();
    static_assert(f.required <= f.max_positional(), "a required parameter is keyword-only");
    // The common call: every parameter by position.
    if (n == f.max_positional() && !kwnames && nargs == static_cast<Py_ssize_t>(n))
        return run_guarded(f.impl, module, args);
    PyObject* bound[n > 0 ? n : 1];
    if (!kwnames && nargs >= static_cast<Py_ssize_t>(f.required) &&
        nargs <= static_cast<Py_ssize_t>(f.max_positional())) {
        // By position, trailing optionals omitted: nothing to look up.
        for (std::size_t i = 0; i < n; ++i)
            bound[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    } else if (!bind_args(f, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return run_guarded(f.impl, module, bound);
}

// The method table of a module: one row per Function, then the sentinel.
// Built once, when the shared library loads, and never changed.
template <const auto& Table>
PyMethodDef* methods() {
    constexpr std::size_t n = std::size(Table);
    static std::array<PyMethodDef, n + 1> defs = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<PyMethodDef, n + 1>{
            PyMethodDef{Table[I].name,
                        // Fast-call functions are stored as PyCFunction and
                        // told apart by the flags; the detour through
                        // void(*)() is the sanctioned cast.
                        reinterpret_cast<PyCFunction>(
                            reinterpret_cast<void (*)()>(&fastcall<Table, I>)),
                        Table[I].flags | METH_FASTCALL | METH_KEYWORDS, Table[I].doc}...,
            PyMethodDef{nullptr, nullptr, 0, nullptr}};
    }(std::make_index_sequence<n>{});
    return defs.data();
}

// ---- Functions whose keywords are data -------------------------------------
//
// `replace(profile, /, **changes)` takes any keyword: the names are the data,
// not parameters, so no table of parameters can bind them.  Such a function
// declares how many positional arguments it takes and gets the keywords as
// the vectorcall protocol passes them: `kwnames` (a tuple of strs, or
// nullptr) and one value per name after the positional ones.

using KeywordsImpl = PyObject* (*)(PyObject* self, PyObject* const* args, PyObject* kwnames);

struct KeywordsFunction {
    const char* name;
    std::size_t positional;  // exactly this many positional arguments
    const char* doc;         // begins with the text signature
    KeywordsImpl impl;
    int flags = 0;           // as Function::flags
};

bool check_positional(const char* name, std::size_t expected, Py_ssize_t nargs) noexcept;

template <const auto& Table, std::size_t I>
PyObject* keywords_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    constexpr const KeywordsFunction& f = Table[I];
    if (!check_positional(f.name, f.positional, nargs)) return nullptr;
    try {
        return f.impl(self, args, kwnames);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in the compute core");
        return nullptr;
    }
}

// One method table from a Function table followed by a KeywordsFunction
// table, for a module or type that has both kinds.
template <const auto& Table, const auto& Keywords>
PyMethodDef* methods() {
    constexpr std::size_t n = std::size(Table);
    constexpr std::size_t k = std::size(Keywords);
    static std::array<PyMethodDef, n + k + 1> defs = [] {
        std::array<PyMethodDef, n + k + 1> d{};
        PyMethodDef* plain = methods<Table>();
        for (std::size_t i = 0; i < n; ++i) d[i] = plain[i];
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            ((d[n + J] = PyMethodDef{Keywords[J].name,
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                         &keywords_call<Keywords, J>)),
                                     Keywords[J].flags | METH_FASTCALL | METH_KEYWORDS,
                                     Keywords[J].doc}),
             ...);
        }(std::make_index_sequence<k>{});
        d[n + k] = PyMethodDef{nullptr, nullptr, 0, nullptr};
        return d;
    }();
    return defs.data();
}

// A method table of KeywordsFunction rows only.
template <const auto& Keywords>
PyMethodDef* keywords_methods() {
    constexpr std::size_t k = std::size(Keywords);
    static std::array<PyMethodDef, k + 1> defs = [] {
        std::array<PyMethodDef, k + 1> d{};
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            ((d[J] = PyMethodDef{Keywords[J].name,
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     &keywords_call<Keywords, J>)),
                                 Keywords[J].flags | METH_FASTCALL | METH_KEYWORDS,
                                 Keywords[J].doc}),
             ...);
        }(std::make_index_sequence<k>{});
        d[k] = PyMethodDef{nullptr, nullptr, 0, nullptr};
        return d;
    }();
    return defs.data();
}

// ---- Argument kinds --------------------------------------------------------
//
// Every function checks the kinds of its arguments before any work.  These
// raise TypeError("<func>() argument '<param>' must be <expected>, not
// <kind>"), the wording the host uses for its own builtins, and return
// nullptr / false so a caller can `return` straight away.

std::nullptr_t arg_type_error(const char* func, const char* param, const char* expected,
                              PyObject* got) noexcept;

// A str argument; nullptr for None when `none_ok`.
bool check_str(const char* func, const char* param, PyObject* o, bool none_ok = false) noexcept;

// What a numeric parameter asks for: an integer (the host's int() of the
// value) or a floating-point number (its float()).
enum class Number { Integer, Real };

// Whether the host's conversion for `kind` will accept `o` as a real
// number: int and float (and bool) always; any other object by the slot
// that conversion calls (__index__, or __int__ for an integer, __float__
// for a float), so Fraction, Decimal and numpy scalars pass.  A complex, a
// text or bytes never does.  Runs no host code.
bool is_real_number(PyObject* o, Number kind) noexcept;

// The same as an argument check: TypeError naming `func` and `param`.
bool check_number(const char* func, const char* param, PyObject* o, Number kind) noexcept;

// An integer parameter: an int is taken as it is; any other number is
// truncated toward zero as the host's int() does; anything else is a
// TypeError naming the parameter.  Errors of int() itself (NaN ->
// ValueError, infinity -> OverflowError) pass through.  New reference.
PyObject* int_param(const char* func, const char* param, PyObject* o) noexcept;

// A floating-point parameter: any number, through the host's float().
// False with an error set.
bool float_param(const char* func, const char* param, PyObject* o, double& out) noexcept;

}  // namespace kl::py
