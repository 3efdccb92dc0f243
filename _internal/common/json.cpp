#include "kl/json.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "kl/reply.hpp"

#include <rapidjson/encodings.h>
#include <rapidjson/reader.h>

namespace kl::json {

namespace {

using Enc = rapidjson::UTF32<char32_t>;
using Char32 = char32_t;

// A stream over the document's own copy of the text, read in situ: the
// reader writes each decoded string back over its source (a decoded string is
// never longer than its source) and hands over number tokens where they
// stand, so strings and tokens need no second copy.  (Copying number tokens
// through the reader's stack is also unsafe for 32-bit targets: it widens
// them in place over the characters it is still reading.)
//
// Like the reader's own string streams it relies on a '\0' after the text
// (parse_own() writes one) and never reads past it.  An embedded U+0000
// therefore ends the input early; parse_own() catches that by checking that
// the whole text was consumed.
struct Stream {
    using Ch = char32_t;
    Ch* begin;
    Ch* cur;
    Ch* dst = nullptr;

    Ch Peek() const { return *cur; }
    Ch Take() { return *cur++; }
    std::size_t Tell() const { return static_cast<std::size_t>(cur - begin); }
    Ch* PutBegin() { return dst = cur; }
    void Put(Ch c) { *dst++ = c; }
    void Flush() {}
    std::size_t PutEnd(Ch* b) { return static_cast<std::size_t>(dst - b); }
};

}  // namespace
}  // namespace kl::json

// The reader works on a local copy of a copy-optimised stream; in situ
// number tokens are only located correctly that way.
template <>
struct rapidjson::StreamTraits<kl::json::Stream> {
    enum { copyOptimization = 1 };
};

// The reader asks this hook to skip a run of ordinary string characters
// before it looks at each special one; its generic version does nothing, so
// without it every character would take the reader's slow path.  Reading in
// situ, the run is moved down only once an escape has shortened the string.
template <>
template <>
inline void
rapidjson::GenericReader<rapidjson::UTF32<char32_t>, rapidjson::UTF32<char32_t>,
                         rapidjson::CrtAllocator>::ScanCopyUnescapedString(kl::json::Stream& is,
                                                                           kl::json::Stream& os) {
    // Ordinary: not a quote, not a backslash, not a control character (the
    // end marker '\0' included).
    auto ordinary = [](char32_t c) { return c >= 0x20 && c != U'"' && c != U'\\'; };
    char32_t* p = is.cur;
    char32_t* q = os.dst;
    if (p == q) {
        while (ordinary(*p)) ++p;
        q = p;
    } else {
        while (ordinary(*p)) *q++ = *p++;
    }
    is.cur = p;
    os.dst = q;
}

namespace kl::json {
namespace {

constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag |
                            rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseInsituFlag;

bool is_digit(char32_t c) noexcept { return c >= U'0' && c <= U'9'; }

}  // namespace

// Receives the reader's events and appends nodes in document order: a
// container node is followed by its descendants (for an object, each member
// as a key node then its value) and records the index just past them.
struct Builder {
    using Ch = char32_t;
    using SizeType = rapidjson::SizeType;

    Document& d;
    std::vector<std::uint32_t> open;  // indices of unfinished containers

    void leaf(Kind k, bool flag, std::uint32_t a, std::uint32_t b) {
        d.nodes_.push_back({k, flag, a, b});
    }
    // Strings and tokens already lie in the document's buffer.
    std::uint32_t offset_of(const Ch* s) const {
        return static_cast<std::uint32_t>(s - d.chars_.data());
    }

    bool Null() { return leaf(Kind::Null, false, 0, 0), true; }
    bool Bool(bool b) { return leaf(Kind::Bool, b, 0, 0), true; }
    // Numbers arrive as raw tokens only (kParseNumbersAsStringsFlag).
    bool Int(int) { return false; }
    bool Uint(unsigned) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }

