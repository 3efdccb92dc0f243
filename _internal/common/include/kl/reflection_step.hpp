// The binding shared by the two reflection-step modules, consolidation and
// journal: both publish
//
//   build_<step>_prompt(memories) -> (system, [{"role": "user", "content": ...}])
//   parse_<step>_output(response) -> the cleaned reply text
//
// and differ only in their names, templates and cores.  `Step` supplies:
//   static constexpr const char* kBuild, *kParse;   the function names
//   static TextView system();                       the system prompt
//   static nb::str render_user(nb::handle list);    the core's renderer
//   static TextView parse_output(TextView reply);   the core's reply cleaning
#pragma once

#include <nanobind/nanobind.h>

#include "kl/memory_lines.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace kl::py {

template <class Step>
class ReflectionStep {
public:
    // Adds both functions to `m`; the docs begin with their text signatures.
    static void add(nb::module_& m, const char* build_doc, const char* parse_doc) {
        init_memory_lines();
        system_ = make_str(Step::system()).release().ptr();  // kept for the process
        add_function(m, Step::kBuild, &build_fast, build_doc);
        add_function(m, Step::kParse, &parse_fast, parse_doc);
    }

    // The system prompt str that every prompt pair carries (valid after add()).
    static nb::handle system_object() noexcept { return system_; }

private:
    static inline PyObject* system_ = nullptr;

    static nb::object build(nb::handle memories) {
        nb::list list = memory_list_param(Step::kBuild, memories);
        return prompt_pair(nb::handle(system_), Step::render_user(list));
    }

    static nb::object parse(nb::handle response) {
        if (!PyUnicode_Check(response.ptr()))
            raise_arg_type(Step::kParse, "response", "str", response);
        Text text = text_of(response);
        TextView kept = Step::parse_output(text);
        if (kept.empty()) return nb::str("");
        // The cleaned text is a slice of the reply: cut it from the reply itself.
        auto start = static_cast<Py_ssize_t>(kept.data() - text.data());
        return steal_or_throw(PyUnicode_Substring(
            response.ptr(), start, start + static_cast<Py_ssize_t>(kept.size())));
    }

    static PyObject* build_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
        return call_guarded([&] {
            static const char* const names[] = {"memories"};
            PyObject* a[1];
            bind_args(Step::kBuild, names, 1, args, nargs, kwnames, a);
            return build(a[0]);
        });
    }

    static PyObject* parse_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
        return call_guarded([&] {
            static const char* const names[] = {"response"};
            PyObject* a[1];
            bind_args(Step::kParse, names, 1, args, nargs, kwnames, a);
            return parse(a[0]);
        });
    }
};

}  // namespace kl::py
