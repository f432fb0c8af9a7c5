#include "engine/async/notify.hpp"

#include <array>
#include <cstddef>
#include <exception>

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
        if (list_) {
            list_->unlink(this);
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
        notify_->waiting_.push(this);
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

void Notify::notify_waiters() noexcept {
    // Every current waiter moves at once to a list on this stack, so a later
    // wait or a notify_one never sees them; their wakers are then taken out
    // in fixed batches and woken outside the lock. A wait dropped meanwhile
    // unlinks itself from this list.
    List batch;
    std::unique_lock g(mutex_);
    ++epoch_;
    for (Notified* w = waiting_.head; w; w = w->next_) {
        w->stage_ = Notified::Stage::GotAll;
        w->list_ = &batch;
    }
    batch = std::exchange(waiting_, List{});
    while (batch.head) {
        std::array<Waker, 32> wakes;
        std::size_t n = 0;
        for (; n < wakes.size() && batch.head; ++n) {
            Notified* w = batch.head;
            batch.unlink(w);
            w->list_ = nullptr;
            wakes[n] = std::move(w->waker_);
        }
        g.unlock();
        // Dropping a waker may free a task, whose waits take this lock.
        for (std::size_t i = 0; i < n; ++i) std::exchange(wakes[i], Waker{}).wake();
        g.lock();
    }
}

void Notify::notify_one() noexcept {
    Waker wake;
    {
        std::lock_guard g(mutex_);
        give_one(wake);
    }
    wake.wake();
}

void Notify::give_one(Waker& wake) noexcept {
    if (Notified* w = waiting_.head) {
        waiting_.unlink(w);
        w->list_ = nullptr;
        w->stage_ = Notified::Stage::GotOne;
        wake = std::move(w->waker_);
    } else {
        permit_.store(true, std::memory_order_release);
    }
}

void Notify::List::push(Notified* w) noexcept {
    w->prev_ = tail;
    w->next_ = nullptr;
    (tail ? tail->next_ : head) = w;
    tail = w;
    w->list_ = this;
}

void Notify::List::unlink(Notified* w) noexcept {
    (w->prev_ ? w->prev_->next_ : head) = w->next_;
    (w->next_ ? w->next_->prev_ : tail) = w->prev_;
    w->prev_ = w->next_ = nullptr;
    w->list_ = nullptr;
}

}  // namespace korvane
