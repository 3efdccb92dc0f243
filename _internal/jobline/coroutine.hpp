// Native coroutines: what the host's `await` does with the object it awaits,
// and the frame of the job line's two awaitables, a phase machine that
// delegates to one sub-iterator at a time and speaks the coroutine protocol
// (send, throw, close, __await__, __next__) the way the host's own coroutine
// objects do.
//
// Binding code (it includes Python.h): included by module.cpp only.
#pragma once

#include <Python.h>

#include <cstdint>

#include "jobline/state.hpp"
#include "kl/py/ref.hpp"

namespace kl::jobline {

using kl::py::Ref;

// ---------------------------------------------------------------------------
// Delegation: what `await o` does.

inline bool is_iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    bool flag = code && (code->co_flags & CO_ITERABLE_COROUTINE);
    Py_XDECREF(code);
    return flag;
}

// The iterator `await o` drives: a native coroutine itself (unless another
// await is already driving it), otherwise the result of __await__(), which
// must be an iterator and not a coroutine.
inline PyObject* awaitable_iter(PyObject** st, PyObject* o) {
    if (PyCoro_CheckExact(o)) {
        Ref yf = Ref::steal(PyObject_GetAttr(o, st[kCrAwait]));
        if (!yf) return nullptr;
        if (yf.get() != Py_None) {
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
    Ref it = Ref::steal(getter(o));
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
        return nullptr;
    }
    return it.release();
}

// Calls o.close() when `o` has one.  A failing attribute lookup is reported
// as unraisable when `lenient` (what `await` does while closing the object it
// delegates to) and raised otherwise.  0 on success, -1 with an error set.
inline int close_object(PyObject** st, PyObject* o, bool lenient) {
    Ref r;
    if (PyCoro_CheckExact(o) || PyGen_CheckExact(o)) {
        r = Ref::steal(PyObject_CallMethodNoArgs(o, st[kClose]));
    } else {
        PyObject* meth = nullptr;
        if (PyObject_GetOptionalAttr(o, st[kClose], &meth) < 0) {
            if (!lenient) return -1;
            PyErr_WriteUnraisable(o);
            return 0;
        }
        if (!meth) return 0;
        Ref m = Ref::steal(meth);
        r = Ref::steal(PyObject_CallNoArgs(m.get()));
    }
    return r ? 0 : -1;
}

// A StopIteration raised by the delegate means it returned: its value is the
// result of the await.  Otherwise the error stays set.
inline PySendResult result_of_call(PyObject* r, PyObject** out) {
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        PyObject* value = reinterpret_cast<PyStopIterationObject*>(exc.get())->value;
        *out = Py_NewRef(value ? value : Py_None);
        return PYGEN_RETURN;
    }
    *out = nullptr;
    return PYGEN_ERROR;
}

// Raises `exc` (borrowed) at the suspension point.
inline PySendResult raise_here(PyObject* exc, PyObject** out) {
    PyErr_SetRaisedException(Py_NewRef(exc));
    *out = nullptr;
    return PYGEN_ERROR;
}

// throw(exc) forwarded to the delegate `it`, as `await` forwards it.
inline PySendResult forward_throw(PyObject** st, PyObject* it, PyObject* exc, PyObject** out) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // The delegate is closed first; a failure to close replaces the
        // GeneratorExit at the suspension point.
        if (close_object(st, it, true) < 0) {
            *out = nullptr;
            return PYGEN_ERROR;
        }
        return raise_here(exc, out);
    }
    if (PyCoro_CheckExact(it) || PyGen_CheckExact(it))
        return result_of_call(PyObject_CallMethodOneArg(it, st[kThrow], exc), out);
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(it, st[kThrow], &meth) < 0) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    if (!meth) return raise_here(exc, out);
    Ref m = Ref::steal(meth);
    return result_of_call(PyObject_CallOneArg(m.get(), exc), out);
}

// The arguments of throw(): an exception instance, or a class with an
// optional value and traceback (the older three-argument form).  Returns a
// new reference to the instance, or nullptr with an error set.
inline PyObject* exception_to_throw(PyObject* const* args, Py_ssize_t n) {
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
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val ? val : Py_None);
        exc = Ref::steal(PyErr_GetRaisedException());
        if (!PyErr_GivenExceptionMatches(exc.get(), typ)) {
            // The class's constructor failed: that failure is what is raised.
            PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Ref::borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
    return exc.release();
}

// "raise RuntimeError(...) from exc" for a StopIteration that would leave a
// coroutine: the task would otherwise take it for a normal return.
inline void convert_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, Py_NewRef(cause));
    PyException_SetCause(exc, cause);
    PyErr_SetRaisedException(exc);
}

// ---------------------------------------------------------------------------
// The frame.

enum Phase : std::uint8_t {
    kInit = 0,  // created, not started
    kPred,      // job body: awaiting the predecessor's task
    kTakeSlot,  // job body: awaiting _semaphore.acquire()
    kRun,       // job body: awaiting the job's coroutine, holding a slot
    kWaiting,   // wait-all: awaiting asyncio.wait(...)
    kFinished,  // finished; nothing to resume
};

