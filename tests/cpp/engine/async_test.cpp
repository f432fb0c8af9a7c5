#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <latch>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/async/block_on.hpp"
#include "engine/async/blocking.hpp"
#include "engine/async/lock.hpp"
#include "engine/async/notify.hpp"
#include "engine/async/readiness.hpp"
#include "engine/async/select.hpp"
#include "engine/async/sleep.hpp"
#include "async_support.hpp"

namespace korvane {
namespace {

using namespace test;

TEST(Lock, RequestsFromManyThreadsAreServedInQueueOrder) {
    Lock lock;
    auto held = lock.try_lock();
    ASSERT_TRUE(held);
    constexpr int n = 8;
    std::mutex order_mutex;
    std::vector<int> order;
    std::vector<std::future<void>> done;
    for (int i = 0; i < n; ++i) {
        std::promise<void> queued;
        auto q = queued.get_future();
        done.push_back(std::async(std::launch::async, [&, i, queued = std::move(queued)]() mutable {
            auto request = lock.lock();
            Counted c;
            EXPECT_FALSE(request.poll(c.cx));  // takes its place now
            queued.set_value();
            auto guard = block_on(request);
            std::lock_guard g(order_mutex);
            order.push_back(i);
        }));
        wait_bounded(q, "queueing");
    }
    // A latecomer may not barge past the queue.
    EXPECT_FALSE(lock.try_lock());
    held.reset();
    for (auto& d : done) wait_bounded(d, "a lock request");
    std::vector<int> expected;
    for (int i = 0; i < n; ++i) expected.push_back(i);
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(lock.is_locked());
}

TEST(Lock, DroppedRequestsGiveUpTheirPlaceOrPassTheLockOn) {
    for (bool granted : {false, true}) {
        SCOPED_TRACE(granted ? "dropped after the grant" : "dropped while queued");
        Lock lock;
        auto held = lock.try_lock();
        Counted a, b;
        auto second = lock.lock();
        {
            auto first = lock.lock();
            EXPECT_FALSE(first.poll(a.cx));
            EXPECT_FALSE(second.poll(b.cx));
            if (granted) {
                held.reset();  // ownership goes to `first`, which never collects it
                EXPECT_EQ(a.wakes(), 1);
                EXPECT_TRUE(lock.is_locked());
            }
        }
        if (!granted) {
            EXPECT_EQ(b.wakes(), 0);
            held.reset();
        }
        EXPECT_EQ(b.wakes(), 1);
        auto guard = second.poll(b.cx);
        ASSERT_TRUE(guard);
        guard.reset();
        EXPECT_FALSE(lock.is_locked());
    }
}

TEST(Lock, AReleaseAfterTheLastWaiterLeftFreesItForTheNextTaker) {
    Lock lock;
    auto held = lock.try_lock();
    {
        Counted c;
        auto request = lock.lock();
        EXPECT_FALSE(request.poll(c.cx));
    }
    held.reset();
    EXPECT_FALSE(lock.is_locked());
    EXPECT_TRUE(lock.try_lock());
}

TEST(Lock, TakersByTryAndByQueueNeverOverlap) {
    Lock lock;
    constexpr int threads = 4, rounds = 2000;
    int inside = 0, entries = 0;  // plain ints: only the holder touches them
    std::vector<std::future<void>> done;
    for (int t = 0; t < threads; ++t) {
        done.push_back(std::async(std::launch::async, [&, t] {
            for (int i = 0; i < rounds; ++i) {
                std::optional<Lock::Guard> g;
                if ((i + t) % 2) g = lock.try_lock();
                if (!g) g.emplace(block_on(lock.lock()));
                EXPECT_EQ(++inside, 1);
                ++entries;
                --inside;
            }
        }));
    }
    for (auto& d : done) wait_bounded(d, "the lock takers");
    EXPECT_EQ(entries, threads * rounds);
    EXPECT_FALSE(lock.is_locked());
}

TEST(Notify, OnePermitIsStoredAndNeverCountedTwice) {
    Notify n;
    n.notify_one();
    n.notify_one();
    Counted c;
    auto w1 = n.notified();
    auto w2 = n.notified();
    EXPECT_TRUE(w1.poll(c.cx));
    EXPECT_FALSE(w2.poll(c.cx));
    // A registered wait takes the next signal; nothing is stored for a third.
    n.notify_one();
    EXPECT_EQ(c.wakes(), 1);
    EXPECT_TRUE(w2.poll(c.cx));
    auto w3 = n.notified();
    EXPECT_FALSE(w3.poll(c.cx));
}

TEST(Notify, DroppedWaitPassesItsPermitOn) {
    Notify n;
    Counted a, b;
    auto later = n.notified();
    {
        auto first = n.notified();
        EXPECT_FALSE(first.poll(a.cx));
        EXPECT_FALSE(later.poll(b.cx));
        n.notify_one();
        EXPECT_EQ(a.wakes(), 1);
        EXPECT_EQ(b.wakes(), 0);
    }
    EXPECT_EQ(b.wakes(), 1);
    EXPECT_TRUE(later.poll(b.cx));
    {
        // With nobody else waiting the permit is stored again.
        auto lone = n.notified();
        EXPECT_FALSE(lone.poll(a.cx));
        n.notify_one();
    }
    auto next = n.notified();
    EXPECT_TRUE(next.poll(a.cx));
}

TEST(Notify, NotifyWaitersReachesEveryEarlierWaitAndStoresNothing) {
    Notify n;
    Counted c;
    auto never_polled = n.notified();
    auto registered = n.notified();
    EXPECT_FALSE(registered.poll(c.cx));
    n.notify_waiters();
    EXPECT_EQ(c.wakes(), 1);
    auto created_after = n.notified();
    EXPECT_TRUE(never_polled.poll(c.cx));
    EXPECT_TRUE(registered.poll(c.cx));
    EXPECT_FALSE(created_after.poll(c.cx));
    // notify_waiters leaves no permit, and a broadcast wait passes nothing on.
    auto another = n.notified();
    EXPECT_FALSE(another.poll(c.cx));
}

Op<Result<int>> hold_then_wait(Lock& lock, Notify& go, bool throw_after) {
    auto guard = co_await lock.lock();
    co_await go.notified();
    if (throw_after) throw std::runtime_error("boom");
    co_return 7;
}

TEST(Op, LazyUntilPolledAndDroppingItReleasesWhatItHolds) {
    Lock lock;
    Notify go;
    Counted c;
    {
        auto op = hold_then_wait(lock, go, false);
        EXPECT_FALSE(lock.is_locked());  // nothing runs before the first poll
        EXPECT_FALSE(op.poll(c.cx));
        EXPECT_TRUE(lock.is_locked());
    }
    EXPECT_FALSE(lock.is_locked());
    auto op = hold_then_wait(lock, go, false);
    EXPECT_FALSE(op.poll(c.cx));
    go.notify_one();
    EXPECT_EQ(c.wakes(), 1);
    auto r = op.poll(c.cx);
    ASSERT_TRUE(r);
    EXPECT_EQ(**r, 7);
    EXPECT_FALSE(lock.is_locked());
}

TEST(Op, AnExceptionBecomesThePanicErrorWithTheLockReleased) {
    Lock lock;
    Notify go;
    Counted c;
    auto guarded = catch_panic(hold_then_wait(lock, go, true));
    EXPECT_FALSE(guarded.poll(c.cx));
    EXPECT_TRUE(lock.is_locked());
    go.notify_one();
    auto r = guarded.poll(c.cx);
    ASSERT_TRUE(r);
    ASSERT_FALSE(*r);
    EXPECT_EQ(r->error(), SerialError::io("the operation panicked"));
    EXPECT_FALSE(lock.is_locked());
}

// A leaf that counts its polls and its drop, and runs a hook inside each poll.
struct Probe {
    struct Shared {
        std::atomic<int> polls{0};
        std::atomic<bool> dropped{false};
        std::function<bool(Context&, int)> on_poll;  // true: finish
    };
    std::shared_ptr<Shared> s;
    explicit Probe(std::shared_ptr<Shared> sh) : s(std::move(sh)) {}
    Probe(Probe&&) = default;
    ~Probe() {
        if (s) s->dropped = true;
    }
    Poll<Unit> poll(Context& cx) {
        int n = ++s->polls;
        if (s->on_poll && s->on_poll(cx, n)) return Unit{};
        return std::nullopt;
    }
};

TEST(Task, AWakeDuringItsPollRunsItAgainExactlyOnce) {
    ManualScheduler sched;
    auto s = std::make_shared<Probe::Shared>();
    s->on_poll = [](Context& cx, int n) {
        if (n == 1) {
            cx.waker().wake();
            cx.waker().wake();
        }
        return n == 2;
    };
    auto h = spawn(sched, Probe(s));
    EXPECT_EQ(sched.pending(), 1u);
    ASSERT_TRUE(sched.run_one());
    EXPECT_EQ(sched.pending(), 1u);
    ASSERT_TRUE(sched.run_one());
    EXPECT_EQ(sched.pending(), 0u);
    EXPECT_EQ(s->polls, 2);
    EXPECT_TRUE(h.is_finished());
    EXPECT_TRUE(s->dropped);
}

TEST(Task, SpawnedHereTheFirstPollRunsOnTheCallerAndOnlyAWakePosts) {
    ManualScheduler sched;
    auto s = std::make_shared<Probe::Shared>();
    Waker saved;
    std::thread::id poller;
    s->on_poll = [&](Context& cx, int n) {
        saved = cx.waker();
        if (n == 1) poller = std::this_thread::get_id();
        return n == 2;
    };
    auto h = spawn_here(sched, Probe(s));
    EXPECT_EQ(s->polls, 1);
    EXPECT_EQ(poller, std::this_thread::get_id());
    EXPECT_EQ(sched.pending(), 0u);
    EXPECT_FALSE(h.is_finished());
    saved.wake();
    EXPECT_EQ(sched.pending(), 1u);
    ASSERT_TRUE(sched.run_one());
    EXPECT_TRUE(h.is_finished());
    EXPECT_TRUE(s->dropped);

    // Finished at that first poll: nothing is ever posted.
    auto done = std::make_shared<Probe::Shared>();
    done->on_poll = [](Context&, int) { return true; };
    EXPECT_TRUE(spawn_here(sched, Probe(done)).is_finished());
    EXPECT_EQ(sched.pending(), 0u);
}

TEST(Task, WakesWhileScheduledPostOnce) {
    ManualScheduler sched;
    auto s = std::make_shared<Probe::Shared>();
    Waker saved;
    s->on_poll = [&](Context& cx, int) {
        saved = cx.waker();
        return false;
    };
    auto h = spawn(sched, Probe(s));
    ASSERT_TRUE(sched.run_one());
    saved.wake();
    saved.wake();
    EXPECT_EQ(sched.pending(), 1u);
    ASSERT_TRUE(sched.run_one());
    EXPECT_EQ(s->polls, 2);
    h.abort();
    sched.run_one();
    saved = Waker();
}

TEST(Task, AbortDropsTheFutureOnTheSchedulerAndNeverDuringAPoll) {
    enum class When { Scheduled, Idle, Running };
    for (When when : {When::Scheduled, When::Idle, When::Running}) {
        SCOPED_TRACE(static_cast<int>(when));
        ManualScheduler sched;
        auto s = std::make_shared<Probe::Shared>();
        TaskHandle h;
        s->on_poll = [&](Context&, int) {
            if (when == When::Running) {
                h.abort();
                EXPECT_FALSE(s->dropped);
            }
            return false;
        };
        h = spawn(sched, Probe(s));
        if (when != When::Scheduled) {
            ASSERT_TRUE(sched.run_one());
        }
        if (when != When::Running) {
            h.abort();
            EXPECT_FALSE(s->dropped);  // only a scheduled run drops it
        }
        while (sched.run_one()) {
        }
        EXPECT_TRUE(s->dropped);
        EXPECT_TRUE(h.is_finished());
        EXPECT_EQ(s->polls, when == When::Scheduled ? 0 : 1);
    }
}

TEST(Task, APollThatThrowsEndsTheTaskAndDropsItsFuture) {
    ManualScheduler sched;
    auto s = std::make_shared<Probe::Shared>();
    s->on_poll = [](Context&, int) -> bool { throw std::runtime_error("boom"); };
    auto h = spawn(sched, Probe(s));
    ASSERT_TRUE(sched.run_one());
    EXPECT_TRUE(h.is_finished());
    EXPECT_TRUE(s->dropped);
}

Op<Result<int>> queue_for(Lock& lock, std::vector<int>& order, std::mutex& m, int id) {
    auto guard = co_await lock.lock();
    std::lock_guard g(m);
    order.push_back(id);
    co_return id;
}

// `first` is queued; a second request queues behind it, both go to tasks in
// the other order, and the lock still goes to them in queue order.
void queue_second_and_hand_over(Lock& lock, std::vector<int>& order, std::mutex& m, Op<Result<int>> first,
                                std::optional<Lock::Guard>& held) {
    Counted c;
    auto second = queue_for(lock, order, m, 2);
    EXPECT_FALSE(second.poll(c.cx));
    auto f2 = spawn_future(std::move(second));
    auto f1 = spawn_future(std::move(first));
    held.reset();
    EXPECT_EQ(*wait_bounded(f1, "first"), 1);
    EXPECT_EQ(*wait_bounded(f2, "second"), 2);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Task, AnOpHandedToATaskKeepsItsPlaceInTheLockQueue) {
    Lock lock;
    std::mutex m;
    std::vector<int> order;
    auto held = lock.try_lock();
    Counted c;
    auto first = queue_for(lock, order, m, 1);
    EXPECT_FALSE(first.poll(c.cx));  // queued on this thread
    queue_second_and_hand_over(lock, order, m, std::move(first), held);
}

TEST(Combinators, TimeoutPollsTheFutureBeforeItsTimer) {
    Counted c;
    auto past = Clock::now() - 1s;
    auto ready = poll_fn([](Context&) -> Poll<int> { return 5; });
    auto pending = poll_fn([](Context&) -> Poll<int> { return std::nullopt; });
    auto won = timeout_at(past, ready).poll(c.cx);
    ASSERT_TRUE(won);
    EXPECT_EQ(**won, 5);
    auto lost = timeout_at(past, pending).poll(c.cx);
    ASSERT_TRUE(lost);
    EXPECT_FALSE(*lost);
    EXPECT_FALSE(timeout_at(std::nullopt, pending).poll(c.cx));
    // A disabled branch is never polled; a biased race polls the first first.
    int polled_b = 0;
    auto b = poll_fn([&](Context&) -> Poll<int> {
        ++polled_b;
        return 2;
    });
    auto race = select(pending, b);
    race.disable_second();
    EXPECT_FALSE(race.poll(c.cx));
    EXPECT_EQ(polled_b, 0);
    auto biased = select_biased(ready, b).poll(c.cx);
    ASSERT_TRUE(biased);
    EXPECT_EQ(biased->index(), 0u);
    EXPECT_EQ(polled_b, 0);
    auto once = poll_once(pending).poll(c.cx);
    ASSERT_TRUE(once);
    EXPECT_FALSE(*once);
}

TEST(Deadline, SumsBeyondTheClockAreNoDeadline) {
    auto now = Clock::now();
    EXPECT_FALSE(deadline_after(now, Duration{~std::uint64_t{0}, 999999999}));
    EXPECT_FALSE(deadline_after(now, Duration{std::uint64_t{1} << 40, 0}));
    auto d = deadline_after(now, Duration{1, 500000000});
    ASSERT_TRUE(d);
    EXPECT_EQ(*d - now, 1500ms);
    EXPECT_EQ(earlier(std::nullopt, d), d);
    EXPECT_EQ(earlier(now, d), now);
}

// Reactor sleeps share one timer: each still ends at its own deadline,
// whatever order they join in and whichever of them is dropped first. A sleep
// that waits for a later one's deadline is a fault; the bound on lateness is
// loose, for a loaded machine.
TEST(Runtime, ReactorSleepsEachEndAtTheirOwnDeadline) {
    struct Case {
        const char* name;
        std::vector<int> at_ms;
        std::vector<bool> dropped;  // right after its first poll, before the next joins
    };
    const Case cases[] = {
        {"later deadlines join the armed one", {80, 160, 240}, {false, false, false}},
        {"an earlier deadline re-arms", {1500, 80}, {false, false}},
        {"one instant for all", {120, 120, 120}, {false, false, false}},
        {"the armed deadline dropped", {80, 160}, {true, false}},
        {"all dropped, then a later one", {80, 80, 200}, {true, true, false}},
        {"a later one dropped", {80, 160, 240}, {false, true, false}},
    };
    constexpr auto late = 700ms;
    rt();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto t0 = Clock::now();
        std::vector<std::optional<Sleep>> sleeps;
        std::vector<Counted> counted(c.at_ms.size());
        std::vector<std::optional<Instant>> woken(c.at_ms.size());
        std::vector<bool> at_once(c.at_ms.size());
        for (std::size_t i = 0; i < c.at_ms.size(); ++i) {
            auto& s = sleeps.emplace_back(std::in_place, t0 + std::chrono::milliseconds(c.at_ms[i]));
            // A loaded machine may reach the first poll after the deadline:
            // then the sleep is simply done, but never early.
            if (s->poll(counted[i].cx)) {
                woken[i] = Clock::now();
                at_once[i] = true;
            }
            if (c.dropped[i]) s.reset();
        }
        auto until = Clock::now() + limit;
        for (bool waiting = true; waiting && Clock::now() < until;) {
            waiting = false;
            for (std::size_t i = 0; i < sleeps.size(); ++i) {
                if (!sleeps[i] || woken[i]) continue;
                if (counted[i].wakes() > 0)
                    woken[i] = Clock::now();
                else
                    waiting = true;
            }
            std::this_thread::sleep_for(1ms);
        }
        for (std::size_t i = 0; i < sleeps.size(); ++i) {
            if (!sleeps[i]) {
                EXPECT_EQ(counted[i].wakes(), 0) << "dropped sleep " << i;
                continue;
            }
            ASSERT_TRUE(woken[i]) << "sleep " << i << " was never woken";
            EXPECT_GE(*woken[i], sleeps[i]->deadline()) << "sleep " << i;
            if (!at_once[i]) {
                EXPECT_LT(*woken[i] - sleeps[i]->deadline(), late) << "sleep " << i;
            }
            EXPECT_TRUE(sleeps[i]->poll(counted[i].cx));
        }
    }
}

TEST(Runtime, SleepAndBlockingJobsRunOnTheRuntime) {
    rt();
    auto start = Clock::now();
    within([] { block_on(Sleep(Clock::now() + 20ms)); }, "a sleep");
    EXPECT_GE(Clock::now() - start, 20ms);
    auto value = within([] { return block_on(spawn_blocking([] { return 42; })); });
    EXPECT_EQ(value, 42);
    auto failed = within([] { return block_on(spawn_blocking([]() -> int { throw std::runtime_error("x"); })); });
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().find("panicked"), std::string::npos);
}

