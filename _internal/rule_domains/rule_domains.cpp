#include "rule_domains/rule_domains.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>


namespace kl::rule_domains {

namespace {

constexpr std::string_view kBilling[] = {"refund",  "charge",       "invoice", "payment",
                                         "billing", "subscription", "price",   "discount"};
constexpr std::string_view kSecurity[] = {"password", "credential",   "auth",     "verify identity",
                                          "verification", "fraud", "phishing", "two-factor",
                                          "2fa",      "pii"};
constexpr std::string_view kEscalation[] = {"escalate", "supervisor", "manager", "human agent",
                                            "transfer to"};
constexpr std::string_view kFulfillment[] = {"ship",      "shipping",    "delivery",     "tracking",
                                             "warehouse", "fulfillment", "order status", "carrier"};
constexpr std::string_view kRetention[] = {"cancel", "churn",   "retain", "win back",
                                           "loyalty", "renew", "renewal"};

}  // namespace

const std::array<DomainKeywords, 5> kDomainKeywords = {{
    {"billing", kBilling},
    {"security", kSecurity},
    {"escalation", kEscalation},
    {"fulfillment", kFulfillment},
    {"retention", kRetention},
}};

const std::array<std::string_view, 6> kDirectiveDomains = {
    "billing", "security", "escalation", "fulfillment", "retention", kDomainGeneral};

namespace {

// All keywords in one Aho-Corasick automaton, so the text is read once,
// one table step per code point, however many keywords there are.  Each
// state knows the first domain (in table order) of any keyword that ends
// there; the smallest such domain seen anywhere in the text is exactly what
// walking the table domain by domain returns, and a billing match (the
// first domain) ends the scan.
//
// Only the few characters that occur in keywords get a symbol of their own;
// every other code point (non-ASCII included) is one "other" symbol that
// leads back to the root.
class Automaton {
public:
    static constexpr std::uint8_t kNone = 0xFF;

    Automaton() {
        symbol_.fill(0);  // 0: "other"
        for (const DomainKeywords& d : kDomainKeywords)
            for (std::string_view kw : d.keywords) {
                max_keyword_ = std::max(max_keyword_, kw.size());
                for (char ch : kw) {
                    auto c = static_cast<unsigned char>(ch);
                    if (!symbol_[c]) symbol_[c] = static_cast<std::uint8_t>(++symbols_);
                }
            }
        ++symbols_;  // plus "other"
        for (char c = 'A'; c <= 'Z'; ++c)
            symbol_[static_cast<unsigned char>(c)] = symbol_[static_cast<unsigned char>(c + 32)];
        // The trie.
        new_state();
        for (std::size_t d = 0; d < kDomainKeywords.size(); ++d)
            for (std::string_view kw : kDomainKeywords[d].keywords) {
                std::size_t s = 0;
                for (char ch : kw) {
                    std::size_t sym = symbol_[static_cast<unsigned char>(ch)];
                    if (!next_[s * symbols_ + sym]) {
                        std::size_t t = new_state();
                        next_[s * symbols_ + sym] = static_cast<std::uint16_t>(t);
                    }
                    s = next_[s * symbols_ + sym];
                }
                out_[s] = std::min<std::uint8_t>(out_[s], static_cast<std::uint8_t>(d));
            }
        // Failure links, breadth first, turning the trie into a full
        // transition table.
        std::vector<std::uint16_t> fail(out_.size(), 0), queue;
        for (std::size_t sym = 0; sym < symbols_; ++sym)
            if (std::uint16_t t = next_[sym]) queue.push_back(t);
        for (std::size_t q = 0; q < queue.size(); ++q) {
            std::size_t s = queue[q];
            out_[s] = std::min(out_[s], out_[fail[s]]);
            for (std::size_t sym = 0; sym < symbols_; ++sym) {
                std::uint16_t& t = next_[s * symbols_ + sym];
                std::uint16_t via_fail = next_[fail[s] * symbols_ + sym];
                if (t && sym != 0) {
                    fail[t] = via_fail;
                    queue.push_back(t);
                } else {
                    t = via_fail;
                }
            }
        }
        step_.assign(out_.size() * kStride, 0);
        for (std::size_t st = 0; st < out_.size(); ++st)
            for (std::size_t sym = 0; sym < symbols_; ++sym) {
                std::size_t t = next_[st * symbols_ + sym];
                std::uint32_t d = out_[t] == kNone ? 0 : out_[t] + 1u;
                step_[st * kStride + sym] = static_cast<std::uint16_t>(t * kStride | d);
            }
    }

