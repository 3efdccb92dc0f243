#include "jobline/jobline.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>

#include "kl/pyedge.hpp"

namespace kl::jobline {

namespace {

// ---------------------------------------------------------------------------
// Process-wide state, set up once by jobline_type().

struct Names {
    PyObject* acquire;
    PyObject* release;
    PyObject* close;
    PyObject* throw_;
    PyObject* cr_await;
    PyObject* create_task;
    PyObject* add_done_callback;
    PyObject* done;
    PyObject* cancel;
    PyObject* kw_name;     // ("name",)
    PyObject* kw_timeout;  // ("timeout",)
};

Names s;
PyObject* g_cancelled_error = nullptr;  // asyncio.CancelledError
PyObject* g_semaphore = nullptr;        // asyncio.Semaphore
PyObject* g_get_running_loop = nullptr;
PyObject* g_current_task = nullptr;
PyObject* g_wait = nullptr;  // asyncio.wait
PyTypeObject* g_jobline_type = nullptr;
PyTypeObject* g_body_type = nullptr;
PyTypeObject* g_wait_type = nullptr;

// Owning reference with the minimum of ceremony.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Delegation helpers: what the host's `await` does with the object it awaits.

bool is_iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    bool flag = code && (code->co_flags & CO_ITERABLE_COROUTINE);
    Py_XDECREF(code);
    return flag;
}

// The iterator `await o` drives: a native coroutine itself (unless another
// await is already driving it), otherwise the result of __await__(), which
// must be an iterator and not a coroutine.
PyObject* awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) {
        PyObject* yf = PyObject_GetAttr(o, s.cr_await);
        if (!yf) return nullptr;
        bool busy = yf != Py_None;
        Py_DECREF(yf);
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    if (is_iterable_coroutine(o)) return Py_NewRef(o);
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    unaryfunc getter = am ? am->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it) || is_iterable_coroutine(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

// Calls o.close() when `o` has one.  A failing attribute lookup is reported
// as unraisable when `lenient` (what `await` does while closing the object it
// delegates to) and raised otherwise.  0 on success, -1 with an error set.
int close_object(PyObject* o, bool lenient) {
    PyObject* r;
    if (PyCoro_CheckExact(o) || PyGen_CheckExact(o)) {
        r = PyObject_CallMethodNoArgs(o, s.close);
    } else {
        PyObject* meth = nullptr;
        if (PyObject_GetOptionalAttr(o, s.close, &meth) < 0) {
            if (!lenient) return -1;
            PyErr_WriteUnraisable(o);
            return 0;
        }
        if (!meth) return 0;
        r = PyObject_CallNoArgs(meth);
        Py_DECREF(meth);
    }
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// A StopIteration raised by the delegate means it returned: its value is the
// result of the await.  Otherwise the error stays set.
PySendResult result_of_call(PyObject* r, PyObject** out) {
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* value = reinterpret_cast<PyStopIterationObject*>(exc)->value;
        *out = Py_NewRef(value ? value : Py_None);
        Py_DECREF(exc);
        return PYGEN_RETURN;
    }
    *out = nullptr;
    return PYGEN_ERROR;
}

// Raises `exc` (borrowed) at the suspension point.
PySendResult raise_here(PyObject* exc, PyObject** out) {
    PyErr_SetRaisedException(Py_NewRef(exc));
    *out = nullptr;
    return PYGEN_ERROR;
}

// throw(exc) forwarded to the delegate `it`, as `await` forwards it.
PySendResult forward_throw(PyObject* it, PyObject* exc, PyObject** out) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // The delegate is closed first; a failure to close replaces the
        // GeneratorExit at the suspension point.
        if (close_object(it, true) < 0) {
            *out = nullptr;
            return PYGEN_ERROR;
        }
        return raise_here(exc, out);
    }
    if (PyCoro_CheckExact(it) || PyGen_CheckExact(it))
        return result_of_call(PyObject_CallMethodOneArg(it, s.throw_, exc), out);
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(it, s.throw_, &meth) < 0) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    if (!meth) return raise_here(exc, out);
    PyObject* r = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    return result_of_call(r, out);
}

