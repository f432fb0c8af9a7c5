#include "engine/async/sleep.hpp"

#include <asio.hpp>
#include <limits>
#include <mutex>

#include "engine/async/local_wait.hpp"
#include "engine/runtime.hpp"

namespace korvane {

Clock::duration to_clock(Duration d) noexcept {
    using Rep = Clock::rep;
    using Period = Clock::period;
    static_assert(Period::num == 1, "a clock tick is a fraction of a second");
    constexpr Rep max = std::numeric_limits<Rep>::max();
    constexpr auto per_sec = static_cast<std::uint64_t>(Period::den);
    if (d.secs > static_cast<std::uint64_t>(max) / per_sec) return Clock::duration::max();
    Rep ticks = static_cast<Rep>(d.secs * per_sec);
    Rep frac = static_cast<Rep>(static_cast<std::uint64_t>(d.nanos) * per_sec / 1000000000u);
    if (ticks > max - frac) return Clock::duration::max();
    return Clock::duration(ticks + frac);
}

std::optional<Instant> deadline_after(Instant from, Duration d) noexcept {
    auto span = to_clock(d);
    if (span == Clock::duration::max()) return std::nullopt;
    if (from.time_since_epoch() > Clock::duration::max() - span) return std::nullopt;
    return from + span;
}

std::optional<Instant> earlier(std::optional<Instant> a, std::optional<Instant> b) noexcept {
    if (!a) return b;
    if (!b) return a;
    return *a < *b ? a : b;
}

namespace {

struct Fired {
    std::mutex mutex;
    bool fired = false;
    Waker waker;
};

}  // namespace

// The handler holds only the shared cell, never the Sleep, which may be gone.
struct Sleep::Timer {
    asio::steady_timer timer;
    std::shared_ptr<Fired> cell = std::make_shared<Fired>();
    explicit Timer(asio::io_context& io) : timer(io) {}
};

Sleep::Sleep(Instant deadline) noexcept : deadline_(deadline) {}
Sleep::Sleep(Sleep&&) noexcept = default;
Sleep& Sleep::operator=(Sleep&&) noexcept = default;

Sleep::~Sleep() {
    // In a forked child the reactor is not ours to touch.
    if (timer_ && runtime::forked()) (void)timer_.release();
}

Poll<Unit> Sleep::poll(Context& cx) {
    if (Clock::now() >= deadline_) return Unit{};
    if (auto* local = cx.local(); local && !timer_) {
        local->until(deadline_);
        return std::nullopt;
    }
    if (!timer_) {
        auto rt = runtime::runtime();
        // Without a runtime nothing could ever wake us: end now rather than hang.
        if (!rt) return Unit{};
        timer_ = std::make_unique<Timer>((*rt)->io());
        timer_->timer.expires_at(deadline_);
        {
            std::lock_guard g(timer_->cell->mutex);
            timer_->cell->waker = cx.waker();
        }
        timer_->timer.async_wait([cell = timer_->cell](const std::error_code& ec) {
            if (ec == asio::error::operation_aborted) return;
            Waker w;
            {
                std::lock_guard g(cell->mutex);
                cell->fired = true;
                w = std::move(cell->waker);
            }
            w.wake();
        });
        return std::nullopt;
    }
    Waker old;
    std::lock_guard g(timer_->cell->mutex);
    if (timer_->cell->fired) return Unit{};
    register_waker(timer_->cell->waker, cx, old);
    return std::nullopt;
}

}  // namespace korvane
