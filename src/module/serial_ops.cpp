#include "module/serial_ops.hpp"

#include <cmath>

#include "engine/async/block_on.hpp"
#include "engine/async/sleep.hpp"
#include "engine/async/task.hpp"
#include "module/capi/entry.hpp"
#include "module/loop_park.hpp"
#include "module/capi/thread.hpp"
#include "engine/runtime.hpp"

namespace korvane::serial {

namespace ops {

namespace {

template <class T, class Map>
OpResult finish(Result<T>&& r, Map&& map) {
    if (!r) return std::unexpected(std::move(r.error()));
    return map(std::move(*r));
}

}  // namespace

Operation read(std::shared_ptr<PortCore> core, std::uint64_t size) {
    auto r = co_await core->read(size);
    core.reset();
    co_return finish(std::move(r), [](ByteVec b) { return Outcome::bytes(std::move(b)); });
}

Operation read_until(std::shared_ptr<PortCore> core, ByteVec expected, std::optional<std::uint64_t> size) {
    auto r = co_await core->read_until(std::move(expected), size);
    core.reset();
    co_return finish(std::move(r), [](ByteVec b) { return Outcome::bytes(std::move(b)); });
}

Operation readline(std::shared_ptr<PortCore> core, std::int64_t size) {
    std::optional<std::uint64_t> limit;
    if (size >= 0) limit = static_cast<std::uint64_t>(size);
    auto r = co_await core->readline(limit);
    core.reset();
    co_return finish(std::move(r), [](ByteVec b) { return Outcome::bytes(std::move(b)); });
}

Operation readlines(std::shared_ptr<PortCore> core, std::int64_t hint) {
    std::optional<std::uint64_t> h;
    if (hint > 0) h = static_cast<std::uint64_t>(hint);
    auto r = co_await core->readlines(h);
    core.reset();
    co_return finish(std::move(r), [](Outcome::Lines l) { return Outcome::lines(std::move(l)); });
}

Operation write(std::shared_ptr<PortCore> core, ByteVec data) {
    auto r = co_await core->write_with(std::move(data), false);
    core.reset();
    co_return finish(std::move(r), [](std::size_t n) { return Outcome::count(n); });
}

Operation read_from(std::shared_ptr<PortCore> core, port::Begun begun, std::uint64_t size, ByteVec got) {
    auto r = co_await core->read_from(std::move(begun), size, std::move(got));
    core.reset();
    co_return finish(std::move(r), [](ByteVec b) { return Outcome::bytes(std::move(b)); });
}

Operation read_until_from(std::shared_ptr<PortCore> core, port::Begun begun, ByteVec expected,
                          std::optional<std::uint64_t> size, bool restart, ByteVec got) {
    auto r = co_await core->read_until_from(std::move(begun), std::move(expected), size, restart, std::move(got));
    core.reset();
    co_return finish(std::move(r), [](ByteVec b) { return Outcome::bytes(std::move(b)); });
}

Operation write_from(std::shared_ptr<PortCore> core, port::Begun begun, ByteVec data, std::size_t written) {
    auto r = co_await core->write_from(std::move(begun), std::move(data), written);
    core.reset();
    co_return finish(std::move(r), [](std::size_t n) { return Outcome::count(n); });
}

Operation flush(std::shared_ptr<PortCore> core) {
    auto r = co_await core->flush();
    core.reset();
    if (!r) co_return std::unexpected(std::move(r.error()));
    co_return Outcome::none();
}

std::optional<Duration> break_duration(double x) noexcept {
    if (!(x >= 0.0)) return std::nullopt;
    if (x >= 18446744073709551616.0) return Duration{UINT64_MAX, 999999999};
    auto d = settings::duration(Seconds::from_float(x));
    return d ? *d : Duration{UINT64_MAX, 999999999};
}

Operation send_break(std::shared_ptr<PortCore> core, double duration) {
    auto d = break_duration(duration);
    if (!d) {
        core.reset();
        co_return std::unexpected(SerialError::invalid_value("duration must be a non-negative number"));
    }
    auto r = co_await core->send_break(*d);
    core.reset();
    if (!r) co_return std::unexpected(std::move(r.error()));
    co_return Outcome::none();
}

namespace {

struct TaskAbort final : AbortHandle {
    explicit TaskAbort(TaskHandle h, const void* parked_on = nullptr) : handle(std::move(h)), loop(parked_on) {}
    void abort() noexcept override { handle.abort(); }
    void hand_over(const void* loop_here) noexcept override {
        if (loop_here != loop) handle.unpark();
    }
    TaskHandle handle;
    const void* loop;  // the loop it may be parked on, by identity
};

// The task's future: polls the operation and publishes its result. Members are
// released in reverse order: the operation, then the guard, then the state.
struct TaskBody {
    std::shared_ptr<Shared> shared;
    std::optional<CompleteOnDrop> guard;
    Operation op;

