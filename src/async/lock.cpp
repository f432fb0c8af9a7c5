#include "async/lock.hpp"

#include <exception>
#include <stdexcept>

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
        } else if (stage_ == Stage::Granted) {
            lock_->hand_over(wake);
        }
        stage_ = Stage::Done;
    }
    wake.wake();
}

Poll<Lock::Guard> Lock::Acquire::poll(Context& cx) {
    Waker old;
    std::lock_guard g(lock_->mutex_);
    switch (stage_) {
    case Stage::Granted:
        stage_ = Stage::Done;
        return Guard(lock_);
    case Stage::Idle:
        if (!lock_->held_ && !lock_->head_) {
            lock_->held_ = true;
            stage_ = Stage::Done;
            return Guard(lock_);
        }
        stage_ = Stage::Queued;
        waker_ = cx.waker();
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

std::optional<Lock::Guard> Lock::try_lock() {
    std::lock_guard g(mutex_);
    if (held_ || head_) return std::nullopt;
    held_ = true;
    return Guard(this);
}

bool Lock::is_locked() const {
    std::lock_guard g(mutex_);
    return held_;
}

void Lock::release() noexcept {
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
    } else {
        held_ = false;
    }
}

void Lock::unlink(Acquire* a) noexcept {
    (a->prev_ ? a->prev_->next_ : head_) = a->next_;
    (a->next_ ? a->next_->prev_ : tail_) = a->prev_;
    a->prev_ = a->next_ = nullptr;
}

}  // namespace korvane
