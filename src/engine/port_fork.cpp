// fork(): a child never waits on a lock that a parent thread held at the
// fork, since that thread does not exist in it. Every lock a child can reach:
//
// Taken by the prepare handler here, in list order, per port in the order the
// code nests them (back-end, settings, then leaves), released on both sides:
//   - the live-port list;
//   - a port's back-end and settings locks;
//   - its notifications (`closed`, the two cancels) and its lock queues
//     (`read_lock`, `write_lock`): leaves, which a child reaches when it
//     closes a port (waking waiters may drop the last reference to a
//     parent's task, whose operation's guards then run in the child).
// No thread holds one of these while it waits for the interpreter (which the
// forking thread holds) or for another port, so the prepare step cannot
// deadlock.
//
// Never taken in a child, or made afresh there (the runtime's child handler
// marks it forked first, so no operation starts and no wake posts):
//   - a readiness cell: the child leaves the cell, and the parent's reactor
//     registration it stands for, untouched (Readiness's destructor);
//   - the sleeps' timer queue and blocking-job cells: taken only by polls,
//     by a sleep's drop and by the reactor's or pool's handlers; none of
//     these runs in a child (a child's sleep ends at once and leaves the
//     queue alone when dropped);
//   - the runtime's pool and reactor: a child posts and spawns nothing, and
//     asks the forked flag before the runtime's start;
//   - a completion state's lock and condition: made afresh at their first
//     use in a child (future::StateLock);
//   - the deferred-decref queue: a child handler gives it a fresh lock and
//     leaves what the parent had queued;
//   - a thread's parker: lock-free (an eventfd or its state word);
//   - the per-thread operation-frame caches: never shared, so no lock;
//   - a transport core's and a connection's PyMutex: taken only attached and
//     never across a detach, so no other thread holds one while the forking
//     thread holds the interpreter.
#include <pthread.h>

#include <mutex>

#include "engine/port.hpp"

namespace korvane {

namespace port {

struct ForkRegistry {
    static inline std::mutex mutex;
    static inline ForkEntry* head = nullptr;

    static void prepare() noexcept {
        mutex.lock();
        for (ForkEntry* e = head; e; e = e->next_) e->port_->lock_for_fork();
    }
    static void release() noexcept {
        for (ForkEntry* e = head; e; e = e->next_) e->port_->unlock_after_fork();
        mutex.unlock();
    }
};

ForkEntry::ForkEntry(PortCore& port) noexcept : port_(&port) {
    static const int registered = pthread_atfork(ForkRegistry::prepare, ForkRegistry::release, ForkRegistry::release);
    (void)registered;
    std::lock_guard g(ForkRegistry::mutex);
    next_ = ForkRegistry::head;
    if (next_) next_->prev_ = this;
    ForkRegistry::head = this;
}

ForkEntry::~ForkEntry() {
    std::lock_guard g(ForkRegistry::mutex);
    (prev_ ? prev_->next_ : ForkRegistry::head) = next_;
    if (next_) next_->prev_ = prev_;
}

}  // namespace port

void PortCore::lock_for_fork() noexcept {
    // The back-end lock before the settings lock, as everywhere; the
    // notifications' and lock queues' locks are leaves.
    backend_mutex_.lock();
    state_mutex_.lock();
    closed.lock_for_fork();
    cancel_read.lock_for_fork();
    cancel_write.lock_for_fork();
    read_lock.lock_for_fork();
    write_lock.lock_for_fork();
}

void PortCore::unlock_after_fork() noexcept {
    write_lock.unlock_after_fork();
    read_lock.unlock_after_fork();
    cancel_write.unlock_after_fork();
    cancel_read.unlock_after_fork();
    closed.unlock_after_fork();
    state_mutex_.unlock();
    backend_mutex_.unlock();
}

}  // namespace korvane
