#include "engine/backend/tty.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace korvane::tty {

using detail::retry;

SerialError error(int code) {
    auto text = errors::tty_description(code);
    // Codes without a kernel text keep their number in the marker form.
    if (text.empty()) return SerialError::tty(SerialError::TtyKind::Io, SerialError::os(code).message());
    return SerialError::tty(SerialError::TtyKind::Io, std::string(text));
}

namespace {

SerialError last_error() { return error(errno); }

Status check(int r) {
    if (r == -1) return fail(last_error());
    return {};
}

Result<Attributes> get(int fd) {
    Attributes a;
    if (int e = get_attributes(fd, a)) return fail(error(e));
    return a;
}

Status put(int fd, const Attributes& a) {
    if (int e = set_attributes(fd, a)) return fail(error(e));
    return {};
}

template <class F>
Status modify(int fd, F change) {
    auto a = get(fd);
    if (!a) return fail(std::move(a.error()));
    change(*a);
    return put(fd, *a);
}

Status ioctl_arg(int fd, unsigned long request, int arg) {
    return check(retry([&] { return ::ioctl(fd, request, &arg); }));
}

Result<bool> modem_bit(int fd, int bit) {
    int bits = 0;
    if (retry([&] { return ::ioctl(fd, TIOCMGET, &bits); }) == -1) return fail(last_error());
    return (bits & bit) != 0;
}

Status write_line(int fd, int bit, bool level) { return ioctl_arg(fd, level ? TIOCMBIS : TIOCMBIC, bit); }

Result<std::uint32_t> count(int fd, unsigned long request) {
    int n = 0;
    if (retry([&] { return ::ioctl(fd, request, &n); }) == -1) return fail(last_error());
    return static_cast<std::uint32_t>(n < 0 ? 0 : n);
}

Status lock(int fd, bool exclusive) {
    if (retry([&] { return ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB); }) == 0) return {};
    if (errno != EWOULDBLOCK) return fail(last_error());
    return fail(SerialError::tty(SerialError::TtyKind::NoDevice,
                                 exclusive ? "Unable to acquire exclusive lock on serial port"
                                           : "Unable to acquire shared lock on serial port"));
}

