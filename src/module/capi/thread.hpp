// Releasing and re-taking the thread state around waits and engine calls.
#pragma once

#include <Python.h>

#include <atomic>

namespace korvane::py {

void drain_deferred_decrefs() noexcept;

namespace detail {
// Set while releases queued by threads without a thread state wait.
extern std::atomic<bool> deferred_waiting;
}  // namespace detail

// Detaches the calling thread from the interpreter for its scope, so other
// threads (and the free-threaded build's stop-the-world pauses) go on. The
// way back releases what workers queued meanwhile.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    ~Detached() {
        PyEval_RestoreThread(state_);
        if (detail::deferred_waiting.load(std::memory_order_relaxed)) drain_deferred_decrefs();
    }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// Runs f detached and returns its result.
template <class F>
decltype(auto) detached(F&& f) {
    Detached d;
    return f();
}

// Attaches a thread that may have no thread state (a runtime worker). ok() is
// false once the interpreter is finalizing: the caller must then not touch
// Python at all.
class Attached {
public:
    Attached() noexcept;
    ~Attached();
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    bool ok() const noexcept { return ok_; }

private:
    bool ok_ = false;
    PyGILState_STATE state_{};
};

// True once the interpreter has begun to shut down (the exit gate is closed).
bool finalizing() noexcept;
// Closes the gate; registered with atexit at module start-up.
void close_exit_gate() noexcept;

}  // namespace korvane::py
