// Binding of the job line: a bounded-concurrency runner of named asynchronous
// jobs with single-predecessor dependencies, on the host's asyncio event loop.
//
// Everything here lives on the event loop's thread and manipulates host
// objects (tasks, the semaphore, the tracking dict), so it is all binding
// code; there is no core.  Three heap types of this module make it up:
//
//   Jobline    the runner itself: `_semaphore`, `_tasks`, `_max_concurrency`,
//              `submit`, `cancel_all`, `wait_all`, `active_count`;
//   _JobBody   the coroutine each job's task runs: wait for the predecessor,
//              take a slot, await the job's coroutine, give the slot back;
//   _WaitAll   the awaitable `wait_all` returns.
//
// The two awaitables (awaitables.hpp) share the native coroutine frame of
// coroutine.hpp and are registered as collections.abc.Coroutine so asyncio
// accepts them as the body of a task.  What all three use (names, asyncio's
// functions, the types) is in the module state (state.hpp), reached from
// each object's type.
#include <Python.h>

#include <cstddef>

#include "jobline/awaitables.hpp"
#include "jobline/state.hpp"
#include "kl/py/function.hpp"
#include "kl/py/module.hpp"
#include "kl/py/ref.hpp"

namespace kl::jobline {

namespace {

// ---------------------------------------------------------------------------
// Jobline.

constexpr const char* kJoblineDoc =
    "Jobline(max_concurrency=2)\n--\n\n"
    "Runs named asynchronous jobs on the running asyncio event loop, at most\n"
    "`max_concurrency` of them executing at once, each optionally after a named\n"
    "predecessor that must succeed first.\n\n"
    "`max_concurrency` is any number, truncated toward zero; below 1 is a ValueError.\n"
    "Use it from the event loop's thread only.";

// The constructor's parameters, bound like every method's.
constexpr kl::py::Function kConstructor = {"Jobline", {"max_concurrency"}, 0, kJoblineDoc,
                                           nullptr};

PyObject* jobline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* limit_arg = nullptr;
    if (!kl::py::bind_call(kConstructor, args, kwargs, &limit_arg)) return nullptr;
    PyObject** st = static_cast<PyObject**>(PyType_GetModuleState(type));
    if (!st) return nullptr;
    Ref limit = Ref::steal(limit_arg ? kl::py::int_param("Jobline", "max_concurrency", limit_arg)
                                     : PyLong_FromLong(2));
    if (!limit) return nullptr;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(limit.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        // A semaphore with no slot would leave every job waiting forever.
        PyErr_Format(PyExc_ValueError, "max_concurrency must be at least 1, not %R", limit.get());
        return nullptr;
    }
    Ref sem = Ref::steal(PyObject_CallOneArg(st[kSemaphore], limit.get()));
    if (!sem) return nullptr;
    Ref tasks = Ref::steal(PyDict_New());
    if (!tasks) return nullptr;
    auto* self = reinterpret_cast<JoblineObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->semaphore = sem.release();
    self->tasks = tasks.release();
    self->max_concurrency = limit.release();
    return reinterpret_cast<PyObject*>(self);
}

int jobline_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* j = reinterpret_cast<JoblineObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(j->semaphore);
    Py_VISIT(j->tasks);
    return 0;
}

int jobline_clear(PyObject* self) {
    auto* j = reinterpret_cast<JoblineObject*>(self);
    Py_CLEAR(j->semaphore);
    Py_CLEAR(j->tasks);
    Py_CLEAR(j->max_concurrency);
    return 0;
}

void jobline_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    jobline_clear(self);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* tasks_of(JoblineObject* j) {
    if (!j->tasks) PyErr_SetString(PyExc_RuntimeError, "this job line has been cleared");
    return j->tasks;
}

// Closes a refused coroutine, then raises ValueError(format % quoted(name)).
PyObject* refuse(PyObject** st, PyObject* coro, const char* format, PyObject* name) {
    if (close_object(st, coro, false) < 0) return nullptr;
    Ref q = Ref::steal(quoted(name));
    if (q) PyErr_Format(PyExc_ValueError, format, q.get());
    return nullptr;
}


