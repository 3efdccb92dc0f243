// Group digest: the prompts that distil a team workspace's shared memories
// into one team insight, the score text of its lines, and the short stable
// hash that keys a synthesis run by its prompt.
//
// The body is exact to the byte: the host de-duplicates runs by the hash of
// the body, so any change to its layout voids every earlier record.
#pragma once

#include <cstddef>
#include <string_view>

#include "kl/template.hpp"

namespace kl::group_digest {

// The system prompt of the digest call (one line, no final line feed).
extern const Template kSystem;
// The body: the header, {lines}, an empty line and the closing instruction;
// no final line feed.
extern const Template kBody;
// One row, highest score first: a line feed, then "- ({score}) {content}".
extern const Template kLine;

// Score text: fixed point, three decimals, correctly rounded from the exact
// binary value (ties to even); "nan", "inf", "-inf".  Writes ASCII into `buf`
// (large enough for the largest double's 309 integer digits) and returns the
// length.
std::size_t score_chars(char (&buf)[400], double score) noexcept;

// The first 8 bytes of the SHA-256 digest of `data`, as 16 lower-case hex
// digits written to `out`.  False when the crypto library fails.  Safe to
// call without the host's lock.
bool hash16(const void* data, std::size_t size, char (&out)[16]) noexcept;

}  // namespace kl::group_digest
