#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "engine/async/waker.hpp"
#include "engine/backend/native.hpp"
#include "engine/backend/tty.hpp"

using korvane::Backend;
using korvane::Context;
using korvane::Parity;
using korvane::SerialError;
using korvane::Settings;
using korvane::StopBits;
namespace tty = korvane::tty;
namespace native = korvane::native;

namespace {

// A pseudo-terminal pair: the test plays the device on the master and reads
// the line settings back through its own descriptor of the slave.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;

    Pty() {
        char path[256];
        if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) std::abort();
        name = path;
    }
    ~Pty() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    termios attrs() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(slave, &t), 0);
        return t;
    }
    std::uint32_t baud() const {
        tty::Attributes a;
        EXPECT_EQ(tty::get_attributes(slave, a), 0);
        return a.ospeed;
    }
    bool exclusive_mode() const {
        int on = -1;
        EXPECT_EQ(::ioctl(slave, TIOCGEXCL, &on), 0);
        return on != 0;
    }
};

// Closes what a test opened even when an assertion ends it early.
struct Opened {
    tty::Device device;
    explicit Opened(tty::Device d) : device(d) {}
    ~Opened() { tty::close(device); }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    int fd() const { return device.fd; }
};

Opened open_ok(const std::string& path, bool exclusive = false, std::uint32_t baud = 9600) {
    auto r = tty::open(path, baud, exclusive);
    if (!r) {
        ADD_FAILURE() << "open " << path << ": " << r.error().text();
        return Opened(tty::Device{});
    }
    return Opened(*r);
}

