// The job line's module state: every str, host object and type it uses,
// made once when the module loads and reached from its objects' types.
//
// Binding code (it includes Python.h): included by module.cpp only.
#pragma once

#include <Python.h>

#include <cstddef>

namespace kl::jobline {

enum Slot : std::size_t {
    // Interned names of the methods and attributes the job line calls.
    kClose,  // first: an empty slot here means the state has been cleared
    kThrow,
    kCrAwait,
    kAcquire,
    kRelease,
    kCreateTask,
    kAddDoneCallback,
    kDone,
    kCancel,
    // Keyword names of the vectorcalls: ("name",), ("timeout",).
    kKwName,
    kKwTimeout,
    // __name__ and __qualname__ of the two awaitables.
    kBodyName,
    kBodyQualname,
    kWaitName,
    kWaitQualname,
    // From asyncio.
    kCancelledError,
    kSemaphore,
    kGetRunningLoop,
    kCurrentTask,
    kWait,
    // The module's types.
    kJoblineType,
    kBodyType,
    kWaitType,
    // The job line writes no records; its logger exists so the host can
    // configure it like every other module's.
    kLogger,
    kSlotCount
};

// The state of the module that defined the type of `o` (one of the job
// line's own objects), or nullptr with RuntimeError once the module has been
// cleared at shutdown.
inline PyObject** state_of(PyObject* o) noexcept {
    auto* st = static_cast<PyObject**>(PyType_GetModuleState(Py_TYPE(o)));
    if (st && !st[kClose]) {
        PyErr_SetString(PyExc_RuntimeError, "the jobline module has been cleared");
        return nullptr;
    }
    return st;
}

}  // namespace kl::jobline
