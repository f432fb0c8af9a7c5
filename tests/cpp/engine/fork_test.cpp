#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <pty.h>
#include <sys/wait.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

#include "async_support.hpp"
#include "engine/async/sleep.hpp"
#include "engine/port.hpp"

namespace korvane {
namespace {

using namespace std::chrono_literals;

// Forks `count` children that each run `child` (true on success) under an
// alarm; how many hung or failed.
template <class F>
int hung_children(int count, F child) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        pid_t pid = ::fork();
        if (pid < 0) return count;
        if (pid == 0) {
            std::signal(SIGALRM, SIG_DFL);
            ::alarm(5);  // a hang kills the child
            ::_exit(child() ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return failed;
}

// Two threads keep taking the port's locks while the test forks; each child
// must be able to close the port and change a setting.
TEST(Fork, ChildNeverWaitsForALockHeldByAParentThread) {
    auto p = PortCore::create();
    ASSERT_TRUE(p->set_port("loop://"));
    ASSERT_TRUE(p->open());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (std::uint32_t rate = 9600; !stop; rate ^= 9600 ^ 19200) {
            (void)p->update_settings(SettingsUpdate{.baudrate = rate});
            (void)p->set_rts(rate == 9600);
        }
    });
    threads.emplace_back([&] {
        test::Counted c;
        while (!stop) {
            (void)p->in_waiting();
            (void)p->reset_input_buffer();
            auto wait = p->closed.notified();
            (void)wait.poll(c.cx);
        }
    });
    int failed = hung_children(100, [&] {
        p->close();
        return static_cast<bool>(p->update_settings(SettingsUpdate{.baudrate = 115200}));
    });
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed, 0);
}

// A task's reads wait on the reactor, woken by single bytes from the far end,
// so a worker's readiness handler runs now and then at the fork. Under the
// sanitizers a fork waits for their runtime's locks, which busy threads
// starve: fewer forks and a slower trickle there.
TEST(Fork, ChildClosesAPortWhoseReadsWaitOnTheReactor) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int forks = 40;
    constexpr auto gap = 1ms;
#else
    constexpr int forks = 400;
    constexpr auto gap = 100us;
#endif
    int master = -1, slave = -1;
    char path[64] = {};
    ASSERT_EQ(::openpty(&master, &slave, path, nullptr, nullptr), 0);
    auto p = PortCore::create();
    ASSERT_TRUE(p->set_port(path));
    ASSERT_TRUE(p->open());
    std::atomic<bool> stop{false};
    auto reader = test::spawn_future([](PortCore& p, std::atomic<bool>& stop) -> Op<Unit> {
        while (!stop)
            if (!co_await p.read(1)) break;
        co_return Unit{};
    }(*p, stop));
    std::thread feeder([&] {
        while (!stop) {
            (void)!::write(master, ".", 1);
            std::this_thread::sleep_for(gap);
        }
    });
    int failed = hung_children(forks, [&] {
        p->close();
        return static_cast<bool>(p->update_settings(SettingsUpdate{.baudrate = 115200}));
    });
    stop = true;
    feeder.join();
    p->close();
    test::wait_bounded(reader, "the reads");
    ::close(master);
    ::close(slave);
    EXPECT_EQ(failed, 0);
}

// A parent task sleeps in short steps, so parent threads hold the sleeps'
// timer queue's lock now and then at the fork. A child's sleep ends at once,
// and the child drops a sleep the parent had armed without that lock.
TEST(Fork, ChildSleepsEndAtOnceAndLeaveTheParentsTimerQueueAlone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int forks = 20;
#else
    constexpr int forks = 100;
#endif
    std::atomic<bool> stop{false};
    auto sleeper = test::spawn_future([](std::atomic<bool>& stop) -> Op<Unit> {
        while (!stop) co_await Sleep(Clock::now() + 100us);
        co_return Unit{};
    }(stop));
    test::Counted c;
    std::optional<Sleep> armed(std::in_place, Clock::now() + 1h);
    EXPECT_FALSE(armed->poll(c.cx));
    int failed = hung_children(forks, [&] {
        test::Counted here;
        bool ended = armed->poll(here.cx).has_value();
        armed.reset();
        Sleep fresh(Clock::now() + 1h);
        return ended && fresh.poll(here.cx).has_value();
    });
    stop = true;
    test::wait_bounded(sleeper, "the sleeping task");
    EXPECT_EQ(failed, 0);
}

}  // namespace
}  // namespace korvane
