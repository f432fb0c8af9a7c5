// block_on: drive a future to its end on the calling thread.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <type_traits>

#include "async/waker.hpp"
#include "runtime.hpp"

namespace korvane {

namespace detail {

// Sleeps the polling thread until a wake; wakes between polls are kept.
class Parker final : public Waker::Target {
public:
    void wake() noexcept override;
    void park();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
};

}  // namespace detail

// The future is borrowed when given as an lvalue, so it can be handed on
// unfinished. The runtime's workers drive timers and readiness meanwhile; on
// a worker, a stand-in runs the reactor while this thread blocks.
template <class F>
PollOutput<std::remove_reference_t<F>> block_on(F&& future) {
    auto parker = std::make_shared<detail::Parker>();
    Waker waker(parker);
    Context cx(waker);
    runtime::BlockInPlace stand_in;
    for (;;) {
        if (auto r = future.poll(cx)) return std::move(*r);
        parker->park();
    }
}

}  // namespace korvane
