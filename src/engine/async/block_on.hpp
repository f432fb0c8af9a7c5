// block_on: drive a future to its end on the calling thread.
#pragma once

#include <atomic>
#include <memory>
#include <type_traits>

#include "engine/async/local_wait.hpp"
#include "engine/async/waker.hpp"
#include "engine/runtime.hpp"

namespace korvane {

namespace detail {

// Sleeps the polling thread until a wake, a recorded descriptor's readiness
// or the earliest recorded deadline. Wakes between polls are kept. Made once
// per thread: its wake descriptor (an eventfd) lives as long as the thread,
// or as long as a waker a leaf still keeps.
class Parker final : public Waker::Target {
public:
    Parker() noexcept;
    ~Parker() override;
    Parker(const Parker&) = delete;
    Parker& operator=(const Parker&) = delete;

    void wake() noexcept override;
    // Without a wake descriptor (none could be made) the leaves use the
    // reactor and the parker waits on its state word; `waits` is then unused.
    bool waits_locally() const noexcept { return efd_ >= 0; }
    void park(LocalWaits& waits);

private:
    static constexpr int empty = 0, parked = 1, notified = 2;
    int efd_;
    std::atomic<int> state_{empty};
};

// This thread's parker and wait record for one block_on; a nested block_on
// gets fresh ones.
class ThreadPark {
public:
    ThreadPark();
    ~ThreadPark();
    ThreadPark(const ThreadPark&) = delete;
    ThreadPark& operator=(const ThreadPark&) = delete;

    const Waker& waker() const noexcept;
    LocalWaits* local() noexcept;
    void park();

private:
    struct Slot;
    Slot* slot_;
    bool owned_;
};

}  // namespace detail

// The future is borrowed when given as an lvalue, so it can be handed on
// unfinished. Its leaves wait on this thread: readiness and deadlines are
// recorded and this thread parks on them, so a future that needs no task
// never involves the reactor. On a worker, a stand-in runs the reactor while
// this thread blocks.
template <class F>
PollOutput<std::remove_reference_t<F>> block_on(F&& future) {
    detail::ThreadPark here;
    Context cx(here.waker(), here.local());
    runtime::BlockInPlace stand_in;
    for (;;) {
        if (auto r = future.poll(cx)) return std::move(*r);
        here.park();
    }
}

}  // namespace korvane