int open_descriptors() {
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (auto* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

void expect_io(const SerialError& e, const std::string& message, std::optional<int> errno_value) {
    EXPECT_EQ(e.kind(), SerialError::Kind::Io) << e.text();
    EXPECT_EQ(e.message(), message);
    EXPECT_EQ(e.os_errno(), errno_value) << e.text();
}

struct TempFile {
    std::string path;
    TempFile() {
        char templ[] = "/tmp/korvane-native-XXXXXX";
        int fd = ::mkstemp(templ);
        if (fd < 0) std::abort();
        ::close(fd);
        path = templ;
    }
    ~TempFile() { ::unlink(path.c_str()); }
};

}  // namespace

TEST(TtyOpen, RawModeOnPty) {
    Pty pty;
    auto port = open_ok(pty.name, false, 115200);
    ASSERT_GE(port.fd(), 0);
    EXPECT_FALSE(port.device.exclusive);

    int flags = ::fcntl(port.fd(), F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_TRUE(::fcntl(port.fd(), F_GETFD) & FD_CLOEXEC);

    termios t = pty.attrs();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CSTOPB | PARODD), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(pty.baud(), 115200u);
}

TEST(TtyOpen, Errors) {
    Pty pty;
    TempFile file;
    struct Case {
        std::string path;
        std::string message;
        int errno_value;
    };
    const Case cases[] = {
        {"/nonexistent/korvane-tty", "No such file or directory", ENOENT},
        {file.path, "Not a typewriter", ENOTTY},
        {"/tmp", "Is a directory", EISDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        int before = open_descriptors();
        auto r = tty::open(c.path, 9600, false);
        ASSERT_FALSE(r);
        expect_io(r.error(), c.message, c.errno_value);
        EXPECT_EQ(open_descriptors(), before) << "the failed open left its descriptor open";
    }

    // The failed open of the regular file let go of its advisory lock too.
    int fd = ::open(file.path.c_str(), O_RDONLY);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

TEST(TtyOpen, LockConflicts) {
    struct Case {
        bool first_exclusive;
        bool second_exclusive;
        const char* failure;  // null: the second open succeeds
    };
    const Case cases[] = {
        {false, false, nullptr},
        {false, true, "Unable to acquire exclusive lock on serial port"},
        {true, false, "Unable to acquire shared lock on serial port"},
        {true, true, "Unable to acquire exclusive lock on serial port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first_exclusive << " then " << c.second_exclusive);
        Pty pty;
        auto first = open_ok(pty.name, c.first_exclusive);
        ASSERT_GE(first.fd(), 0);
        EXPECT_EQ(first.device.exclusive, c.first_exclusive);
        EXPECT_EQ(pty.exclusive_mode(), c.first_exclusive);

        int before = open_descriptors();
        auto second = tty::open(pty.name, 9600, c.second_exclusive);
        if (c.first_exclusive && ::geteuid() != 0) {
            // Exclusive mode turns away every opener but root's at open(2).
            ASSERT_FALSE(second);
            expect_io(second.error(), "Device or resource busy", EBUSY);
        } else if (c.failure) {
            ASSERT_FALSE(second);
            expect_io(second.error(), c.failure, std::nullopt);
            EXPECT_EQ(open_descriptors(), before);
        } else {
            ASSERT_TRUE(second) << second.error().text();
            tty::close(*second);
        }
        // A refused opener leaves the holder's exclusive mode as it was.
        EXPECT_EQ(pty.exclusive_mode(), c.first_exclusive);
    }
}

TEST(TtyOpen, ExclusiveModeClearedOnlyByItsSetter) {
    Pty pty;
    {
        auto port = open_ok(pty.name, true);
        EXPECT_TRUE(pty.exclusive_mode());
    }
    EXPECT_FALSE(pty.exclusive_mode());
    // The lock went with the descriptor: a new exclusive open succeeds.
    { auto again = open_ok(pty.name, true); }

    // Exclusive mode set by someone else survives a shared opener's close.
    ASSERT_EQ(::ioctl(pty.slave, TIOCEXCL), 0);
    if (::geteuid() == 0) {
        auto port = open_ok(pty.name, false);
        EXPECT_FALSE(port.device.exclusive);
    }
    EXPECT_TRUE(pty.exclusive_mode());
    ::ioctl(pty.slave, TIOCNXCL);
}

namespace {

struct Visible {
    bool cmspar, parodd, cstopb, crtscts, ixon, ixoff;
    std::uint32_t baud;
};

Visible visible(const Pty& pty) {
    termios t = pty.attrs();
    return Visible{
        (t.c_cflag & CMSPAR) != 0, (t.c_cflag & PARODD) != 0, (t.c_cflag & CSTOPB) != 0,
        (t.c_cflag & CRTSCTS) != 0, (t.c_iflag & IXON) != 0,   (t.c_iflag & IXOFF) != 0,
        pty.baud(),
    };
}

struct SettingsCase {
    const char* name;
    Settings settings;
    Visible expected;
};

Settings with(auto change) {
    Settings s;
    change(s);
    return s;
}

const SettingsCase settings_cases[] = {
    {"defaults", Settings{}, {false, false, false, false, false, false, 9600}},
    {"even", with([](Settings& s) { s.parity = Parity::Even; }), {false, false, false, false, false, false, 9600}},
    {"odd", with([](Settings& s) { s.parity = Parity::Odd; }), {false, true, false, false, false, false, 9600}},
    {"mark", with([](Settings& s) { s.parity = Parity::Mark; }), {true, true, false, false, false, false, 9600}},
    {"space", with([](Settings& s) { s.parity = Parity::Space; }), {true, false, false, false, false, false, 9600}},
    {"7 bits mark", with([](Settings& s) { s.bytesize = 7, s.parity = Parity::Mark; }),
     {true, true, false, false, false, false, 9600}},
    {"stop 1.5", with([](Settings& s) { s.stopbits = StopBits::OnePointFive; }),
     {false, false, true, false, false, false, 9600}},
    {"stop 2", with([](Settings& s) { s.stopbits = StopBits::Two; }), {false, false, true, false, false, false, 9600}},
    {"rtscts", with([](Settings& s) { s.rtscts = true; }), {false, false, false, true, false, false, 9600}},
    {"xonxoff", with([](Settings& s) { s.xonxoff = true; }), {false, false, false, false, true, true, 9600}},
    {"dsrdtr", with([](Settings& s) { s.dsrdtr = true; }), {false, false, false, false, false, false, 9600}},
    {"custom baud", with([](Settings& s) { s.baudrate = 12345; }), {false, false, false, false, false, false, 12345}},
    {"high baud", with([](Settings& s) { s.baudrate = 3000000; }),
     {false, false, false, false, false, false, 3000000}},
    {"everything", with([](Settings& s) {
         s.baudrate = 50, s.parity = Parity::Space, s.stopbits = StopBits::Two, s.rtscts = s.xonxoff = s.dsrdtr = true;
     }),
     {true, false, true, true, true, true, 50}},
};

// The opposite of most cases, so that a reconfigure must clear as well as set.
const Settings dirty = with([](Settings& s) {
    s.baudrate = 4800, s.parity = Parity::Mark, s.stopbits = StopBits::Two, s.rtscts = s.xonxoff = true;
});

void expect_visible(const Pty& pty, const Visible& want) {
    Visible got = visible(pty);
    EXPECT_EQ(got.cmspar, want.cmspar);
    EXPECT_EQ(got.parodd, want.parodd);
    EXPECT_EQ(got.cstopb, want.cstopb);
    EXPECT_EQ(got.crtscts, want.crtscts);
    EXPECT_EQ(got.ixon, want.ixon);
    EXPECT_EQ(got.ixoff, want.ixoff);
    EXPECT_EQ(got.baud, want.baud);
    // No input parity check or stripping in any mode.
    EXPECT_EQ(pty.attrs().c_iflag & (INPCK | ISTRIP), 0u);
}

}  // namespace

TEST(NativeConfigure, AtOpen) {
    for (const auto& c : settings_cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        auto port = native::open(pty.name, c.settings, true, true);
        ASSERT_TRUE(port) << port.error().text();
        expect_visible(pty, c.expected);
    }
}

TEST(NativeConfigure, OnReconfigure) {
    for (const auto& c : settings_cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        auto port = native::open(pty.name, dirty, true, true);
        ASSERT_TRUE(port) << port.error().text();
        // Bits the configure does not own but must clear or keep.
        tty::Attributes t;
        ASSERT_EQ(tty::get_attributes(pty.slave, t), 0);
        t.iflag |= IXANY | INPCK | ISTRIP;
        ASSERT_EQ(tty::set_attributes(pty.slave, t), 0);

        auto r = (*port)->configure(c.settings, false, false);
        ASSERT_TRUE(r) << r.error().text();
        expect_visible(pty, c.expected);
        // IXANY is cleared with software flow control off and left alone with it on.
        EXPECT_EQ((pty.attrs().c_iflag & IXANY) != 0, c.settings.xonxoff);
    }
}

TEST(TtyErrors, ConversionPerCall) {
    // The attribute step and the drain handle use the I/O conversion; the TTY
    // layer's own calls the kernel's text. Both keep the errno.
    const std::string io_text = SerialError::os(EBADF).message();
    const struct {
        const char* call;
        korvane::Status status;
        std::string message;
    } cases[] = {
        {"apply", native::platform::apply(-1, Settings{}), io_text},
        {"duplicate", tty::duplicate(-1).transform([](int) {}), io_text},
        {"configure", native::configure(-1, Settings{}, true, true), "Bad file number"},
        {"bytes_to_read", tty::bytes_to_read(-1).transform([](auto) {}), "Bad file number"},
        {"bytes_to_write", tty::bytes_to_write(-1).transform([](auto) {}), "Bad file number"},
        {"clear", tty::clear(-1, tty::ClearBuffer::Input), "Bad file number"},
        {"set_break", tty::set_break(-1), "Bad file number"},
        {"read_cts", tty::read_cts(-1).transform([](bool) {}), "Bad file number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_FALSE(c.status);
        expect_io(c.status.error(), c.message, EBADF);
    }
    // Rejected before any system call.
    auto bad = tty::set_data_bits(0, 9);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), SerialError::Kind::InvalidValue);
}

TEST(NativeSetLines, MissingLinesCountAsSuccess) {
    Pty pty;
    auto port = open_ok(pty.name);
    ASSERT_GE(port.fd(), 0);
    using Opt = std::optional<bool>;
    const std::pair<Opt, Opt> cases[] = {
        {true, true}, {false, true}, {true, std::nullopt}, {std::nullopt, false}, {std::nullopt, std::nullopt},
    };
    for (auto [rts, dtr] : cases) {
        auto r = native::platform::set_lines(port.fd(), rts, dtr);
        EXPECT_TRUE(r) << r.error().text();
    }
    // So does every combination of flow-control flags during configure.
    for (int flags = 0; flags < 4; ++flags) {
        Settings s;
        s.rtscts = flags & 1;
        s.dsrdtr = flags & 2;
        auto r = native::configure(port.fd(), s, true, false);
        EXPECT_TRUE(r) << r.error().text();
    }
}

TEST(NativeSetLines, OtherFailuresAreReturned) {
    using Opt = std::optional<bool>;
    struct Case {
        Opt rts, dtr;
        std::string message;
    };
    // Both lines go in one I/O-converted read-modify-write; a single line
    // through the TTY layer.
    const Case cases[] = {
        {true, false, SerialError::os(EBADF).message()},
        {true, std::nullopt, "Bad file number"},
        {std::nullopt, true, "Bad file number"},
    };
    for (const auto& c : cases) {
        auto r = native::platform::set_lines(-1, c.rts, c.dtr);
        ASSERT_FALSE(r);
        expect_io(r.error(), c.message, EBADF);
    }
    EXPECT_TRUE(native::platform::set_lines(-1, std::nullopt, std::nullopt));
}

namespace {

using namespace std::chrono_literals;

// A waker the test thread waits on, with a bound.
struct Signal final : korvane::Waker::Target {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;

    void wake() noexcept override {
        std::lock_guard g(mutex);
        woken = true;
        cv.notify_all();
    }
    bool wait(std::chrono::milliseconds limit) {
        std::unique_lock l(mutex);
        bool r = cv.wait_for(l, limit, [&] { return woken; });
        woken = false;
        return r;
    }
};

struct Poller {
    std::shared_ptr<Signal> signal = std::make_shared<Signal>();
    korvane::Waker waker{signal};
    Context cx{waker};

    // Runs `step` until it reports done, waiting briefly between tries; false
    // when the bound passes first.
    template <class F>
    bool drive(F step, std::chrono::milliseconds limit = 5000ms) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (step()) return true;
            signal->wait(5ms);
        }
        return false;
    }
};

std::unique_ptr<Backend> open_port(const Pty& pty, Settings settings = {}) {
    auto r = native::open(pty.name, settings, true, true);
    if (!r) {
        ADD_FAILURE() << r.error().text();
        return nullptr;
    }
    ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return std::move(*r);
}

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return v;
}

bool exclusive_mode(int fd) {
    int on = 0;
    return ::ioctl(fd, TIOCGEXCL, &on) == 0 && on != 0;
}

}  // namespace

