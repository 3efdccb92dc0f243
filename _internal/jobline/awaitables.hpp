// The job line's two awaitables: the job body each job's task runs (wait for
// the predecessor, take a slot, await the job's coroutine, give the slot
// back) and the awaitable wait_all() returns.  Both are native coroutines on
// the frame of coroutine.hpp; module.cpp makes their types from the specs at
// the end.
//
// Binding code (it includes Python.h): included by module.cpp only.
#pragma once

#include <Python.h>

#include "jobline/coroutine.hpp"
#include "jobline/state.hpp"
#include "kl/py/ref.hpp"

namespace kl::jobline {

namespace {

// A job line's fields, which its jobs and waits read (the type is made in
// module.cpp).
struct JoblineObject {
    PyObject_HEAD
    PyObject* semaphore;
    PyObject* tasks;
    PyObject* max_concurrency;
};

struct Body {
    Frame f;
    JoblineObject* line;
    PyObject* name;     // the name the job was submitted under (exact str)
    PyObject* coro;     // the job's coroutine
    PyObject* after;    // the predecessor name as given: exact str or None
    PyObject* pred;     // the predecessor's task, or nullptr
    bool coro_settled;  // coro handed to the run phase or closed: never close it unstarted again
};

struct WaitAll {
    Frame f;
    JoblineObject* line;
    PyObject* timeout;  // float or None
};

// The quoted form of a name: the host's repr() of an exact str, so the
// printable test is the interpreter's own Unicode database.
PyObject* quoted(PyObject* name) { return PyUnicode_Type.tp_repr(name); }

// ---------------------------------------------------------------------------
// Job body.

PyObject* semaphore_of(Body* b) {
    if (!b->line || !b->line->semaphore) {
        PyErr_SetString(PyExc_RuntimeError, "the job line of this job has been cleared");
        return nullptr;
    }
    return b->line->semaphore;
}

// The predecessor's wait ended with an error: cancellation errors and
// ordinary failures become this job's cancellation ("Predecessor 'x'
// failed", caused by the error); interrupts and exit requests pass through.
void predecessor_failed(PyObject** st, Body* b) {
    if (!b->after) return;  // state cleared by the collector: nothing to name
    if (!PyErr_ExceptionMatches(st[kCancelledError]) && !PyErr_ExceptionMatches(PyExc_Exception))
        return;
    PyObject* cause = PyErr_GetRaisedException();
    Ref q = Ref::steal(quoted(b->after));
    Ref msg = Ref::steal(q ? PyUnicode_FromFormat("Predecessor %U failed", q.get()) : nullptr);
    Ref exc = Ref::steal(msg ? PyObject_CallOneArg(st[kCancelledError], msg.get()) : nullptr);
    if (!exc) {
        // Could not even build the message: keep the original error as context.
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetContext(err, cause);
        PyErr_SetRaisedException(err);
        return;
    }
    PyException_SetContext(exc.get(), Py_NewRef(cause));
    PyException_SetCause(exc.get(), cause);
    PyErr_SetRaisedException(exc.release());
}

// Gives the slot back after the job's coroutine ended; an error of release()
// replaces the coroutine's outcome, as leaving an `async with` would.
bool release_slot(PyObject** st, Body* b) {
    PyObject* sem = semaphore_of(b);
    if (!sem) return false;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(sem, st[kRelease]));
    return static_cast<bool>(r);
}

PySendResult start_acquire(PyObject** st, Body* b, PyObject** out) {
    b->f.phase = kTakeSlot;
    PyObject* sem = semaphore_of(b);
    Ref acq = Ref::steal(sem ? PyObject_CallMethodNoArgs(sem, st[kAcquire]) : nullptr);
    if (!acq) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    return delegate(&b->f, st, kTakeSlot, acq.get(), out);
}

PySendResult body_advance(Body* b, PyObject** st, PySendResult r, PyObject** out) {
    for (;;) {
        if (r == PYGEN_NEXT) return r;
        switch (b->f.phase) {
            case kInit:
                Py_CLEAR(*out);
                if (b->pred) {
                    r = delegate(&b->f, st, kPred, b->pred, out);
                } else {
                    r = start_acquire(st, b, out);
                }
                continue;
            case kPred:
                Py_CLEAR(b->f.sub);
                Py_CLEAR(b->pred);
                if (r == PYGEN_ERROR) {
                    predecessor_failed(st, b);
                    return finish(&b->f, r, out);
                }
                Py_CLEAR(*out);  // the predecessor's result is not passed on
                r = start_acquire(st, b, out);
                continue;
            case kTakeSlot:
                Py_CLEAR(b->f.sub);
                if (r == PYGEN_ERROR) return finish(&b->f, r, out);
                Py_CLEAR(*out);
                b->coro_settled = true;
                if (!b->coro) {
                    b->f.phase = kRun;
                    PyErr_SetString(PyExc_RuntimeError, "the job's coroutine has been cleared");
                    r = PYGEN_ERROR;
                } else {
                    Ref coro = Ref::borrow(b->coro);
                    r = delegate(&b->f, st, kRun, coro.get(), out);
                }
                continue;
            case kRun: {
                Py_CLEAR(b->f.sub);
                if (r == PYGEN_RETURN) {
                    if (!release_slot(st, b)) {
                        Py_CLEAR(*out);
                        return finish(&b->f, PYGEN_ERROR, out);
                    }
                    return finish(&b->f, r, out);
                }
                PyObject* exc = PyErr_GetRaisedException();
                if (!release_slot(st, b)) {
                    PyObject* err = PyErr_GetRaisedException();
                    PyException_SetContext(err, exc);
                    PyErr_SetRaisedException(err);
                } else {
                    PyErr_SetRaisedException(exc);
                }
                return finish(&b->f, PYGEN_ERROR, out);
            }
            default:
                return finish(&b->f, r, out);
        }
    }
}

int body_traverse(PyObject* self, visitproc visit, void* arg) {
    Body* b = reinterpret_cast<Body*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(b->f.sub);
    Py_VISIT(reinterpret_cast<PyObject*>(b->line));
    Py_VISIT(b->coro);
    Py_VISIT(b->pred);
    return 0;
}

int body_clear(PyObject* self) {
    Body* b = reinterpret_cast<Body*>(self);
    Py_CLEAR(b->f.sub);
    Py_CLEAR(b->line);
    Py_CLEAR(b->coro);
    Py_CLEAR(b->pred);
    Py_CLEAR(b->name);
    Py_CLEAR(b->after);
    return 0;
}

// A body that is dropped unfinished is closed, as the host closes a
// coroutine it finalizes; a job coroutine that never started is closed too,
// so it never warns that it was not awaited.
void body_finalize(PyObject* self) {
    Body* b = reinterpret_cast<Body*>(self);
    PyObject* saved = PyErr_GetRaisedException();
    if (!b->f.running && b->f.phase != kInit && b->f.phase != kFinished) {
        Ref r = Ref::steal(close_frame(&b->f));
        if (!r) PyErr_WriteUnraisable(self);
    }
    if (!b->coro_settled && b->coro) {
        b->coro_settled = true;
        Ref coro = Ref::borrow(b->coro);
        PyObject** st = state_of(self);
        if (!st || close_object(st, coro.get(), true) < 0) PyErr_WriteUnraisable(coro.get());
    }
    PyErr_SetRaisedException(saved);
}

void body_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    body_clear(self);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The completion callback: untrack the job (only the entry under its own
// submitted name, and only when that entry is this job's task, so a task
// renamed by its holder neither blocks its old name nor untracks another
// job) and discard its coroutine if the job never started it.
PyObject* body_on_done(PyObject* self, PyObject* task) {
    Body* b = reinterpret_cast<Body*>(self);
    Ref hold = Ref::borrow(self);
    if (b->line && b->line->tasks && b->name) {
        Ref tasks = Ref::borrow(b->line->tasks);
        Ref name = Ref::borrow(b->name);
        PyObject* current = nullptr;
        int found = PyDict_GetItemRef(tasks.get(), name.get(), &current);
        if (found < 0) return nullptr;
        Ref cur = Ref::steal(current);
        if (found && current == task && PyDict_DelItem(tasks.get(), name.get()) < 0)
            return nullptr;
    }
    Ref coro = Ref::borrow(b->coro);
    if (b->f.phase == kFinished && !b->f.running) {
        // The job is over: drop what it held so chains of finished jobs and
        // the job line are not kept alive by the tasks their holders keep.
        Py_CLEAR(b->line);
        Py_CLEAR(b->coro);
        Py_CLEAR(b->pred);
    }
    // Only a coroutine the job never got to await is closed.  One that was
    // awaited has ended with the job; if the await itself was refused because
    // another job is driving the same coroutine, closing it would pull it
    // from under that job and leave it waiting forever.
    if (coro && !b->coro_settled) {
        b->coro_settled = true;
        PyObject** st = state_of(self);
        if (!st || close_object(st, coro.get(), false) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kOnDoneDef = {
    "_on_done", body_on_done, METH_O,
    "_on_done(task, /)\n--\n\nCompletion callback of a job's task: untracks the job and "
    "closes its coroutine."};

PyObject* slot_str(PyObject* self, Slot i) {
    PyObject** st = state_of(self);
    return st ? Py_NewRef(st[i]) : nullptr;
}

PyObject* body_get_name(PyObject* self, void*) { return slot_str(self, kBodyName); }
PyObject* body_get_qualname(PyObject* self, void*) { return slot_str(self, kBodyQualname); }

PyGetSetDef kBodyGetset[] = {
    {"__name__", body_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", body_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", frame_get_running, nullptr, "True while the body is executing.", nullptr},
    {"cr_suspended", frame_get_suspended, nullptr,
     "True while the body is suspended at an await.", nullptr},
    {"cr_await", frame_get_await, nullptr, "The object the body is awaiting, or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A new job body, not started.
Body* new_body(PyObject** st, JoblineObject* line, PyObject* name, PyObject* coro,
               PyObject* after, PyObject* pred) {
    Body* b = PyObject_GC_New(Body, reinterpret_cast<PyTypeObject*>(st[kBodyType]));
    if (!b) return nullptr;
    b->f.sub = nullptr;
    b->f.phase = kInit;
    b->f.running = false;
    b->line = reinterpret_cast<JoblineObject*>(Py_NewRef(reinterpret_cast<PyObject*>(line)));
    b->name = Py_NewRef(name);
    b->coro = Py_NewRef(coro);
    b->after = Py_NewRef(after);
    b->pred = Py_XNewRef(pred);
    b->coro_settled = false;
    PyObject_GC_Track(b);
    return b;
}

// ---------------------------------------------------------------------------
// wait_all's awaitable.

PySendResult wait_advance(WaitAll* w, PyObject** st, PySendResult r, PyObject** out) {
    for (;;) {
        if (r == PYGEN_NEXT) return r;
        switch (w->f.phase) {
            case kInit: {
                Py_CLEAR(*out);
                PyObject* tasks = w->line ? w->line->tasks : nullptr;
                if (!tasks || PyDict_GET_SIZE(tasks) == 0) {
                    *out = Py_NewRef(Py_None);
                    return finish(&w->f, PYGEN_RETURN, out);
                }
                // The snapshot leaves out the task doing the waiting: a job that
                // awaits wait_all() would otherwise wait for itself forever.
                Ref values = Ref::steal(PyDict_Values(tasks));
                Ref current = Ref::steal(values ? PyObject_CallNoArgs(st[kCurrentTask]) : nullptr);
                Ref snapshot = Ref::steal(current ? PyList_New(0) : nullptr);
                if (!snapshot) return finish(&w->f, PYGEN_ERROR, out);
                Py_ssize_t n = PyList_GET_SIZE(values.get());
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyObject* t = PyList_GET_ITEM(values.get(), i);
                    if (t != current.get() && PyList_Append(snapshot.get(), t) < 0)
                        return finish(&w->f, PYGEN_ERROR, out);
                }
                if (PyList_GET_SIZE(snapshot.get()) == 0) {
                    *out = Py_NewRef(Py_None);
                    return finish(&w->f, PYGEN_RETURN, out);
                }
                Ref timeout = Ref::borrow(w->timeout ? w->timeout : Py_None);
                PyObject* call[2] = {snapshot.get(), timeout.get()};
                Ref waiting = Ref::steal(PyObject_Vectorcall(st[kWait], call, 1, st[kKwTimeout]));
                if (!waiting) return finish(&w->f, PYGEN_ERROR, out);
                r = delegate(&w->f, st, kWaiting, waiting.get(), out);
                continue;
            }
            case kWaiting:
                if (r == PYGEN_RETURN) {
                    // asyncio.wait's (done, pending) is not part of the result.
                    Py_SETREF(*out, Py_NewRef(Py_None));
                }
                return finish(&w->f, r, out);
            default:
                return finish(&w->f, r, out);
        }
    }
}

int wait_traverse(PyObject* self, visitproc visit, void* arg) {
    WaitAll* w = reinterpret_cast<WaitAll*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->f.sub);
    Py_VISIT(reinterpret_cast<PyObject*>(w->line));
    return 0;
}

int wait_clear(PyObject* self) {
    WaitAll* w = reinterpret_cast<WaitAll*>(self);
    Py_CLEAR(w->f.sub);
    Py_CLEAR(w->line);
    Py_CLEAR(w->timeout);
    return 0;
}

void wait_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    wait_clear(self);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* wait_get_name(PyObject* self, void*) { return slot_str(self, kWaitName); }
PyObject* wait_get_qualname(PyObject* self, void*) { return slot_str(self, kWaitQualname); }

PyGetSetDef kWaitGetset[] = {
    {"__name__", wait_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", wait_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", frame_get_running, nullptr, "True while the wait is executing.", nullptr},
    {"cr_suspended", frame_get_suspended, nullptr,
     "True while the wait is suspended at an await.", nullptr},
    {"cr_await", frame_get_await, nullptr, "The object the wait is awaiting, or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A new wait-all awaitable; timeout is a float or None.
WaitAll* new_wait(PyObject** st, JoblineObject* line, PyObject* timeout) {
    WaitAll* w = PyObject_GC_New(WaitAll, reinterpret_cast<PyTypeObject*>(st[kWaitType]));
    if (!w) return nullptr;
    w->f.sub = nullptr;
    w->f.phase = kInit;
    w->f.running = false;
    w->line = reinterpret_cast<JoblineObject*>(Py_NewRef(reinterpret_cast<PyObject*>(line)));
    w->timeout = Py_NewRef(timeout);
    PyObject_GC_Track(w);
    return w;
}

// ---------------------------------------------------------------------------
// Their types.

constexpr unsigned kAwaitableFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                     Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Slot kBodySlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(body_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(body_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(body_finalize)},
    {Py_tp_iternext, reinterpret_cast<void*>(frame_iternext)},
    {Py_am_await, reinterpret_cast<void*>(frame_await)},
    {Py_am_send, reinterpret_cast<void*>(frame_am_send)},
    {Py_tp_methods, kFrameMethods},
    {Py_tp_getset, kBodyGetset},
    {Py_tp_doc, const_cast<char*>("The coroutine a job's task runs: wait for the "
                                  "predecessor, take a slot, await the job.")},
    {0, nullptr},
};
PyType_Spec kBodySpec = {"kelvane_layer._internal.jobline._JobBody", sizeof(Body), 0,
                         kAwaitableFlags, kBodySlots};

PyType_Slot kWaitSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wait_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wait_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wait_clear)},
    {Py_tp_iternext, reinterpret_cast<void*>(frame_iternext)},
    {Py_am_await, reinterpret_cast<void*>(frame_await)},
    {Py_am_send, reinterpret_cast<void*>(frame_am_send)},
    {Py_tp_methods, kFrameMethods},
    {Py_tp_getset, kWaitGetset},
    {Py_tp_doc, const_cast<char*>("The awaitable returned by Jobline.wait_all().")},
    {0, nullptr},
};
PyType_Spec kWaitSpec = {"kelvane_layer._internal.jobline._WaitAll", sizeof(WaitAll), 0,
                         kAwaitableFlags, kWaitSlots};

}  // namespace

// The two awaitables' phase machines, behind the shared frame.
inline PySendResult advance(Frame* f, PyObject** st, PySendResult r, PyObject** out) {
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(f), reinterpret_cast<PyTypeObject*>(st[kBodyType])))
        return body_advance(reinterpret_cast<Body*>(f), st, r, out);
    return wait_advance(reinterpret_cast<WaitAll*>(f), st, r, out);
}

}  // namespace kl::jobline
