#include "convergence_judge/convergence_judge.hpp"

#include <cmath>
#include <exception>

#include "kl/casemap.hpp"

namespace kl::convergence_judge {

const std::u32string_view kSystemPrompt =
    U"You are a thread-completion classifier for a multi-agent conversation. Your only job is "
    U"to decide whether the thread has reached a natural stopping point \u2014 i.e. the "
    U"participants have either resolved the question, agreed to defer it, handed off to another "
    U"agent, or run out of substantive new information to add. You are NOT a quality reviewer: "
    U"do not judge whether the answer is correct, only whether the thread is *done*. A thread "
    U"can be DONE even when the participants disagree, as long as the disagreement itself is "
    U"the conclusion. A thread is OPEN when the most recent turn proposes a question, action, or "
    U"claim that would normally invite a substantive response. Respond with exactly one line in "
    U"the form ``CONVERGED|<one-sentence summary>`` or ``OPEN|<one-sentence reason>``. No "
    U"preamble, no trailing text.";

namespace {

constexpr std::u32string_view kHeader = U"Thread transcript (chronological):";
constexpr std::u32string_view kQuestion =
    U"\n\nIs this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    U"CONVERGED|<summary> or OPEN|<reason>.";
constexpr std::u32string_view kConverged = U"CONVERGED";
constexpr std::u32string_view kOpen = U"OPEN";
constexpr std::u32string_view kMarkedOpen = U"judge marked thread open";

// Full upper-casing never maps a code point to nothing, so a head longer
// than the longest token can never become one: such heads (a whole
// paragraph, say) are not case-mapped at all.
bool token_is(TextView head, std::u32string_view token) {
    if (head.size() > token.size()) return false;
    if (is_ascii(head)) {
        for (std::size_t i = 0; i < head.size(); ++i) {
            char32_t c = head[i];
            if (c >= U'a' && c <= U'z') c ^= 0x20;
            if (c != token[i]) return false;
        }
        return head.size() == token.size();
    }
    try {
        return to_upper_full(head) == token;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // The Unicode library failing on a few code points is not a verdict
        // we can read: treat the token as unrecognised, like any other.
        return false;
    }
}

}  // namespace

Text build_convergence_prompt(std::span<const Turn> turns) {
    std::size_t size = kHeader.size() + kQuestion.size();
    for (const Turn& t : turns) size += 5 + t.sender_id.size() + t.content.size();
    Text out;
    out.reserve(size);
    out.append(kHeader);
    for (const Turn& t : turns) {
        out.append(U"\n- [");
        out.append(t.sender_id);
        out.append(U"] ");
        append_collapsed(out, t.content);
    }
    out.append(kQuestion);
    return out;
}

Verdict parse_convergence_verdict(TextView reply) {
    const TextView raw = trim(reply);
    const std::size_t bar = raw.find(U'|');
    if (raw.empty() || bar == TextView::npos) return {false, Text(raw)};
    const TextView head = trim(raw.substr(0, bar));
    const TextView summary = trim(raw.substr(bar + 1));
    if (token_is(head, kConverged) && !summary.empty()) return {true, Text(summary)};
    if (token_is(head, kOpen)) return {false, Text(summary.empty() ? kMarkedOpen : summary)};
    return {false, Text(raw)};
}

double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept {
    CosineSums sums;
    for (std::size_t i = 0; i < a.size(); ++i) sums.add(a[i], b[i]);
    return sums.result(a.size());
}

}  // namespace kl::convergence_judge
