#include "kl/pyfunc.hpp"

#include <cstring>

namespace kl::py {

void bind_args(const char* func, const char* const* names, std::size_t count,
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

void add_function(nb::module_& m, const char* name, FastFn fn, const char* doc) {
    // Vectorcall functions are stored as PyCFunction and told apart by the
    // flags; the detour through void(*)() is the sanctioned cast.
    auto* def = new PyMethodDef{name,
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                                METH_FASTCALL | METH_KEYWORDS, doc};
    nb::object modname = m.attr("__name__");
    PyObject* f = PyCMethod_New(def, m.ptr(), modname.ptr(), nullptr);
    if (!f) throw nb::python_error();
    nb::object func = nb::steal(f);
    m.attr(name) = func;
}

}  // namespace kl::py
