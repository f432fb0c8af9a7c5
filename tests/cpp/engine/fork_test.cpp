#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "async_support.hpp"
#include "engine/port.hpp"

namespace korvane {
namespace {

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
    int failed = 0;
    for (int i = 0; i < 100; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::signal(SIGALRM, SIG_DFL);
            ::alarm(5);  // a hang kills the child
            p->close();
            bool ok = static_cast<bool>(p->update_settings(SettingsUpdate{.baudrate = 115200}));
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed, 0);
}

}  // namespace
}  // namespace korvane
