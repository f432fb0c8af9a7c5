#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cerrno>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine/async/block_on.hpp"
#include "async_support.hpp"
#include "engine/port.hpp"
#include "scripted_backend.hpp"

namespace korvane {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

ByteVec bytes(std::string_view s) { return ByteVec(s.begin(), s.end()); }
std::string text(const ByteVec& b) { return std::string(b.begin(), b.end()); }

std::shared_ptr<PortCore> loop_port() {
    auto p = PortCore::create();
    EXPECT_TRUE(p->set_port("loop://"));
    EXPECT_TRUE(p->open());
    return p;
}

void set_timeouts(PortCore& p, std::optional<Seconds> timeout, std::optional<Seconds> inter = std::nullopt,
                  std::optional<Seconds> write = std::nullopt) {
    p.update_state([&](port::State& s) {
        s.settings.timeout = timeout;
        s.settings.inter_byte_timeout = inter;
        s.settings.write_timeout = write;
    });
}

std::optional<Seconds> secs(double x) { return Seconds::from_float(x); }

// Puts bytes straight into the loopback's queue, as a device would.
void feed(PortCore& p, std::string_view s) {
    Waker none;
    Context cx(none);
    auto data = bytes(s);
    auto r = p.poll_write_some(cx, data);
    ASSERT_TRUE(r && *r && **r == data.size());
}

template <class T>
T run(Op<T> op) {
    return within([&] { return block_on(op); }, "the operation");
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void await_locked(Lock& lock) {
    await_true([&] { return lock.is_locked(); }, "the lock");
    std::this_thread::sleep_for(20ms);  // and parked on the device
}

TEST(Read, Timeouts) {
    // Fed before the read (-1), once the read has taken everything queued
    // (taken), or at a time after the read starts.
    constexpr int taken = -2;
    struct Feed {
        int at_ms;
        const char* data;
    };
    struct Case {
        const char* name;
        std::optional<Seconds> timeout, inter;
        std::vector<Feed> feeds;
        std::uint64_t size;
        const char* expect;
        double min_s, max_s;
    };
    const auto none = std::nullopt;
    const Case cases[] = {
        {"timeout 0 takes what is there", Seconds::from_int(0), none, {{-1, "abc"}}, 10, "abc", 0, 2},
        {"timeout 0 with nothing", secs(0.0), none, {}, 10, "", 0, 2},
        {"timeout 0 stops at the size", Seconds::from_int(0), none, {{-1, "abcdef"}}, 4, "abcd", 0, 2},
        {"no data until the deadline", secs(0.2), none, {}, 10, "", 0.19, 5},
        {"the size ends it before the deadline", Seconds::from_int(10), none, {{-1, "abc"}, {100, "de"}}, 5, "abcde", 0.09, 5},
        {"the deadline ends a partial read", secs(0.3), none, {{-1, "ab"}}, 10, "ab", 0.29, 5},
        {"no limit for the first byte, then inter-byte", none, secs(0.1), {{300, "ab"}}, 10, "ab", 0.39, 5},
        {"inter-byte ends it long before the deadline", Seconds::from_int(10), secs(0.5), {{-1, "a"}, {taken, "b"}}, 10, "ab", 0.49, 5},
        {"the deadline wins over a longer inter-byte", secs(0.3), Seconds::from_int(5), {{-1, "a"}}, 10, "a", 0.29, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = loop_port();
        set_timeouts(*p, c.timeout, c.inter);
        for (const auto& f : c.feeds)
            if (f.at_ms == -1) feed(*p, f.data);
        auto t0 = Clock::now();
        auto reader = spawn_future(p->read(c.size));
        std::thread feeder([&] {
            for (const auto& f : c.feeds) {
                if (f.at_ms == -1) continue;
                if (f.at_ms == taken)
                    await_true([&] { return p->in_waiting() == 0u; }, "the read taking what was queued");
                else
                    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(f.at_ms));
                feed(*p, f.data);
            }
        });
        auto r = wait_bounded(reader, "the read");
        double took = since(t0);
        feeder.join();
        ASSERT_TRUE(r) << r.error().text();
        EXPECT_EQ(text(*r), c.expect);
        EXPECT_GE(took, c.min_s);
        EXPECT_LT(took, c.max_s);
    }
}

TEST(Read, ZeroBytesNeedAnOpenPortAndLeaveTheDeviceAlone) {
    auto p = loop_port();
    feed(*p, "xy");
    EXPECT_EQ(run(p->read(0)), ByteVec{});
    EXPECT_EQ(run(p->readline(0)), ByteVec{});
    EXPECT_EQ(run(p->read_until(bytes("y"), 0)), ByteVec{});
    EXPECT_EQ(p->in_waiting(), 2u);
    p->close();
    EXPECT_EQ(run(p->read(0)).error(), SerialError::not_open());
    EXPECT_EQ(run(p->readline(0)).error(), SerialError::not_open());
    EXPECT_EQ(run(p->readlines(std::nullopt)).error(), SerialError::not_open());
    EXPECT_EQ(run(p->read_available(1)).error(), SerialError::not_open());
}

TEST(ReadUntil, StopsAtTheTerminatorOrTheSize) {
    struct Case {
        const char* expected;
        std::optional<std::uint64_t> size;
        const char* got;
        std::uint32_t left;
    } cases[] = {
        {"\r\n", std::nullopt, "ab\r\n", 2},
        {"\r\n", 3, "ab\r", 3},
        {"", 5, "ab\r\nc", 1},  // an empty terminator never matches
        {"cd", std::nullopt, "ab\r\ncd", 0},
        {"zz", std::nullopt, "ab\r\ncd", 0},  // the deadline ends it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        auto p = loop_port();
        set_timeouts(*p, secs(0.1));
        feed(*p, "ab\r\ncd");
        auto r = run(p->read_until(bytes(c.expected), c.size));
        ASSERT_TRUE(r);
        EXPECT_EQ(text(*r), c.got);
        EXPECT_EQ(p->in_waiting(), c.left);
    }
}

TEST(ReadUntil, ReadlineRestartsItsTimeoutPerByteButReadUntilHasOneDeadline) {
    for (bool line : {true, false}) {
        SCOPED_TRACE(line ? "readline" : "read_until");
        // A byte every 0.4 s, the newline at 1.2 s: within a 1 s timeout per
        // byte, beyond a 1 s deadline for the whole call.
        auto p = loop_port();
        set_timeouts(*p, secs(1.0));
        auto t0 = Clock::now();
        auto reader = spawn_future(line ? p->readline(std::nullopt) : p->read_until(bytes("\n"), std::nullopt));
        std::thread feeder([&] {
            int at = 0;
            for (const char* b : {"a", "b", "c", "\n"}) {
                std::this_thread::sleep_until(t0 + std::chrono::milliseconds(at));
                feed(*p, b);
                at += 400;
            }
        });
        auto r = wait_bounded(reader, "the read");
        double took = since(t0);
        feeder.join();
        ASSERT_TRUE(r);
        if (line) {
            EXPECT_EQ(text(*r), "abc\n");
            EXPECT_GE(took, 1.15);
        } else {
            EXPECT_LT(r->size(), 4u);  // the deadline came before the newline
            EXPECT_GE(took, 0.99);
            EXPECT_LT(took, 5);
        }
    }
}

TEST(Readlines, EndsOnAQuietLineStartOrTheHint) {
    auto p = loop_port();
    set_timeouts(*p, secs(0.3));
    feed(*p, "one\ntwo\nthr");
    auto t0 = Clock::now();
    auto r = run(p->readlines(std::nullopt));
    ASSERT_TRUE(r);
    // 0.3 s end the partial line, 0.3 s more the empty one.
    EXPECT_GE(since(t0), 0.59);
    EXPECT_EQ(*r, (std::vector<ByteVec>{bytes("one\n"), bytes("two\n"), bytes("thr")}));

    set_timeouts(*p, Seconds::from_int(10));
    feed(*p, "aaaa\nbbbbbbbb\ncc\n");
    t0 = Clock::now();
    r = run(p->readlines(10));
    ASSERT_TRUE(r);
    EXPECT_LT(since(t0), 5);
    EXPECT_EQ(*r, (std::vector<ByteVec>{bytes("aaaa\n"), bytes("bbbbbbbb\n")}));  // the crossing line whole
    EXPECT_EQ(p->in_waiting(), 3u);
}

TEST(ReadAvailable, TakesOneBackEndReadAtMostMaxAndAtLeastOne) {
    auto p = loop_port();
    feed(*p, "abcdef");
    EXPECT_EQ(text(run(p->read_available(0)).value()), "a");
    EXPECT_EQ(text(run(p->read_available(3)).value()), "bcd");
    EXPECT_EQ(text(run(p->read_available(65536)).value()), "ef");
    // No deadline: it waits for data, whatever the timeout setting says.
    set_timeouts(*p, Seconds::from_int(0));
    auto reader = spawn_future(p->read_available(65536));
    await_locked(p->read_lock);
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
    feed(*p, "g");
    EXPECT_EQ(text(wait_bounded(reader, "the read").value()), "g");
}

TEST(CancelRead, PermitsEndReadsAsStoredOrWhileWaiting) {
    auto p = loop_port();
    // A stored cancel ends the next read; two cancels store one.
    p->cancel_read.notify_one();
    p->cancel_read.notify_one();
    EXPECT_EQ(run(p->read(5)), ByteVec{});
    auto blocked = spawn_future(p->read(1));
    await_locked(p->read_lock);
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    feed(*p, "z");
    EXPECT_EQ(text(wait_bounded(blocked, "the read").value()), "z");

    // Single polls never consume it.
    p->cancel_read.notify_one();
    set_timeouts(*p, Seconds::from_int(0));
    EXPECT_EQ(run(p->read(5)), ByteVec{});
    set_timeouts(*p, std::nullopt);
    EXPECT_EQ(run(p->read_available(9)), ByteVec{});

    // A waiting read returns what it has.
    auto partial = spawn_future(p->read(10));
    feed(*p, "abc");
    await_true([&] { return p->in_waiting().value() == 0; }, "the bytes to be read");
    std::this_thread::sleep_for(20ms);
    p->cancel_read.notify_one();
    EXPECT_EQ(text(wait_bounded(partial, "the read").value()), "abc");
}

TEST(CancelRead, EndsOnlyTheLineItInterruptsInsideReadlines) {
    auto p = loop_port();
    auto lines = spawn_future(p->readlines(std::nullopt));
    feed(*p, "ab");
    await_true([&] { return p->in_waiting().value() == 0; }, "the bytes to be read");
    std::this_thread::sleep_for(20ms);
    p->cancel_read.notify_one();  // ends "ab"
    std::this_thread::sleep_for(20ms);
    feed(*p, "c\n");
    await_true([&] { return p->in_waiting().value() == 0; }, "the bytes to be read");
    std::this_thread::sleep_for(20ms);
    p->cancel_read.notify_one();  // ends the empty line
    auto r = wait_bounded(lines, "readlines");
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (std::vector<ByteVec>{bytes("ab"), bytes("c\n")}));
}

TEST(DeviceLoss, ReadsAndWritesThatLoseTheDeviceCloseThePort) {
    struct Case {
        const char* name;
        void (*arm)(Script&);
        bool write;
        SerialError error;
    } cases[] = {
        {"a read of no bytes", [](Script& s) { s.read_nothing = true; }, false,
         SerialError::io(std::string(port::no_data_message))},
        {"a read EIO", [](Script& s) { s.read_error = SerialError::os(EIO); }, false, SerialError::os(EIO)},
        {"a write ENXIO", [](Script& s) { s.write_error = SerialError::os(ENXIO); }, true, SerialError::os(ENXIO)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto script = std::make_shared<Script>();
        auto p = scripted_port(script);
        c.arm(*script);
        auto r = c.write ? run(p->write_with(bytes("x"), false)).transform([](std::size_t) { return ByteVec{}; })
                         : run(p->read(4));
        EXPECT_EQ(r.error(), c.error);
        EXPECT_FALSE(p->is_open());
    }
}

TEST(Write, ZeroTimeoutTakesWhatTheQueueTakesAtOnce) {
    for (auto zero : {Seconds::from_int(0), Seconds::from_float(0.0)}) {
        SCOPED_TRACE(zero.is_int() ? "0" : "0.0");
        auto script = std::make_shared<Script>();
        script->detach_count = 7;
        auto p = scripted_port(script);
        set_timeouts(*p, std::nullopt, std::nullopt, zero);
        feed(*p, std::string(1000, 'a'));
        p->cancel_write.notify_one();  // never looked at on this path
        auto t0 = Clock::now();
        EXPECT_EQ(run(p->write_with(ByteVec(5000), false)), LoopbackPort::capacity - 1000 + 7);
        EXPECT_EQ(run(p->write_with(ByteVec(10), false)), 7u);
        EXPECT_LT(since(t0), 2);
        EXPECT_EQ(script->detach_writes, 2);
        // The permit is still there for a write that races.
        set_timeouts(*p, std::nullopt);
        EXPECT_EQ(run(p->write_with(ByteVec(10), false)), 0u);
    }
}

TEST(Write, ADeadlineRaisesWriteTimeoutAndDiscardsTheCount) {
    // A tiny positive timeout is a deadline at the start, not the zero case.
    for (auto limit : {Seconds::from_float(1e-12), Seconds::from_float(0.2)}) {
        SCOPED_TRACE(limit.f);
        auto p = loop_port();
        set_timeouts(*p, std::nullopt, std::nullopt, limit);
        auto t0 = Clock::now();
        auto r = run(p->write_with(ByteVec(5000), false));
        EXPECT_EQ(r.error(), SerialError::timeout("Write timeout"));
        EXPECT_GE(since(t0), limit.f - 0.01);
        EXPECT_LT(since(t0), 5);
        EXPECT_EQ(p->out_waiting(), LoopbackPort::capacity);  // the half that went stays sent
    }
}

TEST(Write, WithoutATimeoutItWaitsForTheReaderOrACancel) {
    auto p = loop_port();
    ByteVec data(10000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
    auto writer = spawn_future(p->write_with(data, false));
    await_true([&] { return p->out_waiting().value() == LoopbackPort::capacity; }, "a full queue");
    EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);
    auto got = run(p->read(data.size()));
    EXPECT_EQ(wait_bounded(writer, "the write"), data.size());
    EXPECT_EQ(got, data);

    auto blocked = spawn_future(p->write_with(ByteVec(5000), false));
    await_true([&] { return p->out_waiting().value() == LoopbackPort::capacity; }, "a full queue");
    std::this_thread::sleep_for(20ms);
    p->cancel_write.notify_one();
    EXPECT_EQ(wait_bounded(blocked, "the write"), LoopbackPort::capacity);
}

TEST(Write, BackgroundIgnoresTheTimeoutAndTheCancel) {
    auto p = loop_port();
    set_timeouts(*p, std::nullopt, std::nullopt, Seconds::from_int(0));
    p->cancel_write.notify_one();
    auto writer = spawn_future(p->write_with(ByteVec(5000), true));
    await_true([&] { return p->out_waiting().value() == LoopbackPort::capacity; }, "a full queue");
    EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(run(p->read(5000)).value().size(), 5000u);
    EXPECT_EQ(wait_bounded(writer, "the write"), 5000u);
    // The permit was left for the next foreground write that races a full queue.
    feed(*p, std::string(LoopbackPort::capacity, 'f'));
    set_timeouts(*p, std::nullopt);
    EXPECT_EQ(run(p->write_with(ByteVec(10), false)), 0u);
}

TEST(Write, TheCancelHookRunsOnceForEveryWriteThatHeldTheLock) {
    auto script = std::make_shared<Script>();
    auto p = scripted_port(script);
    EXPECT_EQ(run(p->write_with({}, false)), 0u);
    EXPECT_EQ(script->cancel_writes, 1);
    EXPECT_EQ(run(p->write_with(bytes("abc"), false)), 3u);
    EXPECT_EQ(script->cancel_writes, 2);
    script->write_nothing = true;
    EXPECT_EQ(run(p->write_with(bytes("abc"), false)), 0u);
    EXPECT_EQ(script->cancel_writes, 3);
    script->write_nothing = false;

    // Queued for the lock when dropped: no hook.
    {
        auto held = p->write_lock.try_lock();
        Counted c;
        auto queued = p->write_with(bytes("q"), false);
        EXPECT_FALSE(queued.poll(c.cx));
    }
    EXPECT_EQ(script->cancel_writes, 3);

    // Dropped while blocked on the device: the hook runs.
    auto task = spawn(rt(), p->write_with(ByteVec(5000), false));
    await_true([&] { return p->out_waiting().value() == LoopbackPort::capacity; }, "a full queue");
    task.abort();
    await_true([&] { return script->cancel_writes == 4; }, "the hook");
    await_true([&] { return !p->write_lock.is_locked(); }, "the write lock");

    // Closed while blocked: the guard finds no back-end and calls nothing.
    ASSERT_TRUE(p->reset_output_buffer());
    auto closed = spawn_future(p->write_with(ByteVec(5000), false));
    await_true([&] { return p->out_waiting().value() == LoopbackPort::capacity; }, "a full queue");
    p->close();
    EXPECT_EQ(wait_bounded(closed, "the write").error(), SerialError::not_open());
    EXPECT_EQ(run(p->write_with(bytes("abc"), false)).error(), SerialError::not_open());
    EXPECT_EQ(script->cancel_writes, 4);
}

TEST(Flush, OnTheLoopbackReturnsAtOnceButAfterTheRunningWrite) {
    auto p = loop_port();
    auto writer = spawn_future(p->write_with(ByteVec(5000), false));
    await_true([&] { return p->write_lock.is_locked(); }, "the write lock");
    auto flushed = spawn_future(p->flush());
    EXPECT_EQ(flushed.wait_for(100ms), std::future_status::timeout);
    ASSERT_TRUE(run(p->read(5000)));
    EXPECT_EQ(wait_bounded(writer, "the write"), 5000u);
    EXPECT_TRUE(wait_bounded(flushed, "the flush"));
    p->close();
    EXPECT_EQ(run(p->flush()).error(), SerialError::not_open());
}

TEST(Flush, ADrainErrorIsReturnedAndItsDescriptorClosed) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    auto script = std::make_shared<Script>();
    int dup = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 0);
    ::close(fds[1]);
    script->drain = [dup]() -> Result<Drain> { return Drain(dup); };
    auto p = scripted_port(script);
    EXPECT_EQ(run(p->flush()).error(), SerialError::os(ENOTTY));  // a pipe has no output to drain
    EXPECT_TRUE(p->is_open());
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 0);  // the only write end left was the drain's
    ::close(fds[0]);

    script->drain = []() -> Result<Drain> { return fail(SerialError::os(EMFILE)); };
    EXPECT_EQ(run(p->flush()).error(), SerialError::os(EMFILE));
}

