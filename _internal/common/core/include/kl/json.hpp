// Decoding of JSON replies into a compact, read-only document.
//
// The reply parsers look at a few members of a decoded reply only, so the
// whole document is a flat array of small nodes; callers turn into host
// values only what they return.  Text is read as UTF-8 bytes: a reply whose
// host str is ASCII is read where it lies, any other reply is converted to
// UTF-8 once.  Strings without escapes and number tokens are referred to
// where they stand in that text; only strings with escapes are written out,
// decoded, into a side buffer.
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

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "kl/text.hpp"

namespace kl::json {

enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Array, Object };

// Decoded string bytes: generalised UTF-8 (a lone surrogate as its own
// three-byte form), `ascii` when every byte is below 0x80.
struct Str {
    std::string_view utf8;
    bool ascii = true;
    bool empty() const noexcept { return utf8.empty(); }
};

// The string without the system's whitespace (kl::is_space) at both ends.
Str trim_slow(Str s) noexcept;
inline Str trim(Str s) noexcept {
    // Most strings need nothing: an ASCII byte above the space at both ends.
    auto keeps = [](char c) { return static_cast<unsigned char>(c) - 0x21u < 0x5Fu; };
    if (!s.utf8.empty() && keeps(s.utf8.front()) && keeps(s.utf8.back())) return s;
    return trim_slow(s);
}

class Document;
class Members;

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
    std::string_view number_token() const noexcept;  // Int/Float: the raw token

    // The number as a double, as the host's float() of the decoded number
    // gives it: a Float correctly rounded from its token (NaN and the
    // infinities included, magnitudes beyond the range as +-inf or +-0.0);
    // an Int as the nearest double.  Returns false for an Int too large for
    // any finite double (the host's float() raises OverflowError there; the
    // caller decides what that means) and for a value that is not a number.
    bool to_double(double& out) const noexcept;

    // Object member by key; absent when there is none or this is not an
    // object.  With repeated keys the last one wins.
    Value get(std::string_view key) const noexcept;

    // Elements of an array (nothing for any other kind), in order.
    class Iterator {
    public:
        Value operator*() const noexcept { return Value(doc_, index_); }
        inline Iterator& operator++() noexcept;
        bool operator!=(const Iterator& o) const noexcept { return index_ != o.index_; }

    private:
        friend class Value;
        Iterator(const Document* d, std::uint32_t i) : doc_(d), index_(i) {}
        const Document* doc_;
        std::uint32_t index_;
    };
    Iterator begin() const noexcept;
    Iterator end() const noexcept;
    // Number of elements of an array (0 for any other kind).
    std::size_t size() const noexcept;

    // The values of several members, found in one pass over an object:
    // out[k] is the value of the last member named keys[k], absent when
    // there is none or this is not an object.  Defined here so that a
    // caller's fixed keys compile into direct comparisons.
    template <std::size_t N>
    inline void pick(const std::string_view (&keys)[N], Value (&out)[N]) const noexcept;

    // Members of an object (nothing for any other kind) in document order;
    // a repeated key appears each time, so a reader that keeps the last
    // occurrence agrees with get().
    inline Members members() const noexcept;

private:
    friend class Document;
    friend class MemberIterator;
    Value(const Document* d, std::uint32_t i) : doc_(d), index_(i) {}
    const Document* doc_ = nullptr;
    std::uint32_t index_ = 0;
};

struct Member {
    std::string_view key;  // UTF-8
    Value value;
};

class MemberIterator {
public:
    inline Member operator*() const noexcept;
    inline MemberIterator& operator++() noexcept;
    bool operator!=(const MemberIterator& o) const noexcept { return index_ != o.index_; }

private:
    friend class Value;
    MemberIterator(const Document* d, std::uint32_t i) : doc_(d), index_(i) {}
    const Document* doc_;
    std::uint32_t index_;  // the key node
};

class Members {
public:
    MemberIterator begin() const noexcept { return b_; }
    MemberIterator end() const noexcept { return e_; }

private:
    friend class Value;
    Members(MemberIterator b, MemberIterator e) : b_(b), e_(e) {}
    MemberIterator b_, e_;
};

class Document {
public:
    Document() = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // Decodes UTF-8 `text` as exactly one JSON value (copied first, so the
    // text need not outlive the document).  Returns false on any failure
    // (the document is then empty); never throws except std::bad_alloc.
    bool parse(std::string_view text);

    // Cleans a reply as a JSON reply (kl::clean_json_reply) and decodes what
    // remains.  `terminated` says a zero unit follows the reply's last code
    // point in memory (every host str has one): an ASCII reply is then read
    // in place, and must outlive the document.  Any other reply is converted
    // to UTF-8 once.
    bool parse_reply(const AnyText& reply, bool terminated);