    bool RawNumber(const Ch* s, SizeType n, bool) {
        TextView tok(s, n);
        Kind k = Kind::Int;
        std::size_t lead = (n > 0 && s[0] == U'-') ? 1 : 0;
        if (n > lead && !is_digit(s[lead])) {
            // The reader also takes Inf, -Inf and -NaN; only these three
            // spellings are JSON's customary extensions.
            if (tok != U"NaN" && tok != U"Infinity" && tok != U"-Infinity") return false;
            k = Kind::Float;
        } else if (tok.find_first_of(U".eE") != TextView::npos) {
            k = Kind::Float;
        }
        std::uint32_t off = offset_of(s);
        leaf(k, false, off, n);
        return true;
    }
    bool String(const Ch* s, SizeType n, bool) {
        std::uint32_t off = offset_of(s);
        leaf(Kind::String, false, off, n);
        return true;
    }
    bool Key(const Ch* s, SizeType n, bool copy) { return String(s, n, copy); }

    bool StartObject() { return start(Kind::Object); }
    bool StartArray() { return start(Kind::Array); }
    bool EndObject(SizeType) { return finish(); }
    bool EndArray(SizeType) { return finish(); }

    bool start(Kind k) {
        open.push_back(static_cast<std::uint32_t>(d.nodes_.size()));
        leaf(k, false, 0, 0);
        return true;
    }
    bool finish() {
        d.nodes_[open.back()].b = static_cast<std::uint32_t>(d.nodes_.size());
        open.pop_back();
        return true;
    }
};

bool Document::parse(TextView text) {
    chars_.assign(text);
    return parse_own(0, chars_.size());
}

bool Document::parse_buffer(Text& text, std::size_t offset, std::size_t length) {
    chars_.swap(text);
    return parse_own(offset, length);
}

bool Document::parse_own(std::size_t offset, std::size_t length) {
    nodes_.clear();
    // Offsets are 32-bit (as are the reader's own lengths); a reply of four
    // billion code points is not one a parser can use anyway.
    if (chars_.size() >= std::numeric_limits<std::uint32_t>::max()) return false;

    Char32* base = chars_.data();
    // The end marker: past the cleaned text lie only the trimmed characters
    // (or the string's own terminator), which the decoder never needs.
    base[offset + length] = 0;
    Stream in{base + offset, base + offset};
    Builder b{*this, {}};
    rapidjson::GenericReader<Enc, Enc> reader;
    rapidjson::ParseResult r = reader.Parse<kFlags>(in, b);
    if (r.IsError() || in.Tell() != length || nodes_.empty()) {
        nodes_.clear();
        return false;
    }
    return true;
}

void Document::trim_capacity(std::size_t max_chars) {
    if (chars_.capacity() > max_chars) Text().swap(chars_);
    if (nodes_.capacity() > max_chars) std::vector<Node>().swap(nodes_);
}

bool decode_reply(Workspace& ws) {
    TextView cleaned = clean_json_reply(ws.reply);
    if (cleaned.empty()) return false;  // nothing is not a JSON value
    auto offset = static_cast<std::size_t>(cleaned.data() - ws.reply.data());
    return ws.doc.parse_buffer(ws.reply, offset, cleaned.size());
}

namespace {

constexpr std::size_t kKeptChars = std::size_t{1} << 22;  // 16 MB of code points

thread_local Workspace t_workspace;
thread_local bool t_workspace_busy = false;

}  // namespace

WorkspaceLease::WorkspaceLease() : ws_(&t_workspace), shared_(!t_workspace_busy) {
    if (shared_)
        t_workspace_busy = true;
    else
        ws_ = new Workspace();
}

WorkspaceLease::~WorkspaceLease() {
    if (!shared_) {
        delete ws_;
        return;
    }
    if (ws_->reply.capacity() > kKeptChars) Text().swap(ws_->reply);
    ws_->doc.trim_capacity(kKeptChars);
    t_workspace_busy = false;
}

// ---- Value -------------------------------------------------------------

const char* Value::kind_name() const noexcept {
    switch (kind()) {
        case Kind::Null: return "NoneType";
        case Kind::Bool: return "bool";
        case Kind::Int: return "int";
        case Kind::Float: return "float";
        case Kind::String: return "str";
        case Kind::Array: return "list";
        case Kind::Object: return "dict";
    }
    return "NoneType";
}

bool Value::boolean() const noexcept { return doc_ && doc_->nodes_[index_].flag; }

TextView Value::number_token() const noexcept {
    if (!doc_) return {};
    const Document::Node& n = doc_->nodes_[index_];
    if (n.kind != Kind::Int && n.kind != Kind::Float) return {};
    return TextView(doc_->chars_).substr(n.a, n.b);
}