TEST(Break, LastsItsDurationWithTheConditionOnWhileWritesWaitAndReadsGoOn) {
    auto script = std::make_shared<Script>();
    auto p = scripted_port(script);
    auto broke = spawn_future(p->send_break(Duration{0, 600'000'000}));
    await_true([&] { return p->state().break_condition; }, "the break");
    auto writer = std::async(std::launch::async, [&] {
        auto r = block_on(p->write_with(bytes("w"), false));
        return std::pair(r, Clock::now());
    });
    feed(*p, "r");
    auto read = run(p->read_available(10));
    auto read_at = Clock::now();
    EXPECT_EQ(text(read.value()), "r");
    EXPECT_TRUE(wait_bounded(broke, "the break"));
    auto [written, written_at] = wait_bounded(writer, "the write");
    EXPECT_EQ(written, 1u);
    EXPECT_FALSE(p->state().break_condition);
    auto log = script->break_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].first);
    EXPECT_FALSE(log[1].first);
    EXPECT_GE(log[1].second - log[0].second, 600ms);
    EXPECT_LT(log[1].second - log[0].second, 5s);
    EXPECT_LT(read_at, log[1].second);
    EXPECT_GE(written_at, log[1].second);
}

TEST(Break, ShortBreaksTurnOnThenOff) {
    for (auto d : {Duration{}, Duration::from_millis(3), Duration::from_millis(5), Duration::from_millis(7)}) {
        SCOPED_TRACE(d.nanos);
        auto script = std::make_shared<Script>();
        auto p = scripted_port(script);
        EXPECT_TRUE(run(p->send_break(d)));
        auto log = script->break_log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_TRUE(log[0].first && !log[1].first);
        EXPECT_GE(log[1].second - log[0].second, std::chrono::nanoseconds(d.nanos));
    }
}

