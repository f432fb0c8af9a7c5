// Operations parked on an event loop's watch: polled by the loop's thread when
// their descriptor is ready, handed to the runtime by anything else.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

#include "async_support.hpp"
#include "engine/async/lock.hpp"
#include "engine/async/loop_watch.hpp"
#include "engine/async/notify.hpp"
#include "engine/async/readiness.hpp"
#include "engine/async/select.hpp"
#include "engine/async/sleep.hpp"

namespace korvane::test {
namespace {

bool readable_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

enum class End { Data, Notified, TimedOut };

struct Outcome {
    End end;
    std::thread::id thread;
};

// Reads one byte from the pipe unless `stop` is notified or `deadline` passes.
Op<Outcome> read_one(Readiness& r, int fd, Notify& stop, std::optional<Instant> deadline = std::nullopt,
                     Lock* lock = nullptr) {
    std::optional<Lock::Guard> held;
    if (lock) held.emplace(co_await lock->lock());
    auto step = poll_fn([&](Context& cx) -> Poll<bool> {
        for (;;) {
            auto ready = r.poll_ready(Readiness::Direction::Read, cx);
            if (!ready) return std::nullopt;
            char c;
            if (::read(fd, &c, 1) == 1) return true;
            r.clear_ready(Readiness::Direction::Read);
        }
    });
    auto stopped = stop.notified();
    Outcome out{End::Data, {}};
    if (held) {
        auto race = select(timeout_at(deadline, step), stopped);
        auto won = co_await Lock::holding(*held, race);
        out.end = won.index() == 1 ? End::Notified : std::get<0>(won) ? End::Data : End::TimedOut;
    } else {
        auto won = co_await select(timeout_at(deadline, step), stopped);
        out.end = won.index() == 1 ? End::Notified : std::get<0>(won) ? End::Data : End::TimedOut;
    }
    out.thread = std::this_thread::get_id();
    co_return out;
}

struct Parked {
    std::future<Outcome> result;
    TaskHandle handle;
    bool parked;
};

Parked park_on(LoopWatch& watch, Op<Outcome> op) {
    auto p = std::make_shared<std::promise<Outcome>>();
    auto f = p->get_future();
    auto& waits = watch.waits();
    waits.reset();
    auto started = spawn_parked(rt(), deliver(std::move(op), std::move(p)), waits);
    if (started.parked) watch.park(started.handle, waits);
    waits.reset();
    return {std::move(f), std::move(started.handle), started.parked};
}

struct Fixture {
    std::shared_ptr<LoopWatch> watch = LoopWatch::create();
    Pipe pipe;
    std::optional<Readiness> readiness;
    Notify stop;
    Fixture() {
        rt();
        auto r = Readiness::create(pipe.rd);
        if (!watch || !r) std::abort();
        readiness.emplace(std::move(*r));
    }
};

TEST(LoopWatch, AParkedReadIsPolledByTheLoopThreadWhenItsDescriptorIsReady) {
    Fixture f;
    for (int round = 0; round < 3; ++round) {
        auto p = park_on(*f.watch, read_one(*f.readiness, f.pipe.rd, f.stop));
        ASSERT_TRUE(p.parked);
        EXPECT_TRUE(p.handle.is_parked());
        EXPECT_FALSE(readable_within(f.watch->fd(), 20));
        ASSERT_EQ(write(f.pipe.wr, "x", 1), 1);
        ASSERT_TRUE(readable_within(f.watch->fd(), 5000));
        f.watch->ready();
        ASSERT_EQ(p.result.wait_for(0ms), std::future_status::ready);
        auto out = p.result.get();
        EXPECT_EQ(out.end, End::Data);
        EXPECT_EQ(out.thread, std::this_thread::get_id());
    }
    // Readiness nobody waits for takes the descriptor out, so the loop does
    // not report it again and again.
    ASSERT_EQ(write(f.pipe.wr, "y", 1), 1);
    ASSERT_TRUE(readable_within(f.watch->fd(), 5000));
    f.watch->ready();
    EXPECT_FALSE(readable_within(f.watch->fd(), 20));
}

TEST(LoopWatch, DataThatCameBeforeTheRegistrationIsReportedAtOnce) {
    Fixture f;
    ASSERT_EQ(write(f.pipe.wr, "x", 1), 1);
    auto p = park_on(*f.watch, read_one(*f.readiness, f.pipe.rd, f.stop));
    ASSERT_TRUE(p.parked);
    ASSERT_TRUE(readable_within(f.watch->fd(), 0));
    f.watch->ready();
    EXPECT_EQ(wait_bounded(p.result, "the read").end, End::Data);
}

// Each way another thread reaches a parked operation: the runtime finishes
// it, and the loop's thread never has to run.
TEST(LoopWatch, AnyOtherWakeHandsTheOperationToTheRuntime) {
    enum class How { Notify, Deadline, Release, Forget, Contention, Abort };
    for (How how : {How::Notify, How::Deadline, How::Release, How::Forget, How::Contention, How::Abort}) {
        SCOPED_TRACE(static_cast<int>(how));
        Fixture f;
        Lock lock;
        std::optional<Instant> deadline;
        if (how == How::Deadline) deadline = Clock::now() + 30ms;
        auto p = park_on(*f.watch, read_one(*f.readiness, f.pipe.rd, f.stop, deadline,
                                            how == How::Contention ? &lock : nullptr));
        ASSERT_TRUE(p.parked);
        std::optional<std::future<Outcome>> second;
        switch (how) {
        case How::Notify:
            f.stop.notify_waiters();
            break;
        case How::Deadline:
            break;
        case How::Release:
            f.watch->release();
            ASSERT_EQ(write(f.pipe.wr, "x", 1), 1);
            break;
        case How::Forget:
            LoopWatch::forget(f.pipe.rd);
            ASSERT_EQ(write(f.pipe.wr, "x", 1), 1);
            // Out of the watch: its readiness is not reported any more.
            EXPECT_FALSE(readable_within(f.watch->fd(), 20));
            break;
        case How::Contention:
            // Another request queues behind the parked holder of the lock.
            second = spawn_future(read_one(*f.readiness, f.pipe.rd, f.stop, std::nullopt, &lock));
            ASSERT_EQ(write(f.pipe.wr, "ab", 2), 2);
            break;
        case How::Abort:
            p.handle.abort();
            await_true([&] { return p.handle.is_finished(); }, "the abort");
            continue;
        }
        auto out = wait_bounded(p.result, "the handed-over operation");
        EXPECT_NE(out.thread, std::this_thread::get_id());
        EXPECT_EQ(out.end, how == How::Notify ? End::Notified : how == How::Deadline ? End::TimedOut : End::Data);
        if (second) EXPECT_EQ(wait_bounded(*second, "the queued request").end, End::Data);
        f.watch->ready();  // nothing is due: a stale report is harmless
    }
}

// Its leaves registered the task's waker, so the wake schedules it; posting
// it at once would only cost a worker's poll.
TEST(LoopWatch, AFirstPollWaitingOnWakersAloneIsLeftToItsWake) {
    auto watch = LoopWatch::create();
    ASSERT_TRUE(watch);
    ManualScheduler scheduler;
    Notify go;
    bool ended = false;
    auto op = [](Notify& go, bool& ended) -> Op<Unit> {
        co_await go.notified();
        ended = true;
        co_return Unit{};
    }(go, ended);
    auto& waits = watch->waits();
    waits.reset();
    auto started = spawn_parked(scheduler, std::move(op), waits);
    ASSERT_TRUE(started.parked);
    watch->park(started.handle, waits);
    EXPECT_FALSE(started.handle.is_parked());
    EXPECT_EQ(scheduler.pending(), 0u);
    go.notify_waiters();
    ASSERT_EQ(scheduler.pending(), 1u);
    while (scheduler.run_one()) {
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(started.handle.is_finished());
}

TEST(LoopWatch, AReleasedWatchParksNothing) {
    Fixture f;
    f.watch->release();
    EXPECT_TRUE(f.watch->released());
    auto p = park_on(*f.watch, read_one(*f.readiness, f.pipe.rd, f.stop));
    ASSERT_EQ(write(f.pipe.wr, "x", 1), 1);
    auto out = wait_bounded(p.result, "the read");
    EXPECT_EQ(out.end, End::Data);
    EXPECT_NE(out.thread, std::this_thread::get_id());
}

// Several parked reads, each on its own pipe, the loop's thread polling
// while other threads feed, stop and forget them at random.
TEST(LoopWatch, LoopPollsRaceWakesAndForgetsFromOtherThreads) {
    rt();
    auto watch = LoopWatch::create();
    ASSERT_TRUE(watch);
    constexpr int lanes = 4, rounds = 300;
    struct Lane {
        Pipe pipe;
        std::optional<Readiness> readiness;
        Notify stop;
    };
    std::vector<std::unique_ptr<Lane>> all;
    for (int i = 0; i < lanes; ++i) {
        auto l = std::make_unique<Lane>();
        l->readiness.emplace(std::move(*Readiness::create(l->pipe.rd)));
        all.push_back(std::move(l));
    }
    std::atomic<bool> done{false};
    // Parks from this thread stand in for the loop's own starts: ready() and
    // park() never overlap on a real loop, so they take turns here.
    std::mutex turn;
    std::thread loop([&] {
        while (!done.load()) {
            if (!readable_within(watch->fd(), 1)) continue;
            std::lock_guard g(turn);
            watch->ready();
        }
    });
    for (int r = 0; r < rounds; ++r) {
        auto& lane = *all[r % lanes];
        Parked p;
        {
            std::lock_guard g(turn);
            p = park_on(*watch, read_one(*lane.readiness, lane.pipe.rd, lane.stop));
        }
        switch (r % 3) {
        case 0:
            ASSERT_EQ(write(lane.pipe.wr, "x", 1), 1);
            break;
        case 1:
            std::thread([&] { lane.stop.notify_waiters(); }).join();
            break;
        case 2:
            std::thread([&] {
                LoopWatch::forget(lane.pipe.rd);
                ASSERT_EQ(write(lane.pipe.wr, "x", 1), 1);
            }).join();
            break;
        }
        auto out = wait_bounded(p.result, "a lane's read");
        EXPECT_EQ(out.end, r % 3 == 1 ? End::Notified : End::Data);
    }
    done = true;
    loop.join();
}

}  // namespace
}  // namespace korvane::test
