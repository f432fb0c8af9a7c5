// Owning handles for Python objects, and the exception that says "a Python
// error is already set".
#pragma once

#include <Python.h>

#include <utility>

namespace korvane::py {

// Thrown by binding code when the Python error indicator is set; the entry
// guard turns it into NULL / -1 for the interpreter.
struct ErrorAlreadySet {};

// Raise ErrorAlreadySet when p is null (a failed C API call).
inline PyObject* check(PyObject* p) {
    if (!p) throw ErrorAlreadySet{};
    return p;
}
inline int check(int rc) {
    if (rc < 0) throw ErrorAlreadySet{};
    return rc;
}

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference; throws when p is null.
    static Ref steal(PyObject* p) { return Ref(check(p)); }
    // Takes over a new reference that may be null.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference that may be dropped on a thread with no thread state (a runtime
// worker): the decref is deferred to the next attach, or leaked once the
// interpreter is finalizing.
class SendRef {
public:
    SendRef() noexcept = default;
    explicit SendRef(Ref r) noexcept : p_(r.release()) {}
    SendRef(SendRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    SendRef& operator=(SendRef&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    SendRef(const SendRef&) = delete;
    SendRef& operator=(const SendRef&) = delete;
    ~SendRef() { reset(); }

    // Only with a thread state.
    Ref take() noexcept { return Ref::steal_or_null(std::exchange(p_, nullptr)); }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept;

private:
    PyObject* p_ = nullptr;
};

// Releases the references queued by SendRef on threads without a thread state.
// Called with a thread state.
void drain_deferred_decrefs() noexcept;

}  // namespace korvane::py
