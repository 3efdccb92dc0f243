#include "kl/pyedge.hpp"

#include <cstring>

namespace kl::py {

void raise_arg_type(const char* func, const char* param, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, param,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

namespace {

// Widens `n` code units to code points and appends them.  Going through a
// small buffer that stays in L1 lets the string grow by plain appends into
// reserved memory: resizing first would fill the whole tail with zeros only
// to overwrite it, touching every byte of a large reply twice.  Blocks of a
// fixed size let the compiler vectorise the widening.
template <class Unit>
void append_widened(Text& out, const Unit* p, std::size_t n) {
    constexpr std::size_t kBlock = 256;
    char32_t buf[kBlock];
    while (n >= kBlock) {
        for (std::size_t i = 0; i < kBlock; ++i) buf[i] = p[i];
        out.append(buf, kBlock);
        p += kBlock;
        n -= kBlock;
    }
    for (std::size_t i = 0; i < n; ++i) buf[i] = p[i];
    out.append(buf, n);
}

}  // namespace

void append_text_of(Text& out, nb::handle s) {
    PyObject* o = s.ptr();
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    out.reserve(out.size() + n);
    const void* data = PyUnicode_DATA(o);
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND:
            append_widened(out, static_cast<const Py_UCS1*>(data), n);
            break;
        case PyUnicode_2BYTE_KIND:
            append_widened(out, static_cast<const Py_UCS2*>(data), n);
            break;
        default:
            out.append(reinterpret_cast<const char32_t*>(data), n);
            break;
    }
}

Text text_of(nb::handle s) {
    Text t;
    append_text_of(t, s);
    return t;
}

namespace {

template <class Unit>
void narrow_into(Unit* dst, const char32_t* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<Unit>(src[i]);
}

}  // namespace

nb::str make_str(TextView t) {
    const std::size_t n = t.size();
    if (n <= 1) {
        // The host hands out shared objects for the empty text and single
        // Latin-1 characters; its own constructor keeps that.
        PyObject* o = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, t.data(),
                                                static_cast<Py_ssize_t>(n));
        if (!o) throw nb::python_error();
        return nb::steal<nb::str>(o);
    }
    // The widest code point decides the storage kind; OR-ing the code points
    // answers the same question (below 0x80, 0x100, 0x10000 or not) in a loop
    // without early exits, which compiles to vector code.
    const char32_t* p = t.data();
    char32_t bits = 0;
    std::size_t i = 0;
    constexpr std::size_t kBlock = 16;
    for (; i + kBlock <= n; i += kBlock) {
        char32_t b = 0;
        for (std::size_t k = 0; k < kBlock; ++k) b |= p[i + k];
        bits |= b;
    }
    for (; i < n; ++i) bits |= p[i];
    Py_UCS4 maxchar = bits < 0x10000 ? static_cast<Py_UCS4>(bits) : Py_UCS4{0x10FFFF};
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), maxchar);
    if (!o) throw nb::python_error();
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND: narrow_into(PyUnicode_1BYTE_DATA(o), p, n); break;
        case PyUnicode_2BYTE_KIND: narrow_into(PyUnicode_2BYTE_DATA(o), p, n); break;
        default: std::memcpy(PyUnicode_4BYTE_DATA(o), p, n * sizeof(char32_t)); break;
    }
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