    // The smallest domain index with a keyword in `text`, kNone for none.
    // Upper-case ASCII letters match as lower-case ones: for ASCII input
    // that is the whole of lower-casing, and any other input arrives
    // lower-cased already.
    template <class C>
    std::uint8_t first_domain(View<C> text) const noexcept {
        // Each step waits for the previous one's table load, so a long text
        // is read as two halves side by side, which the processor overlaps.
        // The halves share max_keyword_ - 1 code points, so every keyword
        // occurrence lies wholly inside one of them.
        const std::size_t n = text.size();
        const C* p = text.data();
        std::uint8_t best = kNone;
        std::uint32_t a = 0, b = 0;
        std::size_t i = 0;
        if (n >= 4 * max_keyword_) {
            const std::size_t overlap = max_keyword_ - 1;
            const std::size_t half = (n - overlap) / 2;  // B starts here
            const C* q = p + half;
            const std::size_t len_b = n - half;           // >= half + overlap
            const std::size_t len_a = half + overlap;     // <= len_b
            for (; i < len_a; ++i) {
                // Both steps every time, never cut short: their loads are
                // what overlaps.
                const bool done_a = step(a, p[i], best);
                const bool done_b = step(b, q[i], best);
                if (done_a || done_b) return 0;
            }
            for (; i < len_b; ++i)
                if (step(b, q[i], best)) return 0;
            return best;
        }
        for (; i < n; ++i)
            if (step(a, p[i], best)) return 0;
        return best;
    }

private:
    // One automaton step from state s; true once a first-domain (billing)
    // keyword has been seen, which nothing can beat.
    template <class C>
    bool step(std::uint32_t& s, C unit, std::uint8_t& best) const noexcept {
        std::uint32_t sym;
        if constexpr (sizeof(C) == 1)
            sym = symbol_[unit];
        else
            sym = unit < 256 ? symbol_[unit] : 0;
        // One load per code point on the critical path: the entry is the
        // next state's row offset, with the first domain ending there (plus
        // one, 0 for none) in the bits below the row stride.
        std::uint32_t v = step_[s + sym];
        s = v & ~(kStride - 1);
        std::uint32_t d = v & (kStride - 1);
        if (d && d - 1 < best) best = static_cast<std::uint8_t>(d - 1);
        return best == 0;
    }

    std::size_t new_state() {
        out_.push_back(kNone);
        next_.resize(next_.size() + symbols_, 0);
        return out_.size() - 1;
    }
    // Code point (below 256) -> symbol; A-Z share the symbols of a-z, so
    // ASCII text needs no lower-casing of its own.
    std::array<std::uint8_t, 256> symbol_{};
    std::size_t symbols_ = 0;  // 26 today: well below the stride of 32
    std::size_t max_keyword_ = 0;
    std::vector<std::uint16_t> next_;  // state * symbols_ + symbol -> state
    std::vector<std::uint8_t> out_;    // state -> first domain ending here
    // The scanning table (see first_domain); a power-of-two stride leaves
    // room for the domain below each row offset.
    static constexpr std::uint32_t kStride = 32;
    std::vector<std::uint16_t> step_;
};

template <class C>
std::string_view first_match(View<C> text) noexcept {
    static const Automaton automaton;
    std::uint8_t d = automaton.first_domain(text);
    return d == Automaton::kNone ? kDomainGeneral : kDomainKeywords[d].domain;
}

}  // namespace

std::string_view classify_lowered(const AnyText& lowered) noexcept {
    return lowered.visit([](auto v) { return first_match(v); });
}

std::string_view classify_ascii(std::string_view ascii) noexcept {
    return first_match(
        View<U1>(reinterpret_cast<const U1*>(ascii.data()), ascii.size()));
}

}  // namespace kl::rule_domains
