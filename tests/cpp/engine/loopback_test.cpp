#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "async_support.hpp"
#include "engine/backend/backend.hpp"
#include "engine/backend/loopback.hpp"

namespace korvane {
namespace {

using namespace test;

std::vector<std::uint8_t> iota_bytes(std::size_t n, std::uint8_t from = 0) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), from);
    return v;
}

std::size_t ready_count(Poll<Result<std::size_t>> p) {
    EXPECT_TRUE(p);
    if (!p || !*p) return ~std::size_t{0};
    return **p;
}

TEST(Loopback, EchoesInOrderAndCountsBothQueuesAsOne) {
    LoopbackPort lp(true, true);
    Counted reader, writer;
    std::vector<std::uint8_t> buf(10);
    EXPECT_FALSE(lp.poll_read(reader.cx, buf));
    auto three = iota_bytes(3, 1);
    EXPECT_EQ(ready_count(lp.poll_write(writer.cx, three)), 3u);
    EXPECT_EQ(reader.wakes(), 1);
    EXPECT_EQ(lp.in_waiting(), 3u);
    EXPECT_EQ(lp.out_waiting(), 3u);
    EXPECT_EQ(ready_count(lp.poll_read(reader.cx, buf)), 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 3), three);
    // Order survives the ring wrapping round.
    auto a = iota_bytes(4000), b = iota_bytes(3000, 7);
    std::vector<std::uint8_t> out(8192);
    EXPECT_EQ(ready_count(lp.poll_write(writer.cx, a)), 4000u);
    EXPECT_EQ(ready_count(lp.poll_read(reader.cx, std::span(out).first(3000))), 3000u);
    EXPECT_EQ(ready_count(lp.poll_write(writer.cx, b)), 3000u);
    EXPECT_EQ(ready_count(lp.poll_read(reader.cx, out)), 4000u);
    std::vector<std::uint8_t> expect(a.begin() + 3000, a.end());
    expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 4000), expect);
}

TEST(Loopback, AFullQueueParksTheWriterUntilAReadOrAClear) {
    for (bool by_clear : {false, true}) {
        SCOPED_TRACE(by_clear ? "clear" : "read");
        LoopbackPort lp(true, true);
        Counted writer, reader;
        auto data = iota_bytes(5000);
        EXPECT_EQ(ready_count(lp.poll_write(writer.cx, data)), LoopbackPort::capacity);
        auto rest = std::span(data).subspan(LoopbackPort::capacity);
        EXPECT_FALSE(lp.poll_write(writer.cx, rest));
        // An empty write is ready even on a full queue.
        EXPECT_EQ(ready_count(lp.poll_write(writer.cx, {})), 0u);
        EXPECT_EQ(writer.wakes(), 0);
        std::vector<std::uint8_t> buf(904);
        if (by_clear) {
            EXPECT_TRUE(lp.clear_buffers(false, true));
            EXPECT_EQ(lp.in_waiting(), 0u);
        } else {
            EXPECT_EQ(ready_count(lp.poll_read(reader.cx, buf)), 904u);
        }
        EXPECT_EQ(writer.wakes(), 1);
        EXPECT_EQ(ready_count(lp.poll_write(writer.cx, rest)), 904u);
        EXPECT_TRUE(lp.clear_buffers(false, false));
        EXPECT_EQ(lp.in_waiting(), by_clear ? 904u : 4096u);
    }
}

TEST(Loopback, ControlCallsMirrorTheOutputLines) {
    LoopbackPort lp(false, true);
    EXPECT_EQ(lp.cts(), false);
    EXPECT_EQ(lp.dsr(), true);
    EXPECT_TRUE(lp.set_rts(true));
    EXPECT_TRUE(lp.set_dtr(false));
    EXPECT_EQ(lp.cts(), true);
    EXPECT_EQ(lp.dsr(), false);
    Settings slow;
    slow.baudrate = 50;
    EXPECT_TRUE(lp.configure(slow, false, true));
    EXPECT_EQ(lp.cts(), false);
    EXPECT_EQ(lp.dsr(), true);
    EXPECT_EQ(lp.ri(), false);
    EXPECT_EQ(lp.cd(), true);
    EXPECT_TRUE(lp.set_break_state(true));
    EXPECT_EQ(lp.fileno(), std::nullopt);
    auto drain = lp.drain_handle();
    ASSERT_TRUE(drain);
    EXPECT_FALSE(drain->fd());
    EXPECT_EQ(lp.cancel_write(), 0u);
    EXPECT_EQ(lp.detach_write(), 0u);
}

TEST(BackendOpen, LoopbackByItsSchemeInAnyCaseEverythingElseNative) {
    struct Case {
        const char* name;
        bool loopback;
    } cases[] = {
        {"loop://", true}, {"LOOP://", true}, {"LoOp://anything/here", true},
        {"loop:/", false}, {"loop", false},   {"/nonexistent/ttyS0", false},
        {"", false},       {"xloop://", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(backend::is_loopback(c.name), c.loopback);
        auto b = backend::open(c.name, Settings{}, false, true);
        if (c.loopback) {
            ASSERT_TRUE(b);
            EXPECT_EQ((*b)->cts(), false);
            EXPECT_EQ((*b)->dsr(), true);
        } else {
            ASSERT_FALSE(b);
            EXPECT_EQ(b.error().kind(), SerialError::Kind::Io);
            EXPECT_TRUE(b.error().message().starts_with(std::string("could not open port ") + c.name + ": "));
        }
    }
}

}  // namespace
}  // namespace korvane
