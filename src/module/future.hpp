// The completion state of a started operation and the korvane.aio.Future class.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "module/conversions.hpp"
#include "engine/errors.hpp"
#include "module/capi/ref.hpp"
#include "engine/runtime.hpp"

namespace korvane {

// The value of an operation that succeeded. Copying it never touches the
// interpreter: an Object shares its handle instead of its reference.
struct Outcome {
    struct None {};
    using Count = std::size_t;
    using Lines = std::vector<ByteVec>;
    using Object = std::shared_ptr<py::SendRef>;
    std::variant<None, Count, ByteVec, Lines, Object> value;

    static Outcome none() { return Outcome{None{}}; }
    static Outcome count(std::size_t n) { return Outcome{n}; }
    static Outcome bytes(ByteVec b) { return Outcome{std::move(b)}; }
    static Outcome lines(Lines l) { return Outcome{std::move(l)}; }
    static Outcome object(py::Ref o) { return Outcome{std::make_shared<py::SendRef>(std::move(o))}; }

    // A new Python object (the same one for Object). Throws.
    py::Ref to_py() const;
};

using OpResult = std::expected<Outcome, SerialError>;

// What stops a started operation's runtime task.
class AbortHandle {
public:
    virtual ~AbortHandle() = default;
    virtual void abort() noexcept = 0;
    // Someone outside `loop_here` (null: a blocking wait) looks at the
    // operation: one parked on its own loop goes to the runtime, which
    // finishes it whether or not that loop runs.
    virtual void hand_over(const void* /*loop_here*/) noexcept {}
};

namespace future {

struct Waiter {
    py::SendRef loop;
    py::SendRef future;
};

struct Callback {
    py::SendRef fn;
    py::SendRef future;
    py::SendRef context;
    py::SendRef loop;  // empty: run on the completing thread
    // Delivered through an event loop (a loop's callback, or a transport's
    // forwarder): until the operation completes it is the operation's, like a
    // loop's reader registration, and the collector neither visits nor
    // clears it.
    bool held = false;
    // The loop a held callback delivers through, by identity (also for one
    // run on the completing thread that forwards to a loop).
    const void* via = nullptr;
};

struct State {
    std::optional<OpResult> outcome;
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    std::shared_ptr<AbortHandle> abort;
    py::SendRef cached_exception;
};

// The state's lock and the condition its blocking waiters wait on. A forked
// child may find them held, or waited on, for good by a parent thread that
// was completing or waiting at fork(): the first use in a child makes them
// afresh. One relaxed load on the common path.
class StateLock {
public:
    void lock() {
        adopt();
        mutex_.lock();
    }
    void unlock() noexcept { mutex_.unlock(); }
    void notify_all() {
        adopt();
        condition_.notify_all();
    }
    template <class Clock, class Duration, class Pred>
    bool wait_until(std::unique_lock<StateLock>& /*held*/, const std::chrono::time_point<Clock, Duration>& until,
                    Pred done) {
        std::unique_lock<std::mutex> inner(mutex_, std::adopt_lock);
        bool r = condition_.wait_until(inner, until, std::move(done));
        inner.release();
        return r;
    }

private:
    void adopt() noexcept {
        const unsigned now = runtime::fork_generation();
        if (generation_.load(std::memory_order_acquire) != now) [[unlikely]]
            adopt_slow(now);
    }
    void adopt_slow(unsigned now) noexcept;

    std::mutex mutex_;
    std::condition_variable condition_;
    // The process generation the two belong to; with `remaking` set while a
    // child's thread makes them afresh.
    static constexpr unsigned remaking = 1u << 31;
    std::atomic<unsigned> generation_{runtime::fork_generation()};
};

}  // namespace future

struct Shared {
    future::StateLock mutex;  // a leaf: never held across Python, an attach or a wake
    future::State state;

