// Deadlines over the full range of timeouts, and Sleep, a timer leaf.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "engine/async/waker.hpp"
#include "engine/duration.hpp"

namespace korvane {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// `from + d`, or nothing when the sum leaves the clock's range: a deadline
// that cannot be represented is no deadline.
std::optional<Instant> deadline_after(Instant from, Duration d) noexcept;
inline std::optional<Instant> deadline_in(Duration d) noexcept { return deadline_after(Clock::now(), d); }
// The earlier of two deadlines, where nothing is later than anything.
std::optional<Instant> earlier(std::optional<Instant> a, std::optional<Instant> b) noexcept;
// A clock duration of `d`, saturating.
Clock::duration to_clock(Duration d) noexcept;

// Ready once the deadline has passed. Polled with local waits, it records its
// deadline there; otherwise it joins the runtime's one timer queue at the
// first poll that finds the deadline ahead.
class Sleep {
public:
    explicit Sleep(Instant deadline) noexcept;
    Sleep(Sleep&&) noexcept;
    Sleep& operator=(Sleep&&) noexcept;
    ~Sleep();

    Poll<Unit> poll(Context& cx);
    Instant deadline() const noexcept { return deadline_; }

private:
    struct Timer;
    Instant deadline_;
    std::unique_ptr<Timer> timer_;
};

}  // namespace korvane
