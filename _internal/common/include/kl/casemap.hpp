// Unicode case mapping of Text: the full default mappings (one code point
// may become several, e.g. "ß" -> "SS"), with the context rules the default
// mappings carry (final sigma), always in the root locale.  The process
// locale and the environment are never consulted, so results do not depend
// on where the host runs.
#pragma once

#include "kl/text.hpp"

namespace kl {

// Full default lower-casing / upper-casing.  ASCII-only text takes a fast
// path without the Unicode library.  A lone surrogate has no case mapping
// and comes out unchanged, at its place; it never pairs up with a
// neighbouring surrogate.  Throws std::runtime_error only if the Unicode
// library itself reports a failure, and std::bad_alloc when out of memory.
Text to_lower_full(TextView s);
Text to_upper_full(TextView s);

// True when every code point is below U+0080.
bool is_ascii(TextView s) noexcept;

}  // namespace kl
