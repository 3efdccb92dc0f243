// Decoding of JSON replies into a compact, read-only document.
//
// The reply parsers look at a few members of a decoded reply only, so the
// whole document is a flat array of small nodes; callers turn into host
// values only what they return.  A reply is read where it lies, in its host
// str's own storage (one, two or four bytes a code point): every character
// of JSON's structure is ASCII at any width, so the reader is written once
// over the unit type and never converts the reply.  Strings without escapes
// and number tokens are referred to where they stand in the reply; only
// strings with escapes are written out, decoded, into a side buffer of whole
// code points.
//
// The decoder reads RFC 8259 JSON with these particulars, which are those of
// the host's own json module:
//   * the literals NaN, Infinity and -Infinity are accepted as floating-point
//     numbers (no other spelling: Inf, -Inf, -NaN, nan fail);
//   * any number of the JSON grammar decodes, whatever its digit count or
//     exponent; a number without fraction and exponent is an integer, any
//     other a floating-point number -- told apart by the token's syntax.  The
//     token is kept, so an integer keeps its exact value;
//   * a raw control character (U+0000..U+001F) inside a string fails;
//   * an escaped surrogate pair is combined; any other escaped surrogate
//     (high or low, in any order) is kept as the code point it names, and so
//     is a raw lone surrogate of the reply;
//   * when an object repeats a key, lookups see the last value;
//   * anything but JSON whitespace after the value fails;
//   * nesting depth is unlimited (the reader is iterative and keeps the chain
//     of open containers inside the nodes), time and memory are linear in the
//     length of the text.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "kl/function_ref.hpp"
#include "kl/text.hpp"

namespace kl::json {

enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Array, Object };

// A decoded string: code points in the reply's storage, or in the side
// buffer for a string with escapes.  `ascii` and `maxchar` are set when the
// document knows them (see AnyText); a writer finds out otherwise.
using Str = AnyText;

// The string without the system's whitespace (kl::is_space) at both ends.
// Always inlined: the readers call it on a string just read, and an
// out-of-line call passes that struct in memory, copied with wide loads that
// stall on the narrow stores that just built it.
Str trim_slow(Str s) noexcept;
[[gnu::always_inline]] inline Str trim(Str s) noexcept {
    // Most strings need nothing: at both ends a character that is not
    // whitespace, in the ranges where text in any script mostly lies
    // (printable ASCII, U+00A1..U+167F, above U+3000), with no whitespace
    // code point among them.
    auto keeps = [](char32_t c) {
        return c - 0x21u < 0x5Fu || c - 0xA1u < 0x1680u - 0xA1u || c > 0x3000u;
    };
    if (s.size != 0) {
        if (s.width == 1) {
            const U1* u = static_cast<const U1*>(s.data);
            if (keeps(u[0]) && keeps(u[s.size - 1])) return s;
        } else if (s.width == 2) {
            const U2* u = static_cast<const U2*>(s.data);
            if (keeps(u[0]) && keeps(u[s.size - 1])) return s;
        } else {
            const U4* u = static_cast<const U4*>(s.data);
            if (keeps(u[0]) && keeps(u[s.size - 1])) return s;
        }
    }
    return trim_slow(s);
}

class Document;

// A member name fixed when the reader is compiled (ASCII, as every name a
// reply parser looks up is).
template <std::size_t N>
struct Key {
    char name[N];  // with the literal's closing zero
    constexpr Key(const char (&s)[N]) noexcept {  // NOLINT: made from a literal
        for (std::size_t i = 0; i < N; ++i) name[i] = s[i];
    }
    static constexpr std::size_t size = N - 1;
    constexpr std::string_view view() const noexcept { return {name, N - 1}; }
    // A name is compared byte for byte with code points: it must be ASCII.
    constexpr bool ascii() const noexcept {
        for (std::size_t i = 0; i < N - 1; ++i)
            if (static_cast<unsigned char>(name[i]) > 0x7F) return false;
        return true;
    }
    // The number a native load of W's width gives for the name's bytes from
    // `at` on.
    template <class W>
    constexpr W word(std::size_t at) const noexcept {
        W w = 0;
        for (std::size_t j = 0; j < sizeof(W); ++j) {
            const W byte = static_cast<unsigned char>(name[at + j]);
            w |= byte << (8 * (std::endian::native == std::endian::little ? j
                                                                          : sizeof(W) - 1 - j));
        }
        return w;
    }
};

// A handle to one node of a Document (or to nothing: an absent member).
// Valid as long as its Document lives and is not parsed again.
class Value {
public:
    Value() = default;

    bool present() const noexcept { return doc_ != nullptr; }
    inline Kind kind() const noexcept;  // Null for an absent value
    bool is(Kind k) const noexcept { return present() && kind() == k; }

    // The host's name for the kind: "dict", "list", "str", "int", "float",
    // "bool", "NoneType".
    const char* kind_name() const noexcept;

    inline bool boolean() const noexcept;         // Bool only
    inline Str string() const noexcept;           // String only (escapes resolved)

