// The job line: a bounded-concurrency runner of named asynchronous jobs with
// single-predecessor dependencies, on the host's asyncio event loop.
//
// Everything here lives on the event loop's thread and manipulates host
// objects (tasks, the semaphore, the tracking dict), so the core is written
// against the C API rather than on C++ values.  Three native types make it up:
//
//   Jobline    the runner itself: `_semaphore`, `_tasks`, `_max_concurrency`,
//              `submit`, `cancel_all`, `wait_all`, `active_count`;
//   job body   the coroutine each job's task runs: wait for the predecessor,
//              take a slot, await the job's coroutine, give the slot back;
//   wait-all   the awaitable `wait_all` returns.
//
// The two awaitables implement the coroutine protocol (send, throw, close,
// __await__, __next__) with the delegation rules of the host's `await`, and
// are registered as collections.abc.Coroutine so asyncio accepts them as the
// body of a task.
#pragma once

#include <Python.h>

namespace kl::jobline {

// Creates the types (once per process), imports asyncio and registers the
// awaitables with collections.abc.Coroutine.  Returns a borrowed reference to
// the Jobline type, or nullptr with a Python exception set.
PyObject* jobline_type();

}  // namespace kl::jobline
