#include "kl/reply.hpp"

namespace kl {
namespace {

template <class C>
Span span_of(View<C> whole, View<C> part) noexcept {
    return {static_cast<std::size_t>(part.data() - whole.data()), part.size()};
}

// Drops one pair of enclosing fences; reports whether it did.
template <class C>
bool strip_fences(View<C>& t) noexcept {
    if (!starts_with_ascii(t, "```") || !ends_with_ascii(t, "```")) return false;
    t = t.size() <= 6 ? t.substr(3, 0) : trim(t.substr(3, t.size() - 6));
    return true;
}

template <class C>
Span clean_json(View<C> reply) noexcept {
    View<C> t = trim(reply);
    if (strip_fences(t) && starts_with_ascii(t, "json")) t = trim(t.substr(4));
    return span_of(reply, t);
}

template <class C>
Span clean_text(View<C> reply) noexcept {
    View<C> t = trim(reply);
    strip_fences(t);
    if (starts_with_ascii(t, "\"") && ends_with_ascii(t, "\""))
        t = t.size() <= 2 ? t.substr(1, 0) : trim(t.substr(1, t.size() - 2));
    return span_of(reply, t);
}

}  // namespace

Span clean_json_reply(const AnyText& reply) noexcept {
    return reply.visit([](auto v) { return clean_json(v); });
}

Span clean_text_reply(const AnyText& reply) noexcept {
    return reply.visit([](auto v) { return clean_text(v); });
}

}  // namespace kl
