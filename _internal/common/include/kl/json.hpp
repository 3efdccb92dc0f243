// Decoding of JSON replies into a compact, read-only document.
//
// The reply parsers only look at a few members of a decoded reply, so the
// whole document lives in two flat arrays (nodes and the code points of all
// strings and number tokens) instead of one host object per node; callers
// turn into host values only what they return.
//
// The decoder reads RFC 8259 JSON with these particulars:
//   * the literals NaN, Infinity and -Infinity are accepted as floating-point
//     numbers (no other spelling: Inf, -Inf, -NaN, nan fail);
//   * a number without fraction and exponent is an integer, any other number
//     is a floating-point number -- told apart by the token's syntax, whatever
//     its size;
//   * a raw control character (U+0000..U+001F) inside a string fails;
//   * when an object repeats a key, lookups see the last value;
//   * anything but JSON whitespace (space, tab, LF, CR) after the value fails;
//   * nesting depth is unlimited (the reader is iterative), time and memory
//     are linear in the length of the text;
//   * strings keep every code point, lone surrogates included; an escaped
//     surrogate pair is combined, an escaped unpaired high surrogate fails;
//   * numbers beyond the double range may fail (positive exponents above 308,
//     integer parts above about 1.8e308).
#pragma once

#include <cstdint>
#include <vector>

#include "kl/text.hpp"

namespace kl::json {

enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Array, Object };

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

    bool boolean() const noexcept;  // Bool only
    inline TextView string() const noexcept;  // String only (decoded, escapes resolved)
    TextView number_token() const noexcept;  // Int/Float: the raw token

    // The number as a double: a Float as the correctly rounded value of its
    // token (NaN and the infinities included, magnitudes beyond the range as
    // +-inf or +-0.0); an Int as the nearest double.  Returns false for an Int
    // too large for any finite double (the caller decides what that means) and
    // for a value that is not a number.
    bool to_double(double& out) const;

    // Object member by key; absent when there is none or this is not an
    // object.  With repeated keys the last one wins.
    Value get(TextView key) const noexcept;

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

    // Members of an object (nothing for any other kind) in document order;
    // a repeated key appears each time, so a reader that keeps the last
    // occurrence agrees with get().
    Members members() const noexcept;

private:
    friend class Document;
    friend class MemberIterator;
    Value(const Document* d, std::uint32_t i) : doc_(d), index_(i) {}
    const Document* doc_ = nullptr;
    std::uint32_t index_ = 0;
};

struct Member {
    TextView key;
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
    // Decodes `text` as exactly one JSON value.  Returns false on any failure
    // (the document is then empty); never throws except std::bad_alloc.
    bool parse(TextView text);

    // The same for text[offset, offset + length), decoded in place: the
    // document takes `text`'s buffer over and hands back its previous one,
    // so a caller that keeps both (see Workspace) reuses their memory.
    bool parse_buffer(Text& text, std::size_t offset, std::size_t length);

    // Frees the buffers when they have grown beyond `max_chars` code points.
    void trim_capacity(std::size_t max_chars);

    // The decoded value; absent before a successful parse.
    Value root() const noexcept { return nodes_.empty() ? Value() : Value(this, 0); }

    // Node layout, exposed to the builder in json.cpp.
    struct Node {
        Kind kind;
        bool flag;          // Bool: the value
        std::uint32_t a;    // String/Int/Float: offset in chars_
        std::uint32_t b;    // String/Int/Float: length; Array/Object: index past the last descendant
    };

private:
    friend class Value;
    friend class MemberIterator;
    friend struct Builder;
    bool parse_own(std::size_t offset, std::size_t length);
    std::vector<Node> nodes_;
    Text chars_;
};

// The accessors the reply parsers call once per node are defined here so
// that they inline into the walking loops.

inline Kind Value::kind() const noexcept { return doc_ ? doc_->nodes_[index_].kind : Kind::Null; }

inline TextView Value::string() const noexcept {
    if (!doc_) return {};
    const Document::Node& n = doc_->nodes_[index_];
    if (n.kind != Kind::String) return {};
    return TextView(doc_->chars_).substr(n.a, n.b);
}

inline Value::Iterator& Value::Iterator::operator++() noexcept {
    const Document::Node& n = doc_->nodes_[index_];
    index_ = (n.kind == Kind::Array || n.kind == Kind::Object) ? n.b : index_ + 1;
    return *this;
}

inline Member MemberIterator::operator*() const noexcept {
    const Document::Node& k = doc_->nodes_[index_];
    return {TextView(doc_->chars_.data() + k.a, k.b), Value(doc_, index_ + 1)};
}

inline MemberIterator& MemberIterator::operator++() noexcept {
    const Document::Node& v = doc_->nodes_[index_ + 1];
    index_ = (v.kind == Kind::Array || v.kind == Kind::Object) ? v.b : index_ + 2;
    return *this;
}

// Scratch space for decoding one reply: the raw reply's code points and the
// document.  Large replies would otherwise pay for fresh pages on every call,
// so each thread keeps one workspace whose buffers survive between calls
// (up to a cap).  A lease takes the thread's workspace, or a private one when
// it is already in use further up the stack (a finaliser run by the host
// while results are built may call a parser again).
struct Workspace {
    Text reply;
    Document doc;
};

// Cleans the reply held in ws.reply as a JSON reply (trim, fence, json tag)
// and decodes what remains into ws.doc; ws.reply is consumed.
bool decode_reply(Workspace& ws);

class WorkspaceLease {
public:
    WorkspaceLease();
    ~WorkspaceLease();
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;

    Workspace& operator*() const noexcept { return *ws_; }
    Workspace* operator->() const noexcept { return ws_; }

private:
    Workspace* ws_;
    bool shared_;
};

}  // namespace kl::json
