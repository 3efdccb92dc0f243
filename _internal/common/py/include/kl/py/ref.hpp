// The one owned-reference type of the binding layer.
#pragma once

#include <Python.h>

#include <utility>

namespace kl::py {

// Owns one strong reference (or none).  Moving hands the reference over;
// there is no copy, so every incref is written out where it happens.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference, as C API calls return them (nullptr is
    // fine: the Ref is then empty and the error stays set).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }

    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference away (to a return value or a stealing API).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace kl::py