PyObject* submit(PyObject* self_obj, PyObject* const* args) {
    auto* self = reinterpret_cast<JoblineObject*>(self_obj);
    PyObject* name_arg = args[0];
    PyObject* coro = args[1];
    PyObject* after_arg = args[2] ? args[2] : Py_None;
    if (!kl::py::check_str("submit", "name", name_arg) ||
        !kl::py::check_str("submit", "after", after_arg, true))
        return nullptr;
    PyObject** st = state_of(self_obj);
    if (!st) return nullptr;
    PyObject* tasks = tasks_of(self);
    if (!tasks) return nullptr;
    Ref keep_tasks = Ref::borrow(tasks);

    // Keys and task names are kept as exact str, whatever subclass came in.
    Ref name = Ref::steal(PyUnicode_FromObject(name_arg));
    if (!name) return nullptr;
    Ref after = Ref::steal(after_arg == Py_None ? Py_NewRef(Py_None)
                                                : PyUnicode_FromObject(after_arg));
    if (!after) return nullptr;

    int tracked = PyDict_Contains(tasks, name.get());
    if (tracked < 0) return nullptr;
    if (tracked) return refuse(st, coro, "Task %U already submitted", name.get());

    Ref pred;
    if (after.get() != Py_None) {
        PyObject* p = nullptr;
        int found = PyDict_GetItemRef(tasks, after.get(), &p);
        if (found < 0) return nullptr;
        if (!found) return refuse(st, coro, "Predecessor task %U not found", after.get());
        pred = Ref::steal(p);
        // The empty name must be tracked, but names no predecessor.
        if (PyUnicode_GET_LENGTH(after.get()) == 0) pred = Ref();
    }

    Ref loop = Ref::steal(PyObject_CallNoArgs(st[kGetRunningLoop]));
    if (!loop) return nullptr;  // no running loop: nothing recorded, coro untouched
    Ref body = Ref::steal(reinterpret_cast<PyObject*>(
        new_body(st, self, name.get(), coro, after.get(), pred.get())));
    if (!body) return nullptr;
    PyObject* call[3] = {loop.get(), body.get(), name.get()};
    Ref task = Ref::steal(PyObject_VectorcallMethod(
        st[kCreateTask], call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, st[kKwName]));
    if (!task) {
        // The loop refused the task: the coroutine stays the caller's, unclosed.
        Body* b = reinterpret_cast<Body*>(body.get());
        b->coro_settled = true;
        b->f.phase = kFinished;
        return nullptr;
    }
    if (PyDict_SetItem(tasks, name.get(), task.get()) < 0) return nullptr;
    Ref callback = Ref::steal(
        PyCFunction_NewEx(&kOnDoneDef, body.get(), nullptr));
    Ref added = Ref::steal(
        callback ? PyObject_CallMethodOneArg(task.get(), st[kAddDoneCallback], callback.get())
                 : nullptr);
    if (!added) {
        // Without its callback the entry would never leave: take it back.
        PyObject* err = PyErr_GetRaisedException();
        PyObject* current = nullptr;
        if (PyDict_GetItemRef(tasks, name.get(), &current) > 0 && current == task.get())
            PyDict_DelItem(tasks, name.get());
        Py_XDECREF(current);
        PyErr_Clear();
        PyErr_SetRaisedException(err);
        return nullptr;
    }
    return task.release();
}

PyObject* cancel_all(PyObject* self_obj, PyObject* const*) {
    auto* self = reinterpret_cast<JoblineObject*>(self_obj);
    PyObject** st = state_of(self_obj);
    if (!st) return nullptr;
    PyObject* tasks = tasks_of(self);
    if (!tasks) return nullptr;
    Ref snapshot = Ref::steal(PyDict_Values(tasks));
    if (!snapshot) return nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t n = PyList_GET_SIZE(snapshot.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* task = PyList_GET_ITEM(snapshot.get(), i);
        Ref done = Ref::steal(PyObject_CallMethodNoArgs(task, st[kDone]));
        if (!done) return nullptr;
        int is_done = PyObject_IsTrue(done.get());
        if (is_done < 0) return nullptr;
        if (is_done) continue;
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(task, st[kCancel]));
        if (!r) return nullptr;
        ++count;
    }
    return PyLong_FromSsize_t(count);
}

