// Binding of the fact and claim extraction prompts and reply parsers.
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "extraction/extraction.hpp"
#include "kl/py/containers.hpp"
#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/prompt_text.hpp"
#include "kl/py/ref.hpp"
#include "kl/py/str.hpp"
#include "kl/reply.hpp"

namespace {

using kl::py::Ref;
using kl::py::StrWriter;
namespace ex = kl::extraction;

// Module state: the keys every result repeats, the fixed strs of the prompt
// pairs, and the logger.
enum Slot : std::size_t {
    kKeySubject,
    kKeyAttribute,
    kKeyValue,
    kKeyConfidence,
    kKeyRole,
    kKeyContent,
    kUser,
    kFactsMessage,
    kClaimsMessage,
    kLogger,
    kSlotCount
};

PyObject* st(PyObject* m, Slot s) { return kl::py::slot(m, s); }

// ---- Prompts -------------------------------------------------------------

// The code points of a str without the system's whitespace at both ends.
kl::Span trimmed(PyObject* s) {
    kl::AnyText t = kl::py::text_of(s);
    return t.visit([](auto v) {
        auto r = kl::trim(v);
        return kl::Span{static_cast<std::size_t>(r.data() - v.data()), r.size()};
    });
}

PyObject* build_extraction_prompt(PyObject* m, PyObject* const* args) {
    constexpr const char* fn = "build_extraction_prompt";
    PyObject* memory = args[0];
    PyObject* role = args[2] ? args[2] : st(m, kUser);
    if (!kl::py::check_str(fn, "memory_content", memory)) return nullptr;
    Ref limit = Ref::steal(kl::py::int_param(fn, "max_facts", args[1]));
    if (!limit || !kl::py::check_str(fn, "role", role)) return nullptr;
    kl::Span body = trimmed(memory);
    StrWriter w;
    bool ok = true;
    kl::py::render(w, ex::extraction_template(), [&](int i) {
        if (i == ex::kRole)
            w.borrowed(role);
        else if (i == ex::kMemoryBlock)
            w.borrowed_slice(memory, body.begin, body.size);
        else
            ok = w.plain(limit.get());
    });
    if (!ok) return nullptr;
    return kl::py::prompt_pair(w.finish(), st(m, kFactsMessage), st(m, kKeyRole), st(m, kKeyContent),
                               st(m, kUser));
}

PyObject* build_claim_extraction_prompt(PyObject* m, PyObject* const* args) {
    constexpr const char* fn = "build_claim_extraction_prompt";
    PyObject* output = args[0];
    if (!kl::py::check_str(fn, "output", output)) return nullptr;
    Ref limit = Ref::steal(kl::py::int_param(fn, "max_claims", args[1]));
    if (!limit) return nullptr;
    kl::Span body = trimmed(output);
    StrWriter w;
    bool ok = true;
    kl::py::render(w, ex::claim_template(), [&](int i) {
        if (i == ex::kOutputBlock)
            w.borrowed_slice(output, body.begin, body.size);
        else
            ok = w.plain(limit.get());
    });
    if (!ok) return nullptr;
    return kl::py::prompt_pair(w.finish(), st(m, kClaimsMessage), st(m, kKeyRole), st(m, kKeyContent),
                               st(m, kUser));
}

// ---- Reply parsers -------------------------------------------------------

// The slots of a small cache, each made on its first use and destroyed at
// the end only if it was made: a short reply touches a few of them, and
// making and destroying a whole table of references on every call cost
// more than the lookups it serves.
template <class Slot, unsigned Bits>
class SlotTable {
public:
    static constexpr unsigned kBits = Bits;
    static_assert(Bits <= 5, "the made-slot mask is 32 bits");

    SlotTable() noexcept {}
    ~SlotTable() {
        for (std::uint32_t m = made_; m != 0; m &= m - 1)
            std::destroy_at(&cells_[std::countr_zero(m)].slot);
    }
    SlotTable(const SlotTable&) = delete;
    SlotTable& operator=(const SlotTable&) = delete;

    // Slot i, or nullptr when it was never made.
    Slot* find(unsigned i) noexcept { return made_ >> i & 1 ? &cells_[i].slot : nullptr; }

