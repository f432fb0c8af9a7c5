// Lock: a FIFO asynchronous lock over nothing.
//
// No barging: while requests wait, a new one queues behind them. Unlocking
// hands ownership straight to the first waiter. A request takes its place in
// the queue at its first poll; dropping it gives the place up, and dropping
// one that was granted but not yet collected passes the lock on.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>

#include "engine/async/waker.hpp"

namespace korvane {

class Lock {
public:
    class Guard {
    public:
        Guard(Guard&& other) noexcept
            : lock_(std::exchange(other.lock_, nullptr)), noted_(std::exchange(other.noted_, false)) {}
        Guard& operator=(Guard&& other) noexcept {
            if (this != &other) {
                unlock();
                lock_ = std::exchange(other.lock_, nullptr);
                noted_ = std::exchange(other.noted_, false);
            }
            return *this;
        }
        ~Guard() { unlock(); }
        void unlock() noexcept;
        // A holder polled by an event loop's watch waits where no other
        // thread sees it: the next request to queue behind it wakes it, so
        // the runtime takes it over. Queued ones already wake it now.
        void wake_on_contention(const Context& cx);

    private:
        friend class Lock;
        explicit Guard(Lock* lock) noexcept : lock_(lock) {}
        Lock* lock_;
        bool noted_ = false;
    };

    // Polls `inner` while `guard` is held, telling the guard of every poll.
    template <class F>
    class Holding {
    public:
        Holding(Guard& guard, F& inner) noexcept : guard_(guard), inner_(inner) {}
        auto poll(Context& cx) {
            guard_.wake_on_contention(cx);
            return inner_.poll(cx);
        }

    private:
        Guard& guard_;
        F& inner_;
    };
    template <class F>
    static Holding<F> holding(Guard& guard, F& inner) noexcept {
        return Holding<F>(guard, inner);
    }

    class [[nodiscard]] Acquire {
    public:
        // Moving is allowed only before the first poll: the queue points at it.
        Acquire(Acquire&& other) noexcept;
        Acquire& operator=(Acquire&&) = delete;
        ~Acquire();

        Poll<Guard> poll(Context& cx);

    private:
        friend class Lock;
        enum class Stage : unsigned char { Idle, Queued, Granted, Done };
        explicit Acquire(Lock* lock) noexcept : lock_(lock) {}

        Lock* lock_;
        Stage stage_ = Stage::Idle;
        Acquire* prev_ = nullptr;
        Acquire* next_ = nullptr;
        Waker waker_;
    };

    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    Acquire lock() noexcept { return Acquire(this); }
    // Succeeds only when the lock is free and nobody waits.
    std::optional<Guard> try_lock();
    bool is_locked() const;

    // Around fork(): held in the parent over the fork, released in both.
    void lock_for_fork() noexcept { mutex_.lock(); }
    void unlock_after_fork() noexcept { mutex_.unlock(); }

private:
    void release() noexcept;
    // With mutex_ held: gives the lock to the first waiter, or frees it.
    void hand_over(Waker& wake) noexcept;
    void unlink(Acquire* a) noexcept;

    // `held` moves to and from `free` without mutex_; `queued` (held, and
    // someone may wait) is set and left only under it, so a release that
    // finds `held` knows nobody waits and skips mutex_.
    enum State : unsigned char { free, held, queued };
    mutable std::mutex mutex_;
    std::atomic<unsigned char> state_{free};
    Acquire* head_ = nullptr;
    Acquire* tail_ = nullptr;
    // Under mutex_: the holder's waker, when it asked to hear of contention.
    Waker holder_;
};

}  // namespace korvane
