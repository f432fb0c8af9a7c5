// The process-wide runtime: two reactor workers, a blocking pool that grows on
// demand, and the guard against use in a child created by fork().
#pragma once

#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <sys/types.h>
#include <system_error>

#include "engine/errors.hpp"

namespace asio {
class io_context;
}

namespace korvane {

// Where a task's polls are posted.
class Scheduler {
public:
    virtual void post(std::move_only_function<void()> job) = 0;

protected:
    ~Scheduler() = default;
};

namespace runtime {

class Runtime final : public Scheduler {
public:
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    asio::io_context& io() noexcept;
    // Runs `job` on a worker. Does nothing in a forked child, where no worker exists.
    void post(std::move_only_function<void()> job) override;
    // Runs `job` on a thread of the blocking pool, starting one if none is idle.
    Status spawn_blocking(std::move_only_function<void()> job);
    pid_t pid() const noexcept { return pid_; }

private:
    friend struct Starter;
    struct Impl;
    Runtime();
    ~Runtime() = delete;  // never torn down: exit() must not pull it from under its threads

    Impl* impl_;
    pid_t pid_;
};

// The runtime, started by the first call; its start error for good if that
// failed; SerialError::Forked in a child of the process that started it.
Result<Runtime*> runtime();

// Whether the runtime has been started in this process or an ancestor.
bool started() noexcept;
// True in a child created by fork() after the runtime had started.
bool forked() noexcept;

// Whether a reactor handler's error is a cancelled wait. Compared by value:
// a handler may run while the process exits, after the error category
// object has been destroyed.
inline bool is_cancelled_wait(const std::error_code& ec) noexcept { return ec.value() == ECANCELED; }
// How many forks after the runtime's start lie between the process that
// started it and this one: 0 there, 1 in a child, 2 in a grandchild.
unsigned fork_generation() noexcept;
// True on a runtime worker, or on a thread standing in for one.
bool on_worker() noexcept;

// Around the wake-ups a reactor handler makes just before it returns: the
// polls they schedule run next on this worker instead of waking another one,
// so a readiness reaches the task's poll without a second thread hop. Only
// for a handler that returns right after: until it has, they wait.
class ContinueHere {
public:
    ContinueHere() noexcept;
    ~ContinueHere();
    ContinueHere(const ContinueHere&) = delete;
    ContinueHere& operator=(const ContinueHere&) = delete;

private:
    bool outer_;
};

// Around a blocking wait on a worker: another thread runs the reactor meanwhile,
// so the wait cannot starve the tasks and timers it may depend on. One stand-in
// covers a whole wait: nested ones on the same thread add nothing.
class BlockInPlace {
public:
    BlockInPlace();
    ~BlockInPlace();
    BlockInPlace(const BlockInPlace&) = delete;
    BlockInPlace& operator=(const BlockInPlace&) = delete;

private:
    std::shared_ptr<std::atomic<bool>> done_;
};

}  // namespace runtime
}  // namespace korvane
