#include "group_digest/group_digest.hpp"

#include <charconv>
#include <cmath>

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

}  // namespace

bool hash16(const void* data, std::size_t size, char (&out)[16]) noexcept {
    const EVP_MD* md = sha256();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!md || !EVP_Digest(data, size, digest, &len, md, nullptr) || len < 8) return false;
    static constexpr char hex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0xF];
    }
    return true;
}

}  // namespace kl::group_digest
