// JSON text of host values, in the one fixed layout the prompts show to the
// LLM: ", " between members and elements, ": " after keys, no line breaks,
// every character outside printable ASCII as a lower-case \u escape.
//
// What counts as what follows the host's own JSON encoder, so a value renders
// the way the host would render it:
//   * None, True, False               -> null, true, false (bool before int)
//   * str and subclasses               -> a JSON string of the str's own code
//                                         points (a lone surrogate is written
//                                         as its own \u escape)
//   * int and subclasses               -> exact decimal (int's own repr, never
//                                         a subclass's)
//   * float and subclasses             -> the float's repr (0.4, 1e-05,
//                                         1e+16); NaN, Infinity, -Infinity
//   * list, tuple and their subclasses -> arrays
//   * dict and subclasses              -> objects, members in the dict's own
//                                         order (a subclass's items() is used)
//   * anything else (a set, a date, a non-dict Mapping) -> its plain text
//     form, written as a JSON string.
// Keys: str as it is; int and float as their number text (NaN, Infinity and
// -Infinity included); True/False/None as true/false/null; any other key
// raises TypeError.  A dict or list that contains itself raises ValueError.
//
// Nesting is followed with an explicit stack, never C recursion: depth is
// bounded by memory only.
#pragma once

#include <Python.h>

#include "kl/py/str.hpp"

namespace kl::py {

// Appends the JSON text of `value` to `out` (pure ASCII), as text of its
// ASCII buffer and, for long strs, pieces that refer to them.  False with
// the host error set; `out` then holds an unspecified prefix, which callers
// discard.
bool append_json(StrWriter& out, PyObject* value);

}  // namespace kl::py
