#include "kl/json.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "kl/reply.hpp"
#include "kl/simd.hpp"

#include <fast_float/fast_float.h>
#include <rapidjson/encodings.h>
#include <rapidjson/reader.h>

namespace kl::json {

namespace {

// A stream over UTF-8 bytes that are followed by a zero byte somewhere at or
// after their end.  Like the reader's own string streams it reads up to that
// zero and never past it.  The text handed to the reader may stop before the
// zero (a cleaned reply read in place stops before the trimmed fence and
// whitespace): the reader stops when the value is done, and parse_text()
// accepts only a value that ends exactly where the text does.
struct Stream {
    using Ch = char;
    const char* begin;
    const char* cur;

    Ch Peek() const { return *cur; }
    Ch Take() { return *cur++; }
    std::size_t Tell() const { return static_cast<std::size_t>(cur - begin); }
    // Never written to: strings are decoded by the reader into the builder.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }
};

}  // namespace

// Receives the reader's events and appends nodes in document order: a
// container node is followed by its descendants (for an object, each member
// as a key node then its value).  The arrays are sized for the most nodes a
// text of this length can hold (every node takes at least one byte), so they
// never grow; only the pages actually written cost memory.
struct Builder {
    Document& d;
    const char* base;       // the text the offsets of undecoded strings count from
    const char* end;        // its end (see Stream for what follows it)
    char* out;              // next free byte of the decoded-string buffer
    std::uint32_t top = Document::kNone;  // innermost open container
    bool non_ascii_text;    // the text holds bytes >= 0x80

    std::uint32_t leaf(Kind k, std::uint8_t flags) {
        std::uint32_t i = d.count_++;
        d.tag_[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(k) | flags);
        return i;
    }
    void token(Kind k, const char* s, std::size_t n, std::uint8_t flags) {
        std::uint32_t i = leaf(k, flags);
        d.a_[i] = static_cast<std::uint32_t>(s - base);
        d.b_[i] = static_cast<std::uint32_t>(n);
    }
    bool Null() { return leaf(Kind::Null, 0), true; }
    bool Bool(bool b) { return leaf(Kind::Bool, b ? Document::kTrue : 0), true; }

    // A string as it stands in the text (no escapes).
    void plain_string(const char* s, std::size_t n) {
        token(Kind::String, s, n, non_ascii_text ? Document::kNonAscii : 0);
    }
    // A string decoded into the buffer, from `start` to `out`.
    void decoded_string(char* start, bool non_ascii) {
        std::uint32_t i = leaf(Kind::String, static_cast<std::uint8_t>(
                                                 Document::kDecoded |
                                                 (non_ascii ? Document::kNonAscii : 0)));
        d.a_[i] = static_cast<std::uint32_t>(start - d.decoded_);
        d.b_[i] = static_cast<std::uint32_t>(out - start);
    }

    // Opens a container; the enclosing one is remembered in its own node.
    void open(Kind k) {
        std::uint32_t i = leaf(k, 0);
        d.a_[i] = top;
        top = i;
    }
    // Closes the innermost container; returns false at the top level.
    bool close() {
        std::uint32_t i = top;
        top = d.a_[i];
        d.a_[i] = d.count_;
        return top != Document::kNone;
    }
    bool in_object() const { return d.kind_at(top) == Kind::Object; }

    // The reader's recursive parser is compiled alongside the iterative one
    // but never runs (the iterative parser below replaces it); these events
    // only it would send refuse, should it ever be reached.
    bool StartObject() { return false; }
    bool EndObject(rapidjson::SizeType) { return false; }
    bool StartArray() { return false; }
    bool EndArray(rapidjson::SizeType) { return false; }
};

}  // namespace kl::json

template <>
struct rapidjson::StreamTraits<kl::json::Stream> {
    enum { copyOptimization = 1 };
};