// The arguments of throw(): an exception instance, or a class with an
// optional value and traceback (the older three-argument form).  Returns a
// new reference to the instance, or nullptr with an error set.
PyObject* exception_to_throw(PyObject* const* args, Py_ssize_t n) {
    if (n < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", n);
        return nullptr;
    }
    if (n > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", n);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = n > 1 ? args[1] : nullptr;
    PyObject* tb = n > 2 ? args[2] : nullptr;
    if (n > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                              "the (type, exc, tb) signature of throw() is deprecated, "
                              "use the single-arg signature instead.",
                              1) < 0)
        return nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val ? val : Py_None);
        exc = PyErr_GetRaisedException();
        if (!PyErr_GivenExceptionMatches(exc, typ)) {
            // The class's constructor failed: that failure is what is raised.
            PyErr_SetRaisedException(exc);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    return exc;
}

// "raise RuntimeError(...) from exc" for a StopIteration that would leave a
// coroutine: the task would otherwise take it for a normal return.
void convert_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, Py_NewRef(cause));
    PyException_SetCause(exc, cause);
    PyErr_SetRaisedException(exc);
}

// ---------------------------------------------------------------------------
// The common frame of the two awaitables: a phase machine that delegates to
// one sub-iterator at a time.

enum Phase : std::uint8_t {
    kInit = 0,  // created, not started
    kPred,      // job body: awaiting the predecessor's task
    kAcquire,   // job body: awaiting _semaphore.acquire()
    kRun,       // job body: awaiting the job's coroutine, holding a slot
    kWaiting,   // wait-all: awaiting asyncio.wait(...)
    kDone,      // finished; nothing to resume
};

struct Frame {
    PyObject_HEAD
    PyObject* sub;  // the iterator being delegated to (phases between kInit and kDone)
    Phase phase;
    bool running;  // inside send/throw/close: re-entry is refused
};

enum class Op { Send, Throw, Close };

struct JoblineObject {
    PyObject_HEAD
    PyObject* semaphore;
    PyObject* tasks;
    PyObject* max_concurrency;
};

struct Body {
    Frame f;
    JoblineObject* line;
    PyObject* name;   // the name the job was submitted under (exact str)
    PyObject* coro;   // the job's coroutine
    PyObject* after;  // the predecessor name as given: exact str or None
    PyObject* pred;   // the predecessor's task, or nullptr
    bool coro_settled;  // coro handed to the run phase or closed: never close it unstarted again
};

struct WaitAll {
    Frame f;
    JoblineObject* line;
    PyObject* timeout;  // float or None
};

PySendResult body_advance(Body* b, PySendResult r, PyObject** out);
PySendResult wait_advance(WaitAll* w, PySendResult r, PyObject** out);

PySendResult advance(Frame* f, PySendResult r, PyObject** out) {
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(f), g_body_type))
        return body_advance(reinterpret_cast<Body*>(f), r, out);
    return wait_advance(reinterpret_cast<WaitAll*>(f), r, out);
}

PySendResult finish(Frame* f, PySendResult r, PyObject** out) {
    f->phase = kDone;
    Py_CLEAR(f->sub);
    if (r == PYGEN_ERROR) {
        *out = nullptr;
        convert_stop_iteration();
    }
    return r;
}