TEST(Break, AnEarlyEndTurnsTheConditionOff) {
    // The longest breaks cannot be represented on the clock: they last until ended.
    for (bool by_close : {false, true}) {
        for (auto d : {Duration{30, 0}, Duration{6'000'000'000, 0},
                       Duration{std::numeric_limits<std::uint64_t>::max(), 999'999'999}}) {
            SCOPED_TRACE(testing::Message() << (by_close ? "close " : "abort ") << d.secs);
            auto script = std::make_shared<Script>();
            auto p = scripted_port(script);
            auto t0 = Clock::now();
            std::future<Status> result;
            TaskHandle task;
            if (by_close)
                result = spawn_future(p->send_break(d));
            else
                task = spawn(rt(), p->send_break(d));
            await_true([&] { return p->state().break_condition; }, "the break");
            std::this_thread::sleep_for(20ms);
            if (by_close) {
                p->close();
                EXPECT_EQ(wait_bounded(result, "the break").error(), SerialError::not_open());
            } else {
                task.abort();
            }
            await_true([&] { return !p->state().break_condition && !p->write_lock.is_locked(); }, "the break's end");
            EXPECT_LT(since(t0), 10);
            auto log = script->break_log();
            // After a close there is no device left to turn off.
            ASSERT_EQ(log.size(), by_close ? 1u : 2u);
            if (!by_close) {
                EXPECT_FALSE(log[1].first);
            }
        }
    }
}

TEST(Break, AFailureToTurnItOnIsReturnedAndNothingTurnsItOff) {
    auto script = std::make_shared<Script>();
    script->break_error = SerialError::os(EPERM);
    auto p = scripted_port(script);
    EXPECT_EQ(run(p->send_break(Duration{1, 0})).error(), SerialError::os(EPERM));
    EXPECT_EQ(script->break_log().size(), 1u);
    EXPECT_TRUE(p->state().break_condition);  // stored as asked, as set_break_condition keeps it
    p->close();
    EXPECT_EQ(run(p->send_break(Duration{})).error(), SerialError::not_open());
}

// The test plays the device on the master end of a pseudo-terminal.
struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty() {
        char path[256];
        if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) std::abort();
        name = path;
        ::close(std::exchange(slave, -1));
    }
    ~Pty() {
        if (master >= 0) ::close(master);
    }
    std::string drain_master() {
        std::string got;
        char buf[256];
        for (;;) {
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) return got;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
};