TEST(Runtime, TheBlockingPoolGrowsWhileEveryThreadIsBusy) {
    constexpr int n = 6;
    std::latch all_running(n);
    std::vector<Blocking<int>> jobs;
    for (int i = 0; i < n; ++i) {
        jobs.push_back(spawn_blocking([&all_running, i] {
            all_running.arrive_and_wait();  // finishes only if n threads exist at once
            return i;
        }));
    }
    within([&] {
        for (int i = 0; i < n; ++i) EXPECT_EQ(block_on(jobs[i]), i);
    }, "the blocking jobs");
}

Op<Result<int>> block_inside(std::shared_ptr<std::atomic<int>> done) {
    // A blocking wait inside a poll on a worker: the timer it needs must still fire.
    block_on(Sleep(Clock::now() + 30ms));
    ++*done;
    co_return 0;
}

TEST(Runtime, ABlockingWaitOnAWorkerDoesNotStarveTheReactor) {
    auto done = std::make_shared<std::atomic<int>>(0);
    std::vector<std::future<Result<int>>> fs;
    for (int i = 0; i < 4; ++i) fs.push_back(spawn_future(block_inside(done)));
    for (auto& f : fs) EXPECT_TRUE(wait_bounded(f, "a task blocking on a worker"));
    EXPECT_EQ(*done, 4);
}

