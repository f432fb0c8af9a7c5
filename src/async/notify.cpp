#include "async/notify.hpp"

#include <exception>
#include <vector>

namespace korvane {

Notify::Notified::Notified(Notified&& other) noexcept
    : notify_(other.notify_), epoch_(other.epoch_), stage_(other.stage_) {
    if (other.registered_) std::terminate();
    other.stage_ = Stage::Done;
}

Notify::Notified::~Notified() {
    // Only this wait's owner registers it, so an unregistered one needs no lock.
    if (!registered_) return;
    Waker wake;
    {
        std::lock_guard g(notify_->mutex_);
        if (stage_ == Stage::Waiting) {
            notify_->unlink(this);
        } else if (stage_ == Stage::GotOne) {
            notify_->give_one(wake);
        }
        stage_ = Stage::Done;
    }
    wake.wake();
}

Poll<Unit> Notify::Notified::poll(Context& cx) {
    Waker old;
    std::lock_guard g(notify_->mutex_);
    switch (stage_) {
    case Stage::GotOne:
    case Stage::GotAll:
    case Stage::Done:
        stage_ = Stage::Done;
        return Unit{};
    case Stage::Init:
        if (notify_->epoch_ != epoch_) {
            stage_ = Stage::Done;
            return Unit{};
        }
        if (notify_->permit_.load(std::memory_order_relaxed)) {
            notify_->permit_.store(false, std::memory_order_relaxed);
            stage_ = Stage::Done;
            return Unit{};
        }
        stage_ = Stage::Waiting;
        registered_ = true;
        waker_ = cx.waker();
        notify_->push(this);
        return std::nullopt;
    case Stage::Waiting:
        register_waker(waker_, cx, old);
        return std::nullopt;
    }
    return std::nullopt;
}

Notify::Notified Notify::notified() {
    std::lock_guard g(mutex_);
    return Notified(this, epoch_);
}

void Notify::notify_waiters() {
    std::vector<Waker> wakes;
    {
        std::lock_guard g(mutex_);
        ++epoch_;
        for (Notified* w = head_; w; w = w->next_) {
            w->stage_ = Notified::Stage::GotAll;
            wakes.push_back(std::move(w->waker_));
        }
        for (Notified* w = head_; w;) {
            Notified* next = w->next_;
            w->prev_ = w->next_ = nullptr;
            w = next;
        }
        head_ = tail_ = nullptr;
    }
    for (auto& w : wakes) w.wake();
}

void Notify::notify_one() {
    Waker wake;
    {
        std::lock_guard g(mutex_);
        give_one(wake);
    }
    wake.wake();
}

void Notify::give_one(Waker& wake) noexcept {
    if (Notified* w = head_) {
        unlink(w);
        w->stage_ = Notified::Stage::GotOne;
        wake = std::move(w->waker_);
    } else {
        permit_.store(true, std::memory_order_release);
    }
}

void Notify::push(Notified* w) noexcept {
    w->prev_ = tail_;
    w->next_ = nullptr;
    (tail_ ? tail_->next_ : head_) = w;
    tail_ = w;
}

void Notify::unlink(Notified* w) noexcept {
    (w->prev_ ? w->prev_->next_ : head_) = w->next_;
    (w->next_ ? w->next_->prev_ : tail_) = w->prev_;
    w->prev_ = w->next_ = nullptr;
}

}  // namespace korvane