namespace {

using Reader = rapidjson::GenericReader<rapidjson::UTF8<char>, rapidjson::UTF8<char>,
                                        rapidjson::CrtAllocator>;
using kl::json::Builder;
using kl::json::Kind;
using kl::json::Stream;

constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag |
                            rapidjson::kParseStopWhenDoneFlag;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Bytes that end a fast run inside a string: the quote, the backslash,
// control characters (the end marker '\0' among them).
constexpr bool ordinary(char c) noexcept {
    return static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
}

// The first byte at or after p that is not ordinary: sixteen bytes at a
// time while they lie within the text, then byte by byte up to the zero
// after it.
inline const char* skip_ordinary(const char* p, const char* end) noexcept {
#if KL_USE_SSE2
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Bytes below 0x20 are those whose unsigned minimum with 0x1F is
        // themselves.
        __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote),
                                                 _mm_cmpeq_epi8(v, backslash)),
                                    _mm_cmpeq_epi8(_mm_min_epu8(v, below), v));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (mask) return p + __builtin_ctz(mask);
        p += 16;
    }
#else
    (void)end;
#endif
    while (ordinary(*p)) ++p;
    return p;
}

// Writes one code point as (generalised) UTF-8: a surrogate gets its own
// three-byte form, as the host's "surrogatepass" handler writes it.
char* put_utf8(char* o, unsigned cp) noexcept {
    if (cp < 0x80) {
        *o++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *o++ = static_cast<char>(0xC0 | (cp >> 6));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *o++ = static_cast<char>(0xE0 | (cp >> 12));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *o++ = static_cast<char>(0xF0 | (cp >> 18));
        *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return o;
}

}  // namespace

// The whitespace skip between tokens, on the stream's pointer directly.
template <>
inline void rapidjson::SkipWhitespace(Stream& is) {
    const char* p = is.cur;
    // Most tokens follow the previous one directly or after one space.
    if (static_cast<unsigned char>(*p) > ' ') return;
    if (*p == ' ' && static_cast<unsigned char>(p[1]) > ' ') {
        is.cur = p + 1;
        return;
    }
    while (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t') ++p;
    is.cur = p;
}

// Strings.  The reader's own string parser copies every string through its
// stack and refuses an escaped high surrogate that no low one follows; the
// host's decoder keeps such a surrogate.  Here a string without escapes is
// recorded where it stands, and one with escapes is decoded once into the
// builder's buffer (never longer than its source):
//   * \uD800-\uDBFF directly followed by an escaped \uDC00-\uDFFF is one
//     code point;
//   * any other escaped surrogate is the code point it names, and an escape
//     after a high surrogate that does not pair with it is read on its own.
template <>
template <>
void Reader::ParseString<kFlags, Stream, Builder>(Stream& is, Builder& h, bool) {
    const char* start = is.cur + 1;  // past the opening quote
    const char* p = skip_ordinary(start, h.end);
    // Past the end of the text there is no quote and no backslash (see
    // Stream): a string that reaches it is unterminated, and is refused
    // before any of it is written out (the buffer is sized by the text).
    if (p >= h.end || *p != '\\') {
        if (p < h.end && *p == '"') {
            is.cur = p + 1;
            h.plain_string(start, static_cast<std::size_t>(p - start));
            return;
        }
        is.cur = p;
        RAPIDJSON_PARSE_ERROR(*p == '\0' || p >= h.end ? kParseErrorStringMissQuotationMark
                                                       : kParseErrorStringEscapeInvalid,
                              is.Tell());
    }
    char* begin = h.out;
    char* o = begin;
    bool non_ascii = false;
    std::memcpy(o, start, static_cast<std::size_t>(p - start));
    o += p - start;
    for (;;) {
        const char* run = p;
        p = skip_ordinary(p, h.end);
        char c = *p;
        if (p >= h.end || (c != '"' && c != '\\')) {
            is.cur = p;
            RAPIDJSON_PARSE_ERROR(c == '\0' || p >= h.end ? kParseErrorStringMissQuotationMark
                                                          : kParseErrorStringEscapeInvalid,
                                  is.Tell());
        }
        std::memcpy(o, run, static_cast<std::size_t>(p - run));
        o += p - run;
        if (c == '"') break;
        std::size_t escape_at = static_cast<std::size_t>(p - is.begin);
        char e = p[1];
        char simple = 0;
        switch (e) {
            case '"': simple = '"'; break;
            case '\\': simple = '\\'; break;
            case '/': simple = '/'; break;
            case 'b': simple = '\b'; break;
            case 'f': simple = '\f'; break;
            case 'n': simple = '\n'; break;
            case 'r': simple = '\r'; break;
            case 't': simple = '\t'; break;
            case 'u': break;
            default: RAPIDJSON_PARSE_ERROR(kParseErrorStringEscapeInvalid, escape_at);
        }
        if (simple) {
            *o++ = simple;
            p += 2;
            continue;
        }
        is.cur = p + 2;
        unsigned cp = ParseHex4(is, escape_at);
        RAPIDJSON_PARSE_ERROR_EARLY_RETURN_VOID;
        if (cp >= 0xD800 && cp <= 0xDBFF && is.cur[0] == '\\' && is.cur[1] == 'u') {
            Stream second{is.begin, is.cur + 2};
            unsigned low = ParseHex4(second, static_cast<std::size_t>(is.cur - is.begin));
            RAPIDJSON_PARSE_ERROR_EARLY_RETURN_VOID;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                is.cur = second.cur;
            }
        }
        non_ascii |= cp >= 0x80;
        o = put_utf8(o, cp);
        p = is.cur;
    }
    is.cur = p + 1;
    h.out = o;
    h.decoded_string(begin, non_ascii || h.non_ascii_text);
}

