// The binding edge: conversions between host (Python) values and the C++
// values the cores work on, with the host's own semantics.
//
// Errors are raised as Python exceptions wrapped in nb::python_error (or
// nanobind's builtin exception types), so a binding can simply let them
// propagate.
#pragma once

#include <nanobind/nanobind.h>

#include "kl/text.hpp"

namespace kl::py {

namespace nb = nanobind;

// Raises TypeError("<func>() argument '<param>' must be <expected>, not <kind>")
// -- the wording the host uses for its own builtins.
[[noreturn]] void raise_arg_type(const char* func, const char* param, const char* expected,
                                 nb::handle got);

// Code points of a str, lone surrogates included.  `s` must be a str.
Text text_of(nb::handle s);
void append_text_of(Text& out, nb::handle s);

// A new str holding exactly these code points.
nb::str make_str(TextView t);

// The plain text form of a value: a str (or str subclass) as it stands, an
// exact int in decimal, anything else through the host's str().
void append_plain(Text& out, nb::handle value);

// Integer parameter: an int is taken as it is; any other number is truncated
// toward zero as the host's int() does (int(2.9) == 2); a value that is not
// a number raises TypeError naming the parameter.  Errors of int() itself
// (NaN -> ValueError, infinity -> OverflowError) propagate.
nb::int_ int_param(const char* func, const char* param, nb::handle value);

// Floating-point parameter: any number, through the host's float().
double float_param(const char* func, const char* param, nb::handle value);

// An interned str kept for the life of the process (key names and fixed
// texts that every call would otherwise create again).
PyObject* interned(const char* s);

// Steals a new reference from a C API call, or raises the error it set.
inline nb::object steal_or_throw(PyObject* o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// The prompt pair every builder returns:
// (system, [{"role": "user", "content": user_content}]).
nb::tuple prompt_pair(nb::handle system, nb::handle user_content);
nb::tuple prompt_pair(TextView system, nb::handle user_content);

// A host logger obtained once by name when a module loads.  The module keeps
// it for the life of the process.
class Logger {
public:
    explicit Logger(const char* name);
    // logger.warning(message, extra={field: value}): the structured field is
    // an attribute of the record, never formatted into the message.
    void warning(const char* message, const char* field, nb::handle value) const;
    nb::handle handle() const noexcept { return logger_; }

private:
    PyObject* logger_;  // strong reference, deliberately never released
};

}  // namespace kl::py