    // The decoded value; absent before a successful parse.
    Value root() const noexcept { return count_ ? Value(this, 0) : Value(); }

    // Node storage, exposed to the builder in json.cpp.  Nodes live in three
    // parallel arrays (9 bytes a node):
    //   tag:  the Kind in the low three bits, then the flags below;
    //   a:    String/Int/Float: offset of the bytes (in the text, or in the
    //         side buffer for a string with escapes);
    //         Array/Object: while open, the index of the enclosing open
    //         container (kNone at the top); once closed, the index just past
    //         its last descendant;
    //   b:    String/Int/Float: length in bytes.
    enum : std::uint8_t { kTrue = 8, kDecoded = 16, kNonAscii = 32 };
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

private:
    friend class Value;
    friend class MemberIterator;
    friend struct Builder;
    bool parse_text(std::string_view text, bool non_ascii);
    void clear() noexcept { count_ = 0; }

    inline Kind kind_at(std::uint32_t i) const noexcept {
        return static_cast<Kind>(tag_[i] & 7);
    }
    inline std::uint32_t skip(std::uint32_t i) const noexcept {
        Kind k = kind_at(i);
        return (k == Kind::Array || k == Kind::Object) ? a_[i] : i + 1;
    }
    inline const char* bytes_at(std::uint32_t i) const noexcept {
        return ((tag_[i] & kDecoded) ? decoded_ : text_) + a_[i];
    }
    inline Str str_at(std::uint32_t i) const noexcept {
        const char* base = (tag_[i] & kDecoded) ? decoded_ : text_;
        return {std::string_view(base + a_[i], b_[i]), (tag_[i] & kNonAscii) == 0};
    }

    std::string own_;            // the text, when it could not be read in place
    const char* text_ = nullptr;
    // The arrays below are carved from one block: inline_ for a short reply
    // (the common case needs no allocation), else block_.
    alignas(std::uint32_t) char inline_[12 * 1024];
    std::unique_ptr<char[]> block_;
    std::size_t block_size_ = 0;
    std::uint32_t* a_ = nullptr;
    std::uint32_t* b_ = nullptr;
    std::uint8_t* tag_ = nullptr;
    char* decoded_ = nullptr;
    std::uint32_t count_ = 0;
};

// The accessors the reply parsers call once per node are defined here so
// that they inline into the walking loops.

inline Kind Value::kind() const noexcept { return doc_ ? doc_->kind_at(index_) : Kind::Null; }

inline bool Value::boolean() const noexcept {
    return is(Kind::Bool) && (doc_->tag_[index_] & Document::kTrue);
}

inline Str Value::string() const noexcept {
    if (!is(Kind::String)) return {};
    return doc_->str_at(index_);
}

inline Value::Iterator& Value::Iterator::operator++() noexcept {
    index_ = doc_->skip(index_);
    return *this;
}

inline Member MemberIterator::operator*() const noexcept {
    return {doc_->str_at(index_).utf8, Value(doc_, index_ + 1)};
}

inline MemberIterator& MemberIterator::operator++() noexcept {
    index_ = doc_->skip(index_ + 1);
    return *this;
}

// Whether n bytes at a and b are equal; keys are short, and a short key is
// compared in at most two overlapping loads a side, without a call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    auto load8 = [](const char* p) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    };
    auto load4 = [](const char* p) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    if (n >= 8) {
        if (n > 16) return std::memcmp(a, b, n) == 0;
        return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
    }
    if (n >= 4) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

template <std::size_t N>
inline void Value::pick(const std::string_view (&keys)[N], Value (&out)[N]) const noexcept {
    for (Value& v : out) v = Value();
    if (!is(Kind::Object)) return;
    const Document& d = *doc_;
    for (std::uint32_t i = index_ + 1, stop = d.a_[index_]; i < stop; i = d.skip(i + 1)) {
        // i: key node (a string leaf); i + 1: its value.
        std::uint32_t n = d.b_[i];
        for (std::size_t k = 0; k < N; ++k) {
            if (n == keys[k].size() && same_bytes(d.bytes_at(i), keys[k].data(), n)) {
                out[k] = Value(doc_, i + 1);
                break;
            }
        }
    }
}

inline Members Value::members() const noexcept {
    if (!is(Kind::Object)) return Members(MemberIterator(doc_, 0), MemberIterator(doc_, 0));
    return Members(MemberIterator(doc_, index_ + 1), MemberIterator(doc_, doc_->a_[index_]));
}

}  // namespace kl::json
