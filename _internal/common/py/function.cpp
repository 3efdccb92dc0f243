#include "kl/py/function.hpp"

namespace kl::py {

namespace {

// The positional arguments: at most f.max_positional() of them.
bool bind_positional(const Function& f, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) noexcept {
    const auto p = static_cast<Py_ssize_t>(f.max_positional());
    const auto r = static_cast<Py_ssize_t>(f.required);
    if (nargs > p) {
        if (r == p)
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         f.name, p, p == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd %s given",
                         f.name, r, p, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (std::size_t i = 0, count = f.count(); i < count; ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

// One argument given by name.
bool bind_keyword(const Function& f, PyObject* key, PyObject* value, PyObject** out) noexcept {
    const std::size_t count = f.count();
    std::size_t slot = count;
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, f.params[i]) == 0) {
            slot = i;
            break;
        }
    }
    if (slot == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name,
                     key);
        return false;
    }
    if (out[slot]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", f.name,
                     f.params[slot]);
        return false;
    }
    out[slot] = value;
    return true;
}

bool check_required(const Function& f, PyObject** out) noexcept {
    for (std::size_t i = 0; i < f.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", f.name,
                         f.params[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_args(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) noexcept {
    if (!bind_positional(f, args, nargs, out)) return false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!bind_keyword(f, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    return check_required(f, out);
}

bool bind_call(const Function& f, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
    if (!bind_positional(f, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), out))
        return false;
    if (kwargs) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        // The keywords of a call are strs (the interpreter checks); the
        // values stay borrowed from the dict, which the caller holds.
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(f, key, value, out)) return false;
    }
    return check_required(f, out);
}

bool check_positional(const char* name, std::size_t expected, Py_ssize_t nargs) noexcept {
    if (nargs == static_cast<Py_ssize_t>(expected)) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zu positional argument%s (%zd given)", name,
                 expected, expected == 1 ? "" : "s", nargs);
    return false;
}

std::nullptr_t arg_type_error(const char* func, const char* param, const char* expected,
                              PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, param,
                 expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

bool check_str(const char* func, const char* param, PyObject* o, bool none_ok) noexcept {
    if (PyUnicode_Check(o) || (none_ok && o == Py_None)) return true;
    arg_type_error(func, param, none_ok ? "str or None" : "str", o);
    return false;
}

bool is_real_number(PyObject* o, Number kind) noexcept {
    if (PyLong_Check(o) || PyFloat_Check(o)) return true;
    // A complex has no real value to take, whatever slots a subclass adds;
    // texts convert through int()/float() too, but by parsing, which is not
    // what a numeric parameter means.
    if (PyComplex_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o))
        return false;
    const PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb) return false;
    if (nb->nb_index) return true;
    // Exactly the slot the host's own conversion will call: int() needs
    // __int__, float() needs __float__ (both also take __index__, above).
    return kind == Number::Integer ? nb->nb_int != nullptr : nb->nb_float != nullptr;
}

bool check_number(const char* func, const char* param, PyObject* o, Number kind) noexcept {
    if (is_real_number(o, kind)) return true;
    arg_type_error(func, param, kind == Number::Integer ? "an int or a real number" : "a real number",
                   o);
    return false;
}

PyObject* int_param(const char* func, const char* param, PyObject* o) noexcept {
    if (PyLong_CheckExact(o)) return Py_NewRef(o);
    if (!check_number(func, param, o, Number::Integer)) return nullptr;
    return PyNumber_Long(o);
}

bool float_param(const char* func, const char* param, PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!check_number(func, param, o, Number::Real)) return false;
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace kl::py
