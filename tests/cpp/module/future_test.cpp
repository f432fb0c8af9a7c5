#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "module/future.hpp"
#include "module/capi/thread.hpp"
#include "engine/runtime.hpp"
#include "py_support.hpp"

using namespace korvane;
using test::run;

namespace {

py::Ref wrap(OpFuture op) { return aio::wrap_future(std::move(op)); }

OpResult bytes(const char* s) {
    return Outcome::bytes(ByteVec(reinterpret_cast<const std::uint8_t*>(s), reinterpret_cast<const std::uint8_t*>(s) + strlen(s)));
}

// Completes op from another thread, as a runtime worker would, after a delay.
test::PyThread complete_later(const OpFuture& op, OpResult r, int ms = 50) {
    return test::PyThread([shared = op.shared(), r = std::move(r), ms]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        future::complete(shared, std::move(r));
    });
}

struct CountingAbort : AbortHandle {
    std::atomic<int> calls{0};
    void abort() noexcept override { ++calls; }
};

}  // namespace

TEST(PyFuture, ClassShape) {
    py::Ref f = wrap(OpFuture::resolved(Outcome::none()));
    run(R"(
import types
T = type(f)
assert T.__name__ == 'Future' and T.__module__ == 'korvane.aio'
assert T.__doc__ == 'A port operation running on the runtime.'
try:
    T()
except TypeError:
    pass
else:
    raise AssertionError('instantiable')
try:
    class S(T): pass
except TypeError:
    pass
else:
    raise AssertionError('subclassable')
g = T[bytes]
assert isinstance(g, types.GenericAlias) and g.__origin__ is T
assert T.wait.__text_signature__ == '($self, timeout=None)'
assert T.add_done_callback.__text_signature__ == '($self, fn, /, *, context=None)'
try:
    f.x = 1
except AttributeError:
    pass
else:
    raise AssertionError('mutable')
)",
        {{"f", f.get()}});
}

TEST(PyFuture, StatesTable) {
    py::Ref pending = wrap(OpFuture::pending());
    py::Ref value = wrap(OpFuture::resolved(bytes("abc")));
    py::Ref error = wrap(OpFuture::resolved(std::unexpected(SerialError::not_open())));
    py::Ref cancelled = wrap(OpFuture::resolved(std::unexpected(SerialError::cancelled())));
    run(R"(
import asyncio
def raises(fn, kind, text=None):
    try:
        fn()
    except kind as e:
        if text is not None:
            assert str(e) == text, str(e)
        return e
    raise AssertionError(f'{fn} did not raise {kind}')

assert not pending.done() and not pending.cancelled()
raises(pending.result, asyncio.InvalidStateError, 'Result is not ready.')
raises(pending.exception, asyncio.InvalidStateError, 'Exception is not set.')

assert value.done() and not value.cancelled()
a, b = value.result(), value.result()
assert a == b == b'abc' and a is not b
assert value.exception() is None

assert error.done() and not error.cancelled()
e1 = raises(error.result, OSError, 'Attempting to use a port that is not open')
e2 = raises(error.result, OSError)
assert e1 is e2 and type(e1).__name__ == 'PortNotOpenError'
assert error.exception() is e1

assert cancelled.done() and cancelled.cancelled()
c1 = raises(cancelled.result, asyncio.CancelledError)
c2 = raises(cancelled.exception, asyncio.CancelledError)
assert c1 is not c2 and c1.args == ()
assert not value.cancel() and not value.cancelled()
)",
        {{"pending", pending.get()}, {"value", value.get()}, {"error", error.get()}, {"cancelled", cancelled.get()}});
}

TEST(PyFuture, TracebackResetBeforeEachDelivery) {
    py::Ref error = wrap(OpFuture::resolved(std::unexpected(SerialError::io("boom"))));
    run(R"(
for _ in range(2):
    try:
        f.result()
    except OSError as e:
        assert e.__traceback__.tb_next is None  # only the frame of this raise
        exc = e
assert exc.errno is None and str(exc) == 'boom'
)",
        {{"f", error.get()}});
}

