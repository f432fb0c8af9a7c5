"""korvane.aio.Serial and the delivery of its futures."""

import asyncio
import contextvars
import gc
import sys
import sysconfig
import threading
import time

import pytest

import korvane
import korvane.aio
from korvane.aio import Future


@pytest.fixture
def port():
    p = korvane.aio.Serial("loop://", timeout=2)
    yield p
    p.close()


def test_class_shape():
    cls = korvane.aio.Serial
    assert cls.__doc__ == "Serial port whose I/O methods return futures."
    for missing in ("readinto", "__iter__", "__enter__", "closed", "readable"):
        assert not hasattr(cls, missing), missing
    with pytest.raises(TypeError):
        Future()
    with pytest.raises(TypeError):
        type("Sub", (Future,), {})


def test_born_done_futures(port):
    assert port.write(b"abc").done()
    f = port.read(3)
    assert f.done() and f.result() == b"abc"
    closed = korvane.aio.Serial()
    f = closed.read()
    assert f.done()
    with pytest.raises(korvane.PortNotOpenError):
        f.result()
    f = port.send_break(-1)
    assert f.done()
    with pytest.raises(ValueError, match="duration must be a non-negative number"):
        f.result()


def test_pending_future_completes_from_a_worker(port):
    f = port.read(3)
    assert not f.done()
    port.write(b"xyz")
    assert f.wait(5) == b"xyz"
    assert f.done() and not f.cancel()


def test_await_on_a_loop(port):
    async def main():
        await port.write(b"ab")
        first = await port.read(2)
        pending = port.read(2)
        asyncio.get_running_loop().call_later(0.05, port.write, b"cd")
        async def wait_pending():
            return await pending
        a, b = await asyncio.gather(wait_pending(), wait_pending())
        return first, a, b

    first, a, b = asyncio.run(main())
    assert first == b"ab" and a == b == b"cd" and a is not b


def test_two_loops_await_one_future(port):
    f = port.read(3)
    results = []

    def on_loop():
        async def main():
            return await f
        results.append(asyncio.run(main()))

    threads = [threading.Thread(target=on_loop) for _ in range(2)]
    for t in threads:
        t.start()
    time.sleep(0.1)
    port.write(b"abc")
    for t in threads:
        t.join(5)
    assert results == [b"abc", b"abc"] and results[0] is not results[1]


def test_cancelling_an_awaiter_cancels_the_read(port):
    async def main():
        f = port.read(1)
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(f, 0.1)
        with pytest.raises(asyncio.CancelledError):
            await f
        assert f.cancelled()
        # The aborted read gives up the read lock.
        port.write(b"n")
        return await port.read(1)

    assert asyncio.run(main()) == b"n"


def test_errors_are_one_cached_instance(port):
    port.write_timeout = 0.05
    port.write(b"x" * 4096).wait(5)
    f = port.write(b"y")
    with pytest.raises(korvane.SerialTimeoutException) as first:
        f.wait(5)
    with pytest.raises(korvane.SerialTimeoutException) as second:
        f.result()
    assert first.value is second.value is f.exception()
    assert str(first.value) == "Write timeout"


def test_done_callback_without_a_loop_runs_on_the_worker(port):
    var = contextvars.ContextVar("var")
    var.set("at registration")
    seen = threading.Event()
    where = []

    def cb(fut):
        where.append((fut is f, var.get(), threading.current_thread() is threading.main_thread()))
        seen.set()

    f = port.read(1)
    f.add_done_callback(cb)
    var.set("later")
    port.write(b"!")
    assert seen.wait(5)
    assert where == [(True, "at registration", False)]


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="on the free-threaded build a worker frees its thread state after each delivery")
def test_a_worker_keeps_its_thread_state_between_deliveries(port):
    # Thread-local data lives in the thread state: a state made per delivery
    # would forget it every time.
    local = threading.local()
    seen = []
    ran = threading.Event()

    def cb(fut):
        seen.append((threading.get_ident(), getattr(local, "mark", None)))
        local.mark = threading.get_ident()
        ran.set()

    for _ in range(20):
        ran.clear()
        f = port.read(1)
        f.add_done_callback(cb)
        port.write(b"x")
        assert ran.wait(5)
    first_seen = set()
    repeats = 0
    for ident, mark in seen:
        if ident in first_seen:
            assert mark == ident
            repeats += 1
        first_seen.add(ident)
    assert repeats > 0


def test_done_callback_on_a_loop(port):
    async def main():
        loop_thread = threading.current_thread()
        calls = []
        done = asyncio.Event()

        def cb(fut):
            calls.append(threading.current_thread() is loop_thread)
            done.set()

        f = port.read(1)
        f.add_done_callback(cb)
        port.write(b"1")
        await asyncio.wait_for(done.wait(), 5)
        g = port.read(0)
        g.add_done_callback(cb)  # already done: call_soon on this loop
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return calls

    assert asyncio.run(main()) == [True, True]


