"""Memory, descriptors and processes are given back: cycles through the
extension are collected, deferred releases are drained, forked children
never hang."""

import asyncio
import gc
import os
import threading
import time

import pytest

import korvane
import korvane.aio


def live_serial_exceptions():
    gc.collect()
    return sum(isinstance(o, korvane.SerialException) for o in gc.get_objects())


def fail_by_await(port):
    async def step():
        f = port.read(1)
        try:
            await f
        except korvane.SerialException:
            pass

    asyncio.run(step())


def fail_by_result(port):
    f = port.read(1)
    try:
        f.result()
    except korvane.SerialException:
        pass


@pytest.mark.parametrize("fail", [fail_by_await, fail_by_result])
def test_failed_future_held_in_a_frame_is_collected(fail):
    # exception -> traceback -> frame -> future -> cached exception
    port = korvane.aio.Serial()
    before = live_serial_exceptions()
    for _ in range(200):
        fail(port)
    assert live_serial_exceptions() - before < 5


@pytest.fixture
def pty():
    master, slave = os.openpty()
    yield os.ttyname(slave)
    os.close(master)
    os.close(slave)


def exclusive_open(path, within=5.0):
    deadline = time.monotonic() + within
    while True:
        try:
            return korvane.Serial(path, exclusive=True)
        except korvane.SerialException:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def test_port_kept_only_by_its_own_callback_is_closed(pty):
    def start():
        port = korvane.aio.Serial(pty, exclusive=True)
        f = port.read(1)
        f.add_done_callback(lambda f: port)

    start()
    gc.collect()
    exclusive_open(pty, within=2.0).close()


@pytest.fixture
def device():
    """A pty pair: the master end (to write to, or close) and the port's path."""
    master, slave = os.openpty()
    fds = [master, slave]
    yield fds, os.ttyname(slave)
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


async def until(check, within=5.0):
    async with asyncio.timeout(within):
        while not check():
            await asyncio.sleep(0.01)


def count_collections():
    counts = []

    def seen(phase, info):
        if phase == "start":
            counts.append(info["generation"])

    gc.callbacks.append(seen)
    return counts, lambda: gc.callbacks.remove(seen)


def test_an_unreferenced_reading_transport_lives_until_its_device_goes(device):
    fds, path = device
    events, made = [], []

    class Keeper(asyncio.Protocol):
        def connection_made(self, transport):
            self.transport = transport
            made.append(True)

        def data_received(self, data):
            events.append(data)

        def connection_lost(self, exc):
            events.append(exc)

    async def main():
        loop = asyncio.get_running_loop()
        loop.create_task(korvane.aio.create_serial_connection(loop, Keeper, path))  # the result is not kept
        await until(lambda: made)  # the port is open
        sent = b""
        collections, stop = count_collections()
        try:
            for i in range(30):
                os.write(fds[0], b"%03d" % i)
                sent += b"%03d" % i
                garbage = [[[]] for _ in range(3000)]  # enough for automatic collections
                del garbage
                if i % 5 == 0:
                    gc.collect()
                await asyncio.sleep(0.01)
        finally:
            stop()
        assert collections, "no collection ran"
        await until(lambda: b"".join(e for e in events if isinstance(e, bytes)) == sent)
        os.close(fds.pop(0))
        await until(lambda: not isinstance(events[-1], bytes))
        await asyncio.sleep(0.1)
        assert isinstance(events[-1], korvane.SerialException)
        assert sum(not isinstance(e, bytes) for e in events) == 1

    asyncio.run(main())


def test_an_unreferenced_paused_transport_is_collected_and_closes_its_port(device):
    fds, path = device
    made = []

    class Paused(asyncio.Protocol):
        def connection_made(self, transport):
            self.transport = transport
            transport.pause_reading()
            made.append(True)

    async def main():
        loop = asyncio.get_running_loop()
        loop.create_task(korvane.aio.create_serial_connection(loop, Paused, path, exclusive=True))
        await until(lambda: made)
        os.write(fds[0], b"!")  # ends the read under way; no other starts
        await asyncio.sleep(0.1)
        gc.collect()
        exclusive_open(path, within=2.0).close()

    asyncio.run(main())