namespace {

// Decimal exponent of the leading non-zero digit of a finite, non-zero
// number token (1.5e3 -> 3, 0.02 -> -2), saturated far beyond the double
// range.  Used only to tell overflow from underflow.
long long scientific_exponent(std::string_view t) {
    std::size_t i = (!t.empty() && t[0] == '-') ? 1 : 0;
    std::size_t int_begin = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    long long lead = 0;
    bool found = false;
    for (std::size_t k = int_begin; k < i && !found; ++k)
        if (t[k] != '0') lead = static_cast<long long>(i - 1 - k), found = true;
    if (i < t.size() && t[i] == '.') {
        ++i;
        std::size_t frac_begin = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            if (!found && t[i] != '0')
                lead = -static_cast<long long>(i - frac_begin + 1), found = true;
            ++i;
        }
    }
    long long exp = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool neg = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
        for (; i < t.size(); ++i)
            if (exp < 1'000'000'000) exp = exp * 10 + (t[i] - '0');
        if (neg) exp = -exp;
    }
    return lead + exp;
}

}  // namespace

bool Value::to_double(double& out) const {
    Kind k = kind();
    if (k != Kind::Int && k != Kind::Float) return false;
    TextView tok = number_token();
    if (k == Kind::Float && !tok.empty() && !is_digit(tok[0]) && !(tok.size() > 1 && is_digit(tok[1]))) {
        // NaN, Infinity, -Infinity (the only spellings the builder keeps).
        if (tok == U"NaN")
            out = std::numeric_limits<double>::quiet_NaN();
        else
            out = tok[0] == U'-' ? -std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::infinity();
        return true;
    }
    // Number tokens are ASCII; narrow them for from_chars (locale-free and
    // correctly rounded, as the host's float() is).
    char small[64];
    std::string large;
    char* buf = small;
    if (tok.size() > sizeof small) {
        large.resize(tok.size());
        buf = large.data();
    }
    for (std::size_t i = 0; i < tok.size(); ++i) buf[i] = static_cast<char>(tok[i]);
    std::string_view ascii(buf, tok.size());
    double v = 0.0;
    auto res = std::from_chars(ascii.data(), ascii.data() + ascii.size(), v);
    if (res.ec == std::errc::result_out_of_range) {
        bool neg = ascii[0] == '-';
        if (k == Kind::Int) return false;  // no finite double is near it
        bool overflow = scientific_exponent(ascii) >= 0;
        v = overflow ? std::numeric_limits<double>::infinity() : 0.0;
        if (neg) v = -v;
    } else if (res.ec != std::errc() || res.ptr != ascii.data() + ascii.size()) {
        return false;  // cannot happen for a token the reader accepted
    }
    out = v;
    return true;
}

Value Value::get(TextView key) const noexcept {
    if (!is(Kind::Object)) return {};
    const auto& nodes = doc_->nodes_;
    std::uint32_t stop = nodes[index_].b;
    std::uint32_t found = 0;
    bool hit = false;
    std::uint32_t i = index_ + 1;
    while (i < stop) {
        // i: key node (a string leaf); i + 1: its value.
        const Document::Node& kn = nodes[i];
        std::uint32_t v = i + 1;
        if (kn.b == key.size() && TextView(doc_->chars_).substr(kn.a, kn.b) == key) {
            found = v;
            hit = true;
        }
        const Document::Node& vn = nodes[v];
        i = (vn.kind == Kind::Array || vn.kind == Kind::Object) ? vn.b : v + 1;
    }
    return hit ? Value(doc_, found) : Value();
}

Members Value::members() const noexcept {
    if (!is(Kind::Object)) return Members(MemberIterator(doc_, 0), MemberIterator(doc_, 0));
    return Members(MemberIterator(doc_, index_ + 1), MemberIterator(doc_, doc_->nodes_[index_].b));
}

Value::Iterator Value::begin() const noexcept {
    if (!is(Kind::Array)) return Iterator(doc_, 0);
    return Iterator(doc_, index_ + 1);
}

Value::Iterator Value::end() const noexcept {
    if (!is(Kind::Array)) return Iterator(doc_, 0);
    return Iterator(doc_, doc_->nodes_[index_].b);
}

}  // namespace kl::json
