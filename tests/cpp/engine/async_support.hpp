// Helpers shared by the engine tests: counting wakers, a hand-run scheduler,
// bounded waits, and running an Op as a runtime task with a std::future.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/async/op.hpp"
#include "engine/async/task.hpp"
#include "engine/async/waker.hpp"
#include "engine/runtime.hpp"

namespace korvane::test {

using namespace std::chrono_literals;

// Generous: only a hang should ever reach it.
inline constexpr auto limit = std::chrono::seconds(20);

struct Counter final : Waker::Target {
    std::atomic<int> wakes{0};
    void wake() noexcept override { ++wakes; }
};

struct Counted {
    std::shared_ptr<Counter> counter = std::make_shared<Counter>();
    Waker waker{counter};
    Context cx{waker};
    int wakes() const { return counter->wakes.load(); }
};

// Runs posted jobs only when told to.
class ManualScheduler final : public Scheduler {
public:
    void post(std::move_only_function<void()> job) override {
        std::lock_guard g(mutex_);
        jobs_.push_back(std::move(job));
    }
    std::size_t pending() {
        std::lock_guard g(mutex_);
        return jobs_.size();
    }
    bool run_one() {
        std::move_only_function<void()> job;
        {
            std::lock_guard g(mutex_);
            if (jobs_.empty()) return false;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
        return true;
    }

private:
    std::mutex mutex_;
    std::deque<std::move_only_function<void()>> jobs_;
};

// Waits for `f`, failing the whole run if it hangs rather than stalling CI.
template <class T>
T wait_bounded(std::future<T>& f, const char* what) {
    if (f.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << what << " did not finish";
        std::fprintf(stderr, "hang: %s\n", what);
        std::abort();
    }
    return f.get();
}

template <class F>
auto within(F fn, const char* what = "the call") {
    auto f = std::async(std::launch::async, std::move(fn));
    return wait_bounded(f, what);
}

// Until `holds` is true, failing the run on a hang.
template <class F>
void await_true(F holds, const char* what) {
    within(
        [&] {
            while (!holds()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        what);
}

// A non-blocking pipe, closed with the test.
struct Pipe {
    int rd = -1, wr = -1;
    Pipe() {
        int p[2];
        if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) std::abort();
        rd = p[0];
        wr = p[1];
    }
    ~Pipe() {
        close(rd);
        close(wr);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

inline runtime::Runtime& rt() {
    auto r = runtime::runtime();
    if (!r) {
        std::fprintf(stderr, "runtime: %s\n", r.error().text().c_str());
        std::abort();
    }
    return **r;
}

template <class T>
Op<Unit> deliver(Op<T> op, std::shared_ptr<std::promise<T>> p) {
    p->set_value(co_await op);
    co_return Unit{};
}

// The op as a runtime task; its result through a future.
template <class T>
std::future<T> spawn_future(Op<T> op) {
    auto p = std::make_shared<std::promise<T>>();
    auto f = p->get_future();
    spawn(rt(), deliver(std::move(op), std::move(p)));
    return f;
}

}  // namespace korvane::test
