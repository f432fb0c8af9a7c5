// LoopWatch: operations parked on one event loop, waiting on that loop's own
// selector instead of the runtime's reactor.
//
// An operation started on the loop's thread whose first poll waits only for
// one descriptor parks here. The watch is an epoll instance that the loop
// watches as one readable descriptor; when it fires the loop calls ready(),
// which polls the due operations there, so neither a worker nor a cross-thread
// hop is involved. Anything else that must see a parked operation (a lock
// handed over, a cancel, a close, its deadline, another thread waiting behind
// it, the loop letting go) wakes it, and a wake hands it to the runtime,
// which drives it from then on as any task.
//
// The epoll instance holds no reference to the descriptors in it: a port
// closed on another thread closes at once, and forget() takes its number out
// of every watch first, so a reused number is never watched by mistake.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/async/local_wait.hpp"
#include "engine/async/sleep.hpp"
#include "engine/async/task.hpp"

namespace korvane {

class LoopWatch {
public:
    // Null when no epoll instance can be made.
    static std::shared_ptr<LoopWatch> create();
    ~LoopWatch();
    LoopWatch(const LoopWatch&) = delete;
    LoopWatch& operator=(const LoopWatch&) = delete;

    // The descriptor the loop watches for reading.
    int fd() const noexcept { return epfd_; }
    // For the first poll of an operation started on the loop's thread, and
    // handed back to park(). Only the loop's thread uses them.
    LocalWaits& waits() noexcept { return waits_; }

    // Takes `task`, parked by its first poll with `waits`. A task that waits
    // for anything but one descriptor goes to the runtime instead, at once or
    // (waiting on wakers alone) when woken.
    void park(const TaskHandle& task, const LocalWaits& waits);
    // On the loop's thread, when fd() is readable: polls what is due.
    void ready();
    // The loop let go of fd(): what is parked goes to the runtime, and
    // nothing parks here again.
    void release() noexcept;
    bool released() const;
    // `fd` is about to be closed: no watch keeps it.
    static void forget(int fd) noexcept;

private:
    explicit LoopWatch(int epfd) noexcept;

    struct Parked {
        std::shared_ptr<detail::TaskBase> task;
        short events;
        // The operation's own deadline, on the runtime's timer queue.
        std::unique_ptr<Sleep> deadline;
    };
    struct Watched {
        int fd;
        unsigned interest;  // as registered in the epoll instance
        std::vector<Parked> parked;
    };
    struct Due {
        std::shared_ptr<detail::TaskBase> task;
        int fd;
        unsigned revents;
        bool keep = false;
        short events = 0;
        std::optional<Instant> deadline;
    };

    // With mutex_ held.
    Watched* find(int fd) noexcept;
    // Registers the union of what waits on `w`, which stays registered when
    // nothing does. False when the registration failed. With mutex_ held.
    bool update(Watched& w) noexcept;
    void drop(Watched& w) noexcept;
    // Moves out the entries whose task is no longer parked here.
    static void purge(Watched& w, std::vector<Parked>& gone);

    mutable std::mutex mutex_;
    const int epfd_;
    bool released_ = false;
    std::vector<Watched> watched_;
    LocalWaits waits_{true};
    std::vector<Due> due_;
};

}  // namespace korvane