    // Slot i, made first when it was not.
    Slot& at(unsigned i) noexcept {
        if (!(made_ >> i & 1)) {
            std::construct_at(&cells_[i].slot);
            made_ |= std::uint32_t{1} << i;
        }
        return cells_[i].slot;
    }

private:
    union Cell {
        Cell() noexcept {}
        ~Cell() {}
        Slot slot;
    };
    Cell cells_[1u << Bits];
    std::uint32_t made_ = 0;
};

// One field's strs, shared among the records of a reply: replies repeat
// attributes, subjects, values and confidences from fact to fact, not always
// one after the other, and a lookup costs far less than making another
// object.  A small direct-mapped cache: each text goes to one slot by a
// fingerprint of its size and first and last bytes, and replaces what was
// there.  (Equal texts stored at different widths fingerprint apart and
// simply make two equal strs.)
class FieldStrs {
public:
    // `in_reply`: the text is read in place in the reply, not decoded.
    PyObject* get(const kl::json::Str& s, bool in_reply) {
        std::uint64_t fp = fingerprint(s);
        unsigned i = static_cast<unsigned>(fp >> (64 - Slots::kBits));
        if (Slot* e = slots_.find(i); e && e->fp == fp) {
            kl::AnyText seen;
            seen.data = e->data;
            seen.size = e->size;
            seen.width = e->width;
            if (kl::same_text(s, seen)) return Py_NewRef(e->str.get());
        }
        PyObject* o = kl::py::str_from(s);
        if (!o) return nullptr;
        Slot& e = slots_.at(i);
        e.str = Ref::steal(Py_NewRef(o));
        e.fp = fp;
        // The text is remembered where it outlives this record.  Text read
        // in place lies in the reply, which outlives the cache.  A decoded
        // text is written over by the next record's, so the str's own
        // storage stands in for it: the same code points, narrower when
        // trimming cut the wide ones away.  Field by field, for the reason
        // given in the core's usable_text().
        if (in_reply) {
            e.data = s.data;
            e.width = s.width;
        } else {
            e.data = PyUnicode_DATA(o);
            e.width = static_cast<unsigned char>(PyUnicode_KIND(o));
        }
        e.size = s.size;
        return o;
    }

private:
    static std::uint64_t fingerprint(const kl::json::Str& s) noexcept {
        const char* p = static_cast<const char*>(s.data);
        std::size_t n = s.size * s.width;
        std::uint64_t a = 0, b = 0;
        if (n >= 8) {
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + n - 8, 8);
        } else if (n >= 4) {
            std::uint32_t x, y;
            std::memcpy(&x, p, 4);
            std::memcpy(&y, p + n - 4, 4);
            a = x;
            b = y;
        } else {
            for (std::size_t i = 0; i < n; ++i) a = (a << 8) | static_cast<unsigned char>(p[i]);
        }
        std::uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull) ^ n) * 0xBF58476D1CE4E5B9ull;
        return h ^ (h >> 31);
    }

    // Written whole when a slot is (re)filled; a made slot always holds a str.
    struct Slot {
        std::uint64_t fp;
        const void* data;
        std::size_t size;
        unsigned char width;
        Ref str;
    };
    using Slots = SlotTable<Slot, 3>;
    Slots slots_;
};

// The same for the confidences: equal doubles (bit for bit, so 0.0 and
// -0.0 stay apart) share one float.
class FieldFloats {
public:
    PyObject* get(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        unsigned i = static_cast<unsigned>((bits * 0x9E3779B97F4A7C15ull) >> (64 - Slots::kBits));
        if (Slot* e = slots_.find(i); e && e->bits == bits) return Py_NewRef(e->f.get());
        PyObject* o = PyFloat_FromDouble(v);
        if (!o) return nullptr;
        Slot& e = slots_.at(i);
        e.f = Ref::steal(Py_NewRef(o));
        e.bits = bits;
        return o;
    }

private:
    struct Slot {
        std::uint64_t bits;
        Ref f;
    };
    using Slots = SlotTable<Slot, 3>;
    Slots slots_;
};

// The records of one reply, made as the reader accepts each triple.
class Records {
public:
    static_assert(kKeyAttribute == kKeySubject + 1 && kKeyValue == kKeySubject + 2 &&
                  kKeyConfidence == kKeySubject + 3);
    Records(PyObject* m, bool with_confidence) : with_confidence_(with_confidence) {
        PyObject** state = kl::py::state_of(m);
        for (int k = 0; k < 4; ++k) keys_[k] = state[kKeySubject + k];
    }