// One resumption of the frame: send(arg), throw(arg) or close().  Mirrors the
// host's coroutine objects: refusal while running, "cannot reuse" once done,
// a non-None first send is an error, a throw into an unstarted frame raises
// at its start.
PySendResult resume(Frame* f, Op op, PyObject* arg, PyObject** out) {
    *out = nullptr;
    if (f->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (f->phase == kDone) {
        if (op == Op::Send) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
        if (op == Op::Throw) return raise_here(arg, out);
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (f->phase == kInit) {
        if (op == Op::Close) {
            f->phase = kDone;
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        if (op == Op::Throw) {
            raise_here(arg, out);
            return finish(f, PYGEN_ERROR, out);
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
    }
    PyObject* self = reinterpret_cast<PyObject*>(f);
    Py_INCREF(self);
    f->running = true;
    PySendResult r;
    if (f->phase == kInit) {
        *out = Py_NewRef(Py_None);
        r = PYGEN_RETURN;  // the start: as if a first, empty step had returned
    } else if (!f->sub) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine state was cleared");
        r = PYGEN_ERROR;
    } else {
        Ref it(Py_NewRef(f->sub));
        switch (op) {
            case Op::Send:
                r = PyIter_Send(it.get(), arg, out);
                break;
            case Op::Throw:
                r = forward_throw(it.get(), arg, out);
                break;
            default:
                if (close_object(it.get(), true) == 0) PyErr_SetNone(PyExc_GeneratorExit);
                r = PYGEN_ERROR;
                break;
        }
    }
    r = advance(f, r, out);
    f->running = false;
    Py_DECREF(self);
    return r;
}

// close(): GeneratorExit at the suspension point; swallowing it and going on
// is an error, returning a value returns it.
PyObject* close_frame(Frame* f) {
    PyObject* out = nullptr;
    PySendResult r = resume(f, Op::Close, nullptr, &out);
    if (r == PYGEN_RETURN) return out;
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PySendResult frame_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return resume(reinterpret_cast<Frame*>(self), Op::Send, arg, out);
}

PyObject* frame_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult r = resume(reinterpret_cast<Frame*>(self), Op::Send, Py_None, &out);
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        if (out != Py_None) {
            // StopIteration(value) built explicitly so a tuple value is not unpacked.
            PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, out);
            if (exc) {
                PyErr_SetObject(PyExc_StopIteration, exc);
                Py_DECREF(exc);
            }
        }
        Py_DECREF(out);
    }
    return nullptr;
}

PyObject* to_method_result(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        if (out == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, out);
            if (exc) {
                PyErr_SetObject(PyExc_StopIteration, exc);
                Py_DECREF(exc);
            }
        }
        Py_DECREF(out);
    }
    return nullptr;
}

PyObject* frame_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult r = resume(reinterpret_cast<Frame*>(self), Op::Send, arg, &out);
    return to_method_result(r, out);
}

PyObject* frame_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc(exception_to_throw(args, nargs));
    if (!exc) return nullptr;
    PyObject* out = nullptr;
    PySendResult r = resume(reinterpret_cast<Frame*>(self), Op::Throw, exc.get(), &out);
    return to_method_result(r, out);
}

PyObject* frame_close(PyObject* self, PyObject*) {
    return close_frame(reinterpret_cast<Frame*>(self));
}

PyObject* frame_await(PyObject* self) { return Py_NewRef(self); }

PyObject* frame_get_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Frame*>(self)->running);
}

PyObject* frame_get_await(PyObject* self, void*) {
    Frame* f = reinterpret_cast<Frame*>(self);
    return Py_NewRef(f->sub && f->phase != kDone ? f->sub : Py_None);
}

PyObject* frame_get_suspended(PyObject* self, void*) {
    Frame* f = reinterpret_cast<Frame*>(self);
    return PyBool_FromLong(!f->running && f->phase != kInit && f->phase != kDone);
}

