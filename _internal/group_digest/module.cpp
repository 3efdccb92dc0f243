#include <nanobind/nanobind.h>

#include <string>

#include "group_digest/group_digest.hpp"
#include "kl/pyedge.hpp"
#include "kl/pyfunc.hpp"

namespace nb = nanobind;

namespace {

constexpr const char* kBuild = "build_group_digest_prompt";
constexpr const char* kHash = "compute_prompt_hash";

// From this many UTF-8 bytes on, the digest runs without the GIL.
constexpr Py_ssize_t kReleaseGilFrom = 64 * 1024;

nb::str build_py(nb::handle rows) {
    if (!PyList_Check(rows.ptr())) kl::py::raise_arg_type(kBuild, "rows", "list", rows);
    return kl::group_digest::render_body(kBuild, rows);
}

nb::str hash_py(nb::handle prompt) {
    PyObject* s = prompt.ptr();
    if (!PyUnicode_Check(s)) kl::py::raise_arg_type(kHash, "prompt", "str", prompt);
    std::string digest;
    if (PyUnicode_IS_ASCII(s) && PyUnicode_GET_LENGTH(s) < kReleaseGilFrom) {
        // ASCII storage is its own UTF-8.
        digest = kl::group_digest::hash16(PyUnicode_DATA(s),
                                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
    } else {
        // A bytes object of our own: nothing else can reach (or free) it while
        // the GIL is released.  The host's codec raises its own
        // UnicodeEncodeError for an unpaired surrogate.
        PyObject* b = PyUnicode_AsUTF8String(s);
        if (!b) throw nb::python_error();
        nb::object bytes = nb::steal(b);
        const char* data = PyBytes_AS_STRING(b);
        Py_ssize_t size = PyBytes_GET_SIZE(b);
        if (size >= kReleaseGilFrom) {
            nb::gil_scoped_release unlocked;
            digest = kl::group_digest::hash16(data, static_cast<std::size_t>(size));
        } else {
            digest = kl::group_digest::hash16(data, static_cast<std::size_t>(size));
        }
    }
    return nb::str(digest.data(), digest.size());
}

PyObject* build_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static const char* const names[] = {"rows"};
        PyObject* a[1];
        kl::py::bind_args(kBuild, names, 1, args, nargs, kwnames, a);
        return nb::object(build_py(a[0]));
    });
}

PyObject* hash_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kl::py::call_guarded([&] {
        static const char* const names[] = {"prompt"};
        PyObject* a[1];
        kl::py::bind_args(kHash, names, 1, args, nargs, kwnames, a);
        return nb::object(hash_py(a[0]));
    });
}

}  // namespace

NB_MODULE(group_digest, m) {
    m.doc() =
        "Group digest of a team workspace: the system prompt, the user-prompt body rendered "
        "from the shared memories (highest team_score first) and the 16-hex-digit prompt hash "
        "that keys a synthesis run.";

    kl::group_digest::init();

    m.attr("GROUP_DIGEST_SYSTEM_PROMPT") = kl::py::make_str(kl::group_digest::kSystem);

    kl::py::add_function(
        m, "build_group_digest_prompt", &build_fast,
        "build_group_digest_prompt(rows)\n--\n\n"
        "Render the digest body for ``rows`` (shared memories: objects with ``team_score`` "
        "and ``content`` attributes).\n\n"
        "The header line, then one ``- (score) content`` line per row, highest score first "
        "(ties keep their input order; NaN scores go last, in input order), then an empty "
        "line and the closing instruction; no final line feed.  Scores are written with "
        "three decimals, correctly rounded (ints exactly, followed by .000).\n\n"
        "Raises TypeError if ``rows`` is not a list or a score is not an int or float, "
        "AttributeError for a missing attribute (every score is read before any content).");
    kl::py::add_function(
        m, "compute_prompt_hash", &hash_fast,
        "compute_prompt_hash(prompt)\n--\n\n"
        "The first 16 lower-case hex digits of the SHA-256 digest of ``prompt`` in UTF-8.\n\n"
        "Raises UnicodeEncodeError for a prompt holding an unpaired surrogate.  Long "
        "prompts are hashed without holding the GIL.");

    nb::list all;
    for (const char* name :
         {"GROUP_DIGEST_SYSTEM_PROMPT", "build_group_digest_prompt", "compute_prompt_hash"})
        all.append(name);
    m.attr("__all__") = all;
}