TEST(Readiness, AnEventBeforeTheWaitIsQueuedIsNotLost) {
    rt();
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    {
        auto r = Readiness::create(p[0]);
        ASSERT_TRUE(r);
        Counted c;
        EXPECT_FALSE(r->poll_ready(Readiness::Direction::Read, c.cx));
        ASSERT_EQ(write(p[1], "ab", 2), 2);
        within([&] { EXPECT_TRUE(block_on(poll_fn([&](Context& cx) { return r->poll_ready(Readiness::Direction::Read, cx); }))); },
               "the first event");
        char buf[4];
        ASSERT_EQ(read(p[0], buf, sizeof buf), 2);
        ASSERT_EQ(read(p[0], buf, sizeof buf), -1);
        r->clear_ready(Readiness::Direction::Read);
        // Data arrives after the would-block and before the next wait is armed.
        ASSERT_EQ(write(p[1], "c", 1), 1);
        auto again = r->poll_ready(Readiness::Direction::Read, c.cx);
        ASSERT_TRUE(again);
        EXPECT_TRUE(*again);
    }
    close(p[0]);
    close(p[1]);
}

// Whether `fd` is registered with any epoll instance of this process (the
// runtime's reactor is the only one).
bool registered_with_reactor(int fd) {
    std::vector<std::string> epolls;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return false;
    while (dirent* e = readdir(d)) {
        char target[64] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target) == "anon_inode:[eventpoll]")
            epolls.push_back(e->d_name);
    }
    closedir(d);
    for (const auto& ep : epolls) {
        std::ifstream info("/proc/self/fdinfo/" + ep);
        std::string line;
        while (std::getline(info, line))
            if (line.rfind("tfd:", 0) == 0 && std::stoi(line.substr(4)) == fd) return true;
    }
    return false;
}