TEST(PyFuture, CancelCompletesAndAborts) {
    OpFuture op = OpFuture::pending();
    auto abort = std::make_shared<CountingAbort>();
    op.set_abort(abort);
    py::Ref f = wrap(op);
    run("assert f.cancel() is True\nassert f.cancel() is False\nassert f.cancelled()", {{"f", f.get()}});
    EXPECT_EQ(abort->calls.load(), 1);
    EXPECT_FALSE(future::complete(op.shared(), Outcome::none()));  // late result dropped
}

TEST(PyFuture, CompletionRacesDecideOnce) {
    OpFuture op = OpFuture::pending();
    std::atomic<int> wins{0};
    {
        py::Detached d;
        std::vector<std::jthread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&, i] { wins += future::complete(op.shared(), Outcome::count(i)); });
    }
    EXPECT_EQ(wins.load(), 1);
}

TEST(PyFuture, WaitTimeoutsAndWake) {
    OpFuture op = OpFuture::pending();
    py::Ref f = wrap(op);
    run(R"(
import math, time
for t in (0, -1, math.nan):
    try:
        f.wait(t)
    except TimeoutError as e:
        assert str(e) == 'the operation did not finish within the timeout'
    else:
        raise AssertionError(t)
try:
    f.wait('x')
except TypeError as e:
    assert e.__notes__ == ["while processing 'timeout'"]
else:
    raise AssertionError('str timeout')
)",
        {{"f", f.get()}});
    auto t = complete_later(op, bytes("late"), 100);
    run(R"(
import time
start = time.monotonic()
assert f.wait(5) == b'late'
assert time.monotonic() - start < 2
assert f.wait(0) == b'late'
assert f.wait(float('inf')) == b'late'
)",
        {{"f", f.get()}});
}

TEST(PyFuture, DoneCallbacks) {
    OpFuture op = OpFuture::pending();
    py::Ref f = wrap(op);
    test::Namespace ns;
    ns.run(R"(
import contextvars, sys, threading
var = contextvars.ContextVar('var')
var.set('registered')
seen = []
def cb(fut):
    seen.append((fut is f, var.get(), threading.current_thread() is threading.main_thread()))
def bad(fut):
    raise RuntimeError('bad callback')
f.add_done_callback(cb)
f.add_done_callback(bad)
f.add_done_callback(cb)
assert f.remove_done_callback(cb) == 2
assert f.remove_done_callback(cb) == 0
f.add_done_callback(cb)
var.set('later')
hooked = []
sys.unraisablehook = lambda u: hooked.append(u)
)",
        {{"f", f.get()}});
    test::PyThread([&] { future::complete(op.shared(), Outcome::none()); }).join();
    ns.run(R"(
assert seen == [(True, 'registered', False)], seen
assert len(hooked) == 1 and hooked[0].object is bad and type(hooked[0].exc_value) is RuntimeError
# Registered after completion with no loop: runs here and now.
f.add_done_callback(cb)
assert seen[-1] == (True, 'later', True)
class Bad:
    def __eq__(self, other): raise ValueError('eq')
f2.add_done_callback(Bad())
f2.add_done_callback(cb)
try:
    f2.remove_done_callback(cb)
except ValueError:
    pass
else:
    raise AssertionError('equality error swallowed')
sys.unraisablehook = sys.__unraisablehook__
)",
        {{"f", f.get()}, {"f2", wrap(OpFuture::pending()).get()}});
}

