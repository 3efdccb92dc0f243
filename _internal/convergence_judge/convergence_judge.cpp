#include "convergence_judge/convergence_judge.hpp"

namespace kl::convergence_judge {

const Template kSystemPrompt(
    "You are a thread-completion classifier for a multi-agent conversation. Your only job is "
    "to decide whether the thread has reached a natural stopping point \u2014 i.e. the "
    "participants have either resolved the question, agreed to defer it, handed off to another "
    "agent, or run out of substantive new information to add. You are NOT a quality reviewer: "
    "do not judge whether the answer is correct, only whether the thread is *done*. A thread "
    "can be DONE even when the participants disagree, as long as the disagreement itself is "
    "the conclusion. A thread is OPEN when the most recent turn proposes a question, action, or "
    "claim that would normally invite a substantive response. Respond with exactly one line in "
    "the form ``CONVERGED|<one-sentence summary>`` or ``OPEN|<one-sentence reason>``. No "
    "preamble, no trailing text.",
    {});

const Template kTranscript(
    "Thread transcript (chronological):{lines}\n"
    "\n"
    "Is this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    "CONVERGED|<summary> or OPEN|<reason>.",
    {"lines"});

const Template kTurnLine("\n- [{sender_id}] {content}", {"sender_id", "content"});

namespace {

constexpr std::string_view kConverged = "CONVERGED";
constexpr std::string_view kOpen = "OPEN";

template <class C>
Span span_in(View<C> whole, View<C> part) noexcept {
    return {static_cast<std::size_t>(part.data() - whole.data()), part.size()};
}

template <class C>
VerdictCut cut(View<C> reply) noexcept {
    VerdictCut out;
    const View<C> raw = trim(reply);
    out.raw = span_in(reply, raw);
    const std::size_t bar = raw.find(C('|'));
    if (bar == View<C>::npos) return out;
    out.has_bar = true;
    out.head = span_in(reply, trim(raw.substr(0, bar)));
    out.summary = span_in(reply, trim(raw.substr(bar + 1)));
    return out;
}

template <class C>
bool equals_ascii(View<C> s, std::string_view a) noexcept {
    return s.size() == a.size() && starts_with_ascii(s, a);
}

template <class C>
Token token_of(View<C> upper) noexcept {
    if (equals_ascii(upper, kConverged)) return Token::converged;
    if (equals_ascii(upper, kOpen)) return Token::open;
    return Token::other;
}

}  // namespace

VerdictCut cut_verdict(const AnyText& reply) noexcept {
    return reply.visit([](auto v) { return cut(v); });
}

Token token_without_table(const AnyText& head) noexcept {
    if (head.size > kConverged.size()) return Token::other;
    return head.visit([](auto v) {
        // For ASCII the full mapping is just a-z to A-Z.
        char up[kConverged.size()];
        for (std::size_t i = 0; i < v.size(); ++i) {
            auto c = static_cast<char32_t>(v[i]);
            if (c >= 0x80) return Token::needs_case_mapping;
            up[i] = static_cast<char>(c >= U'a' && c <= U'z' ? c - 0x20 : c);
        }
        return token_of(View<char>(up, v.size()));
    });
}

Token token_of_upper(const AnyText& upper) noexcept {
    return upper.visit([](auto v) { return token_of(v); });
}

Outcome decide(Token token, const VerdictCut& cut) noexcept {
    if (!cut.has_bar) return Outcome::raw;
    if (token == Token::converged && cut.summary.size > 0) return Outcome::converged;
    if (token == Token::open) return cut.summary.size > 0 ? Outcome::open : Outcome::marked_open;
    return Outcome::raw;
}

}  // namespace kl::convergence_judge
