#include <nanobind/nanobind.h>

#include "jobline/jobline.hpp"
#include "kl/pyedge.hpp"

namespace nb = nanobind;

NB_MODULE(jobline, m) {
    m.doc() =
        "The job line: a bounded-concurrency runner of named asynchronous jobs with "
        "single-predecessor dependencies, on the running asyncio event loop.";
    PyObject* type = kl::jobline::jobline_type();
    if (!type) throw nb::python_error();
    m.attr("Jobline") = nb::borrow(type);
    nb::list all;
    all.append("Jobline");
    m.attr("__all__") = all;
    // The job line writes no records; its logger exists so the host can
    // configure it like every other module's.
    static const kl::py::Logger logger("kelvane_layer._internal.jobline");
    (void)logger;
}