def test_an_unreferenced_task_awaiting_a_read_is_woken():
    port = korvane.aio.Serial("loop://")
    got = []

    async def reader():
        f = port.read(3)  # the frame holds the future, the future its awaiter
        got.append(await f)

    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda loop, ctx: reports.append(ctx))
        loop.create_task(reader())
        await asyncio.sleep(0.05)
        gc.collect()
        await port.write(b"abc")
        await until(lambda: got)
        return reports

    assert asyncio.run(main()) == []
    assert got == [b"abc"]
    port.close()


def test_releases_from_workers_are_drained_without_asyncio():
    def reads():
        for _ in range(25):
            port = korvane.Serial("loop://")
            closer = threading.Timer(0.06, port.close)
            closer.start()
            try:
                port.read(1)  # handed to a worker, then ended by the close
            except korvane.SerialException:
                pass
            closer.join()

    before = live_serial_exceptions()
    threads = [threading.Thread(target=reads) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    time.sleep(0.2)
    korvane.Serial("loop://").close()  # one more return from a detached call
    assert live_serial_exceptions() - before < 3


def busy(port, stop):
    """Two threads reconfigure the port and do I/O on it until stopped."""
    def reconfigure():
        while not stop.is_set():
            for rate, stopbits in ((9600, 1), (19200, 2)):
                port.baudrate = rate
                port.stopbits = stopbits

    def io():
        while not stop.is_set():
            try:
                port.write(b"x")
                port.read(1)
            except korvane.SerialException:
                pass

    threads = [threading.Thread(target=f) for f in (reconfigure, io)]
    for t in threads:
        t.start()
    return threads


def hung_children(count, child):
    """Forks `count` children that each run `child` under an alarm; how many
    hung or failed."""
    import signal
    import warnings
    hung = 0
    for _ in range(count):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            code = 1
            try:
                signal.signal(signal.SIGALRM, signal.SIG_DFL)
                signal.alarm(5)  # a hang kills the child
                child()
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        hung += not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0)
    return hung


@pytest.mark.parametrize("kind", ["loop://", "pty"])
def test_forked_children_never_wait_for_a_parent_thread(kind, pty):
    port = korvane.Serial(pty if kind == "pty" else kind, timeout=0.001, write_timeout=0.001)
    stop = threading.Event()
    threads = busy(port, stop)

    def child():
        port.close()
        port.baudrate = 115200

    try:
        hung = hung_children(100, child)
    finally:
        stop.set()
        for t in threads:
            t.join()
        port.close()
    assert hung == 0


# 400 forks of an interpreter whose threads all want it take tens of seconds
# on a loaded machine; every child is bounded by its alarm.
@pytest.mark.timeout(240)
def test_forked_children_close_ports_whose_reads_wait_on_the_reactor(pty):
    # A transport's reads wait on the reactor, woken by a trickle of single
    # bytes, while blocking calls run on two other ports.
    master, slave = os.openpty()
    loop = asyncio.new_event_loop()
    stop = threading.Event()
    ports = [korvane.Serial(p, timeout=0.001, write_timeout=0.001) for p in ("loop://", pty)]
    threads = [t for p in ports for t in busy(p, stop)]

    def trickle():
        while not stop.is_set():
            os.write(master, b".")
            time.sleep(0.0005)

    threads.append(threading.Thread(target=trickle))
    connect = korvane.aio.create_serial_connection(loop, asyncio.Protocol, os.ttyname(slave))
    transport, _ = loop.run_until_complete(connect)
    threads.append(threading.Thread(target=loop.run_forever))
    for t in threads[-2:]:
        t.start()

    def child():
        for p in (transport.serial, *ports):
            p.close()
            assert p.baudrate > 0

    try:
        hung = hung_children(400, child)
    finally:
        stop.set()
        loop.call_soon_threadsafe(transport.close)
        loop.call_soon_threadsafe(loop.stop)
        for t in threads:
            t.join()
        loop.close()
        for p in ports:
            p.close()
        os.close(master)
        os.close(slave)
    assert hung == 0, hung
