// A process-wide Python object made on first use. Concurrent first users may
// each build one; the first stored wins and the others are dropped, so every
// caller gets the same object and no lock is held while Python code runs.
// A failed build stores nothing, and the next call tries again.
#pragma once

#include <Python.h>

#include <atomic>

#include "module/capi/ref.hpp"

namespace korvane::py {

class OnceCell {
public:
    // make() returns a new reference or throws. Returns a borrowed reference
    // that lives for the rest of the process.
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* v = value_.load(std::memory_order_acquire)) return v;
        Ref made = make();
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
            return made.release();  // kept for ever
        return expected;
    }
    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace korvane::py