    // The number as a double, as the host's float() of the decoded number
    // gives it: a Float correctly rounded from its token (NaN and the
    // infinities included, magnitudes beyond the range as +-inf or +-0.0);
    // an Int as the nearest double.  Returns false for an Int too large for
    // any finite double (the host's float() raises OverflowError there; the
    // caller decides what that means) and for a value that is not a number.
    // Throws only std::bad_alloc (a token of a wide reply longer than any
    // number needs is narrowed on the heap).
    bool to_double(double& out) const;

    // Object member by key; absent when there is none or this is not an
    // object.  With repeated keys the last one wins.
    Value get(std::string_view key) const noexcept;

    // The values of several members, found in one pass over an object:
    // out[k] is the value of the last member named by the k-th key, absent
    // when there is none or this is not an object.  The names are template
    // arguments, so that each compiles into a length test and a few word
    // comparisons against constants:  v.pick<"text", "source">(out).
    template <Key... Keys>
    inline void pick(Value (&out)[sizeof...(Keys)]) const noexcept;

private:
    friend class Document;
    friend struct Builder;
    Value(const Document* d, std::uint32_t i) : doc_(d), index_(i) {}
    const Document* doc_ = nullptr;
    std::uint32_t index_ = 0;
};

class Document {
public:
    Document() = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // Cleans a reply as a JSON reply (kl::clean_json_reply) and decodes what
    // remains, in the reply's own storage.  `terminated` says a zero unit
    // follows the reply's last code point in memory (every host str has
    // one): the reply is then read in place, and must outlive the document;
    // otherwise the cleaned reply is copied first.  Returns false on any
    // failure (the document is then empty); never throws except
    // std::bad_alloc.
    //
    // The reply's long array is read through a window.  The elements of every
    // array that is the value of a member named `member` of the top-level
    // object go to `element` one by one, each as soon as it is complete,
    // and its nodes are dropped after it: the array then reads as empty,
    // and a reply of any length keeps only one element's nodes at a time,
    // in memory the processor still has at hand.  `restart` is called at
    // each member of that name, before its value: a later one replaces an
    // earlier one (lookups see the last value of a repeated key), so the
    // caller drops what it made of the elements so far.  Whether the reply
    // decodes is known only at its end: the caller keeps what it made until
    // parse_reply has returned true.  `element` returning false stops the
    // decoding (parse_reply then returns false and stopped() says why).
    // An element's Value, its strings included, is valid only until
    // `element` returns: the next element is written over it.
    struct Streamed {
        std::string_view member;
        FunctionRef<bool(Value)> element;
        FunctionRef<void()> restart;
    };
    bool parse_reply(const AnyText& reply, bool terminated, const Streamed& streamed);
    // Whether the last parse_reply was stopped by `element`.
    bool stopped() const noexcept { return stopped_; }

    // The decoded value; absent before a successful parse.
    Value root() const noexcept { return count_ ? Value(this, 0) : Value(); }

    // Node storage, exposed to the builder in json.cpp.  Nodes live in three
    // parallel arrays (9 bytes a node):
    //   tag:  the Kind in the low three bits, then the flags below; a string
    //         with escapes keeps the maxchar class of its decoded code
    //         points in two bits (kClassShift: ASCII, Latin-1, BMP, beyond),
    //         which is also its width in the side buffer (1, 1, 2, 4 bytes);
    //   a:    String/Int/Float: offset in code points in the reply; a string
    //         with escapes: offset in four-byte words of the side buffer;
    //         Array/Object: while open, the index of the enclosing open
    //         container (kNone at the top); once closed, the index just past
    //         its last descendant;
    //   b:    String/Int/Float: length in code points.
    enum : std::uint8_t { kTrue = 8, kDecoded = 16, kClassShift = 5 };
    // A node's tag byte.  Its own type, not a character type: a store of a
    // character type may alias anything, and the builder would read its
    // pointers back from memory after every tag it writes.
    enum class Tag : std::uint8_t {};
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

private:
    friend class Value;
    friend struct Builder;
    template <class C>
    bool parse_units(const C* text, std::size_t n, const Streamed& streamed);
    void clear() noexcept { count_ = 0; }