// The common string, without escapes, read inline by the structure loop;
// false leaves the stream untouched for ParseString (escapes, errors).
namespace {
inline bool plain_string(Stream& is, Builder& h) noexcept {
    const char* start = is.cur + 1;
    const char* p = skip_ordinary(start, h.end);
    if (p >= h.end || *p != '"') return false;
    is.cur = p + 1;
    h.plain_string(start, static_cast<std::size_t>(p - start));
    return true;
}
}  // namespace

// Numbers.  The reader's own number parser converts as it reads and refuses
// magnitudes beyond the double range; the host's decoder reads any number of
// the grammar.  Here the token is only checked against the grammar
//     -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
// (or is NaN, Infinity, -Infinity) and recorded where it stands; integers
// keep their digits and conversion happens when a reader asks for a double.
template <>
template <>
void Reader::ParseNumber<kFlags, Stream, Builder>(Stream& is, Builder& h) {
    const char* s = is.cur;
    const char* p = s;
    bool minus = *p == '-';
    if (minus) ++p;
    auto literal = [&](const char* word, std::size_t n) {
        if (std::strncmp(p, word, n) != 0) return false;
        p += n;
        return true;
    };
    Kind kind = Kind::Int;
    if (*p == '0') {
        ++p;
    } else if (*p >= '1' && *p <= '9') {
        while (is_digit(*p)) ++p;
    } else if ((!minus && literal("NaN", 3)) || literal("Infinity", 8)) {
        is.cur = p;
        h.token(Kind::Float, s, static_cast<std::size_t>(p - s), 0);
        return;
    } else {
        RAPIDJSON_PARSE_ERROR(kParseErrorValueInvalid, is.Tell());
    }
    if (*p == '.') {
        kind = Kind::Float;
        ++p;
        if (!is_digit(*p)) {
            is.cur = p;
            RAPIDJSON_PARSE_ERROR(kParseErrorNumberMissFraction, is.Tell());
        }
        while (is_digit(*p)) ++p;
    }
    if (*p == 'e' || *p == 'E') {
        kind = Kind::Float;
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!is_digit(*p)) {
            is.cur = p;
            RAPIDJSON_PARSE_ERROR(kParseErrorNumberMissExponent, is.Tell());
        }
        while (is_digit(*p)) ++p;
    }
    is.cur = p;
    h.token(kind, s, static_cast<std::size_t>(p - s), 0);
}

