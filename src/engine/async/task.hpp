// Task: one spawned future, polled on a scheduler until it finishes.
//
// An atomic state makes a wake post at most once and never overlap a poll: a
// wake during a poll marks the task to run again once that poll has ended.
// Abort drops the future on the scheduler's thread, never during a poll. An
// exception escaping a poll ends the task there (the future is dropped).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include "engine/async/local_wait.hpp"
#include "engine/async/waker.hpp"
#include "engine/errors.hpp"
#include "engine/runtime.hpp"

namespace korvane {

namespace detail {

class TaskBase : public Waker::Target, public std::enable_shared_from_this<TaskBase> {
public:
    explicit TaskBase(Scheduler& scheduler) noexcept : scheduler_(scheduler) {}

    void wake() noexcept override;
    void abort() noexcept;
    bool is_finished() const noexcept { return state_.load(std::memory_order_acquire) & complete; }
    void start() noexcept;
    static void end_orphans() noexcept;
    // The first poll on the calling thread; later ones go to the scheduler.
    void start_here() noexcept;
    // The first poll here, its leaves recording their waits in `waits`. True
    // when the task then waits parked: the caller may poll it again with
    // poll_parked until a wake or an abort hands it to the scheduler.
    bool start_parked(LocalWaits& waits) noexcept;
    // A poll on the parking side. False once the task is not parked any more
    // (it finished, or the scheduler has it).
    bool poll_parked(LocalWaits& waits) noexcept;
    bool is_parked() const noexcept { return state_.load(std::memory_order_acquire) == parked; }
    // Hands a parked task to the scheduler.
    void unpark() noexcept {
        if (state_.load(std::memory_order_acquire) & parked) wake();
    }
    // A parked task whose leaves all registered its waker becomes a plain
    // one: the next wake schedules it.
    void settle() noexcept {
        std::uint32_t s = parked;
        state_.compare_exchange_strong(s, 0, std::memory_order_acq_rel);
    }

protected:
    // True once the future has finished (also by throwing).
    virtual bool poll_body(Context& cx) = 0;
    virtual void drop_body() noexcept = 0;

private:
    static constexpr std::uint32_t scheduled = 1, running = 2, notified = 4, complete = 8, aborted = 16,
                                   parked = 32;

    void run() noexcept;
    bool poll_here(LocalWaits& waits) noexcept;
    void post() noexcept;
    void finish() noexcept;

    Scheduler& scheduler_;
    std::atomic<std::uint32_t> state_{0};
    // Set while the task waits, unposted, to be ended (see post).
    std::shared_ptr<TaskBase> orphan_self_;
    TaskBase* orphan_next_ = nullptr;
};

template <class F>
class TaskImpl final : public TaskBase {
public:
    TaskImpl(Scheduler& s, F f) : TaskBase(s), body_(std::move(f)) {}

private:
    bool poll_body(Context& cx) override {
        try {
            return body_->poll(cx).has_value();
        } catch (...) {
            return true;
        }
    }
    void drop_body() noexcept override { body_.reset(); }

    std::optional<F> body_;
};

}  // namespace detail

class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<detail::TaskBase> t) noexcept : task_(std::move(t)) {}

    // The future is dropped on the scheduler once any running poll has ended.
    void abort() const noexcept {
        if (task_) task_->abort();
    }
    bool is_finished() const noexcept { return !task_ || task_->is_finished(); }
    bool is_parked() const noexcept { return task_ && task_->is_parked(); }
    void unpark() const noexcept {
        if (task_) task_->unpark();
    }
    const std::shared_ptr<detail::TaskBase>& task() const noexcept { return task_; }

private:
    std::shared_ptr<detail::TaskBase> task_;
};

// The future's output is dropped; results travel through the future itself.
template <Pollable F>
TaskHandle spawn(Scheduler& scheduler, F future) {
    auto task = std::make_shared<detail::TaskImpl<F>>(scheduler, std::move(future));
    task->start();
    return TaskHandle(std::move(task));
}

// As spawn, but the first poll runs now on the calling thread, so a future
// that has to wait becomes a task without waking a worker.
template <Pollable F>
TaskHandle spawn_here(Scheduler& scheduler, F future) {
    auto task = std::make_shared<detail::TaskImpl<F>>(scheduler, std::move(future));
    task->start_here();
    return TaskHandle(std::move(task));
}

// As spawn_here, but the first poll records its waits in `waits`; `parked`
// says the task now waits parked (see TaskBase::start_parked).
struct ParkedStart {
    TaskHandle handle;
    bool parked;
};
template <Pollable F>
ParkedStart spawn_parked(Scheduler& scheduler, F future, LocalWaits& waits) {
    auto task = std::make_shared<detail::TaskImpl<F>>(scheduler, std::move(future));
    bool parked = task->start_parked(waits);
    return {TaskHandle(std::move(task)), parked};
}

// The error of an operation that failed unexpectedly.
SerialError panic_error();

// Ends the tasks whose poll could not be posted (out of memory): each drops
// its future, so the future's guards report how it ended. Called where no
// lock can be held: before each task poll, and by callers blocked on a result.
inline std::atomic<bool> orphaned_tasks{false};
inline void end_orphaned_tasks() noexcept {
    if (orphaned_tasks.load(std::memory_order_acquire)) detail::TaskBase::end_orphans();
}

// An exception escaping `f` becomes panic_error(). An Op has unwound its frame
// by then, so every guard in it has run.
template <class F>
class CatchPanic {
public:
    using Output = PollOutput<std::remove_reference_t<F>>;
    explicit CatchPanic(F&& f) : f_(std::forward<F>(f)) {}
    Poll<Output> poll(Context& cx) {
        try {
            return f_.poll(cx);
        } catch (...) {
            return Output(std::unexpect, panic_error());
        }
    }

private:
    F f_;
};

template <class F>
CatchPanic<F> catch_panic(F&& f) {
    return CatchPanic<F>(std::forward<F>(f));
}

}  // namespace korvane
