#include "module/capi/thread.hpp"

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "module/capi/ref.hpp"
#include "engine/runtime.hpp"

namespace korvane::py {

std::atomic<bool> detail::deferred_waiting{false};

namespace {

std::atomic<bool> gate_closed{false};

struct Deferred {
    std::mutex mutex;
    std::vector<PyObject*> objects;
};
std::atomic<Deferred*> g_deferred{nullptr};

// A parent's worker may have been queueing at fork(): the child starts an
// empty queue under a fresh lock, and leaks what the old one held.
void reset_deferred_in_child() noexcept {
    Deferred* d = g_deferred.load(std::memory_order_relaxed);
    if (!d) return;
    std::construct_at(&d->mutex);
    std::construct_at(&d->objects);
    detail::deferred_waiting.store(false, std::memory_order_relaxed);
}

// Leaked on purpose: workers may still queue into it while the process exits.
Deferred& deferred() {
    static auto* d = [] {
        auto* made = new Deferred;
        g_deferred.store(made, std::memory_order_relaxed);
        pthread_atfork(nullptr, nullptr, reset_deferred_in_child);
        return made;
    }();
    return *d;
}

}  // namespace

bool finalizing() noexcept { return gate_closed.load(std::memory_order_acquire) || Py_IsFinalizing(); }

void close_exit_gate() noexcept {
    // The last chance: once closed, queued releases are leaked.
    drain_deferred_decrefs();
    gate_closed.store(true, std::memory_order_release);
}

namespace {

// A runtime thread keeps the thread state its first attach made, instead of
// making and freeing one (with its frame stack) at every delivery. It holds one extra count of the state; the
// thread gives it back when it ends, unless the interpreter is going away,
// which frees every thread state itself. Only runtime threads, which nobody
// joins: giving the state back needs the interpreter, so another thread that
// joined this one while attached would deadlock.
struct Pinned {
    bool held = false;
    ~Pinned() {
        if (!held || finalizing()) return;
        PyGILState_STATE s = PyGILState_Ensure();
        PyGILState_Release(PyGILState_LOCKED);  // the extra count: stays attached
        PyGILState_Release(s);                  // the last one: deletes the state
    }
};
thread_local Pinned pinned;

// Not on the free-threaded build: there the last release of an object a thread
// made, done by another thread, waits in the maker's thread state until the
// maker runs Python again, which an idle worker may never do. Freeing the
// state at each delivery's end hands such releases over at once.
#ifdef Py_GIL_DISABLED
constexpr bool pin_state = false;
#else
constexpr bool pin_state = true;
#endif

}  // namespace

Attached::Attached() noexcept {
    if (finalizing()) return;
    const bool fresh =
        pin_state && !pinned.held && runtime::on_worker() && PyGILState_GetThisThreadState() == nullptr;
    state_ = PyGILState_Ensure();
    ok_ = true;
    if (fresh) {
        (void)PyGILState_Ensure();  // only counts: the thread is attached already
        pinned.held = true;
    }
    drain_deferred_decrefs();
}

Attached::~Attached() {
    if (ok_) PyGILState_Release(state_);
}

void SendRef::reset() noexcept {
    PyObject* p = std::exchange(p_, nullptr);
    if (!p) return;
    if (PyThreadState_GetUnchecked() != nullptr) {
        Py_DECREF(p);
        return;
    }
    if (finalizing()) return;  // leaked: nothing may run Python any more
    auto& d = deferred();
    std::lock_guard lock(d.mutex);
    try {
        d.objects.push_back(p);
    } catch (const std::bad_alloc&) {
        return;  // leaked rather than released without the interpreter
    }
    detail::deferred_waiting.store(true, std::memory_order_relaxed);
}

void drain_deferred_decrefs() noexcept {
    auto& d = deferred();
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(d.mutex);
        detail::deferred_waiting.store(false, std::memory_order_relaxed);
        if (d.objects.empty()) return;
        objects.swap(d.objects);
    }
    for (PyObject* p : objects) Py_DECREF(p);
}

}  // namespace korvane::py
