#include "group_digest/group_digest.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>

#include <openssl/evp.h>

namespace kl::group_digest {

const Template kSystem(
    "You are the team's collective synthesis voice. Given a set of memories shared by "
    "multiple agents in this workspace, distill a single concise team insight that captures "
    "the consensus, pattern, or unresolved tension across them. Speak in the team's voice "
    "\u2014 do NOT attribute by agent. Do NOT invent facts beyond what the shared memories "
    "state.",
    {});

const Template kBody(
    "Team-shared memories (one per line, prefixed with team_score):{lines}\n"
    "\n"
    "Synthesise a single team insight that captures the collective signal across the above "
    "memories.",
    {"lines"});

const Template kLine("\n- ({score}) {content}", {"score", "content"});

namespace {

// Scores below this magnitude are rounded with integer arithmetic: the
// value times 1000 keeps its exact binary value in 64 bits.
constexpr double kShortLimit = 9007199254740.0;  // 2**53 / 1000, rounded down

// The common score (a confidence in [0, 1]) without the general printf-style
// conversion: x = m * 2**e exactly, so x * 1000 = (m * 1000) * 2**e, rounded
// half to even from its exact value.  Returns 0 for scores it does not take.
std::size_t score_chars_short(char (&buf)[400], double score) noexcept {
    double mag = std::fabs(score);
    if (!(mag < kShortLimit)) return 0;
    int exp2 = 0;
    double frac = std::frexp(mag, &exp2);  // mag = frac * 2**exp2, frac in [0.5, 1)
    auto m = static_cast<std::uint64_t>(std::ldexp(frac, 53));  // exact: 53-bit significand
    int shift = 53 - exp2;  // mag = m / 2**shift
    std::uint64_t q;
    if (mag == 0.0) {
        q = 0;
    } else if (shift <= 0) {
        q = (m << -shift) * 1000;  // an integer below 2**53 / 1000: no overflow
    } else if (shift >= 64) {
        q = 0;  // m * 1000 < 2**63 <= half of 2**shift: rounds to zero
    } else {
        std::uint64_t scaled = m * 1000;  // below 2**63
        q = scaled >> shift;
        std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
        std::uint64_t half = std::uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (q & 1))) ++q;
    }
    char* p = buf;
    if (std::signbit(score)) *p++ = '-';
    auto res = std::to_chars(p, buf + sizeof buf, q / 1000);
    p = res.ptr;
    unsigned f = static_cast<unsigned>(q % 1000);
    *p++ = '.';
    *p++ = static_cast<char>('0' + f / 100);
    *p++ = static_cast<char>('0' + f / 10 % 10);
    *p++ = static_cast<char>('0' + f % 10);
    return static_cast<std::size_t>(p - buf);
}

}  // namespace

std::size_t score_chars(char (&buf)[400], double score) noexcept {
    std::string_view text;
    if (std::isnan(score))
        text = "nan";
    else if (std::isinf(score))
        text = score > 0 ? "inf" : "-inf";
    if (!text.empty()) {
        text.copy(buf, text.size());
        return text.size();
    }
    if (std::size_t n = score_chars_short(buf, score)) return n;
    // Exact: to_chars rounds the binary value itself, ties to even.
    auto res = std::to_chars(buf, buf + sizeof buf, score, std::chars_format::fixed, 3);
    return static_cast<std::size_t>(res.ptr - buf);
}

namespace {

// Fetched once, on first use, and never changed: an explicit fetch saves the
// implicit lookup every digest call would otherwise make.
const EVP_MD* sha256() noexcept {
    static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

struct FreeContext {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

// One digest context per thread, made on the thread's first hash and freed
// when the thread ends.  A context made per call takes a reference to the
// fetched digest and drops it again: two atomic writes to one count that
// every thread hashing at the same time contends on.  A context initialised
// again with the digest it already holds keeps its reference instead.  It
// holds no Python object, so it is shared by every interpreter on the thread.
EVP_MD_CTX* thread_context() noexcept {
    thread_local const std::unique_ptr<EVP_MD_CTX, FreeContext> ctx(EVP_MD_CTX_new());
    return ctx.get();
}

}  // namespace

bool hash16(const void* data, std::size_t size, char (&out)[16]) noexcept {
    const EVP_MD* md = sha256();
    EVP_MD_CTX* ctx = thread_context();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!md || !ctx || !EVP_DigestInit_ex2(ctx, md, nullptr) ||
        !EVP_DigestUpdate(ctx, data, size) || !EVP_DigestFinal_ex(ctx, digest, &len) || len < 8)
        return false;
    static constexpr char hex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0xF];
    }
    return true;
}

}  // namespace kl::group_digest
