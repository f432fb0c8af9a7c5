// LocalWaits: what the leaves of a future polled by a thread that parks
// itself wait for, recorded instead of armed on the reactor.
//
// A blocking caller's first phase polls with these in its context: a
// readiness wait records its descriptor and interest, a sleep its deadline,
// and the caller sleeps in ppoll on them and its own wake descriptor. What a
// park saw is reported to the next poll.
#pragma once

#include <chrono>
#include <optional>
#include <poll.h>
#include <vector>

namespace korvane {

namespace detail {
class Parker;
}

class LocalWaits {
public:
    using Instant = std::chrono::steady_clock::time_point;

    // `on_loop`: the poller is an event loop's watch, which gives the future
    // up to the runtime when anything else must see it.
    explicit LocalWaits(bool on_loop = false) noexcept : on_loop_(on_loop) {}
    bool on_loop() const noexcept { return on_loop_; }

    void want(int fd, short events);
    void until(Instant deadline) noexcept {
        if (!deadline_ || deadline < *deadline_) deadline_ = deadline;
    }
    // Whether the last park found `fd` ready for `events` (or failed); a
    // readiness is reported once.
    bool take(int fd, short events) noexcept;
    // What the last poll recorded, and what a watcher reports for the next.
    const std::vector<pollfd>& wanted() const noexcept { return next_; }
    std::optional<Instant> deadline() const noexcept { return deadline_; }
    void saw(int fd, short revents) { seen_.push_back(pollfd{fd, 0, revents}); }
    // Forgets everything, so nothing reaches a later future.
    void reset() noexcept {
        next_.clear();
        seen_.clear();
        deadline_.reset();
    }

private:
    friend class detail::Parker;
    // Slot 0 of `next_` is the parker's own wake descriptor.
    std::vector<pollfd> next_;
    std::vector<pollfd> seen_;
    std::optional<Instant> deadline_;
    bool on_loop_;
};

}  // namespace korvane