    // `reply`: the text the triple was read from.
    bool add(const ex::Triple& t, const kl::AnyText& reply) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return false;
        // As addresses: the decoded text lies in another block of memory.
        const auto lo = reinterpret_cast<std::uintptr_t>(reply.data);
        const std::size_t bytes = reply.size * reply.width;
        auto in_reply = [lo, bytes](const kl::json::Str& s) {
            return reinterpret_cast<std::uintptr_t>(s.data) - lo < bytes;
        };
        const int fields = with_confidence_ ? 4 : 3;
        for (int k = 0; k < fields; ++k) {
            Ref v = Ref::steal(k == 0   ? subjects_.get(t.subject, in_reply(t.subject))
                               : k == 1 ? attributes_.get(t.attribute, in_reply(t.attribute))
                               : k == 2 ? values_.get(t.value, in_reply(t.value))
                                        : confidences_.get(t.confidence));
            if (!v || PyDict_SetItem(d.get(), keys_[k], v.get()) < 0) return false;
        }
        return list_.add(d.release());
    }
    // The records made so far are void (a later array replaces them).
    void restart() noexcept { list_.clear(); }
    PyObject* finish() noexcept { return list_.finish(); }

private:
    PyObject* keys_[4];
    bool with_confidence_;
    kl::py::RecordList list_;
    FieldStrs subjects_, attributes_, values_;
    FieldFloats confidences_;
};

// The first 200 code points of the reply, for the undecodable-reply record.
PyObject* preview_of(PyObject* response) {
    return kl::py::substr(response, 0,
                          std::min<std::size_t>(200, PyUnicode_GET_LENGTH(response)));
}

PyObject* warn(PyObject* m, const char* message, const char* field, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v || !kl::py::log_warning(st(m, kLogger), message, field, v.get())) return nullptr;
    return PyList_New(0);
}

// Every str keeps a zero unit after its last code point, so every reply is
// read in place.
constexpr bool kTerminated = true;

// Reads a reply into `records`: its facts, or its claims.
ex::Outcome read(PyObject* response, Records& records, bool facts, kl::json::Document& doc) {
    const kl::AnyText reply = kl::py::text_of(response);
    auto accept = [&](const ex::Triple& t) { return records.add(t, reply); };
    auto restart = [&] { records.restart(); };
    return facts ? ex::read_facts(reply, kTerminated, doc, accept, restart)
                 : ex::read_claims(reply, kTerminated, doc, accept, restart);
}

PyObject* parse_extraction_output(PyObject* m, PyObject* const* args) {
    PyObject* response = args[0];
    if (!kl::py::check_str("parse_extraction_output", "response", response)) return nullptr;
    kl::json::Document doc;
    Records records(m, true);
    ex::Outcome e = read(response, records, true, doc);
    switch (e.failure) {
        case ex::Failure::None: return records.finish();
        case ex::Failure::Stopped: return nullptr;
        case ex::Failure::Undecodable:
            return warn(m, "extract_facts: failed to parse LLM response as JSON",
                        "response_preview", preview_of(response));
        case ex::Failure::NotObject:
            return warn(m, "extract_facts: LLM response is not a JSON object", "type",
                        PyUnicode_FromString(e.type_name));
        case ex::Failure::NotList:
            return warn(m, "extract_facts: 'facts' field is not a list", "type",
                        PyUnicode_FromString(e.type_name));
    }
    return nullptr;  // not reached
}

PyObject* parse_claim_extraction_output(PyObject* m, PyObject* const* args) {
    PyObject* response = args[0];
    if (!kl::py::check_str("parse_claim_extraction_output", "response", response))
        return nullptr;
    kl::json::Document doc;
    Records records(m, false);
    ex::Outcome e = read(response, records, false, doc);
    switch (e.failure) {
        case ex::Failure::None: return records.finish();
        case ex::Failure::Stopped: return nullptr;
        // Only an undecodable reply is worth a record here: a wrong shape
        // simply means the draft had no claims to check.
        case ex::Failure::Undecodable:
            return warn(m, "extract_claims: failed to parse LLM response as JSON",
                        "response_preview", preview_of(response));
        case ex::Failure::NotObject:
        case ex::Failure::NotList: return PyList_New(0);
    }
    return nullptr;  // not reached
}

// ---- Table ---------------------------------------------------------------

constexpr const char* kBuildExtractionDoc =
    "build_extraction_prompt(memory_content, max_facts, role='user')\n--\n\n"
    "Render the fact-extraction prompt pair (system prompt, messages).\n\n"
    "The memory is inserted trimmed and otherwise verbatim (never rescanned for "
    "placeholders), ``role`` as given (it lets the model resolve pronouns) and "
    "``max_facts`` in decimal (any number, truncated toward zero).  The message list is "
    "``[{'role': 'user', 'content': 'Extract facts.'}]`` whatever ``role`` is.\n\n"
    "Raises TypeError for arguments of the wrong kind.";

