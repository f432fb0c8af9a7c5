#include "engine/async/lock.hpp"

#include <exception>
#include <stdexcept>

#include "engine/async/local_wait.hpp"

namespace korvane {

Lock::Acquire::Acquire(Acquire&& other) noexcept : lock_(other.lock_), stage_(other.stage_) {
    if (stage_ == Stage::Queued || stage_ == Stage::Granted) std::terminate();
    other.stage_ = Stage::Done;
}

Lock::Acquire::~Acquire() {
    Waker wake;
    {
        std::lock_guard g(lock_->mutex_);
        if (stage_ == Stage::Queued) {
            lock_->unlink(this);
            if (!lock_->head_) lock_->state_.store(held, std::memory_order_relaxed);
        } else if (stage_ == Stage::Granted) {
            lock_->hand_over(wake);
        }
        stage_ = Stage::Done;
    }
    wake.wake();
}

void Lock::Guard::unlock() noexcept {
    if (!lock_) return;
    Lock* l = std::exchange(lock_, nullptr);
    if (std::exchange(noted_, false)) {
        Waker old;
        std::lock_guard g(l->mutex_);
        old = std::move(l->holder_);
    }
    l->release();
}

void Lock::Guard::wake_on_contention(const Context& cx) {
    if (!lock_ || !cx.local() || !cx.local()->on_loop()) return;
    Waker old;
    bool contended;
    {
        std::lock_guard g(lock_->mutex_);
        contended = lock_->head_ != nullptr;
        if (!contended) {
            register_waker(lock_->holder_, cx, old);
            noted_ = true;
        }
    }
    if (contended) cx.waker().wake();
}

Poll<Lock::Guard> Lock::Acquire::poll(Context& cx) {
    Waker old;
    Waker holder;
    std::lock_guard g(lock_->mutex_);
    switch (stage_) {
    case Stage::Granted:
        stage_ = Stage::Done;
        return Guard(lock_);
    case Stage::Idle:
        // Take it when free; otherwise mark it queued, so its release comes here.
        for (unsigned char s = lock_->state_.load(std::memory_order_relaxed); s != queued;) {
            const unsigned char next = s == free ? held : queued;
            if (!lock_->state_.compare_exchange_weak(s, next, std::memory_order_acquire)) continue;
            if (next == queued) break;
            stage_ = Stage::Done;
            return Guard(lock_);
        }
        stage_ = Stage::Queued;
        waker_ = cx.waker();
        // Woken under the mutex: a wake only schedules a poll.
        if (!lock_->holder_.is_noop()) {
            holder = std::move(lock_->holder_);
            holder.wake();
        }
        prev_ = lock_->tail_;
        next_ = nullptr;
        (lock_->tail_ ? lock_->tail_->next_ : lock_->head_) = this;
        lock_->tail_ = this;
        return std::nullopt;
    case Stage::Queued:
        register_waker(waker_, cx, old);
        return std::nullopt;
    case Stage::Done:
        break;
    }
    throw std::logic_error("lock request polled after it completed");
}

// Waiters queue only behind a holder, so a free lock has none: one atomic
// step takes it.
std::optional<Lock::Guard> Lock::try_lock() {
    unsigned char s = free;
    if (!state_.compare_exchange_strong(s, held, std::memory_order_acquire)) return std::nullopt;
    return Guard(this);
}

bool Lock::is_locked() const { return state_.load(std::memory_order_acquire) != free; }

void Lock::release() noexcept {
    if (unsigned char s = held; state_.compare_exchange_strong(s, free, std::memory_order_release)) return;
    Waker wake;
    {
        std::lock_guard g(mutex_);
        hand_over(wake);
    }
    wake.wake();
}

void Lock::hand_over(Waker& wake) noexcept {
    if (Acquire* a = head_) {
        unlink(a);
        a->stage_ = Acquire::Stage::Granted;
        wake = std::move(a->waker_);
        if (!head_) state_.store(held, std::memory_order_relaxed);
    } else {
        state_.store(free, std::memory_order_release);
    }
}

void Lock::unlink(Acquire* a) noexcept {
    (a->prev_ ? a->prev_->next_ : head_) = a->next_;
    (a->next_ ? a->next_->prev_ : tail_) = a->prev_;
    a->prev_ = a->next_ = nullptr;
}

}  // namespace korvane
