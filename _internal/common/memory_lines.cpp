#include "kl/memory_lines.hpp"

#include <stdexcept>

#include "kl/json_encode.hpp"
#include "kl/pyedge.hpp"

namespace kl::py {
namespace {

// Looked up once at module load and kept for the life of the process (the
// interpreter tears modules down in no fixed order, so these are never
// released).
PyObject* g_mapping_abc = nullptr;
PyObject* g_content = nullptr;
PyObject* g_event_type = nullptr;
PyObject* g_salience = nullptr;
PyObject* g_created_at = nullptr;
PyObject* g_get = nullptr;
PyObject* g_absent = nullptr;  // get()'s default: no stored value can be it

bool is_mapping(PyObject* o) {
    if (PyDict_Check(o)) return true;
    int r = PyObject_IsInstance(o, g_mapping_abc);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object get_required(PyObject* memory, PyObject* key) {
    PyObject* v = PyObject_GetItem(memory, key);
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

// The salience value, or null when the key is absent.  An exact dict is read
// directly; any other mapping through its own get(), which is how a mapping
// tells whether it holds a key.
nb::object get_optional(PyObject* memory, PyObject* key) {
    PyObject* v = nullptr;
    if (PyDict_CheckExact(memory)) {
        if (PyDict_GetItemRef(memory, key, &v) < 0) throw nb::python_error();
        return v ? nb::steal(v) : nb::object();
    }
    v = PyObject_CallMethodObjArgs(memory, g_get, key, g_absent, nullptr);
    if (!v) throw nb::python_error();
    nb::object got = nb::steal(v);
    return got.ptr() == g_absent ? nb::object() : got;
}

}  // namespace

void init_memory_lines() {
    if (g_mapping_abc) return;
    nb::object abc = nb::module_::import_("collections.abc");
    g_mapping_abc = nb::object(abc.attr("Mapping")).release().ptr();
    g_content = interned("content");
    g_event_type = interned("event_type");
    g_salience = interned("salience");
    g_created_at = interned("created_at");
    g_get = interned("get");
    g_absent = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!g_absent) throw nb::python_error();
}

nb::list memory_list_param(const char* func, nb::handle memories) {
    PyObject* o = memories.ptr();
    if (!PyList_Check(o)) raise_arg_type(func, "memories", "list", memories);
    PyObject* copy = PyList_GetSlice(o, 0, PyList_GET_SIZE(o));
    if (!copy) throw nb::python_error();
    nb::list snapshot = nb::steal<nb::list>(copy);
    Py_ssize_t n = PyList_GET_SIZE(copy);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* m = PyList_GET_ITEM(copy, i);
        if (!is_mapping(m)) {
            PyErr_Format(PyExc_TypeError,
                         "%s() argument 'memories' must be a list of mappings, "
                         "but item %zd is %.200s",
                         func, i, Py_TYPE(m)->tp_name);
            throw nb::python_error();
        }
    }
    return snapshot;
}

void append_memory_block(StrBuilder& out, nb::handle memories, bool with_salience) {
    PyObject* list = memories.ptr();
    Py_ssize_t n = PyList_GET_SIZE(list);
    std::string content_json;
    Text content_text;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* memory = PyList_GET_ITEM(list, i);  // the private copy keeps it alive

        nb::object content = get_required(memory, g_content);
        // Map content is encoded right away, before the next key is read,
        // so an encoding error comes before a later missing key.
        content_json.clear();
        content_text.clear();
        bool content_is_str = PyUnicode_Check(content.ptr());
        bool content_is_map = !content_is_str && PyDict_Check(content.ptr());
        if (content_is_map)
            append_json(content_json, content);
        else if (!content_is_str)
            kl::py::append_plain(content_text, content);

        if (i > 0) out.append_ascii("\n");
        out.append_ascii("[");
        out.append_int(static_cast<long long>(i) + 1);
        out.append_ascii("] (");
        nb::object event_type = get_required(memory, g_event_type);
        out.append_plain(event_type);
        if (with_salience) {
            out.append_ascii(", salience=");
            nb::object salience = get_optional(memory, g_salience);
            if (salience.is_valid())
                out.append_plain(salience);
            else
                out.append_ascii("N/A");
        }
        out.append_ascii(", ");
        nb::object created_at = get_required(memory, g_created_at);
        out.append_plain(created_at);
        out.append_ascii("): ");
        if (content_is_str)
            out.append_str(content);
        else if (content_is_map)
            out.append_ascii(content_json);
        else
            out.append(content_text);
    }
}

MemoryPrompt::MemoryPrompt(TextView source, bool with_salience) : with_salience_(with_salience) {
    constexpr TextView count = U"{count}", block = U"{formatted_memories}";
    std::size_t c = source.find(count), b = source.find(block);
    if (c == TextView::npos || b == TextView::npos || b < c + count.size())
        throw std::logic_error("memory prompt: placeholders missing or out of order");
    head_ = source.substr(0, c);
    middle_ = source.substr(c + count.size(), b - c - count.size());
    tail_ = source.substr(b + block.size());
    for (const Text* part : {&head_, &middle_, &tail_})
        if (part->find_first_of(U"{}") != Text::npos)
            throw std::logic_error("memory prompt: unexpected brace");
}

nb::str MemoryPrompt::render(nb::handle memories) const {
    StrBuilder out;
    out.append(head_);
    out.append_int(static_cast<long long>(PyList_GET_SIZE(memories.ptr())));
    out.append(middle_);
    append_memory_block(out, memories, with_salience_);
    out.append(tail_);
    return out.finish();
}

}  // namespace kl::py