    inline Kind kind_at(std::uint32_t i) const noexcept {
        return static_cast<Kind>(tag_bits(i) & 7);
    }
    inline std::uint32_t skip(std::uint32_t i) const noexcept {
        Kind k = kind_at(i);
        return (k == Kind::Array || k == Kind::Object) ? a_[i] : i + 1;
    }
    inline std::uint8_t tag_bits(std::uint32_t i) const noexcept {
        return static_cast<std::uint8_t>(tag_[i]);
    }
    inline Str str_at(std::uint32_t i) const noexcept {
        if (tag_bits(i) & kDecoded) {
            static constexpr char32_t kClass[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
            static constexpr unsigned char kWidth[] = {1, 1, 2, 4};
            unsigned cls = (tag_bits(i) >> kClassShift) & 3;
            return {decoded_ + a_[i], b_[i], kWidth[cls], cls == 0, kClass[cls]};
        }
        return {static_cast<const char*>(text_) + std::size_t{a_[i]} * width_, b_[i], width_,
                ascii_, ascii_ ? char32_t{0x7F} : char32_t{0}};
    }
    // Which of Keys the string node i is, or -1: in a one-byte reply a key
    // without escapes is compared as bytes.
    template <Key... Keys>
    inline int key_at(std::uint32_t i) const noexcept;

    std::unique_ptr<char[]> own_;  // the cleaned reply, when it could not be read in place
    const void* text_ = nullptr;
    unsigned char width_ = 1;
    bool ascii_ = true;
    // The arrays below are carved from one block: inline_ for a short reply
    // (the common case needs no allocation), else block_.
    alignas(std::uint32_t) char inline_[16 * 1024];
    std::unique_ptr<char[]> block_;
    std::uint32_t* a_ = nullptr;
    std::uint32_t* b_ = nullptr;
    char32_t* decoded_ = nullptr;
    Tag* tag_ = nullptr;
    std::uint32_t count_ = 0;
    bool stopped_ = false;
};

// How a reply whose array was read through a window turned out.  The
// elements handed on stand only with Failure::None.  Stopped: `element`
// returned false.  type_name: the kind name of the reply (NotObject) or of
// its last member of the array's name (NotList).
enum class Failure { None, Undecodable, NotObject, NotList, Stopped };
struct Outcome {
    Failure failure = Failure::None;
    const char* type_name = nullptr;
};

// Cleans and decodes `reply` into `doc` (see Document::parse_reply),
// handing on the elements of streamed.member's array as they are read, and
// checks the reply's shape: an object whose last member of that name, if it
// has one, is an array.
Outcome read_array_reply(Document& doc, const AnyText& reply, bool terminated,
                         const Document::Streamed& streamed);

// The accessors the reply parsers call once per node are defined here so
// that they inline into the walking loops.

inline Kind Value::kind() const noexcept { return doc_ ? doc_->kind_at(index_) : Kind::Null; }

inline bool Value::boolean() const noexcept {
    return is(Kind::Bool) && (doc_->tag_bits(index_) & Document::kTrue);
}

inline Str Value::string() const noexcept {
    if (!is(Kind::String)) return {};
    return doc_->str_at(index_);
}

// The name K's bytes from At on, as a native load of W gives them: a
// constant, whatever the optimiser makes of the loop that computes it.
template <Key K, class W, std::size_t At>
inline constexpr W kNameWord = K.template word<W>(At);

// Whether the K.size bytes at p are the name K: for a name of four bytes or
// more, two or more word loads, each compared with a constant; a shorter
// name byte by byte.  Every load lies within the K.size bytes.
template <Key K>
inline bool is_name(const char* p) noexcept {
    constexpr std::size_t n = K.size;
    auto load = [p]<class W>(W, std::size_t at) {
        W v;
        std::memcpy(&v, p + at, sizeof v);
        return v;
    };
    if constexpr (n < 4) {
        for (std::size_t i = 0; i < n; ++i)
            if (p[i] != K.name[i]) return false;
        return true;
    } else if constexpr (n <= 8) {
        using W = std::uint32_t;
        return ((load(W{}, 0) ^ kNameWord<K, W, 0>) | (load(W{}, n - 4) ^ kNameWord<K, W, n - 4>)) ==
               0;
    } else {
        // Whole words from the start, then the last eight bytes (which may
        // overlap the words before them).
        using W = std::uint64_t;
        return [&]<std::size_t... J>(std::index_sequence<J...>) {
            return ((load(W{}, n - 8) ^ kNameWord<K, W, n - 8>) | ... |
                    (load(W{}, 8 * J) ^ kNameWord<K, W, 8 * J>)) == 0;
        }(std::make_index_sequence<(n - 1) / 8>{});
    }
}

template <Key... Keys>
inline int Document::key_at(std::uint32_t i) const noexcept {
    static_assert((Keys.ascii() && ...), "member names are ASCII");
    const std::size_t n = b_[i];
    int found = -1;
    int k = 0;
    if (width_ == 1 && !(tag_bits(i) & kDecoded)) {
        const char* p = static_cast<const char*>(text_) + a_[i];
        // The lengths alone tell most names apart.
        (void)((n == Keys.size && is_name<Keys>(p) ? (found = k, true) : (++k, false)) || ...);
    } else {
        const Str s = str_at(i);
        (void)((n == Keys.size && equals_ascii(s, Keys.view()) ? (found = k, true) : (++k, false)) ||
               ...);
    }
    return found;
}

template <Key... Keys>
inline void Value::pick(Value (&out)[sizeof...(Keys)]) const noexcept {
    for (Value& v : out) v = Value();
    if (!is(Kind::Object)) return;
    const Document& d = *doc_;
    for (std::uint32_t i = index_ + 1, stop = d.a_[index_]; i < stop; i = d.skip(i + 1)) {
        // i: key node (a string leaf); i + 1: its value.
        const int k = d.key_at<Keys...>(i);
        if (k >= 0) out[k] = Value(doc_, i + 1);
    }
}

}  // namespace kl::json
