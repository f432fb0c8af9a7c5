#include "py/thread.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "py/ref.hpp"

namespace korvane::py {
namespace {

std::atomic<bool> gate_closed{false};

struct Deferred {
    std::mutex mutex;
    std::vector<PyObject*> objects;
};
// Leaked on purpose: workers may still queue into it while the process exits.
Deferred& deferred() {
    static auto* d = new Deferred;
    return *d;
}

}  // namespace

bool finalizing() noexcept { return gate_closed.load(std::memory_order_acquire) || Py_IsFinalizing(); }

void close_exit_gate() noexcept { gate_closed.store(true, std::memory_order_release); }

Attached::Attached() noexcept {
    if (finalizing()) return;
    state_ = PyGILState_Ensure();
    ok_ = true;
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
    d.objects.push_back(p);
}

void drain_deferred_decrefs() noexcept {
    auto& d = deferred();
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(d.mutex);
        if (d.objects.empty()) return;
        objects.swap(d.objects);
    }
    for (PyObject* p : objects) Py_DECREF(p);
}

}  // namespace korvane::py
