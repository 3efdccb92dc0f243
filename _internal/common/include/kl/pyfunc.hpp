// Module functions as the host's own builtin functions.
//
// A function added with add_function() is a builtin_function_or_method with
// a __text_signature__, so inspect.signature(), help() and stub checkers see
// its real parameters (nanobind's function objects present themselves as
// (*args, **kwargs)).  Calls use the vectorcall convention directly.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <initializer_list>
#include <new>

namespace kl::py {

namespace nb = nanobind;

using FastFn = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// Binds the arguments of one call to `count` parameters that may be given by
// position or by name, the first `required` of them mandatory, writing
// borrowed references to out[0..count).  An optional parameter that was not
// given is left nullptr for the caller to default.  Raises TypeError (as
// nb::python_error), worded as the host words it, for a missing, repeated or
// unknown argument or too many positional ones.
void bind_args(const char* func, const char* const* names, std::size_t count,
               std::size_t required, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);

// The common case: every parameter is required.
inline void bind_args(const char* func, const char* const* names, std::size_t count,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** out) {
    bind_args(func, names, count, count, args, nargs, kwnames, out);
}

// Runs `body` (returning an nb::object) and turns a C++ exception into a set
// Python error and nullptr, since nothing may unwind into the interpreter.
template <class F>
PyObject* call_guarded(F&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

// Adds `fn` to module `m` under `name`.  `doc` must begin with the text
// signature, "name(a, b)\n--\n\n", then the docstring.  The method table entry
// is allocated here and lives as long as the process, as the function does.
void add_function(nb::module_& m, const char* name, FastFn fn, const char* doc);

}  // namespace kl::py
