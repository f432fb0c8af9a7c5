#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <thread>
#include <vector>

#include "engine/async/block_on.hpp"
#include "async_support.hpp"
#include "engine/backend/loopback.hpp"
#include "engine/port.hpp"
#include "scripted_backend.hpp"

namespace korvane {
namespace {

using namespace test;

std::shared_ptr<PortCore> loop_port() {
    auto p = PortCore::create();
    EXPECT_TRUE(p->set_port("loop://"));
    EXPECT_TRUE(p->open());
    return p;
}

TEST(PortCore, ANewPortIsClosedAndStoresWhatItIsAsked) {
    auto p = PortCore::create();
    EXPECT_FALSE(p->is_open());
    EXPECT_EQ(p->port(), std::nullopt);
    EXPECT_EQ(p->in_waiting().error(), SerialError::not_open());
    EXPECT_EQ(p->open().error(), SerialError::not_configured());
    EXPECT_TRUE(p->set_rts(false));
    EXPECT_TRUE(p->set_dtr(true));
    EXPECT_TRUE(p->set_break_condition(true));
    ASSERT_TRUE(p->set_port("loop://"));
    EXPECT_FALSE(p->is_open());  // a name on a closed port is only stored
    ASSERT_TRUE(p->open());
    EXPECT_EQ(p->cts(), false);
    EXPECT_EQ(p->dsr(), true);
    EXPECT_TRUE(p->state().break_condition);
    EXPECT_EQ(p->fileno().value(), std::nullopt);
}

TEST(PortCore, OpenTwiceAndCloseTwice) {
    auto p = loop_port();
    std::array<std::uint8_t, 2> two{1, 2};
    Counted c;
    ASSERT_TRUE(p->poll_write_some(c.cx, two));
    EXPECT_EQ(p->open().error(), SerialError::already_open());
    EXPECT_EQ(p->in_waiting(), 2u);  // the first back-end is untouched
    p->close();
    EXPECT_FALSE(p->is_open());
    auto w = p->closed.notified();
    EXPECT_FALSE(w.poll(c.cx));
    p->close();  // a closed port still signals
    EXPECT_TRUE(w.poll(c.cx));
    auto after = p->closed.notified();
    EXPECT_FALSE(after.poll(c.cx));
    EXPECT_TRUE(p->open());
    EXPECT_EQ(p->in_waiting(), 0u);  // a fresh loopback
}

TEST(PortCore, SetPortClosesAndReopensOnlyWhatWasOpen) {
    struct Case {
        bool open_before;
        std::optional<std::string> name;
        std::optional<SerialError::Kind> error;
        bool open_after;
    } cases[] = {
        {false, "LOOP://other", std::nullopt, false},
        {true, "LOOP://other", std::nullopt, true},
        {true, std::nullopt, SerialError::Kind::NotConfigured, false},
        {true, "/definitely/not/a/device", SerialError::Kind::Io, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.value_or("<none>"));
        auto p = PortCore::create();
        ASSERT_TRUE(p->set_port("loop://"));
        if (c.open_before) {
            ASSERT_TRUE(p->open());
        }
        Counted cx;
        auto w = p->closed.notified();
        auto r = p->set_port(c.name);
        EXPECT_EQ(r ? std::nullopt : std::optional(r.error().kind()), c.error);
        EXPECT_EQ(p->is_open(), c.open_after);
        EXPECT_EQ(p->port(), c.name);
        EXPECT_TRUE(w.poll(cx.cx));  // set_port always closes first
    }
}

TEST(PortCore, LineLevelsAreStoredEvenWhenTheLineCallFailsOrIsSkipped) {
    auto log = std::make_shared<Script>();
    log->fd = 3;
    auto p = PortCore::create();
    ASSERT_TRUE(p->open_backend(std::make_unique<ScriptedBackend>(log)));
    p->update_state([](port::State& s) { s.settings.rtscts = true; });
    EXPECT_TRUE(p->set_rts(false));
    EXPECT_EQ(log->rts_calls, 0);  // hardware flow control drives RTS
    EXPECT_FALSE(p->state().rts);
    log->dtr_error = SerialError::os(EIO);
    EXPECT_EQ(p->set_dtr(false).error(), SerialError::os(EIO));
    EXPECT_FALSE(p->state().dtr);
    EXPECT_TRUE(p->set_break_condition(true));
    EXPECT_EQ(log->break_log().size(), 1u);
    EXPECT_EQ(p->fileno().value(), 3);
}

TEST(PortCore, AFailedInputClearDropsTheNewBackEnd) {
    auto log = std::make_shared<Script>();
    log->clear_error = SerialError::os(EPERM);
    auto p = PortCore::create();
    EXPECT_EQ(p->open_backend(std::make_unique<ScriptedBackend>(log)).error(), SerialError::os(EPERM));
    EXPECT_FALSE(p->is_open());
    EXPECT_EQ(log->drops, 1);
}

TEST(PortCore, PlainCallsOnAClosedPortAreNotOpen) {
    auto p = PortCore::create();
    auto not_open = SerialError::not_open();
    EXPECT_EQ(p->fileno().error(), not_open);
    EXPECT_EQ(p->out_waiting().error(), not_open);
    EXPECT_EQ(p->reset_input_buffer().error(), not_open);
    EXPECT_EQ(p->reset_output_buffer().error(), not_open);
    EXPECT_EQ(p->cd().error(), not_open);
    EXPECT_EQ(p->ri().error(), not_open);
    EXPECT_EQ(p->cts().error(), not_open);
    EXPECT_EQ(p->dsr().error(), not_open);
    Counted c;
    std::array<std::uint8_t, 1> b{};
    EXPECT_EQ(p->poll_read_some(c.cx, b)->error(), not_open);
    EXPECT_EQ(p->poll_write_some(c.cx, b)->error(), not_open);
}

// Reads and writes as later operations will: lock, then the guard, then polls.
Op<Result<std::vector<std::uint8_t>>> read_body(std::shared_ptr<PortCore> p, std::size_t n) {
    std::vector<std::uint8_t> out;
    std::array<std::uint8_t, 64> buf{};
    while (out.size() < n) {
        auto step = std::span(buf).first(std::min(buf.size(), n - out.size()));
        auto r = co_await poll_fn([&](Context& cx) { return p->poll_read_some(cx, step); });
        if (!r) co_return std::unexpected(r.error());
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*r));
    }
    co_return out;
}