def test_blocking_call_from_a_worker_callback(port):
    other = korvane.Serial("loop://", timeout=1)
    results = []
    done = threading.Event()

    def cb(fut):
        other.write(b"from worker")
        results.append(other.read(11))
        done.set()

    f = port.read(1)
    f.add_done_callback(cb)
    port.write(b"x")
    assert done.wait(10)
    assert results == [b"from worker"]
    other.close()


def test_wait_on_a_worker_does_not_hang(port):
    done = threading.Event()
    results = []

    def cb(fut):
        g = port.read(1)
        port.write(b"2")
        results.append(g.wait(5))
        done.set()

    f = port.read(1)
    f.add_done_callback(cb)
    port.write(b"1")
    assert done.wait(10)
    assert results == [b"2"]


def test_dropped_future_still_runs(port):
    f = port.read(2)
    del f
    gc.collect()
    port.write(b"ab")
    time.sleep(0.2)
    port.timeout = 0
    assert port.read(2).result() == b""  # the dropped read took them


def test_async_context_manager():
    async def main():
        port = korvane.aio.serial_for_url("loop://", do_not_open=True)
        async with port as p:
            assert p is port and port.is_open
        assert not port.is_open
        with pytest.raises(ValueError):
            async with port:
                raise ValueError("propagates")
        return True

    assert asyncio.run(main())


def test_await_without_a_loop(port):
    f = port.read(0)
    with pytest.raises(RuntimeError):
        f.__await__()


class RecordingLoop(asyncio.SelectorEventLoop):
    """Notes which of its methods scheduled each of the package's callbacks."""

    NAMES = {"on_read", "on_write", "schedule", "noted"}

    def __init__(self):
        super().__init__()
        self.scheduled = []

    def note(self, how, callback):
        if getattr(callback, "__name__", None) in self.NAMES:
            self.scheduled.append((how, callback.__name__))

    def call_soon(self, callback, *args, context=None):
        self.note("call_soon", callback)
        return super().call_soon(callback, *args, context=context)

    def call_soon_threadsafe(self, callback, *args, context=None):
        self.note("call_soon_threadsafe", callback)
        return super().call_soon_threadsafe(callback, *args, context=context)


def noted(fut):
    pass


async def cancelled_awaiter(port, elsewhere):
    f = port.read(1)
    task = asyncio.ensure_future(f)
    await asyncio.sleep(0)  # the task awaits it
    if elsewhere:
        await asyncio.to_thread(f.cancel)
    else:
        f.cancel()
    with pytest.raises(asyncio.CancelledError):
        await asyncio.wait_for(task, 5)


async def cancelled_callback(port, elsewhere):
    f = port.read(1)
    f.add_done_callback(noted)
    if elsewhere:
        await asyncio.to_thread(f.cancel)
    else:
        f.cancel()
    await asyncio.sleep(0.05)


async def awaiter_of_a_worker(port, elsewhere):
    task = asyncio.ensure_future(port.read(1))
    await asyncio.sleep(0)  # the task awaits it before the byte comes
    port.write(b"1")
    assert await asyncio.wait_for(task, 5) == b"1"


async def callback_of_a_worker(port, elsewhere):
    f = port.read(1)
    f.add_done_callback(noted)
    port.write(b"1")
    for _ in range(500):
        if f.done():
            break
        await asyncio.sleep(0.01)
    await asyncio.sleep(0.05)  # the callback runs


async def transport_write_and_read(port, elsewhere):
    loop = asyncio.get_running_loop()
    got = loop.create_future()

    class Protocol(asyncio.Protocol):
        def data_received(self, data):
            got.set_result(data)

    transport, _ = await korvane.aio.connection_for_serial(loop, Protocol, port)
    await asyncio.sleep(0.05)  # the first read waits on a worker
    transport.write(b"w")  # the loopback takes it at once, on this thread
    assert await asyncio.wait_for(got, 5) == b"w"


@pytest.mark.parametrize(
    "scenario, elsewhere, expected",
    [
        (cancelled_awaiter, False, [("call_soon", "schedule")]),
        (cancelled_awaiter, True, [("call_soon_threadsafe", "schedule")]),
        (cancelled_callback, False, [("call_soon", "noted")]),
        (cancelled_callback, True, [("call_soon_threadsafe", "noted")]),
        (awaiter_of_a_worker, False, [("call_soon_threadsafe", "schedule")]),
        (callback_of_a_worker, False, [("call_soon_threadsafe", "noted")]),
        (transport_write_and_read, False, [("call_soon", "on_write"), ("call_soon_threadsafe", "on_read")]),
    ],
)
def test_a_completion_on_its_loop_thread_is_scheduled_without_a_wake_up(port, scenario, elsewhere, expected):
    loop = RecordingLoop()
    try:
        loop.run_until_complete(scenario(port, elsewhere))
    finally:
        loop.close()
    assert set(loop.scheduled) == set(expected)