TEST(Close, EndsABlockedReadAndWriteInOtherThreadsAndThePortReopens) {
    // Nobody reads the master and it sends nothing: both directions stall.
    Pty pty;
    auto p = PortCore::create();
    ASSERT_TRUE(p->set_port(pty.name));
    ASSERT_TRUE(p->open());
    std::promise<Result<ByteVec>> read_result;
    std::promise<Result<std::size_t>> write_result;
    auto read_done = read_result.get_future();
    auto write_done = write_result.get_future();
    std::thread reader([&] { read_result.set_value(block_on(p->read(10))); });
    std::thread writer([&] { write_result.set_value(block_on(p->write_with(ByteVec(1u << 20), false))); });
    await_true([&] { return p->read_lock.is_locked() && p->write_lock.is_locked(); }, "both locks");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(read_done.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(write_done.wait_for(0s), std::future_status::timeout);
    auto t0 = Clock::now();
    p->close();
    EXPECT_EQ(wait_bounded(read_done, "the read").error(), SerialError::not_open());
    EXPECT_EQ(wait_bounded(write_done, "the write").error(), SerialError::not_open());
    EXPECT_LT(since(t0), 5);
    reader.join();
    writer.join();
    ASSERT_TRUE(p->open());
    ASSERT_TRUE(p->reset_input_buffer());
    ASSERT_EQ(::write(pty.master, "ok", 2), 2);
    EXPECT_EQ(text(run(p->read(2)).value()), "ok");
}

TEST(PtyPort, LinesWriteFlushAndHangUp) {
    Pty pty;
    ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    auto p = PortCore::create();
    ASSERT_TRUE(p->set_port(pty.name));
    ASSERT_TRUE(p->open());
    set_timeouts(*p, Seconds::from_int(5));

    ASSERT_EQ(::write(pty.master, "one\ntwo", 7), 7);
    EXPECT_EQ(text(run(p->readline(std::nullopt)).value()), "one\n");
    EXPECT_EQ(text(run(p->read(3)).value()), "two");

    EXPECT_EQ(run(p->write_with(bytes("hello"), false)), 5u);
    EXPECT_TRUE(run(p->flush()));
    std::string got;
    await_true([&] { return (got += pty.drain_master()).size() >= 5; }, "the bytes on the master");
    EXPECT_EQ(got, "hello");

    // The hang-up reads as readiness without data: the read fails and closes the port.
    set_timeouts(*p, std::nullopt);
    auto reader = spawn_future(p->read(1));
    await_locked(p->read_lock);
    ::close(std::exchange(pty.master, -1));
    EXPECT_EQ(wait_bounded(reader, "the read").error(), SerialError::io(std::string(port::no_data_message)));
    EXPECT_FALSE(p->is_open());
    EXPECT_EQ(run(p->write_with(bytes("x"), false)).error(), SerialError::not_open());
}

// ---- the fast path: calls done without an operation, and their hand-over ----

port::Begun begun_read(PortCore& p) {
    auto b = p.begin_read(nullptr);
    EXPECT_TRUE(b && *b);
    return std::move(**b);
}

TEST(FastPath, BeginGivesWayToHoldersWaitersAndStoredCancels) {
    auto p = loop_port();
    set_timeouts(*p, Seconds::from_int(1));
    {
        auto held = p->read_lock.try_lock();
        EXPECT_FALSE(p->begin_read(nullptr)) << "lock held";
    }
    {
        // A queued waiter keeps its place even while the lock is free for a moment.
        auto held = p->read_lock.try_lock();
        auto queued = p->read_lock.lock();
        Waker none;
        Context cx(none);
        EXPECT_FALSE(queued.poll(cx));
        held.reset();
        EXPECT_FALSE(p->begin_read(nullptr)) << "lock handed to a waiter";
    }
    p->cancel_write.notify_one();
    EXPECT_FALSE(p->begin_write(nullptr)) << "cancel stored";
    EXPECT_TRUE(p->cancel_write.has_permit()) << "and left stored";
    auto closed = PortCore::create();
    auto b = closed->begin_read(nullptr);
    ASSERT_TRUE(b && !*b);
    EXPECT_EQ(b->error().kind(), SerialError::Kind::NotOpen);
    EXPECT_FALSE(closed->read_lock.is_locked());
}

TEST(FastPath, ReadHandsOverBytesLockAndDeadline) {
    auto p = loop_port();
    set_timeouts(*p, Seconds::from_int(1));
    feed(*p, "abc");
    auto b = begun_read(*p);
    ByteVec out;
    auto end = p->fast_read(b, 10, out, nullptr);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, port::Fast::Wait);
    EXPECT_EQ(text(out), "abc");
    EXPECT_TRUE(p->read_lock.is_locked());
    // Handed over after its deadline: the operation makes its last single
    // poll at once instead of counting the timeout again.
    std::this_thread::sleep_for(1050ms);
    feed(*p, "defg");
    auto t0 = Clock::now();
    auto r = run(p->read_from(std::move(b), 10, std::move(out)));
    ASSERT_TRUE(r);
    EXPECT_EQ(text(*r), "abcdefg");
    EXPECT_LT(since(t0), 0.5);
    EXPECT_FALSE(p->read_lock.is_locked());
}