Status raw_mode(int fd) {
    auto a = get(fd);
    if (!a) return fail(std::move(a.error()));
    a->iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    a->oflag &= ~OPOST;
    a->lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    a->cflag = (a->cflag & ~(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
    // VMIN 0 would let an idle terminal read 0 bytes, which means device loss.
    a->cc[VMIN] = 1;
    a->cc[VTIME] = 0;
    if (auto r = put(fd, *a); !r) return r;
    auto back = get(fd);
    if (!back) return fail(std::move(back.error()));
    if (back->iflag != a->iflag || back->oflag != a->oflag || back->cflag != a->cflag || back->lflag != a->lflag ||
        back->cc[VMIN] != a->cc[VMIN] || back->cc[VTIME] != a->cc[VTIME])
        return fail(SerialError::tty(SerialError::TtyKind::Unknown, "Settings did not apply correctly"));
    return {};
}

Status setup(Device& device, std::uint32_t baud_rate, bool exclusive) {
    int fd = device.fd;
    if (auto r = lock(fd, exclusive); !r) return r;
    // Exclusive mode only once the exclusive lock is ours: a loser must not
    // set, and then clear, the winner's exclusive mode.
    if (exclusive) {
        if (auto r = check(retry([&] { return ::ioctl(fd, TIOCEXCL); })); !r) return r;
        device.exclusive = true;
    }
    if (auto r = raw_mode(fd); !r) return r;
    if (auto r = set_baud_rate(fd, baud_rate); !r) return r;
    if (auto r = set_data_bits(fd, 8); !r) return r;
    if (auto r = set_parity(fd, Parity::None); !r) return r;
    if (auto r = set_stop_bits(fd, false); !r) return r;
    return set_flow_control(fd, FlowControl::None);
}

}  // namespace

Result<Device> open(std::string_view path, std::uint32_t baud_rate, bool exclusive) {
    // A NUL would cut the path short and name another file.
    if (path.find('\0') != std::string_view::npos)
        return fail(SerialError::tty(SerialError::TtyKind::InvalidInput, std::string(errors::tty_description(EINVAL))));
    std::string p(path);
    Device device;
    device.fd = retry([&] { return ::open(p.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (device.fd == -1) return fail(last_error());
    if (auto r = setup(device, baud_rate, exclusive); !r) {
        close(device);
        return fail(std::move(r.error()));
    }
    return device;
}

void close(Device& device) noexcept {
    if (device.fd < 0) return;
    if (device.exclusive) retry([&] { return ::ioctl(device.fd, TIOCNXCL); });
    // Not retried: on Linux the descriptor is gone even when close is interrupted.
    ::close(device.fd);
    device.fd = -1;
    device.exclusive = false;
}

Status set_data_bits(int fd, int bits) {
    tcflag_t size;
    switch (bits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default:
        return fail(SerialError::tty(SerialError::TtyKind::InvalidInput, std::string(errors::tty_description(EINVAL))));
    }
    return modify(fd, [&](Attributes& t) { t.cflag = (t.cflag & ~CSIZE) | size; });
}

Status set_parity(int fd, Parity parity) {
    return modify(fd, [&](Attributes& t) {
        switch (parity) {
        case Parity::None:
            t.cflag &= ~(PARENB | PARODD);
            t.iflag &= ~INPCK;
            break;
        case Parity::Odd:
            t.cflag |= PARENB | PARODD;
            t.iflag |= INPCK;
            break;
        case Parity::Even:
            t.cflag = (t.cflag | PARENB) & ~PARODD;
            t.iflag |= INPCK;
            break;
        }
    });
}

Status set_baud_rate(int fd, std::uint32_t rate) {
    return modify(fd, [&](Attributes& t) { set_speed(t, rate); });
}

Status set_stop_bits(int fd, bool two) {
    return modify(fd, [&](Attributes& t) {
        if (two)
            t.cflag |= CSTOPB;
        else
            t.cflag &= ~CSTOPB;
    });
}

Status set_flow_control(int fd, FlowControl flow) {
    return modify(fd, [&](Attributes& t) {
        t.cflag &= ~CRTSCTS;
        t.iflag &= ~(IXON | IXOFF);
        if (flow == FlowControl::Software) t.iflag |= IXON | IXOFF;
        if (flow == FlowControl::Hardware) t.cflag |= CRTSCTS;
    });
}

Status write_rts(int fd, bool level) { return write_line(fd, TIOCM_RTS, level); }
Status write_dtr(int fd, bool level) { return write_line(fd, TIOCM_DTR, level); }
Result<bool> read_cts(int fd) { return modem_bit(fd, TIOCM_CTS); }
Result<bool> read_dsr(int fd) { return modem_bit(fd, TIOCM_DSR); }
Result<bool> read_ri(int fd) { return modem_bit(fd, TIOCM_RI); }
Result<bool> read_cd(int fd) { return modem_bit(fd, TIOCM_CD); }

Result<std::uint32_t> bytes_to_read(int fd) { return count(fd, FIONREAD); }
Result<std::uint32_t> bytes_to_write(int fd) { return count(fd, TIOCOUTQ); }

Status clear(int fd, ClearBuffer which) {
    int queue = which == ClearBuffer::Input ? TCIFLUSH : which == ClearBuffer::Output ? TCOFLUSH : TCIOFLUSH;
    return check(retry([&] { return ::tcflush(fd, queue); }));
}

Status set_break(int fd) { return check(retry([&] { return ::ioctl(fd, TIOCSBRK); })); }
Status clear_break(int fd) { return check(retry([&] { return ::ioctl(fd, TIOCCBRK); })); }

Result<int> duplicate(int fd) {
    int dup = retry([&] { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); });
    if (dup == -1) return fail(SerialError::last_os());
    return dup;
}

}  // namespace korvane::tty