Op<Result<std::vector<std::uint8_t>>> read_exactly(std::shared_ptr<PortCore> p, std::size_t n) {
    auto guard = co_await p->read_lock.lock();
    co_return co_await p->until_closed(read_body(p, n));
}

Op<Result<std::size_t>> write_body(std::shared_ptr<PortCore> p, std::vector<std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        auto rest = std::span<const std::uint8_t>(data).subspan(done);
        auto r = co_await poll_fn([&](Context& cx) { return p->poll_write_some(cx, rest); });
        if (!r) co_return std::unexpected(r.error());
        done += *r;
    }
    co_return done;
}

Op<Result<std::size_t>> write_all(std::shared_ptr<PortCore> p, std::vector<std::uint8_t> data) {
    auto guard = co_await p->write_lock.lock();
    co_return co_await p->until_closed(write_body(p, std::move(data)));
}

TEST(UntilClosed, BytesWrittenByOneTaskAreReadByAnother) {
    auto p = loop_port();
    std::vector<std::uint8_t> data(10000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    // More than the queue holds, so writer and reader take turns.
    auto reader = spawn_future(read_exactly(p, data.size()));
    auto writer = spawn_future(write_all(p, data));
    EXPECT_EQ(wait_bounded(writer, "the write"), data.size());
    EXPECT_EQ(wait_bounded(reader, "the read"), data);
    EXPECT_FALSE(p->read_lock.is_locked());
    EXPECT_FALSE(p->write_lock.is_locked());
}

TEST(UntilClosed, ACloseEndsAWaitingReadWithNotOpen) {
    auto p = loop_port();
    auto reader = spawn_future(read_exactly(p, 5));
    // Wait until the read is parked in the loopback.
    within([&] {
        while (!p->read_lock.is_locked()) std::this_thread::sleep_for(1ms);
    });
    std::this_thread::sleep_for(10ms);
    std::thread([&] { p->close(); }).join();
    EXPECT_EQ(wait_bounded(reader, "the read").error(), SerialError::not_open());
    // The lock was released with the dropped body.
    EXPECT_FALSE(p->read_lock.is_locked());
}

TEST(UntilClosed, AClosedPortNeverRunsTheBody) {
    auto p = PortCore::create();
    bool ran = false;
    auto body = [](bool& ran) -> Op<Result<int>> {
        ran = true;
        co_return 1;
    };
    auto r = within([&] { return block_on(p->until_closed(body(ran))); });
    EXPECT_EQ(r.error(), SerialError::not_open());
    EXPECT_FALSE(ran);
}

TEST(UntilClosed, OnlyDeviceLossClosesThePort) {
    struct Case {
        SerialError error;
        bool loss;
    } cases[] = {
        {SerialError::os(EIO), true},
        {SerialError::os(ENXIO), true},
        {SerialError::os(ENODEV), true},
        {SerialError::io(std::string(port::no_data_message)), true},
        {SerialError::io(std::string(port::no_data_message) + " "), false},
        {SerialError::io(std::string(port::no_data_message), EPERM), false},
        {SerialError::os(EPERM), false},
        {SerialError::io("flush failed: x"), false},
        {SerialError::timeout("Write timeout"), false},
        {SerialError::not_open(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.text());
        EXPECT_EQ(is_device_loss(c.error), c.loss);
        auto log = std::make_shared<Script>();
        log->read_error = c.error;
        auto p = PortCore::create();
        ASSERT_TRUE(p->open_backend(std::make_unique<ScriptedBackend>(log)));
        auto waiting_write = [&] {
            // Parked on a full queue, so only the close can end it.
            std::vector<std::uint8_t> big(5000);
            return spawn_future(write_all(p, big));
        }();
        within([&] {
            while (p->out_waiting().value_or(0) < LoopbackPort::capacity) std::this_thread::sleep_for(1ms);
        });
        auto r = within([&] { return block_on(read_exactly(p, 1)); });
        EXPECT_EQ(r.error(), c.error);
        EXPECT_EQ(p->is_open(), !c.loss);
        if (c.loss) {
            EXPECT_EQ(wait_bounded(waiting_write, "the write").error(), SerialError::not_open());
            EXPECT_EQ(within([&] { return block_on(read_exactly(p, 1)); }).error(), SerialError::not_open());
        } else {
            p->close();
            EXPECT_EQ(wait_bounded(waiting_write, "the write").error(), SerialError::not_open());
        }
    }
}

Op<Result<int>> lose_device_after_a_reopen(std::shared_ptr<PortCore> p) {
    p->close();
    EXPECT_TRUE(p->open());
    co_return std::unexpected(SerialError::os(EIO));
}

TEST(UntilClosed, TheLossCloseSparesABackEndOpenedMeanwhile) {
    auto p = loop_port();
    auto r = within([&] { return block_on(p->until_closed(lose_device_after_a_reopen(p))); });
    EXPECT_EQ(r.error(), SerialError::os(EIO));
    EXPECT_TRUE(p->is_open());
}

TEST(UntilClosed, AnOperationQueuedForTheLockIsNotWokenByTheClose) {
    auto p = loop_port();
    auto held = p->read_lock.try_lock();
    Counted c;
    auto queued = read_exactly(p, 1);
    EXPECT_FALSE(queued.poll(c.cx));
    p->close();
    EXPECT_EQ(c.wakes(), 0);
    held.reset();
    EXPECT_EQ(c.wakes(), 1);
    auto r = queued.poll(c.cx);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->error(), SerialError::not_open());
}

}  // namespace
}  // namespace korvane
