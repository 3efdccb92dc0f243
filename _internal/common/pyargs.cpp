#include "kl/pyargs.hpp"

namespace kl::py {

namespace nb = nanobind;

void bind_args_optional(const char* func, const char* const* names, std::size_t count,
                        std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(count);
    const auto r = static_cast<Py_ssize_t>(required);
    if (nargs > n) {
        if (r == n)
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         func, n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd %s given", func,
                         r, n, nargs, nargs == 1 ? "was" : "were");
        throw nb::python_error();
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func,
                         key);
            throw nb::python_error();
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func,
                         names[slot]);
            throw nb::python_error();
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func,
                         names[i], i + 1);
            throw nb::python_error();
        }
    }
}

}  // namespace kl::py