TEST(FastPath, ReadEndsItselfWhenTheDeadlineHasPassed) {
    auto p = loop_port();
    set_timeouts(*p, Seconds::from_int(0));
    feed(*p, "xy");
    auto b = begun_read(*p);
    ByteVec out;
    auto end = p->fast_read(b, 5, out, nullptr);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, port::Fast::Done);
    EXPECT_EQ(text(out), "xy");
}

TEST(FastPath, CancelDuringTheHandedOverReadKeepsItsBytes) {
    auto p = loop_port();
    set_timeouts(*p, std::nullopt);
    feed(*p, "ab");
    auto b = begun_read(*p);
    ByteVec out;
    ASSERT_EQ(p->fast_read(b, 10, out, nullptr), port::Fast::Wait);
    auto op = p->read_from(std::move(b), 10, std::move(out));
    std::thread later([&] {
        std::this_thread::sleep_for(50ms);
        p->cancel_read.notify_one();
    });
    auto r = run(std::move(op));
    later.join();
    ASSERT_TRUE(r);
    EXPECT_EQ(text(*r), "ab");
}

TEST(FastPath, ReadUntilStopsAtTheTerminatorAndLeavesTheRest) {
    auto p = loop_port();
    set_timeouts(*p, Seconds::from_int(1));
    feed(*p, "one\r\ntwo");
    auto b = begun_read(*p);
    ByteVec out;
    auto crlf = bytes("\r\n");
    ASSERT_EQ(p->fast_read_until(b, crlf, std::nullopt, false, out, nullptr), port::Fast::Done);
    EXPECT_EQ(text(out), "one\r\n");
    EXPECT_EQ(p->in_waiting().value(), 3u);
}

