#include "port.hpp"

#include <cerrno>

namespace korvane {

bool is_device_loss(const SerialError& error) noexcept {
    if (error.kind() != SerialError::Kind::Io) return false;
    if (auto n = error.os_errno()) return *n == EIO || *n == ENXIO || *n == ENODEV;
    return error.message() == port::no_data_message;
}

std::shared_ptr<PortCore> PortCore::create() { return std::make_shared<PortCore>(Private{}); }

Status PortCore::open() {
    std::lock_guard b(backend_mutex_);
    std::string name;
    Settings settings;
    bool rts, dtr;
    {
        std::lock_guard s(state_mutex_);
        if (!state_.port) return fail(SerialError::not_configured());
        name = *state_.port;
        settings = state_.settings;
        rts = state_.rts;
        dtr = state_.dtr;
    }
    if (backend_) return fail(SerialError::already_open());
    auto opened = backend::open(name, settings, rts, dtr);
    if (!opened) return fail(std::move(opened.error()));
    return install(std::move(*opened));
}

Status PortCore::open_backend(std::unique_ptr<Backend> backend) {
    std::lock_guard b(backend_mutex_);
    if (backend_) return fail(SerialError::already_open());
    return install(std::move(backend));
}

Status PortCore::install(std::unique_ptr<Backend> backend) {
    // Whatever arrived before the open is not the caller's.
    if (auto cleared = backend->clear_buffers(true, false); !cleared) return cleared;
    backend_ = std::move(backend);
    ++generation_;
    return {};
}

void PortCore::close() noexcept {
    std::unique_ptr<Backend> old;
    {
        std::lock_guard b(backend_mutex_);
        old = std::move(backend_);
    }
    // Signalled after the slot is empty, so a woken operation never finds it filled;
    // the device is closed last.
    closed.notify_waiters();
    old.reset();
}

void PortCore::close_if(std::uint64_t generation) noexcept {
    std::unique_ptr<Backend> old;
    {
        std::lock_guard b(backend_mutex_);
        if (!backend_ || generation_ != generation) return;
        old = std::move(backend_);
    }
    closed.notify_waiters();
    old.reset();
}

std::optional<std::uint64_t> PortCore::open_generation() const {
    std::lock_guard b(backend_mutex_);
    if (!backend_) return std::nullopt;
    return generation_;
}

Status PortCore::set_port(std::optional<std::string> name) {
    bool was_open = is_open();
    close();
    {
        std::lock_guard s(state_mutex_);
        state_.port = std::move(name);
    }
    if (was_open) return open();
    return {};
}

std::optional<std::string> PortCore::port() const {
    std::lock_guard s(state_mutex_);
    return state_.port;
}

bool PortCore::is_open() const {
    std::lock_guard b(backend_mutex_);
    return static_cast<bool>(backend_);
}

port::State PortCore::state() const {
    std::lock_guard s(state_mutex_);
    return state_;
}

Result<std::optional<std::int32_t>> PortCore::fileno() {
    return with_backend([](Backend& b) -> Result<std::optional<std::int32_t>> { return b.fileno(); });
}
Result<std::uint32_t> PortCore::in_waiting() {
    return with_backend([](Backend& b) { return b.in_waiting(); });
}
Result<std::uint32_t> PortCore::out_waiting() {
    return with_backend([](Backend& b) { return b.out_waiting(); });
}
Status PortCore::reset_input_buffer() {
    return with_backend([](Backend& b) { return b.clear_buffers(true, false); });
}
Status PortCore::reset_output_buffer() {
    return with_backend([](Backend& b) { return b.clear_buffers(false, true); });
}
Result<bool> PortCore::cd() {
    return with_backend([](Backend& b) { return b.cd(); });
}
Result<bool> PortCore::ri() {
    return with_backend([](Backend& b) { return b.ri(); });
}
Result<bool> PortCore::cts() {
    return with_backend([](Backend& b) { return b.cts(); });
}
Result<bool> PortCore::dsr() {
    return with_backend([](Backend& b) { return b.dsr(); });
}

Status PortCore::set_dtr(bool level) {
    std::lock_guard b(backend_mutex_);
    {
        std::lock_guard s(state_mutex_);
        state_.dtr = level;
    }
    if (backend_) return backend_->set_dtr(level);
    return {};
}

Status PortCore::set_rts(bool level) {
    std::lock_guard b(backend_mutex_);
    bool rtscts;
    {
        std::lock_guard s(state_mutex_);
        state_.rts = level;
        rtscts = state_.settings.rtscts;
    }
    // With hardware flow control the line drives RTS itself.
    if (backend_ && !rtscts) return backend_->set_rts(level);
    return {};
}

// Stored and applied under one back-end lock hold, as set_dtr does, so two
// racing calls cannot leave the line in break while the flag reads off.
Status PortCore::set_break_condition(bool on) {
    std::lock_guard b(backend_mutex_);
    {
        std::lock_guard s(state_mutex_);
        state_.break_condition = on;
    }
    if (backend_) return backend_->set_break_state(on);
    return {};
}

Poll<Result<std::size_t>> PortCore::poll_read_some(Context& cx, MutableBytes buffer) {
    std::lock_guard b(backend_mutex_);
    if (!backend_) return Result<std::size_t>(std::unexpect, SerialError::not_open());
    return backend_->poll_read(cx, buffer);
}

Poll<Result<std::size_t>> PortCore::poll_write_some(Context& cx, Bytes data) {
    std::lock_guard b(backend_mutex_);
    if (!backend_) return Result<std::size_t>(std::unexpect, SerialError::not_open());
    return backend_->poll_write(cx, data);
}

}  // namespace korvane
