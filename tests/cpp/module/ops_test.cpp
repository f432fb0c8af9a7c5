// g++ 16 at -O2 warns falsely about copies of a variant holding vectors of
// vectors (the outcome copies below).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "engine/async/sleep.hpp"
#include "module/capi/thread.hpp"
#include "py_support.hpp"
#include "module/serial_ops.hpp"

using namespace korvane;
using namespace std::chrono_literals;
namespace ops = korvane::serial::ops;

namespace {

std::shared_ptr<PortCore> loop_port() {
    auto core = PortCore::create();
    EXPECT_TRUE(core->set_port(std::string("loop://")));
    EXPECT_TRUE(core->open());
    return core;
}

// Waits (detached) until the state completes, or fails the test after 5 s.
const OpResult& outcome_of(const OpFuture& f) {
    static const OpResult hung = std::unexpected(SerialError::io("hung"));
    py::Detached d;
    std::unique_lock lock(f.shared()->mutex);
    bool done = f.shared()->mutex.wait_until(lock, std::chrono::steady_clock::now() + 5s,
                                             [&] { return f.shared()->state.outcome.has_value(); });
    EXPECT_TRUE(done) << "the operation did not finish";
    // Once set, the outcome is never replaced, so the reference stays good.
    return done ? *f.shared()->state.outcome : hung;
}

ByteVec bytes_of(const OpResult& r) { return r ? std::get<ByteVec>(r->value) : ByteVec{}; }

ops::Operation throws_after_a_wait() {
    co_await Sleep(Clock::now() + 20ms);
    throw std::runtime_error("boom");
}

}  // namespace

TEST(PyOps, AnOperationThatFailsOnAWorkerIsPanicked) {
    auto f = ops::spawn(throws_after_a_wait());
    ASSERT_TRUE(f);
    const auto& r = outcome_of(*f);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text(), "the operation panicked");
    EXPECT_EQ(r.error().os_errno(), std::nullopt);
}

TEST(PyOps, BornDoneWhenNothingWaits) {
    auto core = loop_port();
    auto w = ops::start(ops::write(core, ByteVec{'a', 'b', 'c'}));
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->shared()->outcome_copy().has_value());
    auto r = ops::start(ops::read(core, 3));
    ASSERT_TRUE(r);
    auto got = r->shared()->outcome_copy();
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(bytes_of(*got), (ByteVec{'a', 'b', 'c'}));
    auto closed = ops::start(ops::read(PortCore::create(), 1));
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->shared()->outcome_copy()->error().kind(), SerialError::Kind::NotOpen);
    auto bad_break = ops::start(ops::send_break(core, -1.0));
    EXPECT_EQ(bad_break->shared()->outcome_copy()->error().text(), "duration must be a non-negative number");
}

TEST(PyOps, StartedReadsKeepTheirPlaceInTheLockQueue) {
    auto core = loop_port();
    auto first = ops::start(ops::read(core, 2));
    auto second = ops::start(ops::read(core, 2));
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(first->shared()->outcome_copy().has_value());
    EXPECT_TRUE(ops::start(ops::write(core, ByteVec{'1', '2', '3', '4'})));
    EXPECT_EQ(bytes_of(outcome_of(*first)), (ByteVec{'1', '2'}));
    EXPECT_EQ(bytes_of(outcome_of(*second)), (ByteVec{'3', '4'}));
}

TEST(PyOps, CancelCompletesThenAbortsAndReleasesTheLock) {
    auto core = loop_port();
    auto pending = ops::start(ops::read(core, 1));
    ASSERT_TRUE(pending);
    EXPECT_TRUE(future::cancel_shared(pending->shared()));
    EXPECT_EQ(outcome_of(*pending).error().kind(), SerialError::Kind::Cancelled);
    EXPECT_FALSE(future::cancel_shared(pending->shared()));
    // The aborted read gives the lock up, so the next read gets the byte.
    auto next = ops::start(ops::read(core, 1));
    EXPECT_TRUE(ops::start(ops::write(core, ByteVec{'x'})));
    EXPECT_EQ(bytes_of(outcome_of(*next)), (ByteVec{'x'}));
}

TEST(PyOps, BreakDurationConversion) {
    struct Case {
        double seconds;
        std::optional<Duration> expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {-1.0, std::nullopt},
        {-inf, std::nullopt},
        {std::nan(""), std::nullopt},
        {-0.0, Duration{0, 0}},
        {1e-10, Duration{0, 0}},
        {0x1p-10, Duration{0, 976562}},
        {3 * 0x1p-10, Duration{0, 2929688}},
        {0.25, Duration{0, 250000000}},
        {inf, Duration{UINT64_MAX, 999999999}},
        {1e30, Duration{UINT64_MAX, 999999999}},
    };
    for (const auto& c : cases) EXPECT_EQ(ops::break_duration(c.seconds), c.expected) << c.seconds;
}
