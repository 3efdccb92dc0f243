#include "kl/pyedge.hpp"

namespace kl::py {

void raise_arg_type(const char* func, const char* param, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, param,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

void append_text_of(Text& out, nb::handle s) {
    PyObject* o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    std::size_t old = out.size();
    out.resize(old + static_cast<std::size_t>(n));
    char32_t* dst = out.data() + old;
    const void* data = PyUnicode_DATA(o);
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND: {
            auto* p = static_cast<const Py_UCS1*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = p[i];
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            auto* p = static_cast<const Py_UCS2*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = p[i];
            break;
        }
        default: {
            auto* p = static_cast<const Py_UCS4*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = p[i];
            break;
        }
    }
}

Text text_of(nb::handle s) {
    Text t;
    append_text_of(t, s);
    return t;
}

nb::str make_str(TextView t) {
    PyObject* o = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, t.data(),
                                            static_cast<Py_ssize_t>(t.size()));
    if (!o) throw nb::python_error();
    return nb::steal<nb::str>(o);
}

void append_plain(Text& out, nb::handle value) {
    PyObject* o = value.ptr();
    if (PyUnicode_Check(o)) {
        append_text_of(out, value);
        return;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            append_int(out, v);
            return;
        }
    }
    PyObject* s = PyObject_Str(o);
    if (!s) throw nb::python_error();
    nb::object guard = nb::steal(s);
    append_text_of(out, guard);
}

nb::int_ int_param(const char* func, const char* param, nb::handle value) {
    PyObject* o = value.ptr();
    if (PyLong_CheckExact(o)) return nb::borrow<nb::int_>(value);
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o) || !PyNumber_Check(o))
        raise_arg_type(func, param, "a number", value);
    PyObject* r = PyNumber_Long(o);
    if (!r) throw nb::python_error();
    return nb::steal<nb::int_>(r);
}

double float_param(const char* func, const char* param, nb::handle value) {
    PyObject* o = value.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o) || !PyNumber_Check(o))
        raise_arg_type(func, param, "a number", value);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

PyObject* interned(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw nb::python_error();
    return o;
}

nb::tuple prompt_pair(nb::handle system, nb::handle user_content) {
    static PyObject* const role = interned("role");
    static PyObject* const content = interned("content");
    static PyObject* const user = interned("user");
    nb::object message = steal_or_throw(PyDict_New());
    if (PyDict_SetItem(message.ptr(), role, user) < 0 ||
        PyDict_SetItem(message.ptr(), content, user_content.ptr()) < 0)
        throw nb::python_error();
    nb::object messages = steal_or_throw(PyList_New(1));
    PyList_SET_ITEM(messages.ptr(), 0, message.release().ptr());
    return nb::steal<nb::tuple>(steal_or_throw(PyTuple_Pack(2, system.ptr(), messages.ptr())).release());
}

nb::tuple prompt_pair(TextView system, nb::handle user_content) {
    return prompt_pair(make_str(system), user_content);
}

Logger::Logger(const char* name) {
    nb::object logging = nb::module_::import_("logging");
    logger_ = logging.attr("getLogger")(name).release().ptr();
}

void Logger::warning(const char* message, const char* field, nb::handle value) const {
    nb::handle logger(logger_);
    nb::dict extra;
    extra[field] = value;
    logger.attr("warning")(message, nb::arg("extra") = extra);
}

}  // namespace kl::py

