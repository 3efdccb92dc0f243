#include "kl/reply.hpp"

namespace kl {
namespace {

constexpr TextView kFence = U"```";

// Drops one pair of enclosing fences; reports whether it did.
bool strip_fences(TextView& t) noexcept {
    if (!starts_with(t, kFence) || !ends_with(t, kFence)) return false;
    t = t.size() <= 6 ? TextView{} : trim(t.substr(3, t.size() - 6));
    return true;
}

}  // namespace

TextView clean_json_reply(TextView reply) noexcept {
    TextView t = trim(reply);
    if (strip_fences(t) && starts_with(t, U"json")) t = trim(t.substr(4));
    return t;
}

TextView clean_text_reply(TextView reply) noexcept {
    TextView t = trim(reply);
    strip_fences(t);
    if (starts_with(t, U"\"") && ends_with(t, U"\""))
        t = t.size() <= 2 ? TextView{} : trim(t.substr(1, t.size() - 2));
    return t;
}

}  // namespace kl
