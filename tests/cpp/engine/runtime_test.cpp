#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <signal.h>
#include <sys/wait.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "async_support.hpp"
#include "engine/port.hpp"

namespace korvane {
namespace {

using namespace test;

int scan_threads_named_korvane() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        n += name == "korvane";
    }
    closedir(d);
    return n;
}

// A thread that exits while /proc/self/task is read can hide another one from
// that scan; the threads counted here never exit, so the largest of a few
// scans is the count.
int threads_named_korvane() {
    int n = scan_threads_named_korvane();
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(2ms);
        n = std::max(n, scan_threads_named_korvane());
    }
    return n;
}

// The exit status of a child, killing it if it hangs.
int reap(pid_t pid) {
    auto until = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child hung";
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the current test again in a process of its own (this binary again), so
// that no other test has started the runtime before it looks. True inside
// that process; false in the caller, once the other process has passed.
bool in_fresh_process() {
    if (getenv("KORVANE_TEST_FRESH")) return true;
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    EXPECT_GT(len, 0);
    if (len <= 0) return false;
    self[len] = '\0';
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    char fresh[] = "KORVANE_TEST_FRESH=1";
    char* argv[] = {self, filter.data(), nullptr};
    // Keeps the parent's environment, sanitizer options included.
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(fresh);
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execve(self, argv, envp.data());
        _exit(127);
    }
    EXPECT_EQ(reap(pid), 0);
    return false;
}

TEST(Runtime, NoThreadBeforeTheFirstUseThenTwoNamedWorkers) {
    if (!in_fresh_process()) return;
    EXPECT_FALSE(runtime::started());
    EXPECT_EQ(threads_named_korvane(), 0);
    // A loopback port needs no runtime.
    auto port = PortCore::create();
    ASSERT_TRUE(port->set_port("loop://"));
    ASSERT_TRUE(port->open());
    EXPECT_EQ(threads_named_korvane(), 0);
    std::vector<std::thread> racers;
    std::atomic<int> ok{0};
    for (int i = 0; i < 4; ++i) racers.emplace_back([&] { ok += runtime::runtime().has_value(); });
    for (auto& t : racers) t.join();
    EXPECT_EQ(ok, 4);
    EXPECT_EQ(threads_named_korvane(), 2);
}

// The forked flag is set only where a runtime had started: a child forked
// before the first use starts its own.
TEST(Runtime, AChildForkedBeforeTheFirstUseStartsItsOwn) {
    if (!in_fresh_process()) return;
    ASSERT_FALSE(runtime::started());
    pid_t pid = fork();
    if (pid == 0) _exit(runtime::runtime() && !runtime::forked() && threads_named_korvane() == 2 ? 0 : 1);
    EXPECT_EQ(reap(pid), 0);
    EXPECT_FALSE(runtime::started());
}

TEST(Runtime, AGrandchildOfTheStartingProcessIsForkedToo) {
    rt();
    pid_t pid = fork();
    if (pid == 0) {
        pid_t grandchild = fork();
        if (grandchild == 0) _exit(!runtime::runtime() && runtime::forked() ? 0 : 1);
        _exit(reap(grandchild));
    }
    EXPECT_EQ(reap(pid), 0);
}

TEST(Runtime, AForkedChildGetsForkedAndItsPostsDoNothing) {
    auto& parent_rt = rt();
    auto port = PortCore::create();
    ASSERT_TRUE(port->set_port("loop://"));
    pid_t pid = fork();
    if (pid == 0) {
        int code = 0;
        auto r = runtime::runtime();
        if (r || r.error().kind() != SerialError::Kind::Forked) code |= 1;
        if (!runtime::forked()) code |= 2;
        std::atomic<bool> ran{false};
        parent_rt.post([&] { ran = true; });
        if (parent_rt.spawn_blocking([] {}).has_value()) code |= 4;
        // Control calls that need no runtime still work.
        if (!port->open() || !port->is_open() || !port->cts().value_or(false)) code |= 8;
        port->close();
        usleep(50000);
        if (ran) code |= 16;
        _exit(code);
    }
    EXPECT_EQ(reap(pid), 0);
    EXPECT_FALSE(runtime::forked());
    EXPECT_TRUE(runtime::runtime());
}

}  // namespace
}  // namespace korvane
