// The fast path: calls done without an operation, and their hand-over to the
// full operation with what they took.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "async/block_on.hpp"
#include "async_support.hpp"
#include "port.hpp"

namespace korvane {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

ByteVec bytes(std::string_view s) { return ByteVec(s.begin(), s.end()); }
std::string text(const ByteVec& b) { return std::string(b.begin(), b.end()); }

std::shared_ptr<PortCore> loop_port(std::optional<Seconds> timeout, std::optional<Seconds> write_timeout = {}) {
    auto p = PortCore::create();
    EXPECT_TRUE(p->set_port("loop://"));
    EXPECT_TRUE(p->open());
    p->update_state([&](port::State& s) {
        s.settings.timeout = timeout;
        s.settings.write_timeout = write_timeout;
    });
    return p;
}

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

port::Begun begun_read(PortCore& p) {
    auto b = p.begin_read(nullptr);
    EXPECT_TRUE(b && *b);
    return std::move(**b);
}

TEST(FastPath, BeginGivesWayToHoldersWaitersAndStoredCancels) {
    auto p = loop_port(Seconds::from_int(1));
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
    auto p = loop_port(Seconds::from_float(0.3));
    feed(*p, "abc");
    auto t0 = Clock::now();
    auto b = begun_read(*p);
    ByteVec out;
    auto end = p->fast_read(b, 10, out, nullptr);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, port::Fast::Wait);
    EXPECT_EQ(text(out), "abc");
    EXPECT_TRUE(p->read_lock.is_locked());
    auto op = p->read_from(std::move(b), 10, std::move(out));
    std::thread later([&] {
        std::this_thread::sleep_for(50ms);
        feed(*p, "defg");
    });
    auto r = run(std::move(op));
    later.join();
    ASSERT_TRUE(r);
    EXPECT_EQ(text(*r), "abcdefg");
    // The deadline counts from the begin, not from the hand-over.
    auto took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GT(took, 0.25);
    EXPECT_LT(took, 1.0);
    EXPECT_FALSE(p->read_lock.is_locked());
}

TEST(FastPath, ReadEndsItselfWhenTheDeadlineHasPassed) {
    auto p = loop_port(Seconds::from_int(0));
    feed(*p, "xy");
    auto b = begun_read(*p);
    ByteVec out;
    auto end = p->fast_read(b, 5, out, nullptr);
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, port::Fast::Done);
    EXPECT_EQ(text(out), "xy");
}

TEST(FastPath, CancelDuringTheHandedOverReadKeepsItsBytes) {
    auto p = loop_port(std::nullopt);
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
    auto p = loop_port(Seconds::from_int(1));
    feed(*p, "one\r\ntwo");
    auto b = begun_read(*p);
    ByteVec out;
    auto crlf = bytes("\r\n");
    ASSERT_EQ(p->fast_read_until(b, crlf, std::nullopt, false, out, nullptr), port::Fast::Done);
    EXPECT_EQ(text(out), "one\r\n");
    EXPECT_EQ(p->in_waiting().value(), 3u);
}

TEST(FastPath, AReopenedPortEndsTheReadWithNotOpen) {
    auto p = loop_port(std::nullopt);
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
        auto p = loop_port(std::nullopt, c.write_timeout);
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
    auto p = loop_port(std::nullopt, Seconds::from_int(2));
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

}  // namespace
}  // namespace korvane
