#include "async/readiness.hpp"

#include <asio.hpp>
#include <mutex>
#include <poll.h>

#include "runtime.hpp"

namespace korvane {

namespace {

struct Side {
    std::mutex mutex;
    bool ready = false;
    bool armed = false;
    std::error_code error;
    Waker waker;
};

}  // namespace

struct Readiness::Impl {
    int fd;
    asio::posix::stream_descriptor sd;
    std::shared_ptr<Side> sides[2] = {std::make_shared<Side>(), std::make_shared<Side>()};

    Impl(asio::io_context& io, int fd_) : fd(fd_), sd(io, fd_) {}
    ~Impl() {
        // Deregister without closing: the descriptor belongs to the back-end.
        std::error_code ec;
        sd.cancel(ec);
        (void)sd.release();
    }
};

Result<Readiness> Readiness::create(int fd) {
    auto rt = runtime::runtime();
    if (!rt) return fail(rt.error());
    try {
        return Readiness(std::make_unique<Impl>((*rt)->io(), fd));
    } catch (const std::system_error& e) {
        return fail(SerialError::os(e.code().value()));
    }
}

Readiness::Readiness(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Readiness::Readiness(Readiness&&) noexcept = default;
Readiness& Readiness::operator=(Readiness&&) noexcept = default;

Readiness::~Readiness() {
    // A forked child shares the parent's reactor: deregistering there would
    // take the parent's events away.
    if (impl_ && runtime::forked()) (void)impl_.release();
}

Poll<Status> Readiness::poll_ready(Direction d, Context& cx) {
    auto& side = impl_->sides[d == Direction::Read ? 0 : 1];
    bool arm = false;
    {
        Waker old;
        std::lock_guard g(side->mutex);
        if (side->error) return fail(SerialError::os(side->error.value()));
        if (side->ready) return Status{};
        register_waker(side->waker, cx, old);
        if (!side->armed) side->armed = arm = true;
    }
    if (!arm) return std::nullopt;
    auto kind = d == Direction::Read ? asio::posix::descriptor_base::wait_read
                                     : asio::posix::descriptor_base::wait_write;
    impl_->sd.async_wait(kind, [side](const std::error_code& ec) {
        Waker w;
        {
            std::lock_guard g(side->mutex);
            side->armed = false;
            if (ec == asio::error::operation_aborted) return;
            if (ec) side->error = ec;
            side->ready = true;
            w = std::move(side->waker);
        }
        w.wake();
    });
    // The reactor is edge-triggered and a wait does not look at the current
    // level: an event between the caller's last attempt and the wait being
    // queued would be lost. Ask the level once the wait is in place.
    pollfd p{impl_->fd, static_cast<short>(d == Direction::Read ? POLLIN : POLLOUT), 0};
    if (::poll(&p, 1, 0) > 0) {
        std::lock_guard g(side->mutex);
        side->ready = true;
        return Status{};
    }
    std::lock_guard g(side->mutex);
    if (side->ready) return Status{};
    return std::nullopt;
}

void Readiness::clear_ready(Direction d) {
    auto& side = impl_->sides[d == Direction::Read ? 0 : 1];
    std::lock_guard g(side->mutex);
    side->ready = false;
}

}  // namespace korvane