PyMethodDef frame_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(frame_send), METH_O,
     "send(value, /)\n--\n\nResume with `value`: returns the next value the awaited object "
     "yields, or raises StopIteration with the result."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_throw)),
     METH_FASTCALL,
     "throw(exc, /)\n--\n\nRaise `exc` at the current suspension point (it is forwarded to "
     "the awaited object first)."},
    {"close", frame_close, METH_NOARGS,
     "close($self, /)\n--\n\nRaise GeneratorExit at the current suspension point; an "
     "unstarted body is discarded."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Job body.

// The quoted form of a name: the host's repr() of an exact str.
PyObject* quoted(PyObject* name) { return PyUnicode_Type.tp_repr(name); }

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
void predecessor_failed(Body* b) {
    if (!b->after) return;  // state cleared by the collector: nothing to name
    if (!PyErr_ExceptionMatches(g_cancelled_error) && !PyErr_ExceptionMatches(PyExc_Exception))
        return;
    PyObject* cause = PyErr_GetRaisedException();
    Ref q(quoted(b->after));
    Ref msg(q ? PyUnicode_FromFormat("Predecessor %U failed", q.get()) : nullptr);
    Ref exc(msg ? PyObject_CallOneArg(g_cancelled_error, msg.get()) : nullptr);
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
bool release_slot(Body* b) {
    PyObject* sem = semaphore_of(b);
    if (!sem) return false;
    PyObject* r = PyObject_CallMethodNoArgs(sem, s.release);
    if (!r) return false;
    Py_DECREF(r);
    return true;
}

// Starts delegating to `awaitable` in phase `phase`: the first send(None).
PySendResult delegate(Frame* f, Phase phase, PyObject* awaitable, PyObject** out) {
    f->phase = phase;
    PyObject* it = awaitable_iter(awaitable);
    if (!it) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    Py_XSETREF(f->sub, it);
    return PyIter_Send(it, Py_None, out);
}

PySendResult start_acquire(Body* b, PyObject** out) {
    b->f.phase = kAcquire;
    PyObject* sem = semaphore_of(b);
    Ref acq(sem ? PyObject_CallMethodNoArgs(sem, s.acquire) : nullptr);
    if (!acq) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    return delegate(&b->f, kAcquire, acq.get(), out);
}

PySendResult body_advance(Body* b, PySendResult r, PyObject** out) {
    for (;;) {
        if (r == PYGEN_NEXT) return r;
        switch (b->f.phase) {
            case kInit:
                Py_CLEAR(*out);
                if (b->pred) {
                    r = delegate(&b->f, kPred, b->pred, out);
                } else {
                    r = start_acquire(b, out);
                }
                continue;
            case kPred:
                Py_CLEAR(b->f.sub);
                Py_CLEAR(b->pred);
                if (r == PYGEN_ERROR) {
                    predecessor_failed(b);
                    return finish(&b->f, r, out);
                }
                Py_CLEAR(*out);  // the predecessor's result is not passed on
                r = start_acquire(b, out);
                continue;
            case kAcquire:
                Py_CLEAR(b->f.sub);
                if (r == PYGEN_ERROR) return finish(&b->f, r, out);
                Py_CLEAR(*out);
                b->coro_settled = true;
                if (!b->coro) {
                    b->f.phase = kRun;
                    PyErr_SetString(PyExc_RuntimeError, "the job's coroutine has been cleared");
                    r = PYGEN_ERROR;
                } else {
                    Ref coro(Py_NewRef(b->coro));
                    r = delegate(&b->f, kRun, coro.get(), out);
                }
                continue;
            case kRun: {
                Py_CLEAR(b->f.sub);
                if (r == PYGEN_RETURN) {
                    if (!release_slot(b)) {
                        Py_CLEAR(*out);
                        return finish(&b->f, PYGEN_ERROR, out);
                    }
                    return finish(&b->f, r, out);
                }
                PyObject* exc = PyErr_GetRaisedException();
                if (!release_slot(b)) {
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
    if (!b->f.running && b->f.phase != kInit && b->f.phase != kDone) {
        PyObject* r = close_frame(&b->f);
        if (r) {
            Py_DECREF(r);
        } else {
            PyErr_WriteUnraisable(self);
        }
    }
    if (!b->coro_settled && b->coro) {
        b->coro_settled = true;
        Ref coro(Py_NewRef(b->coro));
        if (close_object(coro.get(), true) < 0) PyErr_WriteUnraisable(coro.get());
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
    Ref hold(Py_NewRef(self));
    if (b->line && b->line->tasks && b->name) {
        Ref tasks(Py_NewRef(b->line->tasks));
        Ref name(Py_NewRef(b->name));
        PyObject* current = nullptr;
        int found = PyDict_GetItemRef(tasks.get(), name.get(), &current);
        if (found < 0) return nullptr;
        Ref cur(current);
        if (found && current == task && PyDict_DelItem(tasks.get(), name.get()) < 0)
            return nullptr;
    }
    Ref coro(b->coro ? Py_NewRef(b->coro) : nullptr);
    if (b->f.phase == kDone && !b->f.running) {
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
        if (close_object(coro.get(), false) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef on_done_def = {
    "_on_done", body_on_done, METH_O,
    "_on_done(task, /)\n--\n\nCompletion callback of a job's task: untracks the job and "
    "closes its coroutine."};

PyObject* body_get_name(PyObject*, void*) { return PyUnicode_FromString("_wrapper"); }
PyObject* body_get_qualname(PyObject*, void*) {
    return PyUnicode_FromString("Jobline._wrapper");
}

PyGetSetDef body_getset[] = {
    {"__name__", body_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", body_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", frame_get_running, nullptr, "True while the body is executing.", nullptr},
    {"cr_suspended", frame_get_suspended, nullptr,
     "True while the body is suspended at an await.", nullptr},
    {"cr_await", frame_get_await, nullptr, "The object the body is awaiting, or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// wait_all's awaitable.

PySendResult wait_advance(WaitAll* w, PySendResult r, PyObject** out) {
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
                Ref values(PyDict_Values(tasks));
                Ref current(values ? PyObject_CallNoArgs(g_current_task) : nullptr);
                Ref snapshot(current ? PyList_New(0) : nullptr);
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
                Ref timeout(Py_NewRef(w->timeout ? w->timeout : Py_None));
                PyObject* call[2] = {snapshot.get(), timeout.get()};
                Ref waiting(PyObject_Vectorcall(g_wait, call, 1, s.kw_timeout));
                if (!waiting) return finish(&w->f, PYGEN_ERROR, out);
                r = delegate(&w->f, kWaiting, waiting.get(), out);
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

PyObject* wait_get_name(PyObject*, void*) { return PyUnicode_FromString("wait_all"); }
PyObject* wait_get_qualname(PyObject*, void*) {
    return PyUnicode_FromString("Jobline.wait_all");
}

PyGetSetDef wait_getset[] = {
    {"__name__", wait_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", wait_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", frame_get_running, nullptr, "True while the wait is executing.", nullptr},
    {"cr_suspended", frame_get_suspended, nullptr,
     "True while the wait is suspended at an await.", nullptr},
    {"cr_await", frame_get_await, nullptr, "The object the wait is awaiting, or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Jobline.

// Binds vectorcall arguments to named parameters; parameters from index
// `max_pos` on are keyword-only, the first `required` must be given.
bool bind_args(const char* func, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               const char* const* names, Py_ssize_t count, Py_ssize_t max_pos,
               Py_ssize_t required, PyObject** out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > max_pos) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)",
                     func, max_pos, max_pos == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < count && !PyUnicode_EqualToUTF8(key, names[i])) ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", func,
                         key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func,
                         names[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", func,
                         names[i], i + 1);
            return false;
        }
    }
    return true;
}

PyObject* arg_type_error(const char* func, const char* param, const char* expected,
                         PyObject* got) {
    try {
        kl::py::raise_arg_type(func, param, expected, got);
    } catch (nanobind::python_error& e) {
        e.restore();
    }
    return nullptr;
}

PyObject* jobline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"max_concurrency", nullptr};
    PyObject* limit_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Jobline", const_cast<char**>(kwlist),
                                     &limit_arg))
        return nullptr;
    Ref limit;
    if (!limit_arg) {
        limit = Ref(PyLong_FromLong(2));
    } else {
        try {
            limit = Ref(kl::py::int_param("Jobline", "max_concurrency", limit_arg).release().ptr());
        } catch (nanobind::python_error& e) {
            e.restore();
            return nullptr;
        }
    }
    if (!limit) return nullptr;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(limit.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        // A semaphore with no slot would leave every job waiting forever.
        PyErr_Format(PyExc_ValueError, "max_concurrency must be at least 1, not %R", limit.get());
        return nullptr;
    }
    Ref sem(PyObject_CallOneArg(g_semaphore, limit.get()));
    if (!sem) return nullptr;
    Ref tasks(PyDict_New());
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

// Closes a refused coroutine, then raises ValueError(prefix + quoted + suffix).
PyObject* refuse(PyObject* coro, const char* format, PyObject* name) {
    if (close_object(coro, false) < 0) return nullptr;
    Ref q(quoted(name));
    if (q) PyErr_Format(PyExc_ValueError, format, q.get());
    return nullptr;
}

Body* new_body(JoblineObject* line, PyObject* name, PyObject* coro, PyObject* after,
               PyObject* pred) {
    Body* b = PyObject_GC_New(Body, g_body_type);
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

PyObject* jobline_submit(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    auto* self = reinterpret_cast<JoblineObject*>(self_obj);
    static const char* const names[] = {"name", "coro", "after"};
    PyObject* a[3];
    if (!bind_args("submit", args, nargsf, kwnames, names, 3, 2, 2, a)) return nullptr;
    PyObject* name_arg = a[0];
    PyObject* coro = a[1];
    PyObject* after_arg = a[2] ? a[2] : Py_None;
    if (!PyUnicode_Check(name_arg)) return arg_type_error("submit", "name", "str", name_arg);
    if (after_arg != Py_None && !PyUnicode_Check(after_arg))
        return arg_type_error("submit", "after", "str or None", after_arg);
    PyObject* tasks = tasks_of(self);
    if (!tasks) return nullptr;
    Ref keep_tasks(Py_NewRef(tasks));

    // Keys and task names are kept as exact str, whatever subclass came in.
    Ref name(PyUnicode_FromObject(name_arg));
    if (!name) return nullptr;
    Ref after(after_arg == Py_None ? Py_NewRef(Py_None) : PyUnicode_FromObject(after_arg));
    if (!after) return nullptr;

    int tracked = PyDict_Contains(tasks, name.get());
    if (tracked < 0) return nullptr;
    if (tracked) return refuse(coro, "Task %U already submitted", name.get());

    Ref pred;
    if (after.get() != Py_None) {
        PyObject* p = nullptr;
        int found = PyDict_GetItemRef(tasks, after.get(), &p);
        if (found < 0) return nullptr;
        if (!found) return refuse(coro, "Predecessor task %U not found", after.get());
        pred = Ref(p);
        // The empty name must be tracked, but names no predecessor.
        if (PyUnicode_GET_LENGTH(after.get()) == 0) pred = Ref();
    }

    Ref loop(PyObject_CallNoArgs(g_get_running_loop));
    if (!loop) return nullptr;  // no running loop: nothing recorded, coro untouched
    Ref body(reinterpret_cast<PyObject*>(
        new_body(self, name.get(), coro, after.get(), pred.get())));
    if (!body) return nullptr;
    PyObject* call[3] = {loop.get(), body.get(), name.get()};
    Ref task(PyObject_VectorcallMethod(s.create_task, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       s.kw_name));
    if (!task) {
        // The loop refused the task: the coroutine stays the caller's, unclosed.
        Body* b = reinterpret_cast<Body*>(body.get());
        b->coro_settled = true;
        b->f.phase = kDone;
        return nullptr;
    }
    if (PyDict_SetItem(tasks, name.get(), task.get()) < 0) return nullptr;
    Ref callback(PyCFunction_NewEx(&on_done_def, body.get(), nullptr));
    Ref added(callback ? PyObject_CallMethodOneArg(task.get(), s.add_done_callback,
                                                   callback.get())
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

PyObject* jobline_cancel_all(PyObject* self_obj, PyObject*) {
    auto* self = reinterpret_cast<JoblineObject*>(self_obj);
    PyObject* tasks = tasks_of(self);
    if (!tasks) return nullptr;
    Ref snapshot(PyDict_Values(tasks));
    if (!snapshot) return nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t n = PyList_GET_SIZE(snapshot.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* task = PyList_GET_ITEM(snapshot.get(), i);
        Ref done(PyObject_CallMethodNoArgs(task, s.done));
        if (!done) return nullptr;
        int is_done = PyObject_IsTrue(done.get());
        if (is_done < 0) return nullptr;
        if (is_done) continue;
        Ref r(PyObject_CallMethodNoArgs(task, s.cancel));
        if (!r) return nullptr;
        ++count;
    }
    return PyLong_FromSsize_t(count);
}

PyObject* jobline_wait_all(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
    static const char* const names[] = {"timeout"};
    PyObject* a[1];
    if (!bind_args("wait_all", args, nargsf, kwnames, names, 1, 1, 0, a)) return nullptr;
    Ref timeout;
    if (!a[0] || a[0] == Py_None) {
        timeout = Ref(Py_NewRef(Py_None));
    } else {
        try {
            timeout = Ref(PyFloat_FromDouble(kl::py::float_param("wait_all", "timeout", a[0])));
        } catch (nanobind::python_error& e) {
            e.restore();
            return nullptr;
        }
        if (!timeout) return nullptr;
    }
    WaitAll* w = PyObject_GC_New(WaitAll, g_wait_type);
    if (!w) return nullptr;
    w->f.sub = nullptr;
    w->f.phase = kInit;
    w->f.running = false;
    w->line = reinterpret_cast<JoblineObject*>(Py_NewRef(self_obj));
    w->timeout = timeout.release();
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

PyObject* jobline_active_count(PyObject* self, void*) {
    PyObject* tasks = reinterpret_cast<JoblineObject*>(self)->tasks;
    return PyLong_FromSsize_t(tasks ? PyDict_Size(tasks) : 0);
}

PyObject* jobline_repr(PyObject* self) {
    auto* j = reinterpret_cast<JoblineObject*>(self);
    return PyUnicode_FromFormat("<Jobline max_concurrency=%R active=%zd>",
                                j->max_concurrency ? j->max_concurrency : Py_None,
                                j->tasks ? PyDict_Size(j->tasks) : 0);
}

PyMethodDef jobline_methods[] = {
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(jobline_submit)),
     METH_FASTCALL | METH_KEYWORDS,
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
     "when no loop is running (then `coro` is left untouched)."},
    {"cancel_all", jobline_cancel_all, METH_NOARGS,
     "cancel_all($self, /)\n--\n\n"
     "Request the cancellation of every tracked job that is not done yet, in submission\n"
     "order, and return how many requests were made.  Entries leave when their jobs\n"
     "have finished cancelling."},
    {"wait_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(jobline_wait_all)),
     METH_FASTCALL | METH_KEYWORDS,
     "wait_all($self, timeout=None)\n--\n\n"
     "Awaitable: wait until every job tracked when the wait starts is done, or until\n"
     "`timeout` seconds (any number; None waits without limit) have passed.\n\n"
     "Completes at once when nothing is tracked.  Never raises for the jobs' failures,\n"
     "never consumes them and never cancels anything; a job that awaits it does not\n"
     "wait for itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef jobline_members[] = {
    {"_semaphore", Py_T_OBJECT_EX, offsetof(JoblineObject, semaphore), Py_READONLY,
     "The asyncio.Semaphore holding the execution slots."},
    {"_tasks", Py_T_OBJECT_EX, offsetof(JoblineObject, tasks), Py_READONLY,
     "Tracked jobs: name -> task, in submission order."},
    {"_max_concurrency", Py_T_OBJECT_EX, offsetof(JoblineObject, max_concurrency), Py_READONLY,
     "The limit given to the constructor, truncated to an int."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef jobline_getset[] = {
    {"active_count", jobline_active_count, nullptr,
     "Number of tracked jobs: submitted and not yet through their completion callback.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char jobline_doc[] =
    "Jobline(max_concurrency=2)\n--\n\n"
    "Runs named asynchronous jobs on the running asyncio event loop, at most\n"
    "`max_concurrency` of them executing at once, each optionally after a named\n"
    "predecessor that must succeed first.\n\n"
    "`max_concurrency` is any number, truncated toward zero; below 1 is a ValueError.\n"
    "Use it from the event loop's thread only.";

// ---------------------------------------------------------------------------
// Set-up.

PyObject* intern(const char* s) { return PyUnicode_InternFromString(s); }

PyObject* attr_of(PyObject* module, const char* name) {
    return PyObject_GetAttrString(module, name);
}

bool make_types() {
    PyType_Slot body_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(body_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(body_clear)},
        {Py_tp_finalize, reinterpret_cast<void*>(body_finalize)},
        {Py_tp_iternext, reinterpret_cast<void*>(frame_iternext)},
        {Py_am_await, reinterpret_cast<void*>(frame_await)},
        {Py_am_send, reinterpret_cast<void*>(frame_am_send)},
        {Py_tp_methods, frame_methods},
        {Py_tp_getset, body_getset},
        {Py_tp_doc, const_cast<char*>("The coroutine a job's task runs: wait for the "
                                      "predecessor, take a slot, await the job.")},
        {0, nullptr},
    };
    PyType_Spec body_spec = {
        "kelvane_layer._internal.jobline._JobBody", sizeof(Body), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        body_slots};
    g_body_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&body_spec));
    if (!g_body_type) return false;

    PyType_Slot wait_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(wait_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(wait_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(wait_clear)},
        {Py_tp_iternext, reinterpret_cast<void*>(frame_iternext)},
        {Py_am_await, reinterpret_cast<void*>(frame_await)},
        {Py_am_send, reinterpret_cast<void*>(frame_am_send)},
        {Py_tp_methods, frame_methods},
        {Py_tp_getset, wait_getset},
        {Py_tp_doc, const_cast<char*>("The awaitable returned by Jobline.wait_all().")},
        {0, nullptr},
    };
    PyType_Spec wait_spec = {
        "kelvane_layer._internal.jobline._WaitAll", sizeof(WaitAll), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        wait_slots};
    g_wait_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&wait_spec));
    if (!g_wait_type) return false;

    PyType_Slot jobline_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(jobline_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(jobline_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(jobline_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(jobline_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(jobline_repr)},
        {Py_tp_methods, jobline_methods},
        {Py_tp_members, jobline_members},
        {Py_tp_getset, jobline_getset},
        {Py_tp_doc, const_cast<char*>(jobline_doc)},
        {0, nullptr},
    };
    PyType_Spec jobline_spec = {
        "kelvane_layer._internal.jobline.Jobline", sizeof(JoblineObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
            Py_TPFLAGS_IMMUTABLETYPE,
        jobline_slots};
    g_jobline_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&jobline_spec));
    return g_jobline_type != nullptr;
}

bool set_up() {
    s.acquire = intern("acquire");
    s.release = intern("release");
    s.close = intern("close");
    s.throw_ = intern("throw");
    s.cr_await = intern("cr_await");
    s.create_task = intern("create_task");
    s.add_done_callback = intern("add_done_callback");
    s.done = intern("done");
    s.cancel = intern("cancel");
    s.kw_name = Py_BuildValue("(s)", "name");
    s.kw_timeout = Py_BuildValue("(s)", "timeout");
    if (!s.acquire || !s.release || !s.close || !s.throw_ || !s.cr_await || !s.create_task ||
        !s.add_done_callback || !s.done || !s.cancel || !s.kw_name || !s.kw_timeout)
        return false;

    Ref asyncio(PyImport_ImportModule("asyncio"));
    if (!asyncio) return false;
    g_cancelled_error = attr_of(asyncio.get(), "CancelledError");
    g_semaphore = attr_of(asyncio.get(), "Semaphore");
    g_get_running_loop = attr_of(asyncio.get(), "get_running_loop");
    g_current_task = attr_of(asyncio.get(), "current_task");
    g_wait = attr_of(asyncio.get(), "wait");
    if (!g_cancelled_error || !g_semaphore || !g_get_running_loop || !g_current_task || !g_wait)
        return false;

    if (!make_types()) return false;

    // asyncio accepts a task body only if it is a coroutine in the sense of
    // collections.abc.Coroutine.
    Ref abc(PyImport_ImportModule("collections.abc"));
    Ref coroutine_abc(abc ? attr_of(abc.get(), "Coroutine") : nullptr);
    if (!coroutine_abc) return false;
    for (PyTypeObject* t : {g_body_type, g_wait_type}) {
        Ref r(PyObject_CallMethod(coroutine_abc.get(), "register", "O",
                                  reinterpret_cast<PyObject*>(t)));
        if (!r) return false;
    }
    return true;
}

}  // namespace

PyObject* jobline_type() {
    static bool ready = false;
    if (!ready) {
        if (!set_up()) return nullptr;
        ready = true;
    }
    return reinterpret_cast<PyObject*>(g_jobline_type);
}

}  // namespace kl::jobline