// The structure.  The reader's iterative parser keeps a stack of its own
// (eight bytes a level); here the chain of open containers lives in the
// container nodes themselves (see Builder::open), so a deeply nested reply
// costs one node a level and nothing more.  Scalars go through the reader's
// own literal parsers and the specialisations above.  Parsing stops when the
// top-level value is complete.
template <>
template <>
rapidjson::ParseResult Reader::IterativeParse<kFlags, Stream, Builder>(Stream& is, Builder& h) {
    parseResult_.Clear();
    using kl::json::Document;
    for (;;) {
        // A value is expected.
        SkipWhitespace(is);
        char c = is.Peek();
        if (c == '[' || c == '{') {
            is.Take();
            bool array = c == '[';
            h.open(array ? Kind::Array : Kind::Object);
            SkipWhitespace(is);
            if (is.Peek() == (array ? ']' : '}')) {
                is.Take();
                if (!h.close()) return parseResult_;
            } else if (array) {
                continue;
            } else {
                goto member;
            }
        } else {
            switch (c) {
                case 'n': ParseNull<kFlags>(is, h); break;
                case 't': ParseTrue<kFlags>(is, h); break;
                case 'f': ParseFalse<kFlags>(is, h); break;
                case '"':
                    if (!plain_string(is, h)) ParseString<kFlags>(is, h);
                    break;
                case '\0':
                    RAPIDJSON_PARSE_ERROR_NORETURN(h.top == Document::kNone
                                                       ? kParseErrorDocumentEmpty
                                                       : kParseErrorValueInvalid,
                                                   is.Tell());
                    break;
                default: ParseNumber<kFlags>(is, h); break;
            }
            RAPIDJSON_PARSE_ERROR_EARLY_RETURN(parseResult_);
            if (h.top == Document::kNone) return parseResult_;
        }
        // After a value inside a container: a comma, or the end of the
        // innermost container (which is itself a value just finished).
        for (;;) {
            SkipWhitespace(is);
            char sep = is.Take();
            bool object = h.in_object();
            if (sep == (object ? '}' : ']')) {
                if (!h.close()) return parseResult_;
                continue;
            }
            if (sep != ',') {
                RAPIDJSON_PARSE_ERROR_NORETURN(object ? kParseErrorObjectMissCommaOrCurlyBracket
                                                      : kParseErrorArrayMissCommaOrSquareBracket,
                                               is.Tell() - 1);
                return parseResult_;
            }
            break;
        }
        if (!h.in_object()) continue;
    member:
        // An object member: its key and the colon; the value follows.
        SkipWhitespace(is);
        if (is.Peek() != '"') {
            RAPIDJSON_PARSE_ERROR_NORETURN(kParseErrorObjectMissName, is.Tell());
            return parseResult_;
        }
        if (!plain_string(is, h)) {
            ParseString<kFlags>(is, h, true);
            RAPIDJSON_PARSE_ERROR_EARLY_RETURN(parseResult_);
        }
        SkipWhitespace(is);
        if (!Consume(is, ':')) {
            RAPIDJSON_PARSE_ERROR_NORETURN(kParseErrorObjectMissColon, is.Tell());
            return parseResult_;
        }
    }
}