struct Frame {
    PyObject_HEAD
    PyObject* sub;  // the iterator being delegated to (phases between kInit and kFinished)
    Phase phase;
    bool running;  // inside send/throw/close: re-entry is refused
};

enum class Op { Send, Throw, Close };

// Moves the frame on after its delegate (or the start, as an empty step
// that returned None) came back with `r`: the job body's and wait-all's own
// phase machines, defined with them (awaitables.hpp).
inline PySendResult advance(Frame* f, PyObject** st, PySendResult r, PyObject** out);

inline PySendResult finish(Frame* f, PySendResult r, PyObject** out) {
    f->phase = kFinished;
    Py_CLEAR(f->sub);
    if (r == PYGEN_ERROR) {
        *out = nullptr;
        convert_stop_iteration();
    }
    return r;
}

// Starts delegating to `awaitable` in phase `phase`: the first send(None).
inline PySendResult delegate(Frame* f, PyObject** st, Phase phase, PyObject* awaitable,
                             PyObject** out) {
    f->phase = phase;
    PyObject* it = awaitable_iter(st, awaitable);
    if (!it) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    Py_XSETREF(f->sub, it);
    return PyIter_Send(it, Py_None, out);
}

// One resumption of the frame: send(arg), throw(arg) or close().  Mirrors the
// host's coroutine objects: refusal while running, "cannot reuse" once done,
// a non-None first send is an error, a throw into an unstarted frame raises
// at its start.
inline PySendResult resume(Frame* f, Op op, PyObject* arg, PyObject** out) {
    *out = nullptr;
    if (f->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (f->phase == kFinished) {
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
            f->phase = kFinished;
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
    PyObject** st = state_of(self);
    if (!st) return PYGEN_ERROR;
    Ref hold = Ref::borrow(self);
    f->running = true;
    PySendResult r;
    if (f->phase == kInit) {
        *out = Py_NewRef(Py_None);
        r = PYGEN_RETURN;  // the start: as if a first, empty step had returned
    } else if (!f->sub) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine state was cleared");
        r = PYGEN_ERROR;
    } else {
        Ref it = Ref::borrow(f->sub);
        switch (op) {
            case Op::Send:
                r = PyIter_Send(it.get(), arg, out);
                break;
            case Op::Throw:
                r = forward_throw(st, it.get(), arg, out);
                break;
            default:
                if (close_object(st, it.get(), true) == 0) PyErr_SetNone(PyExc_GeneratorExit);
                r = PYGEN_ERROR;
                break;
        }
    }
    r = advance(f, st, r, out);
    f->running = false;
    return r;
}

// close(): GeneratorExit at the suspension point; swallowing it and going on
// is an error, returning a value returns it.
inline PyObject* close_frame(Frame* f) {
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

// A return value as the protocol's methods report it: StopIteration(value),
// built explicitly so that a tuple value is not unpacked.
inline void raise_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
}

inline PyObject* to_method_result(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        Ref value = Ref::steal(out);
        raise_stop_iteration(value.get());
    }
    return nullptr;
}

// ---- Slots and methods of both awaitables ------------------------------------

inline PySendResult frame_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return resume(reinterpret_cast<Frame*>(self), Op::Send, arg, out);
}

inline PyObject* frame_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult r = resume(reinterpret_cast<Frame*>(self), Op::Send, Py_None, &out);
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        // __next__ ends with a bare StopIteration for None, as generators do.
        Ref value = Ref::steal(out);
        if (value.get() != Py_None) raise_stop_iteration(value.get());
    }
    return nullptr;
}

inline PyObject* frame_await(PyObject* self) { return Py_NewRef(self); }

// send, throw and close keep the calling conventions of the host's own
// coroutine methods (one positional value; one to three positional
// arguments; none), so a job body can stand in for a coroutine anywhere.
inline PyObject* frame_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult r = resume(reinterpret_cast<Frame*>(self), Op::Send, arg, &out);
    return to_method_result(r, out);
}

inline PyObject* frame_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = Ref::steal(exception_to_throw(args, nargs));
    if (!exc) return nullptr;
    PyObject* out = nullptr;
    PySendResult r = resume(reinterpret_cast<Frame*>(self), Op::Throw, exc.get(), &out);
    return to_method_result(r, out);
}

inline PyObject* frame_close(PyObject* self, PyObject*) {
    return close_frame(reinterpret_cast<Frame*>(self));
}

inline PyObject* frame_get_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Frame*>(self)->running);
}

inline PyObject* frame_get_await(PyObject* self, void*) {
    Frame* f = reinterpret_cast<Frame*>(self);
    return Py_NewRef(f->sub && f->phase != kFinished ? f->sub : Py_None);
}

inline PyObject* frame_get_suspended(PyObject* self, void*) {
    Frame* f = reinterpret_cast<Frame*>(self);
    return PyBool_FromLong(!f->running && f->phase != kInit && f->phase != kFinished);
}

inline PyMethodDef kFrameMethods[] = {
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

}  // namespace kl::jobline