TEST(FastPath, AReopenedPortEndsTheReadWithNotOpen) {
    auto p = loop_port();
    set_timeouts(*p, std::nullopt);
    feed(*p, "a");
    auto b = begun_read(*p);
    p->close();
    ASSERT_TRUE(p->open());
    feed(*p, "new");
    ByteVec out;
    auto end = p->fast_read(b, 1, out, nullptr);
    ASSERT_FALSE(end);
    EXPECT_EQ(end.error().kind(), SerialError::Kind::NotOpen);
    auto r = run(p->read_from(std::move(b), 1, {}));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), SerialError::Kind::NotOpen);
    EXPECT_EQ(p->in_waiting().value(), 3u) << "the new back-end's bytes stay";
}

TEST(FastPath, WritesByTimeout) {
    struct Case {
        const char* name;
        std::optional<Seconds> write_timeout;
        std::size_t room;  // free bytes in the loopback before the write
        port::Fast end;
        std::size_t written;
    };
    const Case cases[] = {
        {"fits", std::nullopt, 4096, port::Fast::Done, 10},
        {"zero timeout, partial", Seconds::from_int(0), 4, port::Fast::Done, 4},
        {"no timeout, partial", std::nullopt, 4, port::Fast::Wait, 4},
        {"timeout, full", Seconds::from_int(1), 0, port::Fast::Wait, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = loop_port();
        set_timeouts(*p, std::nullopt, std::nullopt, c.write_timeout);
        feed(*p, std::string(4096 - c.room, 'f'));
        auto b = p->begin_write(nullptr);
        ASSERT_TRUE(b && *b);
        std::size_t written = 0;
        auto data = bytes("0123456789");
        auto end = p->fast_write(**b, data, written, nullptr);
        ASSERT_TRUE(end);
        EXPECT_EQ(*end, c.end);
        EXPECT_EQ(written, c.written);
    }
}

TEST(FastPath, HandedOverWriteFinishesWithTheWholeCount) {
    auto p = loop_port();
    set_timeouts(*p, std::nullopt, std::nullopt, Seconds::from_int(2));
    feed(*p, std::string(4090, 'f'));
    auto b = p->begin_write(nullptr);
    ASSERT_TRUE(b && *b);
    std::size_t written = 0;
    auto data = bytes("0123456789");
    ASSERT_EQ(p->fast_write(**b, data, written, nullptr), port::Fast::Wait);
    ASSERT_EQ(written, 6u);
    auto op = p->write_from(std::move(**b), data, written);
    std::thread drain([&] {
        std::this_thread::sleep_for(30ms);
        (void)p->reset_input_buffer();
    });
    auto r = run(std::move(op));
    drain.join();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 10u);
    EXPECT_EQ(p->in_waiting().value(), 4u) << "the tail only, written once";
}