auto readable(Readiness& r) {
    return poll_fn([&r](Context& cx) { return r.poll_ready(Readiness::Direction::Read, cx); });
}

TEST(FirstPhase, AWaitOnTheCallingThreadIsWokenByDataAndNeverRegistersWithTheReactor) {
    rt();
    Pipe p;
    auto r = Readiness::create(p.rd);
    ASSERT_TRUE(r);
    auto waiting = std::async(std::launch::async, [&] { return block_on(readable(*r)); });
    EXPECT_EQ(waiting.wait_for(30ms), std::future_status::timeout);
    EXPECT_FALSE(registered_with_reactor(p.rd));
    ASSERT_EQ(write(p.wr, "x", 1), 1);
    EXPECT_TRUE(wait_bounded(waiting, "the wait for data"));

    // A task's wait registers the descriptor, and lets it go once it is over.
    char c;
    ASSERT_EQ(read(p.rd, &c, 1), 1);
    r->clear_ready(Readiness::Direction::Read);
    auto task = spawn_future([](Readiness& r) -> Op<Result<int>> {
        auto ready = co_await readable(r);
        co_return ready ? Result<int>(1) : Result<int>(std::unexpect, ready.error());
    }(*r));
    await_true([&] { return registered_with_reactor(p.rd); }, "the task's registration");
    EXPECT_EQ(task.wait_for(0ms), std::future_status::timeout);
    ASSERT_EQ(write(p.wr, "y", 1), 1);
    EXPECT_TRUE(wait_bounded(task, "the task's wait"));
    EXPECT_FALSE(registered_with_reactor(p.rd));
}