    std::optional<OpResult> outcome_copy() {
        std::lock_guard lock(mutex);
        return state.outcome;
    }
    // The outcome once set, or null. It is set once and never replaced, so
    // it can be read after the unlock without a copy.
    const OpResult* stored() {
        std::lock_guard lock(mutex);
        return state.outcome ? &*state.outcome : nullptr;
    }
};

// A converted result for Python: a value, or an exception instance to raise.
struct Conversion {
    py::Ref object;
    bool is_exception = false;
    // Raise it, or hand back the value.
    py::Ref into_value() &&;
};

namespace future {
// True when loop is the running loop of this thread. Never raises.
bool runs_here(PyObject* loop) noexcept;
// The name of loop's method that schedules a call from this thread: call_soon
// on the loop's own thread, which needs no wake-up, else call_soon_threadsafe
// (also when the running loop cannot be asked). Borrowed; throws only when
// the name cannot be made.
PyObject* scheduler_for(PyObject* loop);
// The running loop of this thread, or empty. Never raises.
py::Ref current_loop() noexcept;
// Tells the operation's task that it is looked at from outside `loop_here`
// (see AbortHandle::hand_over). Never raises.
void hand_over(const std::shared_ptr<Shared>& shared, const void* loop_here) noexcept;
bool complete(const std::shared_ptr<Shared>& shared, OpResult result) noexcept;
// What a pending operation will deliver through `loop` (its awaiters there and
// the held callbacks that go there), for the collector: `loop` owns them
// while it can run them, so a loop nobody can reach is collected with them.
int visit_through(Shared& shared, const void* loop, visitproc visit, void* arg);
// Drops those deliveries: the loop will never run them. Never throws.
void drop_through(Shared& shared, const void* loop) noexcept;
bool cancel_shared(const std::shared_ptr<Shared>& shared) noexcept;
// Never throws: a failed conversion is the conversion.
Conversion to_python(const std::shared_ptr<Shared>& shared, const OpResult& result) noexcept;
// The cached exception instance of an error outcome. Throws.
py::Ref exception_object(const std::shared_ptr<Shared>& shared, const SerialError& error);
// Applies a conversion to an asyncio future. Throws.
void settle(PyObject* asyncio_future, const Conversion& conversion);
// One wait of at most 50 ms (less before a deadline), detached. True when done.
bool wait_slice(const std::shared_ptr<Shared>& shared, const std::optional<std::chrono::steady_clock::time_point>& deadline);
}  // namespace future

// One started operation, seen from outside.
class OpFuture {
public:
    explicit OpFuture(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    static OpFuture resolved(OpResult result);
    // A pending state whose task is then attached with set_abort.
    static OpFuture pending();
    // Stores the task's abort handle unless the task finished already.
    void set_abort(std::shared_ptr<AbortHandle> abort) const;

    const std::shared_ptr<Shared>& shared() const noexcept { return shared_; }

    // The value or the raised exception. Throws.
    py::Ref result() const;
    // Waits without limit, checking for signals; a signal handler's exception
    // cancels the operation. Throws.
    py::Ref block() const;
    // Registers a done-callback on future_object; held as Callback::held
    // says (always with a loop). Throws only when out of memory, with nothing
    // registered; a failing callback is reported, not raised. `via`: see
    // Callback::via, when there is no loop.
    void register_callback(PyObject* future_object, PyObject* fn, PyObject* context, PyObject* loop,
                           bool held = false, const void* via = nullptr) const;
    // fn(future) runs on the thread that completes the operation; fn is held
    // until then, and forwards to `via` (by identity). Throws.
    void on_done_here(PyObject* future_object, PyObject* fn, const void* via) const;

private:
    std::shared_ptr<Shared> shared_;
};

// Completes the state with "the operation panicked" unless it completed first.
class CompleteOnDrop {
public:
    explicit CompleteOnDrop(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    CompleteOnDrop(CompleteOnDrop&&) noexcept = default;
    CompleteOnDrop& operator=(CompleteOnDrop&&) = delete;
    ~CompleteOnDrop();

private:
    std::shared_ptr<Shared> shared_;
};

namespace aio {
// The korvane.aio.Future type (borrowed). Throws.
PyObject* future_type();
// The Ready type (borrowed). Throws.
PyObject* ready_type();
// A new Future object over op. Throws.
py::Ref wrap_future(OpFuture op);
// The OpFuture inside a Future object, or null when obj is not one.
const OpFuture* op_future_of(PyObject* obj) noexcept;
// The exception given to a coroutine's throw() (borrowed), or null with an
// error set.
PyObject* throw_argument(PyObject* args, PyObject* kwargs);
// Raises exc as a coroutine's throw() does, calling it first when it is an
// exception type. Returns null.
PyObject* raise_thrown(PyObject* exc);
}  // namespace aio

}  // namespace korvane