// Threads racing fast attempts against each other and against operations
// that took over: every record arrives once, each writer's in its order.
TEST(FastPath, RacingThreadsKeepOrderAndCounts) {
    auto p = loop_port();
    set_timeouts(*p, secs(0.2));
    constexpr int records = 2000;
    auto write = [&](int first) {
        for (int i = first; i < records; i += 2) {
            char rec[5];
            std::snprintf(rec, sizeof rec, "%04d", i);
            auto data = bytes(std::string_view(rec, 4));
            auto b = p->begin_write(nullptr);
            if (!b) {
                ASSERT_EQ(run(p->write_with(data, false)).value(), 4u);
                continue;
            }
            std::size_t written = 0;
            auto end = p->fast_write(**b, data, written, nullptr);
            ASSERT_TRUE(end);
            if (*end == port::Fast::Wait) ASSERT_EQ(run(p->write_from(std::move(**b), data, written)).value(), 4u);
        }
    };
    std::vector<int> seen[2];
    std::atomic<int> total{0};
    auto read = [&](std::vector<int>& mine) {
        while (total.load() < records) {
            ByteVec out;
            auto b = p->begin_read(nullptr);
            if (!b) {
                out = run(p->read(4)).value();
            } else {
                auto end = p->fast_read(**b, 4, out, nullptr);
                ASSERT_TRUE(end);
                if (*end == port::Fast::Wait) out = run(p->read_from(std::move(**b), 4, std::move(out))).value();
            }
            if (out.empty()) continue;
            ASSERT_EQ(out.size(), 4u);
            mine.push_back(std::stoi(text(out)));
            ++total;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(write, 0);
    threads.emplace_back(write, 1);
    threads.emplace_back(read, std::ref(seen[0]));
    threads.emplace_back(read, std::ref(seen[1]));
    for (auto& t : threads) t.join();
    std::vector<int> all(seen[0]);
    all.insert(all.end(), seen[1].begin(), seen[1].end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), std::size_t(records));
    for (int i = 0; i < records; ++i) ASSERT_EQ(all[i], i);
    for (const auto& got : seen)
        for (int parity : {0, 1}) {
            int last = -1;
            for (int r : got)
                if (r % 2 == parity) {
                    EXPECT_GT(r, last);
                    last = r;
                }
        }
}

}  // namespace
}  // namespace korvane