namespace kl::json {

Str trim_slow(Str s) noexcept {
    const char* b = s.utf8.data();
    const char* e = b + s.utf8.size();
    if (s.ascii) {
        while (b < e && is_space(static_cast<unsigned char>(*b))) ++b;
        while (e > b && is_space(static_cast<unsigned char>(e[-1]))) --e;
        return {std::string_view(b, static_cast<std::size_t>(e - b)), true};
    }
    // The text is well formed (the decoder wrote it, or it is the host's own
    // text converted), so a code point is a lead byte and its continuations.
    auto decode = [](const char* p, std::size_t& len) -> char32_t {
        auto u = [p](int i) { return static_cast<char32_t>(static_cast<unsigned char>(p[i])); };
        if (u(0) < 0x80) {
            len = 1;
            return u(0);
        }
        if (u(0) < 0xE0) {
            len = 2;
            return ((u(0) & 0x1F) << 6) | (u(1) & 0x3F);
        }
        if (u(0) < 0xF0) {
            len = 3;
            return ((u(0) & 0x0F) << 12) | ((u(1) & 0x3F) << 6) | (u(2) & 0x3F);
        }
        len = 4;
        return ((u(0) & 0x07) << 18) | ((u(1) & 0x3F) << 12) | ((u(2) & 0x3F) << 6) | (u(3) & 0x3F);
    };
    while (b < e) {
        std::size_t len;
        if (!is_space(decode(b, len))) break;
        b += len;
    }
    while (e > b) {
        const char* q = e - 1;
        while (q > b && (static_cast<unsigned char>(*q) & 0xC0) == 0x80) --q;
        std::size_t len;
        if (!is_space(decode(q, len))) break;
        e = q;
    }
    return {std::string_view(b, static_cast<std::size_t>(e - b)), false};
}

bool Document::parse(std::string_view text) {
    own_.assign(text);
    bool non_ascii = false;
    for (unsigned char c : own_) non_ascii |= c >= 0x80;
    return parse_text(own_, non_ascii);
}

bool Document::parse_reply(const AnyText& reply, bool terminated) {
    Span cut = clean_json_reply(reply);
    clear();
    if (cut.size == 0) return false;  // nothing is not a JSON value
    AnyText cleaned = reply.slice(cut.begin, cut.size);
    if (reply.ascii && reply.width == 1 && terminated) {
        // Past the cleaned text lie only the trimmed whitespace and fence,
        // then the zero: see Stream.
        return parse_text(cleaned.ascii_view(), false);
    }
    own_.clear();
    append_utf8(own_, cleaned);
    return parse_text(own_, !reply.ascii);
}

bool Document::parse_text(std::string_view text, bool non_ascii) {
    clear();
    // Offsets and node indexes are 32-bit; a reply of four gigabytes is not
    // one a parser can use anyway.
    if (text.size() >= kNone) return false;
    std::size_t n = text.size() + 1;
    // One block for the three node arrays and the decoded strings: a node
    // takes at least one byte of text, a decoded string is never longer than
    // its source.  Left uninitialised, so untouched pages stay unmapped.
    std::size_t need = n * (2 * sizeof(std::uint32_t) + 1) + n;
    char* p;
    if (need <= sizeof(inline_)) {
        p = inline_;
    } else {
        if (need > block_size_) {
        block_.reset();
        block_size_ = 0;
        block_.reset(new char[need]);
        block_size_ = need;
        }
        p = block_.get();
    }
    a_ = reinterpret_cast<std::uint32_t*>(p);
    b_ = a_ + n;
    tag_ = reinterpret_cast<std::uint8_t*>(b_ + n);
    decoded_ = reinterpret_cast<char*>(tag_ + n);
    text_ = text.data();

    Stream in{text.data(), text.data()};
    Builder b{*this, text.data(), text.data() + text.size(), decoded_, kNone, non_ascii};
    Reader reader;
    rapidjson::ParseResult r = reader.Parse<kFlags>(in, b);
    // Stopping when the value is done, the reader may have stopped anywhere;
    // only a value that ends exactly at the end of the text is the text.
    if (r.IsError() || in.Tell() != text.size() || count_ == 0) {
        clear();
        return false;
    }
    return true;
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

std::string_view Value::number_token() const noexcept {
    Kind k = kind();
    if (k != Kind::Int && k != Kind::Float) return {};
    return doc_->str_at(index_).utf8;
}

namespace {

// The common short token (significant digits that make at most 2^53, a
// small power of ten): its digits are an exact double and so is the power of
// ten, so one division rounds once, correctly.  False for any other
// token, which fast_float then converts.
bool exact_short(std::string_view t, double& out) noexcept {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    // Nineteen digits at most, so the digits cannot overflow 64 bits; longer
    // tokens are left to fast_float.
    if (t.size() > 19) return false;
    const char* p = t.data();
    const char* e = p + t.size();
    bool minus = *p == '-';
    p += minus;
    std::uint64_t m = 0;
    for (; p < e && is_digit(*p); ++p) m = m * 10 + static_cast<unsigned>(*p - '0');
    int scale = 0;
    if (p < e && *p == '.') {
        const char* frac = ++p;
        for (; p < e && is_digit(*p); ++p) m = m * 10 + static_cast<unsigned>(*p - '0');
        scale = static_cast<int>(p - frac);
    }
    if (p != e) return false;  // an exponent: left to fast_float
    if (m > (std::uint64_t{1} << 53)) return false;
    // scale <= 18 here, within the table.
    double v = static_cast<double>(m);
    v = scale ? v / kPow10[scale] : v;
    out = minus ? -v : v;
    return true;
}

}  // namespace

bool Value::to_double(double& out) const noexcept {
    Kind k = kind();
    if (k != Kind::Int && k != Kind::Float) return false;
    std::string_view tok = number_token();
    std::size_t lead = tok[0] == '-' ? 1 : 0;
    if (!is_digit(tok[lead])) {
        // NaN, Infinity, -Infinity (the only spellings the decoder takes).
        if (tok[lead] == 'N')
            out = std::numeric_limits<double>::quiet_NaN();
        else
            out = lead ? -std::numeric_limits<double>::infinity()
                       : std::numeric_limits<double>::infinity();
        return true;
    }
    if (exact_short(tok, out)) return true;
    // Locale-free and correctly rounded, as the host's float() is, for
    // tokens of any length and exponent: fast_float (the algorithm behind
    // libstdc++'s own from_chars, which libc++ lacks for double) rounds
    // overflow to an infinity and underflow to a signed zero, as float()
    // does for a token.
    double v = 0.0;
    auto res = fast_float::from_chars(tok.data(), tok.data() + tok.size(), v);
    if (res.ec != std::errc() || res.ptr != tok.data() + tok.size())
        return false;  // cannot happen for a token of the grammar
    // The host's float() of an integer beyond the double range raises
    // instead: no finite double is near it.
    if (k == Kind::Int && std::isinf(v)) return false;
    out = v;
    return true;
}

Value Value::get(std::string_view key) const noexcept {
    if (!is(Kind::Object)) return {};
    std::uint32_t stop = doc_->a_[index_];
    std::uint32_t found = 0;
    bool hit = false;
    for (std::uint32_t i = index_ + 1; i < stop; i = doc_->skip(i + 1)) {
        // i: key node (a string leaf); i + 1: its value.
        if (doc_->b_[i] == key.size() && doc_->str_at(i).utf8 == key) {
            found = i + 1;
            hit = true;
        }
    }
    return hit ? Value(doc_, found) : Value();
}

Value::Iterator Value::begin() const noexcept {
    if (!is(Kind::Array)) return Iterator(doc_, 0);
    return Iterator(doc_, index_ + 1);
}

Value::Iterator Value::end() const noexcept {
    if (!is(Kind::Array)) return Iterator(doc_, 0);
    return Iterator(doc_, doc_->a_[index_]);
}

std::size_t Value::size() const noexcept {
    std::size_t n = 0;
    for (auto it = begin(), e = end(); it != e; ++it) ++n;
    return n;
}

}  // namespace kl::json