TEST(Readiness, ALevelAlreadyThereOrANoOpWakerLeavesTheReactorAlone) {
    rt();
    Pipe p;
    auto r = Readiness::create(p.rd);
    ASSERT_TRUE(r);
    Waker noop = Waker::noop();
    Context cx(noop);
    EXPECT_FALSE(r->poll_ready(Readiness::Direction::Read, cx));
    EXPECT_FALSE(registered_with_reactor(p.rd));
    ASSERT_EQ(write(p.wr, "x", 1), 1);
    Counted task;
    for (Context* each : {&cx, &task.cx}) {
        auto ready = r->poll_ready(Readiness::Direction::Read, *each);
        ASSERT_TRUE(ready);
        EXPECT_TRUE(*ready);
        EXPECT_FALSE(registered_with_reactor(p.rd));
        r->clear_ready(Readiness::Direction::Read);
    }
}

TEST(FirstPhase, AWakerFromAnotherThreadOrTheDeadlineEndsThePark) {
    rt();
    Pipe p;
    auto r = Readiness::create(p.rd);
    ASSERT_TRUE(r);
    Notify notify;
    std::thread waker([&] {
        std::this_thread::sleep_for(30ms);
        notify.notify_one();
    });
    auto won = within([&] { return block_on(select(readable(*r), notify.notified())).index(); }, "the woken wait");
    waker.join();
    EXPECT_EQ(won, 1u);

    auto start = Clock::now();
    auto timed = within([&] { return block_on(timeout_at(start + 40ms, readable(*r))); }, "the timed wait");
    EXPECT_FALSE(timed);
    EXPECT_GE(Clock::now() - start, 40ms);
    EXPECT_FALSE(registered_with_reactor(p.rd));
}