TEST(PyFuture, AwaitBornDoneAndPending) {
    py::Ref done = wrap(OpFuture::resolved(bytes("now")));
    py::Ref failed = wrap(OpFuture::resolved(std::unexpected(SerialError::not_open())));
    OpFuture op = OpFuture::pending();
    py::Ref pending = wrap(op);
    auto t = complete_later(op, bytes("abc"), 150);
    run(R"(
import asyncio
order = []
async def other():
    order.append('other')
async def main():
    asyncio.get_running_loop().create_task(other())
    v = await done
    order.append('done')
    try:
        await failed
    except OSError as e:
        assert type(e).__name__ == 'PortNotOpenError'
    a, b = await asyncio.gather(pending_wrap(), pending_wrap())
    return v, a, b
async def pending_wrap():
    return await pending
v, a, b = asyncio.run(main())
assert v == b'now' and order == ['other', 'done'], order
assert a == b == b'abc' and a is not b
try:
    done.__await__()
except RuntimeError:
    pass
else:
    raise AssertionError('awaited without a loop')
)",
        {{"done", done.get()}, {"failed", failed.get()}, {"pending", pending.get()}});
}

// The completer is still inside call_soon_threadsafe, waiting for the
// interpreter, when the loop has already run the wake-up and ended: the
// test's join must not hold the interpreter then.
TEST(PyFuture, LoopEndsWhileTheCompleterIsStillSchedulingOnIt) {
    OpFuture op = OpFuture::pending();
    py::Ref pending = wrap(op);
    test::PyThread completer([shared = op.shared()] {
        auto awaited = [&] {
            std::lock_guard lock(shared->mutex);
            return !shared->state.waiters.empty();
        };
        for (int i = 0; i < 20000 && !awaited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        future::complete(shared, bytes("abc"));
    });
    run(R"(
import asyncio, threading, time
calls = []
class LateReturn(asyncio.SelectorEventLoop):
    def call_soon_threadsafe(self, *args, **kwargs):
        other = threading.current_thread() is not threading.main_thread()
        if other:
            calls.append(args)
        handle = super().call_soon_threadsafe(*args, **kwargs)
        if other:
            time.sleep(0.1)
        return handle
async def main():
    return await pending
loop = LateReturn()
try:
    assert loop.run_until_complete(main()) == b'abc'
finally:
    loop.close()
assert len(calls) == 1
)",
        {{"pending", pending.get()}});
}

// A parent thread holds a state's lock across fork(), as a worker completing
// it would: the child must still complete the state and read it.
TEST(PyFuture, AForkedChildNeverWaitsForAStateLockHeldByAParentThread) {
    ASSERT_TRUE(runtime::runtime());  // the child is then a forked one
    OpFuture op = OpFuture::pending();
    auto shared = op.shared();
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        std::lock_guard lock(shared->mutex);
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGALRM, SIG_DFL);
        ::alarm(5);  // a hang kills the child
        bool ok = future::complete(shared, Outcome::none()) && shared->stored();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    release = true;
    holder.join();
    EXPECT_TRUE(pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(PyFuture, CancellingAnAwaiterCancelsTheOperation) {
    OpFuture op = OpFuture::pending();
    auto abort = std::make_shared<CountingAbort>();
    op.set_abort(abort);
    py::Ref f = wrap(op);
    run(R"(
import asyncio
async def main():
    try:
        await asyncio.wait_for(f, 0.1)
    except TimeoutError:
        pass
    try:
        await f
    except asyncio.CancelledError:
        return 'cancelled'
assert asyncio.run(main()) == 'cancelled'
assert f.cancelled()
)",
        {{"f", f.get()}});
    EXPECT_EQ(abort->calls.load(), 1);
}

TEST(PyFuture, ReadySteps) {
    PyObject* type = aio::ready_type();
    py::Ref done = wrap(OpFuture::resolved(Outcome::count(7)));
    run(R"(
import asyncio
async def get():
    return done.__await__()
r = asyncio.run(get())
assert type(r) is Ready and iter(r) is r
assert next(r) is None
for _ in range(2):
    try:
        next(r)
    except StopIteration as e:
        assert e.value == 7
    else:
        raise AssertionError('no stop')
assert r.close() is None
try:
    r.throw(ValueError)
except ValueError as e:
    assert e.args == ()
v = ValueError('x')
try:
    r.throw(v)
except ValueError as e:
    assert e is v
try:
    r.throw(1)
except TypeError:
    pass
)",
        {{"done", done.get()}, {"Ready", type}});
}