TEST(NativeOpen, Errors) {
    Pty pty;
    TempFile file;
    const std::string nul_name = pty.name + std::string(1, '\0') + "x";
    struct Case {
        std::string name;
        std::string message;
        std::optional<int> errno_value;
    };
    const Case cases[] = {
        {"/nonexistent/korvane-tty",
         "could not open port /nonexistent/korvane-tty: [Errno 2] No such file or directory", ENOENT},
        {file.path, "could not open port " + file.path + ": [Errno 25] Not a typewriter", ENOTTY},
        {nul_name, "could not open port " + nul_name + ": Invalid argument", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto r = native::open(c.name, Settings{}, true, true);
        ASSERT_FALSE(r);
        expect_io(r.error(), c.message, c.errno_value);
    }
}

TEST(NativeOpen, ExclusiveAbsentOrFalseIsShared) {
    Pty pty;
    Settings shared, unshared, exclusive;
    unshared.exclusive = false;
    exclusive.exclusive = true;
    auto a = native::open(pty.name, shared, true, true);
    auto b = native::open(pty.name, unshared, true, true);
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(pty.exclusive_mode());
    auto c = native::open(pty.name, exclusive, true, true);
    ASSERT_FALSE(c);
    expect_io(c.error(), "could not open port " + pty.name + ": Unable to acquire exclusive lock on serial port",
              std::nullopt);

    a->reset();
    b->reset();
    auto d = native::open(pty.name, exclusive, true, true);
    ASSERT_TRUE(d) << d.error().text();
    EXPECT_TRUE(pty.exclusive_mode());
    if (::geteuid() == 0) {
        auto e = native::open(pty.name, shared, true, true);
        ASSERT_FALSE(e);
        expect_io(e.error(), "could not open port " + pty.name + ": Unable to acquire shared lock on serial port",
                  std::nullopt);
    }
    d->reset();
    EXPECT_FALSE(pty.exclusive_mode());
}

TEST(NativePort, ControlCallsOnPty) {
    Pty pty;
    auto port = open_port(pty);
    ASSERT_TRUE(port);

    // Only configure forgives a missing modem line; the direct calls do not.
    for (bool level : {false, true}) {
        for (auto r : {port->set_rts(level), port->set_dtr(level)}) {
            ASSERT_FALSE(r);
            expect_io(r.error(), "Not a typewriter", ENOTTY);
        }
    }
    for (auto r : {port->cts(), port->dsr(), port->ri(), port->cd()}) {
        ASSERT_FALSE(r);
        expect_io(r.error(), "Not a typewriter", ENOTTY);
    }

    auto fd = port->fileno();
    ASSERT_TRUE(fd);
    struct stat mine{}, slave{};
    ASSERT_EQ(::fstat(*fd, &mine), 0);
    ASSERT_EQ(::fstat(pty.slave, &slave), 0);
    EXPECT_EQ(mine.st_rdev, slave.st_rdev);

    ASSERT_EQ(::write(pty.master, "hello", 5), 5);
    Poller p;
    std::uint32_t waiting = 0;
    EXPECT_TRUE(p.drive([&] { return (waiting = port->in_waiting().value_or(0)) == 5; }, 2000ms)) << waiting;
    EXPECT_EQ(port->out_waiting().value_or(99), 0u);
    EXPECT_TRUE(port->clear_buffers(false, false));
    EXPECT_EQ(port->in_waiting().value_or(0), 5u);
    EXPECT_TRUE(port->clear_buffers(false, true));
    EXPECT_EQ(port->in_waiting().value_or(0), 5u);
    EXPECT_TRUE(port->clear_buffers(true, false));
    EXPECT_EQ(port->in_waiting().value_or(99), 0u);
    EXPECT_TRUE(port->clear_buffers(true, true));
    EXPECT_TRUE(port->set_break_state(true));
    EXPECT_TRUE(port->set_break_state(false));
    EXPECT_TRUE(port->poll_flush(p.cx) == std::optional(korvane::Status{}));
    EXPECT_TRUE(port->poll_shutdown(p.cx) == std::optional(korvane::Status{}));
}

TEST(NativePort, DrainKeepsTheDeviceLocked) {
    Pty pty;
    Settings exclusive;
    exclusive.exclusive = true;
    auto port = open_port(pty, exclusive);
    ASSERT_TRUE(port);
    auto drain = port->drain_handle();
    ASSERT_TRUE(drain) << drain.error().text();
    ASSERT_TRUE(drain->fd());
    EXPECT_NE(*drain->fd(), *port->fileno());
    EXPECT_TRUE(::fcntl(*drain->fd(), F_GETFD) & FD_CLOEXEC);

    // Closed while a drain still holds its duplicate: the lock stays.
    port.reset();
    auto again = native::open(pty.name, exclusive, true, true);
    ASSERT_FALSE(again);
    EXPECT_EQ(::tcdrain(*drain->fd()), 0);
    *drain = korvane::Drain{};
    again = native::open(pty.name, exclusive, true, true);
    EXPECT_TRUE(again) << again.error().text();
}

TEST(NativePort, DataPassesUnchanged) {
    Pty pty;
    auto port = open_port(pty);
    ASSERT_TRUE(port);
    const auto data = pattern(10 * 1024);
    Poller p;

    // Port to device; the master is read meanwhile or the write would stall.
    std::size_t sent = 0;
    std::vector<std::uint8_t> got;
    bool ok = p.drive([&] {
        if (sent < data.size()) {
            if (auto r = port->poll_write(p.cx, std::span(data).subspan(sent))) {
                if (!*r) ADD_FAILURE() << r->error().text();
                sent += r->value_or(0);
            }
        }
        std::uint8_t buf[4096];
        ssize_t n = ::read(pty.master, buf, sizeof buf);
        if (n > 0) got.insert(got.end(), buf, buf + n);
        return got.size() >= data.size();
    });
    EXPECT_TRUE(ok) << "sent " << sent << ", received " << got.size();
    EXPECT_TRUE(got == data);

    // Device to port.
    sent = 0;
    got.clear();
    ok = p.drive([&] {
        if (sent < data.size()) {
            ssize_t n = ::write(pty.master, data.data() + sent, data.size() - sent);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        std::uint8_t buf[1000];
        while (auto r = port->poll_read(p.cx, buf)) {
            if (!*r) {
                ADD_FAILURE() << r->error().text();
                return true;
            }
            if (**r == 0) {
                ADD_FAILURE() << "a read gave no bytes";
                return true;
            }
            got.insert(got.end(), buf, buf + **r);
        }
        return got.size() >= data.size();
    });
    EXPECT_TRUE(ok) << "sent " << sent << ", received " << got.size();
    EXPECT_TRUE(got == data);
}

TEST(NativePort, PendingReadIsWokenByData) {
    Pty pty;
    auto port = open_port(pty);
    ASSERT_TRUE(port);
    Poller p;
    std::uint8_t buf[16];
    ASSERT_FALSE(port->poll_read(p.cx, buf));
    EXPECT_FALSE(p.signal->wait(50ms)) << "woken with nothing to read";
    ASSERT_EQ(::write(pty.master, "x", 1), 1);
    ASSERT_TRUE(p.signal->wait(2000ms));
    auto r = port->poll_read(p.cx, buf);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, 1u);
    EXPECT_EQ(buf[0], 'x');
}

TEST(NativePort, DeviceLoss) {
    Pty pty;
    auto port = open_port(pty);
    ASSERT_TRUE(port);
    Poller p;
    std::uint8_t buf[16];
    ASSERT_FALSE(port->poll_read(p.cx, buf));
    ::close(pty.master);
    pty.master = -1;
    // The hang-up wakes the pending read, which then reads nothing.
    ASSERT_TRUE(p.signal->wait(2000ms));
    auto r = port->poll_read(p.cx, buf);
    ASSERT_TRUE(r);
    ASSERT_TRUE(*r) << r->error().text();
    EXPECT_EQ(**r, 0u);

    const std::uint8_t byte = 0;
    std::optional<korvane::Result<std::size_t>> w;
    ASSERT_TRUE(p.drive([&] { return (w = port->poll_write(p.cx, std::span(&byte, 1))).has_value(); }, 2000ms));
    ASSERT_FALSE(*w);
    expect_io(w->error(), SerialError::os(EIO).message(), EIO);
}

TEST(NativePort, ForkedChildLeavesTheParentsPortAlone) {
    Pty pty;
    Settings exclusive;
    exclusive.exclusive = true;
    auto port = open_port(pty, exclusive);
    ASSERT_TRUE(port);
    Poller p;
    std::uint8_t buf[16];
    // Registered with the reactor before the fork.
    ASSERT_FALSE(port->poll_read(p.cx, buf));

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        port.reset();
        ::_exit(exclusive_mode(pty.slave) ? 0 : 1);
    }
    int status = -1;
    Poller wait;
    ASSERT_TRUE(wait.drive([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5000ms));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child cleared exclusive mode";
    EXPECT_TRUE(pty.exclusive_mode());

    // The parent's registration still delivers events.
    ASSERT_EQ(::write(pty.master, "y", 1), 1);
    ASSERT_TRUE(p.signal->wait(2000ms)) << "the child's close took the parent's reactor registration";
    auto r = port->poll_read(p.cx, buf);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, 1u);

    port.reset();
    EXPECT_FALSE(pty.exclusive_mode());
}