PyObject* wait_all(PyObject* self_obj, PyObject* const* args) {
    Ref timeout;
    if (!args[0] || args[0] == Py_None) {
        timeout = Ref::borrow(Py_None);
    } else {
        double seconds;
        if (!kl::py::float_param("wait_all", "timeout", args[0], seconds)) return nullptr;
        timeout = Ref::steal(PyFloat_FromDouble(seconds));
        if (!timeout) return nullptr;
    }
    PyObject** st = state_of(self_obj);
    if (!st) return nullptr;
    return reinterpret_cast<PyObject*>(
        new_wait(st, reinterpret_cast<JoblineObject*>(self_obj), timeout.get()));
}

PyObject* active_count(PyObject* self, void*) {
    PyObject* tasks = reinterpret_cast<JoblineObject*>(self)->tasks;
    return PyLong_FromSsize_t(tasks ? PyDict_Size(tasks) : 0);
}

PyObject* jobline_repr(PyObject* self) {
    auto* j = reinterpret_cast<JoblineObject*>(self);
    return PyUnicode_FromFormat("<Jobline max_concurrency=%R active=%zd>",
                                j->max_concurrency ? j->max_concurrency : Py_None,
                                j->tasks ? PyDict_Size(j->tasks) : 0);
}

constexpr const char* kSubmitDoc =
    "submit($self, name, coro, *, after=None)\n--\n\n"
    "Run the coroutine `coro` as the job `name` and return its asyncio task.\n\n"
    "The task is created on the running event loop under `name` and tracked until its\n"
    "completion callback has run.  Its body first awaits the job named `after`, if any\n"
    "(the empty name waits for nothing): should that job fail or be cancelled, this job\n"
    "ends cancelled with \"Predecessor '<after>' failed\" and the error as its cause.\n"
    "It then takes one of the `max_concurrency` slots (first come, first served) and\n"
    "awaits `coro`, whose result or failure becomes the job's.\n\n"
    "Raises ValueError (and closes `coro`) when `name` is still tracked or `after` is\n"
    "not; TypeError for a name or `after` that is not a str; the loop's RuntimeError\n"
    "when no loop is running (then `coro` is left untouched).";

constexpr const char* kCancelAllDoc =
    "cancel_all($self, /)\n--\n\n"
    "Request the cancellation of every tracked job that is not done yet, in submission\n"
    "order, and return how many requests were made.  Entries leave when their jobs\n"
    "have finished cancelling.";

constexpr const char* kWaitAllDoc =
    "wait_all($self, timeout=None)\n--\n\n"
    "Awaitable: wait until every job tracked when the wait starts is done, or until\n"
    "`timeout` seconds (any number; None waits without limit) have passed.\n\n"
    "Completes at once when nothing is tracked.  Never raises for the jobs' failures,\n"
    "never consumes them and never cancels anything; a job that awaits it does not\n"
    "wait for itself.";

// `after` is keyword-only: a third positional argument would read as a
// second coroutine far too easily.
constexpr kl::py::Function kMethods[] = {
    {"submit", {"name", "coro", "after"}, 2, kSubmitDoc, &submit, 0, 2},
    {"cancel_all", {}, 0, kCancelAllDoc, &cancel_all},
    {"wait_all", {"timeout"}, 0, kWaitAllDoc, &wait_all},
};

