// Notify: wake-ups between operations, with the two behaviours ports need.
//
// notify_waiters reaches every wait created before the call, also one never
// polled (each wait takes the epoch at creation), and stores nothing.
// notify_one wakes the oldest registered wait, or stores one permit (never
// more) for the next wait that polls. A wait registers at its first poll; one
// dropped after it was handed a permit, without having reported it, passes
// the permit on.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/async/waker.hpp"

namespace korvane {

class Notify {
    struct List;

public:
    class [[nodiscard]] Notified {
    public:
        // Moving is allowed only before the first poll: the queue points at it.
        Notified(Notified&& other) noexcept;
        Notified& operator=(Notified&&) = delete;
        ~Notified();

        Poll<Unit> poll(Context& cx);

    private:
        friend class Notify;
        enum class Stage : unsigned char { Init, Waiting, GotOne, GotAll, Done };
        Notified(Notify* n, std::uint64_t epoch) noexcept : notify_(n), epoch_(epoch) {}

        Notify* notify_;
        std::uint64_t epoch_;
        Stage stage_ = Stage::Init;  // under the Notify's mutex once registered
        bool registered_ = false;
        // The list this wait is linked in, if any: the Notify's own, or the
        // batch of a notify_waiters still taking wakers out.
        List* list_ = nullptr;
        Notified* prev_ = nullptr;
        Notified* next_ = nullptr;
        Waker waker_;
    };

    Notify() = default;
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    Notified notified();
    // Allocates nothing, so a close can rely on it.
    void notify_waiters() noexcept;
    void notify_one() noexcept;
    // Whether a notify_one is stored for the next wait; a hint, taken unlocked.
    bool has_permit() const noexcept { return permit_.load(std::memory_order_acquire); }

    // Around fork(): held in the parent over the fork, released in both.
    void lock_for_fork() noexcept { mutex_.lock(); }
    void unlock_after_fork() noexcept { mutex_.unlock(); }

private:
    struct List {
        Notified* head = nullptr;
        Notified* tail = nullptr;
        void push(Notified* w) noexcept;
        void unlink(Notified* w) noexcept;
    };

    // With mutex_ held: hands one permit to the oldest waiter, or stores it.
    void give_one(Waker& wake) noexcept;

    std::mutex mutex_;
    std::uint64_t epoch_ = 0;
    // Written under mutex_; read without it by has_permit.
    std::atomic<bool> permit_{false};
    List waiting_;
};

}  // namespace korvane
