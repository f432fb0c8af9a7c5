// Ports across fork(): the forking thread takes every live port's locks in
// list order before the fork and releases them on both sides after it, as
// allocators do, so a child's close or setter never waits for a parent
// thread that does not exist in it. No thread holds one of these locks while
// it waits for the interpreter or for another port, so the prepare step
// cannot deadlock.
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
    // notifications' locks are leaves.
    backend_mutex_.lock();
    state_mutex_.lock();
    closed.lock_for_fork();
    cancel_read.lock_for_fork();
    cancel_write.lock_for_fork();
}

void PortCore::unlock_after_fork() noexcept {
    cancel_write.unlock_after_fork();
    cancel_read.unlock_after_fork();
    closed.unlock_after_fork();
    state_mutex_.unlock();
    backend_mutex_.unlock();
}

}  // namespace korvane