PyMemberDef kMembers[] = {
    {"_semaphore", Py_T_OBJECT_EX, offsetof(JoblineObject, semaphore), Py_READONLY,
     "The asyncio.Semaphore holding the execution slots."},
    {"_tasks", Py_T_OBJECT_EX, offsetof(JoblineObject, tasks), Py_READONLY,
     "Tracked jobs: name -> task, in submission order."},
    {"_max_concurrency", Py_T_OBJECT_EX, offsetof(JoblineObject, max_concurrency), Py_READONLY,
     "The limit given to the constructor, truncated to an int."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetset[] = {
    {"active_count", active_count, nullptr,
     "Number of tracked jobs: submitted and not yet through their completion callback.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// The module.

PyType_Slot kJoblineSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(jobline_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(jobline_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(jobline_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(jobline_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(jobline_repr)},
    {Py_tp_methods, kl::py::methods<kMethods>()},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetset},
    {Py_tp_doc, const_cast<char*>(kJoblineDoc)},
    {0, nullptr},
};
PyType_Spec kJoblineSpec = {"kelvane_layer._internal.jobline.Jobline", sizeof(JoblineObject),
                            0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
                                Py_TPFLAGS_IMMUTABLETYPE,
                            kJoblineSlots};

PyObject* type_from(PyObject* m, PyType_Spec* spec) {
    return PyType_FromModuleAndSpec(m, spec, nullptr);
}

// A tuple of one keyword name, for vectorcalls.
PyObject* keyword_names(const char* name) { return Py_BuildValue("(s)", name); }

int exec(PyObject* m) {
    using kl::py::keep;
    using kl::py::intern;
    bool ok = keep(m, kClose, intern("close")) && keep(m, kThrow, intern("throw")) &&
              keep(m, kCrAwait, intern("cr_await")) && keep(m, kAcquire, intern("acquire")) &&
              keep(m, kRelease, intern("release")) &&
              keep(m, kCreateTask, intern("create_task")) &&
              keep(m, kAddDoneCallback, intern("add_done_callback")) &&
              keep(m, kDone, intern("done")) && keep(m, kCancel, intern("cancel")) &&
              keep(m, kKwName, keyword_names("name")) &&
              keep(m, kKwTimeout, keyword_names("timeout")) &&
              keep(m, kBodyName, intern("_wrapper")) &&
              keep(m, kBodyQualname, intern("Jobline._wrapper")) &&
              keep(m, kWaitName, intern("wait_all")) &&
              keep(m, kWaitQualname, intern("Jobline.wait_all")) &&
              keep(m, kCancelledError, kl::py::import_attr("asyncio", "CancelledError")) &&
              keep(m, kSemaphore, kl::py::import_attr("asyncio", "Semaphore")) &&
              keep(m, kGetRunningLoop, kl::py::import_attr("asyncio", "get_running_loop")) &&
              keep(m, kCurrentTask, kl::py::import_attr("asyncio", "current_task")) &&
              keep(m, kWait, kl::py::import_attr("asyncio", "wait")) &&
              keep(m, kBodyType, type_from(m, &kBodySpec)) &&
              keep(m, kWaitType, type_from(m, &kWaitSpec)) &&
              keep(m, kJoblineType, type_from(m, &kJoblineSpec)) &&
              keep(m, kLogger, kl::py::get_logger("kelvane_layer._internal.jobline"));
    if (!ok) return -1;

    // asyncio accepts a task body only if it is a coroutine in the sense of
    // collections.abc.Coroutine.
    Ref coroutine_abc = Ref::steal(kl::py::import_attr("collections.abc", "Coroutine"));
    Ref register_name = Ref::steal(intern("register"));
    if (!coroutine_abc || !register_name) return -1;
    for (Slot t : {kBodyType, kWaitType}) {
        Ref r = Ref::steal(
            PyObject_CallMethodOneArg(coroutine_abc.get(), register_name.get(), kl::py::slot(m, t)));
        if (!r) return -1;
    }
    ok = kl::py::add(m, "Jobline", Py_NewRef(kl::py::slot(m, kJoblineType))) &&
         kl::py::set_all(m, {"Jobline"});
    return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

constexpr const char* kDoc =
    "The job line: a bounded-concurrency runner of named asynchronous jobs with "
    "single-predecessor dependencies, on the running asyncio event loop.";

PyMethodDef kNoFunctions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = kl::py::module_def<kSlotCount>("kelvane_layer._internal.jobline", kDoc,
                                                     kNoFunctions, kSlots);

}  // namespace

}  // namespace kl::jobline

PyMODINIT_FUNC PyInit_jobline() { return PyModuleDef_Init(&kl::jobline::kModule); }
