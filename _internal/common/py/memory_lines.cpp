#include "kl/py/memory_lines.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "kl/json_write.hpp"
#include "kl/py/ascii_batch.hpp"
#include "kl/py/containers.hpp"
#include "kl/py/function.hpp"
#include "kl/py/json_encode.hpp"
#include "kl/py/prompt_text.hpp"
#include "kl/py/module.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"
#include "kl/reply.hpp"

namespace kl::py {
namespace {

enum Key : std::size_t {
    kMappingAbc,
    kContent,
    kEventType,
    kSalience,
    kCreatedAt,
    kRole,
    kUser,
};
static_assert(kUser + 1 == kMemorySlotCount);

// The text of one value, made right after the value is read: a host str
// (the value itself, or its str()), or a run of the writer's ASCII buffer
// (an int's digits, map content's JSON).
struct Piece {
    Ref str;
    std::size_t begin = 0, size = 0;

    void put(StrWriter& out) {
        if (str)
            out.owned(std::move(str));
        else
            out.scratch_piece(begin, size);
    }
};

bool plain_piece(StrWriter& out, Ref value, Piece& piece) {
    PyObject* v = value.get();
    if (PyUnicode_Check(v)) {
        piece.str = std::move(value);
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            std::pmr::string& buf = out.ascii_buffer();
            piece.begin = buf.size();
            append_int(buf, n);
            piece.size = buf.size() - piece.begin;
            return true;
        }
    }
    if (PyFloat_CheckExact(v)) {
        // float's str() is its repr: the shortest round-trip digits in the
        // layout the JSON writer shares with it, or nan / inf / -inf.
        double d = PyFloat_AS_DOUBLE(v);
        std::pmr::string& buf = out.ascii_buffer();
        piece.begin = buf.size();
        if (std::isfinite(d))
            append_json_float(buf, d);
        else
            buf.append(std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf");
        piece.size = buf.size() - piece.begin;
        return true;
    }
    piece.str = Ref::steal(PyObject_Str(v));
    return static_cast<bool>(piece.str);
}

// Map content is encoded into the writer as soon as it is read, ahead of
// the line it belongs to, as pieces of its own (the marks [from, to));
// move_to_end() puts them in their place when the line reaches them.
struct MapContent {
    bool present = false;
    std::size_t from = 0, to = 0;
};

bool content_piece(StrWriter& out, Ref value, Piece& piece, MapContent& map) {
    if (!PyDict_Check(value.get())) return plain_piece(out, std::move(value), piece);
    map.present = true;
    map.from = out.seal();
    if (!append_json(out, value.get())) return false;
    map.to = out.seal();
    return true;
}

// The salience value, or an empty Ref (no error) when the key is absent.
bool get_optional(PyObject* const* keys, PyObject* memory, Ref& out) {
    PyObject* v = nullptr;
    int r = get_optional_item(memory, keys[kSalience], &v);
    out = Ref::steal(v);
    return r >= 0;
}


// memory[key]: an exact dict is read directly (its KeyError is the one the
// dict itself raises: the key alone); any other mapping through its own
// __getitem__, which may answer a missing key (__missing__).
PyObject* get_required(PyObject* memory, PyObject* key) {
    if (!PyDict_CheckExact(memory)) return PyObject_GetItem(memory, key);
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(memory, key, &v) == 0) PyErr_SetObject(PyExc_KeyError, key);
    return v;
}

bool memory_line(StrWriter& out, AsciiBatch& batch, PyObject* const* keys,
                 const ReflectionPrompt& p, PyObject* memory, long long n) {
    // The values are read (and map content encoded) into the buffer before
    // any of the line is written: nothing of the batch may be pending.
    batch.flush();
    Piece content, event_type, salience, created_at;
    MapContent map;
    bool has_salience = false;
    Ref v = Ref::steal(get_required(memory, keys[kContent]));
    if (!v || !content_piece(out, std::move(v), content, map)) return false;
    v = Ref::steal(get_required(memory, keys[kEventType]));
    if (!v || !plain_piece(out, std::move(v), event_type)) return false;
    if (p.with_salience) {
        if (!get_optional(keys, memory, v)) return false;
        has_salience = static_cast<bool>(v);
        if (has_salience && !plain_piece(out, std::move(v), salience)) return false;
    }
    v = Ref::steal(get_required(memory, keys[kCreatedAt]));
    if (!v || !plain_piece(out, std::move(v), created_at)) return false;
    batch.resume();

    if (n > 1) batch.ascii("\n");
    auto put = [&](Piece& piece) {
        batch.flush();
        piece.put(out);
    };
    return p.line.walk(
        [&](const AnyText& t) {
            batch.literal(t);
            return true;
        },
        [&](int slot) {
            switch (slot) {
                case kLineN: batch.integer(n); break;
                case kLineEventType: put(event_type); break;
                case kLineCreatedAt: put(created_at); break;
                case kLineContent:
                    if (map.present) {
                        batch.flush();
                        out.move_to_end(map.from, map.to);
                    } else {
                        put(content);
                    }
                    break;
                case kLineSalience:
                    if (has_salience)
                        put(salience);
                    else
                        batch.ascii("N/A");
                    break;
                default: break;
            }
            return true;
        });
}

}  // namespace

