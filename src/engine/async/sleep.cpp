#include "engine/async/sleep.hpp"

#include <asio.hpp>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "engine/async/local_wait.hpp"
#include "engine/runtime.hpp"

namespace korvane {

static_assert(asio::error::operation_aborted == ECANCELED, "a cancelled wait is told by its value");

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

// All reactor sleeps share one timer, armed at the earliest deadline. A read
// loop makes a sleep per read and drops it when the read ends; with a timer
// each, every read re-armed the reactor's timer and every drop posted a
// cancelled handler that woke a worker. Here a sleep whose deadline is later
// than the armed one only joins the queue, and a dropped one only leaves it:
// the timer fires at most once per earliest deadline and re-arms for the next.
namespace {

struct Sleeper {
    Waker waker;
    bool fired = false;
};

struct Timers {
    std::mutex mutex;
    std::multimap<Instant, Sleeper*> queue;
    asio::steady_timer timer;
    std::optional<Instant> armed;

    explicit Timers(asio::io_context& io) : timer(io) {}

    // With the mutex held. A wait already queued for a later deadline ends
    // as aborted, which the handler ignores.
    void arm(Instant at) {
        armed.reset();
        timer.expires_at(at);
        timer.async_wait([this](const std::error_code& ec) {
            if (!runtime::is_cancelled_wait(ec)) fire();
        });
        armed = at;
    }

    void fire() noexcept {
        std::vector<Waker> due;
        {
            std::lock_guard g(mutex);
            armed.reset();
            auto now = Clock::now();
            auto it = queue.begin();
            for (; it != queue.end() && it->first <= now; ++it) {
                it->second->fired = true;
                try {
                    due.push_back(std::move(it->second->waker));
                } catch (...) {
                    it->second->waker.wake();  // out of memory: a wake never polls inline
                }
            }
            queue.erase(queue.begin(), it);
            if (!queue.empty()) {
                try {
                    arm(queue.begin()->first);
                } catch (...) {
                    // Nothing armed: the next sleep to join arms the timer.
                }
            }
        }
        for (auto& w : due) w.wake();
    }
};

// Never freed, as the runtime it runs on.
Timers& timers(asio::io_context& io) {
    static Timers* t = new Timers(io);
    return *t;
}

}  // namespace

struct Sleep::Timer {
    Timers& timers;
    Sleeper sleeper;
    std::multimap<Instant, Sleeper*>::iterator at;
    explicit Timer(Timers& t) : timers(t) {}
};

Sleep::Sleep(Instant deadline) noexcept : deadline_(deadline) {}
Sleep::Sleep(Sleep&&) noexcept = default;
Sleep& Sleep::operator=(Sleep&&) noexcept = default;

Sleep::~Sleep() {
    if (!timer_) return;
    // In a forked child the queue is the parent's, perhaps locked by a thread
    // that does not exist here: the entry is left behind.
    if (runtime::forked()) {
        (void)timer_.release();
        return;
    }
    Waker old;
    std::lock_guard g(timer_->timers.mutex);
    if (!timer_->sleeper.fired) timer_->timers.queue.erase(timer_->at);
    old = std::move(timer_->sleeper.waker);
}

Poll<Unit> Sleep::poll(Context& cx) {
    if (Clock::now() >= deadline_) return Unit{};
    if (auto* local = cx.local(); local && !timer_) {
        local->until(deadline_);
        return std::nullopt;
    }
    Waker old;
    if (timer_ && runtime::forked()) return Unit{};  // nothing here would wake us
    if (!timer_) {
        auto rt = runtime::runtime();
        // Without a runtime nothing could ever wake us: end now rather than hang.
        if (!rt) return Unit{};
        auto timer = std::make_unique<Timer>(timers((*rt)->io()));
        auto& t = timer->timers;
        std::lock_guard g(t.mutex);
        timer->sleeper.waker = cx.waker();
        timer->at = t.queue.emplace(deadline_, &timer->sleeper);
        try {
            if (!t.armed || deadline_ < *t.armed) t.arm(deadline_);
        } catch (...) {
            t.queue.erase(timer->at);
            throw;
        }
        timer_ = std::move(timer);
        return std::nullopt;
    }
    std::lock_guard g(timer_->timers.mutex);
    if (timer_->sleeper.fired) return Unit{};
    register_waker(timer_->sleeper.waker, cx, old);
    return std::nullopt;
}

}  // namespace korvane
