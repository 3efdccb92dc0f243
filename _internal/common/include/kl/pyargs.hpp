// Argument binding for builtin functions (see kl/pyfunc.hpp) whose trailing
// parameters have defaults.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace kl::py {

// Binds the arguments of one call to `count` parameters that may be given by
// position or by name, the first `required` of them mandatory.  Writes
// borrowed references to out[0..count); an optional parameter that was not
// given is left nullptr for the caller to default.  Raises TypeError (as
// nb::python_error), worded as the host words it, for a missing, repeated or
// unknown argument or too many positional ones.
void bind_args_optional(const char* func, const char* const* names, std::size_t count,
                        std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out);

}  // namespace kl::py
