#include "async/task.hpp"

namespace korvane {

SerialError panic_error() { return SerialError::io("the operation panicked"); }

namespace detail {

void TaskBase::start() noexcept {
    state_.store(scheduled, std::memory_order_release);
    post();
}

void TaskBase::start_here() noexcept {
    state_.store(scheduled, std::memory_order_release);
    run();
}

void TaskBase::post() noexcept {
    try {
        scheduler_.post([self = shared_from_this()] { self->run(); });
    } catch (...) {
        // Out of memory for the job: nothing can run the task any more.
    }
}

void TaskBase::wake() noexcept {
    auto s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & (complete | scheduled | notified)) return;
        std::uint32_t next = (s & running) ? (s | notified) : (s | scheduled);
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            if (!(s & running)) post();
            return;
        }
    }
}

void TaskBase::abort() noexcept {
    auto s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & (complete | aborted)) return;
        std::uint32_t next = s | aborted;
        bool idle = !(s & (running | scheduled));
        if (idle) next |= scheduled;
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            if (idle) post();
            return;
        }
    }
}

void TaskBase::finish() noexcept {
    drop_body();
    state_.store(complete, std::memory_order_release);
}

void TaskBase::run() noexcept {
    auto s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & complete) return;
        std::uint32_t next = (s & ~scheduled) | running;
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            s = next;
            break;
        }
    }
    if (s & aborted) return finish();

    Waker waker(shared_from_this());
    Context cx(waker);
    if (poll_body(cx)) return finish();

    s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & aborted) return finish();
        std::uint32_t next = (s & notified) ? ((s & ~(running | notified)) | scheduled) : (s & ~running);
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            if (next & scheduled) post();
            return;
        }
    }
}

}  // namespace detail
}  // namespace korvane
