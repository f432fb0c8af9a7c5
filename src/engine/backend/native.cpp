#include "engine/backend/native.hpp"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "engine/runtime.hpp"

namespace korvane {

using tty::detail::retry;

NativePort::NativePort(tty::Device device, Readiness readiness) noexcept
    : device_(device), readiness_(std::move(readiness)), opener_(::getpid()) {}

NativePort::~NativePort() {
    // Deregistered before the descriptor goes, so the reactor never sees a
    // reused number. In a forked child the registration is the parent's
    // (Readiness leaves it alone there) and so is exclusive mode.
    readiness_.reset();
    if (::getpid() != opener_) {
        ::close(device_.fd);
        return;
    }
    tty::close(device_);
}

Poll<Result<std::size_t>> NativePort::poll_read(Context& cx, MutableBytes buffer) {
    if (buffer.empty()) return std::size_t{0};
    for (;;) {
        auto ready = readiness_->poll_ready(Readiness::Direction::Read, cx);
        if (!ready) return std::nullopt;
        if (!*ready) return fail(std::move(ready->error()));
        ssize_t n = ::read(device_.fd, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return fail(SerialError::last_os());
        readiness_->clear_ready(Readiness::Direction::Read);
    }
}

Poll<Result<std::size_t>> NativePort::poll_write(Context& cx, Bytes data) {
    if (data.empty()) return std::size_t{0};
    for (;;) {
        auto ready = readiness_->poll_ready(Readiness::Direction::Write, cx);
        if (!ready) return std::nullopt;
        if (!*ready) return fail(std::move(ready->error()));
        ssize_t n = ::write(device_.fd, data.data(), data.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return fail(SerialError::last_os());
        readiness_->clear_ready(Readiness::Direction::Write);
    }
}

namespace {

// A non-blocking descriptor call: nothing on EAGAIN, EINTR retried.
template <class Call>
std::optional<Result<std::size_t>> attempt(Call&& call) {
    for (;;) {
        ssize_t n = call();
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return std::nullopt;
        return fail(SerialError::last_os());
    }
}

}  // namespace

// A would-block also tells the readiness, so the poll that takes over waits
// at once instead of trying the descriptor again.
std::optional<Result<std::size_t>> NativePort::try_read(MutableBytes buffer) {
    if (buffer.empty()) return std::size_t{0};
    auto r = attempt([&] { return ::read(device_.fd, buffer.data(), buffer.size()); });
    if (!r) readiness_->clear_ready(Readiness::Direction::Read);
    return r;
}

void NativePort::expect_read_wait() { readiness_->clear_ready(Readiness::Direction::Read); }

std::optional<Result<std::size_t>> NativePort::try_write(Bytes data) {
    if (data.empty()) return std::size_t{0};
    auto r = attempt([&] { return ::write(device_.fd, data.data(), data.size()); });
    if (!r) readiness_->clear_ready(Readiness::Direction::Write);
    return r;
}

Status NativePort::configure(const Settings& settings, bool rts, bool dtr) {
    return native::configure(device_.fd, settings, rts, dtr);
}

Status NativePort::set_rts(bool level) { return tty::write_rts(device_.fd, level); }
Status NativePort::set_dtr(bool level) { return tty::write_dtr(device_.fd, level); }
Result<bool> NativePort::cts() { return tty::read_cts(device_.fd); }
Result<bool> NativePort::dsr() { return tty::read_dsr(device_.fd); }
Result<bool> NativePort::ri() { return tty::read_ri(device_.fd); }
Result<bool> NativePort::cd() { return tty::read_cd(device_.fd); }
Result<std::uint32_t> NativePort::in_waiting() { return tty::bytes_to_read(device_.fd); }
Result<std::uint32_t> NativePort::out_waiting() { return tty::bytes_to_write(device_.fd); }

Status NativePort::clear_buffers(bool input, bool output) {
    if (input && output) return tty::clear(device_.fd, tty::ClearBuffer::All);
    if (input) return tty::clear(device_.fd, tty::ClearBuffer::Input);
    if (output) return tty::clear(device_.fd, tty::ClearBuffer::Output);
    return {};
}

Status NativePort::set_break_state(bool on) { return on ? tty::set_break(device_.fd) : tty::clear_break(device_.fd); }

Result<Drain> NativePort::drain_handle() {
    auto fd = tty::duplicate(device_.fd);
    if (!fd) return fail(std::move(fd.error()));
    return Drain(*fd);
}

namespace native {

Result<std::unique_ptr<Backend>> open(std::string_view name, const Settings& settings, bool rts, bool dtr) {
    if (auto rt = runtime::runtime(); !rt) return fail(std::move(rt.error()));
    auto device = tty::open(name, settings.baudrate, settings.exclusive.value_or(false));
    if (!device) return fail(SerialError::open_failed(name, device.error()));
    auto readiness = Readiness::create(device->fd);
    if (!readiness) {
        tty::close(*device);
        return fail(SerialError::open_failed(name, readiness.error()));
    }
    auto port = std::make_unique<NativePort>(*device, std::move(*readiness));
    // A failed configure closes the device again and is returned as it is.
    if (auto r = port->configure(settings, rts, dtr); !r) return fail(std::move(r.error()));
    return port;
}

namespace platform {

Status apply(int fd, const Settings& settings) {
    tty::Attributes t;
    if (int e = tty::get_attributes(fd, t)) return fail(SerialError::os(e));
    t.iflag &= ~(INPCK | ISTRIP);
    if (settings.xonxoff)
        t.iflag |= IXON | IXOFF;
    else
        t.iflag &= ~(IXON | IXOFF | IXANY);
    t.cflag &= ~CMSPAR;
    if (settings.parity == Parity::Mark) t.cflag |= CMSPAR | PARENB | PARODD;
    if (settings.parity == Parity::Space) t.cflag = (t.cflag | CMSPAR | PARENB) & ~PARODD;
    if (int e = tty::set_attributes(fd, t)) return fail(SerialError::os(e));
    return {};
}

namespace {
bool no_modem_lines(const SerialError& e) {
    return e.kind() == SerialError::Kind::Io && (e.os_errno() == ENOTTY || e.os_errno() == EINVAL);
}

Status lines(int fd, std::optional<bool> rts, std::optional<bool> dtr) {
    if (rts && dtr) {
        int bits = 0;
        if (retry([&] { return ::ioctl(fd, TIOCMGET, &bits); }) == -1) return fail(SerialError::last_os());
        bits &= ~(TIOCM_RTS | TIOCM_DTR);
        if (*rts) bits |= TIOCM_RTS;
        if (*dtr) bits |= TIOCM_DTR;
        if (retry([&] { return ::ioctl(fd, TIOCMSET, &bits); }) == -1) return fail(SerialError::last_os());
        return {};
    }
    if (dtr)
        if (auto r = tty::write_dtr(fd, *dtr); !r) return r;
    if (rts) return tty::write_rts(fd, *rts);
    return {};
}
}  // namespace

Status set_lines(int fd, std::optional<bool> rts, std::optional<bool> dtr) {
    auto r = lines(fd, rts, dtr);
    if (!r && no_modem_lines(r.error())) return {};
    return r;
}

}  // namespace platform

Status configure(int fd, const Settings& s, bool rts, bool dtr) {
    int bits = s.bytesize >= 5 && s.bytesize <= 7 ? s.bytesize : 8;
    if (auto r = tty::set_data_bits(fd, bits); !r) return r;
    auto parity = s.parity == Parity::Even ? tty::Parity::Even : s.parity == Parity::Odd ? tty::Parity::Odd : tty::Parity::None;
    if (auto r = tty::set_parity(fd, parity); !r) return r;
    if (auto r = tty::set_stop_bits(fd, s.stopbits != StopBits::One); !r) return r;
    if (auto r = tty::set_flow_control(fd, s.rtscts ? tty::FlowControl::Hardware : tty::FlowControl::None); !r) return r;
    if (auto r = platform::apply(fd, s); !r) return r;
    if (auto r = tty::set_baud_rate(fd, s.baudrate); !r) return r;
    // A line under flow control belongs to the driver.
    return platform::set_lines(fd, s.rtscts ? std::nullopt : std::optional(rts),
                               s.dsrdtr ? std::nullopt : std::optional(dtr));
}

}  // namespace native
}  // namespace korvane