bool init_memory_slots(PyObject* m, std::size_t first) noexcept {
    static const char* const names[] = {"content", "event_type", "salience", "created_at",
                                        "role", "user"};
    if (!keep(m, first + kMappingAbc, import_attr("collections.abc", "Mapping"))) return false;
    for (std::size_t i = kContent; i < kMemorySlotCount; ++i)
        if (!keep(m, first + i, intern(names[i - kContent]))) return false;
    return true;
}

PyObject* build_reflection_prompt(PyObject* module, std::size_t first, const ReflectionPrompt& p,
                                  PyObject* system, PyObject* memories) {
    if (!PyList_Check(memories)) return arg_type_error(p.func, "memories", "list", memories);
    PyObject* const* keys = state_of(module) + first;
    Ref list = list_copy(memories);
    if (!list) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* m = PyList_GET_ITEM(list.get(), i);
        int r = is_mapping(m, keys[kMappingAbc]);
        if (r < 0) return nullptr;
        if (!r) {
            PyErr_Format(PyExc_TypeError,
                         "%s() argument 'memories' must be a list of mappings, "
                         "but item %zd is %.200s",
                         p.func, i, Py_TYPE(m)->tp_name);
            return nullptr;
        }
    }

    StrWriter out;
    out.reserve(static_cast<std::size_t>(n) * 8 + 8);
    out.ascii_buffer().reserve(static_cast<std::size_t>(n) * 64 + 64);
    bool ok;
    {
        AsciiBatch batch(out);
        ok = p.user.walk(
            [&](const AnyText& t) {
                batch.literal(t);
                return true;
            },
            [&](int slot) {
                if (slot == kCount) {
                    batch.integer(static_cast<long long>(n));
                    return true;
                }
                for (Py_ssize_t i = 0; i < n; ++i) {
                    // The private copy keeps every memory alive.
                    if (!memory_line(out, batch, keys, p, PyList_GET_ITEM(list.get(), i), i + 1))
                        return false;
                }
                return true;
            });
        if (ok) batch.flush();
    }
    if (!ok) return nullptr;
    Ref content = Ref::steal(out.finish());
    if (!content) return nullptr;
    return prompt_pair(Py_NewRef(system), content.get(), keys[kRole], keys[kContent], keys[kUser]);
}

PyObject* parse_reflection_output(const char* func, PyObject* response) noexcept {
    if (!check_str(func, "response", response)) return nullptr;
    Span kept = clean_text_reply(text_of(response));
    return substr(response, kept.begin, kept.size);
}

}  // namespace kl::py