TEST(FirstPhase, AnOpHandedToATaskAfterThePhaseKeepsItsPlaceInTheLockQueue) {
    Lock lock;
    std::mutex m;
    std::vector<int> order;
    auto held = lock.try_lock();
    auto first = queue_for(lock, order, m, 1);
    // The runner's first phase, shortened: the op queues on this thread.
    Sleep phase(Clock::now() + 30ms);
    bool finished = within([&] {
        return block_on(poll_fn([&](Context& cx) -> Poll<bool> {
            if (first.poll(cx)) return true;
            if (phase.poll(cx)) return false;
            return std::nullopt;
        }));
    });
    ASSERT_FALSE(finished);
    queue_second_and_hand_over(lock, order, m, std::move(first), held);
}

TEST(Readiness, AWaitThatFailsToArmIsArmedAgainAtTheNextPoll) {
    rt();
    Pipe p;
    // A high number: a descriptor that another thread opens meanwhile takes
    // the lowest free one, so this one stays free while the wait arms.
    int fd = fcntl(p.rd, F_DUPFD_CLOEXEC, 512);
    ASSERT_GE(fd, 512);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};  // after the wait is gone
    auto r = Readiness::create(fd);
    ASSERT_TRUE(r);
    // The number is free while the wait arms: the reactor refuses it.
    int saved = dup(fd);
    ASSERT_GE(saved, 0);
    close(fd);
    Counted c;
    auto failed = r->poll_ready(Readiness::Direction::Read, c.cx);
    ASSERT_TRUE(failed);
    EXPECT_FALSE(*failed);
    ASSERT_EQ(dup2(saved, fd), fd);
    close(saved);
    EXPECT_FALSE(r->poll_ready(Readiness::Direction::Read, c.cx));
    ASSERT_EQ(write(p.wr, "x", 1), 1);
    auto until = Clock::now() + limit;
    while (c.wakes() == 0 && Clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(c.wakes(), 1);
}

}  // namespace
}  // namespace korvane
