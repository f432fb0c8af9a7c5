#include "engine/async/block_on.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/eventfd.h>
#include <unistd.h>

namespace korvane {

void LocalWaits::want(int fd, short events) {
    for (auto& p : next_) {
        if (p.fd == fd) {
            p.events |= events;
            return;
        }
    }
    next_.push_back(pollfd{fd, events, 0});
}

bool LocalWaits::take(int fd, short events) noexcept {
    for (auto& p : seen_) {
        if (p.fd != fd) continue;
        short hit = p.revents & (events | POLLERR | POLLHUP | POLLNVAL);
        p.revents &= ~hit;
        return hit != 0;
    }
    return false;
}

namespace detail {

Parker::Parker() noexcept : efd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Parker::~Parker() {
    if (efd_ >= 0) ::close(efd_);
}

void Parker::wake() noexcept {
    if (state_.exchange(notified, std::memory_order_acq_rel) != parked) return;
    if (efd_ >= 0) {
        std::uint64_t one = 1;
        while (::write(efd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        return;
    }
    // No lock: a forked child may wake a parent thread's parker.
    state_.notify_one();
}

void Parker::park(LocalWaits& waits) {
    int expected = empty;
    if (!state_.compare_exchange_strong(expected, parked, std::memory_order_acq_rel)) {
        state_.store(empty, std::memory_order_relaxed);  // a wake came since the last park
        return;
    }
    if (efd_ < 0) {
        state_.wait(parked, std::memory_order_acquire);
        state_.store(empty, std::memory_order_relaxed);
        return;
    }
    auto& fds = waits.next_;
    if (fds.empty() || fds[0].fd != efd_) fds.insert(fds.begin(), pollfd{efd_, POLLIN, 0});
    timespec ts{};
    timespec* timeout = nullptr;
    if (waits.deadline_) {
        auto left = std::max(*waits.deadline_ - LocalWaits::Instant::clock::now(), LocalWaits::Instant::duration::zero());
        auto ns = std::chrono::ceil<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        timeout = &ts;
    }
    int n = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
    if (n < 0) {
        for (auto& p : fds) p.revents = 0;  // EINTR, or out of memory: poll again
    }
    if (fds[0].revents & POLLIN) {
        std::uint64_t count;
        (void)!::read(efd_, &count, sizeof count);
    }
    fds[0].revents = 0;
    state_.store(empty, std::memory_order_release);
    // What this park saw goes to the next poll; that poll records afresh.
    std::swap(waits.seen_, waits.next_);
    waits.next_.clear();
    waits.next_.push_back(pollfd{efd_, POLLIN, 0});
    waits.deadline_.reset();
}

namespace {
thread_local bool t_busy = false;
}

struct ThreadPark::Slot {
    std::shared_ptr<Parker> parker = std::make_shared<Parker>();
    Waker waker{parker};
    LocalWaits waits;
};

ThreadPark::ThreadPark() {
    static thread_local Slot mine;
    owned_ = t_busy;
    slot_ = owned_ ? new Slot : &mine;
    t_busy = true;
}

ThreadPark::~ThreadPark() {
    // Stale readiness from this run must not reach the next.
    slot_->waits.reset();
    if (owned_)
        delete slot_;
    else
        t_busy = false;
}

const Waker& ThreadPark::waker() const noexcept { return slot_->waker; }

LocalWaits* ThreadPark::local() noexcept { return slot_->parker->waits_locally() ? &slot_->waits : nullptr; }

void ThreadPark::park() { slot_->parker->park(slot_->waits); }

}  // namespace detail
}  // namespace korvane