constexpr const char* kParseExtractionDoc =
    "parse_extraction_output(response)\n--\n\n"
    "Read the model's reply to the fact-extraction prompt.\n\n"
    "After the reply is trimmed and un-fenced and decoded as JSON, returns one "
    "``{'subject', 'attribute', 'value', 'confidence'}`` record per usable entry of the "
    "``facts`` array, in reply order: three non-blank strings (trimmed) and a numeric or "
    "boolean confidence, as a float, within [0.5, 1.0] (NaN and integers beyond the "
    "float range are dropped).  No cap, no de-duplication.\n\n"
    "Never raises for a reply: an undecodable reply, a non-object reply or a ``facts`` "
    "that is not an array logs one warning and returns []; malformed entries are "
    "skipped.  Raises TypeError when ``response`` is not a str.";

constexpr const char* kBuildClaimDoc =
    "build_claim_extraction_prompt(output, max_claims)\n--\n\n"
    "Render the claim-extraction prompt pair for a draft answer.\n\n"
    "The draft is inserted trimmed and otherwise verbatim, ``max_claims`` in decimal "
    "(any number, truncated toward zero).  The message list is ``[{'role': 'user', "
    "'content': 'Extract claims.'}]``.\n\n"
    "Raises TypeError for arguments of the wrong kind.";

constexpr const char* kParseClaimDoc =
    "parse_claim_extraction_output(response)\n--\n\n"
    "Read the model's reply to the claim-extraction prompt.\n\n"
    "Returns one ``{'subject', 'attribute', 'value'}`` record (trimmed, non-blank "
    "strings) per usable entry of the ``claims`` array, in reply order; any other member "
    "of an entry, ``confidence`` included, is ignored.\n\n"
    "Never raises for a reply: an undecodable reply logs one warning and returns []; a "
    "non-object reply or a ``claims`` that is not an array returns [] silently.  Raises "
    "TypeError when ``response`` is not a str.";

constexpr kl::py::Function kFunctions[] = {
    {"build_extraction_prompt", {"memory_content", "max_facts", "role"}, 2, kBuildExtractionDoc,
     &build_extraction_prompt},
    {"parse_extraction_output", {"response"}, 1, kParseExtractionDoc, &parse_extraction_output},
    {"build_claim_extraction_prompt", {"output", "max_claims"}, 2, kBuildClaimDoc,
     &build_claim_extraction_prompt},
    {"parse_claim_extraction_output", {"response"}, 1, kParseClaimDoc,
     &parse_claim_extraction_output},
};

int exec(PyObject* m) {
    using kl::py::intern;
    using kl::py::keep;
    if (!ex::extraction_template().valid() || !ex::claim_template().valid()) {
        PyErr_SetString(PyExc_SystemError, "extraction: malformed prompt template");
        return -1;
    }
    bool ok =
        keep(m, kKeySubject, intern("subject")) && keep(m, kKeyAttribute, intern("attribute")) &&
        keep(m, kKeyValue, intern("value")) && keep(m, kKeyConfidence, intern("confidence")) &&
        keep(m, kKeyRole, intern("role")) && keep(m, kKeyContent, intern("content")) &&
        keep(m, kUser, intern("user")) &&
        keep(m, kFactsMessage, kl::py::str_from_utf8(ex::kExtractionUser)) &&
        keep(m, kClaimsMessage, kl::py::str_from_utf8(ex::kClaimExtractionUser)) &&
        keep(m, kLogger, kl::py::get_logger("kelvane_layer._internal.extraction")) &&
        kl::py::add(m, "_EXTRACTION_SYSTEM", kl::py::str_from_utf8(ex::kExtractionSystem)) &&
        kl::py::add(m, "_CLAIM_EXTRACTION_SYSTEM",
                    kl::py::str_from_utf8(ex::kClaimExtractionSystem)) &&
        kl::py::set_all(m, {"build_extraction_prompt", "parse_extraction_output",
                            "build_claim_extraction_prompt", "parse_claim_extraction_output"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Fact and claim extraction: prompts that ask the model for atomic (subject, attribute, "
    "value) triples -- facts from a stored memory, claims from a draft answer -- and the "
    "parsers of its replies.\n\n"
    "A reply the parsers cannot use is reported as one WARNING record on the logger "
    "'kelvane_layer._internal.extraction' (field 'response_preview' or 'type' in the "
    "record's extra) and yields an empty list; malformed entries are dropped silently.";

PyModuleDef kModule = kl::py::module_def<kSlotCount>(
    "kelvane_layer._internal.extraction", kDoc, kl::py::methods<kFunctions>(), kSlots);

}  // namespace

PyMODINIT_FUNC PyInit_extraction() { return PyModuleDef_Init(&kModule); }
