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

    void want(int fd, short events);
    void until(Instant deadline) noexcept {
        if (!deadline_ || deadline < *deadline_) deadline_ = deadline;
    }
    // Whether the last park found `fd` ready for `events` (or failed); a
    // readiness is reported once.
    bool take(int fd, short events) noexcept;
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
};

}  // namespace korvane
