#include "engine/async/readiness.hpp"

#include <asio.hpp>
#include <mutex>
#include <poll.h>

#include "engine/async/local_wait.hpp"
#include "engine/async/loop_watch.hpp"
#include "engine/runtime.hpp"

namespace korvane {

namespace {

struct Side {
    bool ready = false;
    bool armed = false;
    std::error_code error;
    Waker waker;
};

short interest(Readiness::Direction d) noexcept { return d == Readiness::Direction::Read ? POLLIN : POLLOUT; }

}  // namespace

// Shared with the reactor's handlers, which may run after the Readiness is gone.
struct Readiness::Cell {
    std::mutex mutex;
    const int fd;
    asio::io_context& io;
    // Present while a task's wait may be queued on the reactor.
    std::unique_ptr<asio::posix::stream_descriptor> sd;
    Side sides[2];
    bool gone = false;

    Cell(int fd_, asio::io_context& io_) : fd(fd_), io(io_) {}

    // Deregisters without closing: the descriptor belongs to the back-end.
    // Queued waits end as aborted. With the mutex held.
    void unregister() noexcept {
        (void)sd->release();
        sd.reset();
    }
};

Result<Readiness> Readiness::create(int fd) {
    auto rt = runtime::runtime();
    if (!rt) return fail(rt.error());
    try {
        // Registered once and let go at once, so a descriptor the reactor
        // cannot watch is refused here rather than at its first wait.
        asio::posix::stream_descriptor probe((*rt)->io(), fd);
        (void)probe.release();
        return Readiness(std::make_shared<Cell>(fd, (*rt)->io()));
    } catch (const std::system_error& e) {
        return fail(SerialError::os(e.code().value()));
    }
}

Readiness::Readiness(std::shared_ptr<Cell> cell) noexcept : cell_(std::move(cell)) {}
Readiness::Readiness(Readiness&&) noexcept = default;
Readiness& Readiness::operator=(Readiness&&) noexcept = default;

Readiness::~Readiness() {
    if (!cell_) return;
    // In a forked child the cell is the parent's reactor's: a parent worker's
    // handler may have held its lock at fork(), and deregistering would take
    // the parent's events away (the reactor is shared). It is left untouched.
    if (runtime::forked()) {
        union Leaked {
            std::shared_ptr<Cell> cell;
            ~Leaked() {}
        } leaked{std::move(cell_)};
        return;
    }
    // The descriptor closes after this: no loop's watch may keep its number.
    LoopWatch::forget(cell_->fd);
    std::lock_guard g(cell_->mutex);
    cell_->gone = true;
    if (cell_->sd) cell_->unregister();
}

Poll<Status> Readiness::poll_ready(Direction d, Context& cx) {
    auto& cell = *cell_;
    const int i = d == Direction::Read ? 0 : 1;
    auto& side = cell.sides[i];
    // The current level, before a wait is queued and once it is: the reactor
    // is edge-triggered and a wait does not look at the level. Before arming,
    // a number that is not open is left to the reactor, which reports it.
    auto level = [&](bool armed) -> Poll<Status> {
        pollfd p{cell.fd, interest(d), 0};
        bool now = ::poll(&p, 1, 0) > 0 && (armed || !(p.revents & POLLNVAL));
        std::lock_guard g(cell.mutex);
        if (now) side.ready = true;
        if (side.ready) return Status{};
        return std::nullopt;
    };
    bool armed;
    {
        Waker old;
        std::lock_guard g(cell.mutex);
        if (side.error) return fail(SerialError::os(side.error.value()));
        if (side.ready) return Status{};
        if (auto* local = cx.local()) {
            if (local->take(cell.fd, interest(d))) {
                side.ready = true;
                return Status{};
            }
            local->want(cell.fd, interest(d));
            return std::nullopt;
        }
        register_waker(side.waker, cx, old);
        armed = side.armed;
    }
    // Armed already: the level is still asked, so readiness that came after
    // a would-block is seen now rather than at the handler's run.
    if (armed) return level(true);
    // Asked before arming: what is there already needs no wait, and the
    // reactor (and a worker it would wake for nothing) stays out of it. A
    // no-op waker (an asyncio call's first poll, which a task polls again at
    // once if it has to wait) could not be woken by a queued wait anyway.
    if (auto now = level(false); now || cx.waker().is_noop()) return now;
    {
        std::lock_guard g(cell.mutex);
        if (side.armed) return std::nullopt;
        try {
            if (!cell.sd) cell.sd = std::make_unique<asio::posix::stream_descriptor>(cell.io, cell.fd);
            auto kind = d == Direction::Read ? asio::posix::descriptor_base::wait_read
                                             : asio::posix::descriptor_base::wait_write;
            cell.sd->async_wait(kind, [cell = cell_, i](const std::error_code& ec) {
                Waker w;
                {
                    std::lock_guard g(cell->mutex);
                    auto& side = cell->sides[i];
                    side.armed = false;
                    if (runtime::is_cancelled_wait(ec)) return;
                    if (ec) side.error = ec;
                    side.ready = true;
                    w = std::move(side.waker);
                    // No task waits any more: let go of the reactor.
                    if (!cell->sides[1 - i].armed && cell->sd && !cell->gone) cell->unregister();
                }
                runtime::ContinueHere here;
                w.wake();
            });
        } catch (const std::system_error& e) {
            // Nothing is queued, so the side stays unarmed and the next poll tries again.
            return fail(SerialError::os(e.code().value()));
        }
        side.armed = true;
    }
    // An event between the first look and the wait being queued would be lost.
    return level(true);
}

void Readiness::clear_ready(Direction d) {
    std::lock_guard g(cell_->mutex);
    cell_->sides[d == Direction::Read ? 0 : 1].ready = false;
}

}  // namespace korvane
