// Group digest: the user-prompt body that distils a team workspace's shared
// memories into one team insight, and the short stable hash that keys a
// synthesis run by its prompt.
//
// The body is exact to the byte: the host de-duplicates runs by the hash of
// the body, so any change to its layout voids every earlier record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "kl/text.hpp"

namespace kl::group_digest {

namespace nb = nanobind;

// The system prompt of the digest call (one line, no final line feed).
extern const TextView kSystem;

// The body for `rows` (any objects with `team_score` and `content`
// attributes), highest score first.  `func` names the caller in errors.
//
// Every row's score is read before anything is rendered.  Scores must be int
// (bool included, as the host treats it) or float, subclasses included; they
// are compared exactly, int against float as the host compares them, even
// for ints too large for a double.  Ties keep their input order.  NaN scores
// go after every number, in their input order, so the ordering stays a
// strict weak ordering.  A score of any other kind raises TypeError before
// any content is read (with two or more rows the sort compares every score;
// a single row's score is checked when it is rendered, also before its
// content).
nb::str render_body(const char* func, nb::handle rows);

// Score text: fixed point, three decimals, correctly rounded from the exact
// binary value (ties to even); "nan", "inf", "-inf".  Writes ASCII into `buf`
// (large enough for the largest double's 309 integer digits) and returns the
// length.
std::size_t score_chars(char (&buf)[400], double score);

// First 8 bytes of the SHA-256 digest of `data`, as 16 lower-case hex digits.
// Safe to call without the GIL.
std::string hash16(const void* data, std::size_t size);

// Fetches the SHA-256 implementation and makes the attribute names once;
// call from module init.
void init();

}  // namespace kl::group_digest