    Poll<Unit> poll(Context& cx) {
        if (!guard) guard.emplace(shared);
        auto r = op.poll(cx);
        if (!r) return std::nullopt;
        op.reset();
        future::complete(shared, std::move(*r));
        return Unit{};
    }
};

}  // namespace

Result<OpFuture> spawn(Operation op) {
    OpFuture f = OpFuture::pending();
    auto rt = runtime::runtime();
    if (!rt) return std::unexpected(rt.error());
    TaskHandle handle = korvane::spawn_here(**rt, TaskBody{f.shared(), std::nullopt, std::move(op)});
    f.set_abort(std::make_shared<TaskAbort>(std::move(handle)));
    return f;
}

// The first poll on the loop's thread; an operation that then waits for its
// descriptor alone waits on the loop's watch.
OpFuture start_parked(Scheduler& scheduler, Operation op, LoopWatch& watch, const void* loop) {
    OpFuture f = OpFuture::pending();
    std::optional<ParkedStart> started;
    {
        py::Detached detached;
        auto& waits = watch.waits();
        waits.reset();
        started.emplace(spawn_parked(scheduler, TaskBody{f.shared(), std::nullopt, std::move(op)}, waits));
        if (started->parked) {
            try {
                watch.park(started->handle, waits);
            } catch (...) {
                started->handle.unpark();
            }
        }
        waits.reset();
    }
    f.set_abort(std::make_shared<TaskAbort>(std::move(started->handle), loop));
    return f;
}

Result<OpFuture> start(Operation op) {
    auto rt = runtime::runtime();
    if (!rt) return std::unexpected(rt.error());
    if (py::Ref loop = future::current_loop())
        if (auto watch = loop_park::watch_of(loop.get())) {
            OpFuture f = start_parked(**rt, std::move(op), *watch, loop.get());
            loop_park::track(loop.get(), f.shared());
            return f;
        }
    std::optional<OpResult> done;
    std::optional<Result<OpFuture>> spawned;
    {
        py::Detached detached;
        Waker noop = Waker::noop();
        Context cx(noop);
        try {
            if (auto r = op.poll(cx)) done.emplace(std::move(*r));
        } catch (...) {
            op.reset();  // drop what the half-run operation held, still detached
            done.emplace(std::unexpected(panic_error()));
        }
        if (done)
            op.reset();
        else
            spawned.emplace(spawn(std::move(op)));
    }
    if (done) return OpFuture::resolved(std::move(*done));
    return std::move(*spawned);
}

}  // namespace ops

void Runner::first(ops::Operation op) {
    stand_in_.emplace();
    op_ = std::move(op);
    // The operation is polled before the timer, so a result that is ready
    // when the 50 ms run out is still delivered here.
    Sleep first_phase(Clock::now() + std::chrono::milliseconds(50));
    auto phase = poll_fn([&](Context& cx) -> Poll<bool> {
        if (auto r = op_.poll(cx)) {
            done_.emplace(std::move(*r));
            return true;
        }
        if (first_phase.poll(cx)) return false;
        return std::nullopt;
    });
    try {
        block_on(phase);
    } catch (...) {
        done_.emplace(std::unexpected(panic_error()));
    }
    if (done_) op_.reset();
}

py::Ref Runner::finish() {
    if (done_) {
        if (!*done_) throw std::move(done_->error());
        return (*done_)->to_py();
    }
    auto handed = py::detached([&] { return ops::spawn(std::move(op_)); });
    OpFuture f = py::value_or_throw(std::move(handed));
    return f.block();
}

py::Ref run(ops::Operation op) {
    auto rt = runtime::runtime();
    if (!rt) throw rt.error();
    Runner runner;
    {
        py::Detached detached;
        runner.first(std::move(op));
    }
    return runner.finish();
}

}  // namespace korvane::serial
