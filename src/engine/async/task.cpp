#include "engine/async/task.hpp"

namespace korvane {

SerialError panic_error() { return SerialError::io("the operation panicked"); }

namespace detail {

namespace {
std::atomic<TaskBase*> orphans{nullptr};
}  // namespace

void TaskBase::start() noexcept {
    state_.store(scheduled, std::memory_order_release);
    post();
}

void TaskBase::start_here() noexcept {
    state_.store(scheduled, std::memory_order_release);
    run();
}

bool TaskBase::start_parked(LocalWaits& waits) noexcept {
    state_.store(running | parked, std::memory_order_release);
    return poll_here(waits);
}

bool TaskBase::poll_parked(LocalWaits& waits) noexcept {
    std::uint32_t s = parked;
    if (!state_.compare_exchange_strong(s, parked | running, std::memory_order_acq_rel)) return false;
    return poll_here(waits);
}

// As run's poll, on the parking side: a wake or an abort during it hands the
// task to the scheduler afterwards.
bool TaskBase::poll_here(LocalWaits& waits) noexcept {
    end_orphaned_tasks();
    Waker waker(shared_from_this());
    Context cx(waker, &waits);
    if (poll_body(cx)) {
        finish();
        return false;
    }
    auto s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & aborted) {
            finish();
            return false;
        }
        std::uint32_t next = (s & notified) ? ((s & ~(running | notified | parked)) | scheduled) : (s & ~running);
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            if (next & scheduled) {
                post();
                return false;
            }
            return true;
        }
    }
}

void TaskBase::post() noexcept {
    try {
        scheduler_.post([self = shared_from_this()] { self->run(); });
    } catch (...) {
        // Out of memory for the job: nothing will run the task, and it cannot
        // be dropped here, perhaps under a primitive's lock that its future's
        // guards take. It stays marked scheduled, so no wake or abort posts
        // it again, until end_orphans ends it.
        orphan_self_ = shared_from_this();
        TaskBase* head = orphans.load(std::memory_order_relaxed);
        do orphan_next_ = head;
        while (!orphans.compare_exchange_weak(head, this, std::memory_order_release, std::memory_order_relaxed));
        orphaned_tasks.store(true, std::memory_order_release);
    }
}

void TaskBase::end_orphans() noexcept {
    orphaned_tasks.store(false, std::memory_order_relaxed);
    TaskBase* t = orphans.exchange(nullptr, std::memory_order_acquire);
    while (t) {
        TaskBase* next = t->orphan_next_;
        auto self = std::move(t->orphan_self_);
        t->finish();
        t = next;
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
    end_orphaned_tasks();
    auto s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & complete) return;
        std::uint32_t next = (s & ~(scheduled | parked)) | running;
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
