"""Operations started on an event loop's thread that wait on that loop's own
watch, and everything that must take them over from it: other threads and
loops, cancels, closes, deadlines and the loop letting go. Pseudo-terminals
stand in for devices; the master end plays the device."""

import asyncio
import gc
import inspect
import os
import resource
import selectors
import sys
import threading
import time
import tty
import warnings
import weakref

import pytest

import korvane
import korvane.aio as aio

pytestmark = pytest.mark.timeout(60)

WATCH = "_korvane_loop_watch"


class WatchedLoop(asyncio.SelectorEventLoop):
    """A debug-mode loop that counts the package's watch registrations, the
    runs of their callback, and completions scheduled from another thread."""

    def __init__(self):
        super().__init__()
        self.watches = 0
        self.watch_fds = []
        self.wakeups = 0
        self.threadsafe = 0
        self.reports = []
        self.set_debug(True)
        self.set_exception_handler(lambda loop, ctx: self.reports.append(ctx))

    def add_reader(self, fd, callback, *args):
        if getattr(callback, "__name__", None) == WATCH:
            self.watches += 1
            self.watch_fds.append(fd)
            inner = callback

            def callback():
                self.wakeups += 1
                inner()

        return super().add_reader(fd, callback, *args)

    def call_soon_threadsafe(self, callback, *args, context=None):
        if getattr(callback, "__name__", None) == "schedule":
            self.threadsafe += 1
        return super().call_soon_threadsafe(callback, *args, context=context)


def run(main, *args, loop=None):
    """Runs main(*args) on a fresh WatchedLoop (or `loop`), then closes it;
    the loop's exception handler must have heard nothing."""
    loop = loop or WatchedLoop()
    try:
        return loop.run_until_complete(main(*args))
    finally:
        loop.close()
        assert loop.reports == []


@pytest.fixture(autouse=True)
def no_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield
    assert [(u.exc_type, u.err_msg) for u in seen] == []


class Ptys:
    def __init__(self):
        self.fds = []
        self.ports = []

    def pty(self):
        master, slave = os.openpty()
        tty.setraw(master)
        self.fds += [master, slave]
        return master, os.ttyname(slave)

    def port(self, **settings):
        master, path = self.pty()
        port = aio.Serial(path, **settings)
        self.ports.append(port)
        return master, port

    def close_master(self, master):
        self.fds.remove(master)
        os.close(master)


@pytest.fixture
def ptys():
    p = Ptys()
    yield p
    for port in p.ports:
        port.close()
    for fd in p.fds:
        try:
            os.close(fd)
        except OSError:
            pass


def until(cond, timeout=5):
    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.005)


async def idle_cost(loop, seconds=0.5):
    """Watch callbacks and loop-thread CPU seconds spent over an idle spell."""
    wakeups, cpu = loop.wakeups, time.thread_time()
    await asyncio.sleep(seconds)
    return loop.wakeups - wakeups, time.thread_time() - cpu


async def outcome(fut, timeout=5):
    try:
        return await asyncio.wait_for(fut, timeout)
    except (Exception, asyncio.CancelledError) as e:
        return e


@pytest.mark.parametrize(
    "call, pieces, expected",
    [
        (lambda p: p.read(5), [b"ab", b"cde"], b"abcde"),
        (lambda p: p.readline(), [b"ab", b"c", b"\nrest"], b"abc\n"),
        (lambda p: p.read_until(b"!?"), [b"x!", b"?"], b"x!?"),
    ],
    ids=["read", "readline", "read_until"],
)
def test_a_read_parked_on_its_loop_is_delivered_by_that_loop(ptys, call, pieces, expected):
    master, port = ptys.port()

    async def main():
        loop = asyncio.get_running_loop()
        got = []
        for _ in range(3):
            f = call(port)
            assert not f.done()
            for i, piece in enumerate(pieces):
                loop.call_later(0.02 * (i + 1), os.write, master, piece)
            got.append(await asyncio.wait_for(f, 5))
            await asyncio.sleep(0.05)
            port.reset_input_buffer()
        # Input that no read waits for must not keep waking the loop.
        os.write(master, b"left")
        until(lambda: port.in_waiting == 4)
        idle = await idle_cost(loop)
        got.append(await asyncio.wait_for(port.read(4), 5))
        return loop, got, idle

    loop, got, (wakeups, cpu) = run(main)
    assert got == [expected] * 3 + [b"left"]
    assert wakeups < 20 and cpu < 0.25, (wakeups, cpu)
    # One watch for the loop, polled there: nothing came from another thread.
    assert (loop.watches, loop.threadsafe) == (1, 0) and loop.wakeups >= 3


@pytest.mark.parametrize("loop_state", ["sleeping", "stopped"])
def test_a_thread_reading_behind_a_parked_read_is_not_held_by_the_loop(ptys, loop_state):
    master, port = ptys.port()
    got = {}

    def other():
        got["other"] = port.read(1).wait(5)

    thread = threading.Thread(target=other)

    def contend():
        thread.start()
        time.sleep(0.2)  # its read queues behind the parked one
        os.write(master, b"ab")
        thread.join(5)
        assert not thread.is_alive(), "the other thread waited for the loop"

    async def start():
        f = port.read(1)
        assert not f.done()
        if loop_state == "sleeping":
            contend()  # blocks the loop throughout
        return f

    async def finish(f):
        return await asyncio.wait_for(f, 5)

    loop = WatchedLoop()
    try:
        f = loop.run_until_complete(start())
        if loop_state == "stopped":
            contend()
        got["parked"] = loop.run_until_complete(finish(f))
    finally:
        loop.close()
    assert loop.reports == [] and loop.watches == 1
    assert got == {"parked": b"a", "other": b"b"}


def in_a_thread(fn):
    out = []
    thread = threading.Thread(target=lambda: out.append(fn()))
    thread.start()
    thread.join(10)
    assert len(out) == 1, "the thread did not finish"
    return out[0]


def look_by_wait(port, f, feeder):
    return f.wait(5)


def look_by_done_from_a_thread(port, f, feeder):
    in_a_thread(lambda: until(f.done))
    return f.result()


def look_by_callback_from_a_thread(port, f, feeder):
    called = threading.Event()
    in_a_thread(lambda: f.add_done_callback(lambda _: called.set()))
    assert called.wait(5)
    return f.result()


def look_by_await_on_another_loop(port, f, feeder):
    async def main():
        return await asyncio.wait_for(f, 5)

    return in_a_thread(lambda: run(main))


def look_away(port, f, feeder):
    # Nobody looks at the future: the loop's letting go alone hands it on.
    feeder.join()
    until(lambda: port.in_waiting == 0)
    until(f.done)
    return f.result()


LOOKS = [look_by_wait, look_by_done_from_a_thread, look_by_callback_from_a_thread, look_by_await_on_another_loop]


@pytest.mark.parametrize(
    "ending, look",
    [(ending, look) for ending in ("asyncio.run", "loop.close", "loop stopped") for look in LOOKS]
    # A stopped loop keeps its watch: nothing but a look hands the read on.
    + [("asyncio.run", look_away), ("loop.close", look_away)],
    ids=lambda v: v.__name__.removeprefix("look_") if callable(v) else v,
)
def test_a_read_left_pending_when_its_loop_stops_or_closes(ptys, ending, look):
    master, port = ptys.port()

    async def start():
        return port.read(3)

    loop = None
    if ending == "asyncio.run":
        f = asyncio.run(start(), debug=True)
    elif ending == "loop.close":
        f = run(start)
    else:
        loop = WatchedLoop()
        f = loop.run_until_complete(start())
    # Not f.done() here: asked from outside its loop, it would hand the read on.
    feeder = threading.Timer(0.1, os.write, (master, b"xyz"))
    feeder.start()
    try:
        assert look(port, f, feeder) == b"xyz"
    finally:
        feeder.join()
        if loop:
            loop.close()
            assert loop.reports == []


def ended_by_close(port, f):
    port.close()


def ended_by_cancel_read(port, f):
    port.cancel_read()


def ended_by_future_cancel(port, f):
    assert f.cancel()


async def awaiter_timed_out(port, f):
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(f, 0.1)


@pytest.mark.parametrize(
    "action, expected",
    [
        (ended_by_close, korvane.PortNotOpenError),
        (ended_by_cancel_read, b"ab"),
        (ended_by_future_cancel, asyncio.CancelledError),
        (awaiter_timed_out, asyncio.CancelledError),
    ],
    ids=["close", "cancel_read", "Future.cancel", "awaiter timed out on the loop"],
)
def test_a_parked_read_ended_from_another_thread(ptys, action, expected):
    master, port = ptys.port()
    other_master, other = ptys.port()

    async def main():
        loop = asyncio.get_running_loop()
        os.write(master, b"ab")
        until(lambda: port.in_waiting == 2)
        f = port.read(4)  # takes the two bytes, parks for the rest
        await asyncio.sleep(0.05)
        assert not f.done()
        if inspect.iscoroutinefunction(action):
            await action(port, f)
        else:
            await asyncio.to_thread(action, port, f)
        got = await outcome(f)
        if isinstance(expected, bytes):
            assert got == expected
        else:
            assert isinstance(got, expected), got
        if port.is_open:
            # The ended read took nothing more and left the read lock free.
            os.write(master, b"z")
            assert await asyncio.wait_for(port.read(1), 5) == b"z"
        # The loop's watch still serves a new port.
        before = loop.threadsafe
        g = other.read(1)
        loop.call_later(0.02, os.write, other_master, b"n")
        assert await asyncio.wait_for(g, 5) == b"n"
        assert loop.threadsafe == before
        return loop

    assert run(main).watches == 1


@pytest.mark.parametrize("closer", ["loop thread", "other thread"])
def test_a_reused_descriptor_number_is_watched_afresh(ptys, closer):
    master, port = ptys.port()
    old_fd = port.fileno()

    async def main():
        loop = asyncio.get_running_loop()
        f = port.read(1)
        await asyncio.sleep(0.05)
        # Made before the close, so the next open gets the freed number.
        new_master, new_path = ptys.pty()
        if closer == "loop thread":
            port.close()
        else:
            await asyncio.to_thread(port.close)
        assert isinstance(await outcome(f), korvane.PortNotOpenError)
        new = aio.Serial(new_path)
        ptys.ports.append(new)
        reused = new.fileno() == old_fd
        os.write(master, b"stale")  # the closed port's device still talks
        before = loop.threadsafe
        g = new.read(2)
        loop.call_later(0.02, os.write, new_master, b"q")
        loop.call_later(0.05, os.write, new_master, b"r")
        assert await asyncio.wait_for(g, 5) == b"qr"
        assert loop.threadsafe == before
        h = new.read(1)
        wakeups, cpu = await idle_cost(loop)
        os.write(new_master, b"s")
        assert await asyncio.wait_for(h, 5) == b"s"
        return reused, wakeups, cpu

    reused, wakeups, cpu = run(main)
    assert wakeups < 20 and cpu < 0.25, (reused, wakeups, cpu)


@pytest.mark.parametrize("fed", [b"", b"ab"])
def test_a_parked_read_times_out_while_its_loop_is_busy(ptys, fed):
    master, port = ptys.port(timeout=0.3)

    async def main():
        f = port.read(10)
        assert not f.done()
        if fed:
            os.write(master, fed)
        time.sleep(1.5)  # the loop polls nothing meanwhile
        assert f.done()  # asked on its own loop, so this hands nothing over
        return await f

    assert run(main) == fed


@pytest.mark.parametrize("busy", [False, True], ids=["running", "busy"])
def test_an_inter_byte_timeout_read_parked_on_its_loop(ptys, busy):
    master, port = ptys.port(inter_byte_timeout=0.3)

    async def main():
        loop = asyncio.get_running_loop()
        f = port.read(10)
        for i, piece in enumerate([b"a", b"bc", b"d"]):
            loop.call_later(0.05 * (i + 1), os.write, master, piece)
        if busy:
            await asyncio.sleep(0.2)  # the pieces are in
            time.sleep(1)
            assert f.done()
        got = await asyncio.wait_for(f, 5)
        g = port.read(2)
        loop.call_later(0.05, os.write, master, b"ef")
        return got, await asyncio.wait_for(g, 5)

    assert run(main) == (b"abcd", b"ef")


def test_two_loops_on_two_threads_take_turns_on_one_port(ptys):
    master, port = ptys.port(timeout=0.3)
    n = 300
    seen = [[], []]
    failures = []

    def reader(mine):
        async def main():
            async with asyncio.timeout(30):
                while sum(map(len, seen)) < n:
                    rec = await port.read(4)
                    if rec:
                        mine.append(int(rec))

        try:
            run(main)
        except BaseException as e:  # reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=reader, args=(s,)) for s in seen]
    for t in threads:
        t.start()
    for i in range(n):
        os.write(master, b"%04d" % i)
        if i % 7 == 0:
            time.sleep(0.002)  # the next read parks before its record comes
    for t in threads:
        t.join(40)
    assert not any(t.is_alive() for t in threads) and failures == []
    assert sorted(seen[0] + seen[1]) == list(range(n))
    for mine in seen:
        assert mine == sorted(mine)


def test_concurrent_reads_on_one_loop_keep_order(ptys):
    master, port = ptys.port()

    async def main():
        loop = asyncio.get_running_loop()
        for i in range(60):
            data = bytes([65 + i % 26, 97 + i % 26, 48 + i % 10])
            reads = [port.read(1) for _ in data]
            if i % 3 == 0:
                os.write(master, data)
            elif i % 3 == 1:
                loop.call_later(0.005, os.write, master, data)
            else:
                for k in range(len(data)):
                    loop.call_later(0.002 * (k + 1), os.write, master, data[k : k + 1])
            got = await asyncio.wait_for(asyncio.gather(*reads), 5)
            assert b"".join(got) == data, i
        port.timeout = 0
        return await port.read(1)

    assert run(main) == b""  # nothing was delivered twice or left over


def test_a_write_waiting_on_its_loop_beside_a_parked_read(ptys):
    master, port = ptys.port()
    data = os.urandom(1 << 18)  # far more than the pty holds
    drained = bytearray()

    def drain():
        while len(drained) < len(data):
            drained.extend(os.read(master, 65536))

    async def main():
        loop = asyncio.get_running_loop()
        w = port.write(data)
        r = port.read(1)
        await asyncio.sleep(0.2)
        assert not w.done() and not r.done()
        loop.call_later(0.02, os.write, master, b"r")
        assert await asyncio.wait_for(r, 5) == b"r"
        assert not w.done()  # nobody has read the far end yet
        drainer = asyncio.ensure_future(asyncio.to_thread(drain))
        assert await asyncio.wait_for(w, 10) == len(data)
        await asyncio.wait_for(drainer, 10)
        r = port.read(1)  # the port still serves reads
        loop.call_later(0.02, os.write, master, b"s")
        return await asyncio.wait_for(r, 5)

    assert run(main) == b"s"
    assert bytes(drained) == data


def test_a_thread_writing_behind_a_parked_write_is_not_held_by_the_loop(ptys):
    master, port = ptys.port()
    data = os.urandom(1 << 18)  # far more than the pty holds
    drained = bytearray()
    other = []

    def drain():
        while len(drained) < len(data) + 5:
            drained.extend(os.read(master, 65536))

    async def main():
        w = port.write(data)
        await asyncio.sleep(0.05)
        assert not w.done()
        threads = [threading.Thread(target=lambda: other.append(port.write(b"after").wait(10)))]
        threads[0].start()
        time.sleep(0.2)  # its write queues behind the parked one
        threads.append(threading.Thread(target=drain))
        threads[1].start()
        for t in threads:
            t.join(15)  # the loop stays blocked throughout
        assert not any(t.is_alive() for t in threads), "the other thread waited for the loop"
        return await asyncio.wait_for(w, 5)

    assert run(main) == len(data)
    assert other == [5] and bytes(drained) == data + b"after"


def drain_now(master):
    os.set_blocking(master, False)
    got = bytearray()
    try:
        while True:
            got += os.read(master, 65536)
    except BlockingIOError:
        pass
    finally:
        os.set_blocking(master, True)
    return bytes(got)


@pytest.mark.parametrize("end", ["cancel_write", "write_timeout"])
def test_a_parked_write_ends_while_its_loop_is_busy(ptys, end):
    master, port = ptys.port(write_timeout=0.3 if end == "write_timeout" else None)
    data = os.urandom(1 << 18)
    canceller = threading.Timer(0.2, port.cancel_write)

    async def main():
        w = port.write(data)
        await asyncio.sleep(0.05)
        assert not w.done()
        if end == "cancel_write":
            canceller.start()
        time.sleep(1.5)  # the loop polls nothing meanwhile
        assert w.done()
        got = await outcome(w)
        drained = drain_now(master)
        again = await asyncio.wait_for(port.write(b"ok"), 5)
        return got, drained, again

    got, drained, again = run(main)
    if end == "cancel_write":
        canceller.join()
    if end == "cancel_write":
        assert isinstance(got, int) and 0 < got < len(data) and drained == data[:got]
    else:
        assert isinstance(got, korvane.SerialTimeoutException), got
        assert 0 < len(drained) < len(data) and drained == data[: len(drained)]
    assert again == 2 and os.read(master, 2) == b"ok"


def test_many_ports_parked_on_one_loop_some_closed(ptys):
    pairs = [ptys.port() for _ in range(40)]

    async def main():
        loop = asyncio.get_running_loop()
        reads = [port.read(2) for _, port in pairs]
        await asyncio.sleep(0.05)
        for _, port in pairs[::5]:
            port.close()
        # More become ready at once than one look at the watch takes in.
        for i, (master, _) in enumerate(pairs):
            os.write(master, b"%02d" % i)
        got = await asyncio.wait_for(asyncio.gather(*(outcome(r) for r in reads)), 10)
        return loop, got

    loop, got = run(main)
    for i, g in enumerate(got):
        if i % 5 == 0:
            assert isinstance(g, korvane.PortNotOpenError), (i, g)
        else:
            assert g == b"%02d" % i
    assert loop.watches == 1 and loop.threadsafe <= 8  # only the closed ones came from the runtime


def test_a_blocking_wait_on_the_loop_thread_for_its_parked_read(ptys):
    master, port = ptys.port()

    async def main():
        f = port.read(1)
        feeder = threading.Timer(0.1, os.write, (master, b"w"))
        feeder.start()
        try:
            return f.wait(5)
        finally:
            feeder.join()

    assert run(main) == b"w"


def test_a_parked_write_when_the_far_end_hangs_up(ptys):
    master, port = ptys.port()

    async def main():
        loop = asyncio.get_running_loop()
        w = port.write(os.urandom(1 << 18))
        await asyncio.sleep(0.1)
        assert not w.done()
        ptys.close_master(master)
        got = await outcome(w)
        return got, await idle_cost(loop)

    got, (wakeups, cpu) = run(main)
    assert isinstance(got, korvane.SerialException) and not port.is_open, got
    assert wakeups < 20 and cpu < 0.25, (wakeups, cpu)


def test_stream_round_trips_then_the_far_end_hangs_up(ptys):
    master, path = ptys.pty()
    lines = [b"%05d round trip\n" % i for i in range(300)]
    total = sum(map(len, lines))

    def echo():
        done = 0
        while done < total:
            chunk = os.read(master, 4096)
            os.write(master, chunk)
            done += len(chunk)

    async def main():
        loop = asyncio.get_running_loop()
        reader, writer = await aio.open_serial_connection(url=path)
        protocol = writer.transport.get_protocol()
        lost = []
        forward = protocol.connection_lost
        protocol.connection_lost = lambda exc: (lost.append(exc), forward(exc))
        far = threading.Thread(target=echo)
        far.start()
        try:
            for line in lines:
                writer.write(line)
                assert await asyncio.wait_for(reader.readline(), 5) == line
        finally:
            await asyncio.to_thread(far.join, 10)
        await asyncio.sleep(0.05)  # the transport's next read waits
        ptys.close_master(master)
        async with asyncio.timeout(5):
            while not lost:
                await asyncio.sleep(0.01)
        wakeups, cpu = await idle_cost(loop)
        writer.close()
        try:
            await asyncio.wait_for(writer.wait_closed(), 5)
        except korvane.SerialException:
            pass
        return loop, lost, wakeups, cpu

    loop, lost, wakeups, cpu = run(main)
    assert len(lost) == 1 and isinstance(lost[0], korvane.SerialException), lost
    assert wakeups < 20 and cpu < 0.25, (wakeups, cpu)
    assert loop.watches == 1


def test_a_loop_removing_its_watch_hands_on_the_parked_read(ptys):
    master, port = ptys.port()

    async def main():
        loop = asyncio.get_running_loop()
        f = port.read(1)
        await asyncio.sleep(0.05)
        assert loop.remove_reader(loop.watch_fds[-1])
        os.write(master, b"a")
        until(lambda: port.in_waiting == 0)  # taken while the loop is blocked
        assert await asyncio.wait_for(f, 5) == b"a"
        before = loop.threadsafe
        g = port.read(1)  # parks on a new watch
        loop.call_later(0.02, os.write, master, b"b")
        assert await asyncio.wait_for(g, 5) == b"b"
        assert loop.threadsafe == before
        return loop

    assert run(main).watches == 2


class RefusingLoop(WatchedLoop):
    def __init__(self):
        super().__init__()
        self.refused = 0

    def add_reader(self, fd, callback, *args):
        if getattr(callback, "__name__", None) == WATCH:
            self.refused += 1
            raise NotImplementedError
        return super().add_reader(fd, callback, *args)


def test_a_loop_that_refuses_the_watch_uses_the_runtime(ptys):
    master, port = ptys.port()

    async def main():
        loop = asyncio.get_running_loop()
        got = []
        for piece in (b"a", b"b"):
            f = port.read(1)
            loop.call_later(0.02, os.write, master, piece)
            got.append(await asyncio.wait_for(f, 5))
        return got

    loop = RefusingLoop()
    assert run(main, loop=loop) == [b"a", b"b"]
    assert loop.refused == 1 and loop.threadsafe == 2  # asked once only


def test_a_fifth_live_loop_on_a_thread_uses_the_runtime(ptys):
    pairs = [ptys.port() for _ in range(5)]
    loops = [WatchedLoop() for _ in pairs]

    async def start(port):
        f = port.read(1)
        await asyncio.sleep(0)
        return f

    async def finish(f):
        return await asyncio.wait_for(f, 5)

    try:
        futures = [loop.run_until_complete(start(port)) for loop, (_, port) in zip(loops, pairs)]
        for i, (master, _) in enumerate(pairs):
            os.write(master, b"%d" % i)
        got = [loop.run_until_complete(finish(f)) for loop, f in zip(loops, futures)]
    finally:
        for loop in loops:
            loop.close()
    assert got == [b"%d" % i for i in range(5)]
    assert [loop.watches for loop in loops] == [1, 1, 1, 1, 0]
    assert all(loop.reports == [] for loop in loops)


def test_a_new_loop_where_a_refusing_one_lived_gets_a_watch(ptys):
    master, port = ptys.port()

    async def one():
        loop = asyncio.get_running_loop()
        f = port.read(1)
        loop.call_later(0.02, os.write, master, b"x")
        return await asyncio.wait_for(f, 5)

    refusing = RefusingLoop()
    run(one, loop=refusing)
    address = id(refusing)
    del refusing
    gc.collect()
    for _ in range(50):
        loop = WatchedLoop()
        if id(loop) == address:
            break
        loop.close()
    else:
        pytest.skip("no new loop took the old address")
    assert run(one, loop=loop) == b"x"
    assert (loop.watches, loop.threadsafe) == (1, 0)


def exclusive_open(path, within=5.0):
    deadline = time.monotonic() + within
    while True:
        try:
            return korvane.Serial(path, exclusive=True)
        except korvane.SerialException:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


class Keeper(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport


@pytest.mark.parametrize("ending", ["returned", "stopped"])
@pytest.mark.parametrize("parked", ["write", "read"])
def test_a_loop_dropped_unclosed_frees_its_parked_transport(ptys, parked, ending):
    master, path = ptys.pty()  # the far end never reads
    loop = asyncio.new_event_loop()

    async def main():
        transport, _ = await aio.create_serial_connection(loop, Keeper, path, exclusive=True)
        if parked == "write":
            transport.write(b"x" * 1_000_000)
        await asyncio.sleep(0.05)
        if ending == "stopped":
            loop.stop()
        return weakref.ref(transport)

    if ending == "stopped":
        task = loop.create_task(main())
        loop.run_forever()
        ref = task.result()
        del task
    else:
        ref = loop.run_until_complete(main())
    del loop, main
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        gc.collect()
    assert ref() is None
    exclusive_open(path, within=0.5).close()


def test_a_reading_transport_on_a_running_loop_survives_collections(ptys):
    master, path = ptys.pty()
    got = []

    class Reader(asyncio.Protocol):
        def data_received(self, data):
            got.append(data)

    async def main():
        loop = asyncio.get_running_loop()
        await aio.create_serial_connection(loop, Reader, path)  # nothing keeps it
        await asyncio.sleep(0.05)
        gc.collect()
        os.write(master, b"ab")
        async with asyncio.timeout(5):
            while b"".join(got) != b"ab":
                await asyncio.sleep(0.01)

    run(main)


def test_an_unreferenced_task_awaiting_a_parked_read_is_not_destroyed(ptys):
    master, port = ptys.port()
    got = []

    async def reader():
        got.append(await port.read(2))

    async def main():
        loop = asyncio.get_running_loop()
        loop.create_task(reader())
        await asyncio.sleep(0.05)
        gc.collect()
        os.write(master, b"ok")
        async with asyncio.timeout(5):
            while not got:
                await asyncio.sleep(0.01)

    run(main)
    assert got == [b"ok"]


@pytest.fixture
def many_files():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 1200:
        pytest.skip("the descriptor limit is too low")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 1200) if hard == resource.RLIM_INFINITY else hard, hard))
    files = []
    try:
        yield lambda: files.extend(open(os.devnull) for _ in range(1100))
    finally:
        for f in files:
            f.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.mark.parametrize("selector", [selectors.SelectSelector, selectors.PollSelector])
def test_loops_on_other_selectors_with_descriptors_above_select_limit(ptys, many_files, selector):
    loop = asyncio.SelectorEventLoop(selector())
    many_files()
    master, port = ptys.port()

    async def main():
        loopback = aio.Serial("loop://")
        f = loopback.read(1)
        loop.call_later(0.02, loopback.write, b"z")
        assert await asyncio.wait_for(f, 5) == b"z"
        loopback.close()
        g = port.read(2)
        loop.call_later(0.02, os.write, master, b"pt")
        assert await asyncio.wait_for(g, 5) == b"pt"
        assert await asyncio.wait_for(port.write(b"w"), 5) == 1
        assert os.read(master, 1) == b"w"

    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


def test_serial_transport_and_streams_over_uvloop(ptys):
    uvloop = pytest.importorskip("uvloop")
    master, port = ptys.port()
    _, path = ptys.pty()
    got = []

    class Reader(asyncio.Protocol):
        def data_received(self, data):
            got.append(data)

    async def main():
        loop = asyncio.get_running_loop()
        g = port.read(1)
        loop.call_later(0.02, os.write, master, b"u")
        assert await asyncio.wait_for(g, 5) == b"u"
        assert await asyncio.wait_for(port.write(b"v"), 5) == 1
        assert os.read(master, 1) == b"v"
        m2, p2 = ptys.pty()
        transport, _ = await aio.create_serial_connection(loop, Reader, p2)
        os.write(m2, b"tr")
        async with asyncio.timeout(5):
            while b"".join(got) != b"tr":
                await asyncio.sleep(0.01)
        transport.close()
        m3, p3 = ptys.pty()
        reader, writer = await aio.open_serial_connection(url=p3)
        os.write(m3, b"line\n")
        assert await asyncio.wait_for(reader.readline(), 5) == b"line\n"
        writer.write(b"out")
        await asyncio.wait_for(writer.drain(), 5)
        writer.close()

    loop = uvloop.new_event_loop()
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


async def every_flavour():
    port = aio.Serial("loop://", timeout=5)
    await port.write(b"ab")
    assert await port.read(2) == b"ab"
    port.close()

    class Echoed(asyncio.Protocol):
        def __init__(self):
            self.data = b""
            self.got = asyncio.get_running_loop().create_future()

        def data_received(self, data):
            self.data += data
            if len(self.data) >= 4 and not self.got.done():
                self.got.set_result(self.data)

    loop = asyncio.get_running_loop()
    transport, protocol = await aio.create_serial_connection(loop, Echoed, "loop://")
    transport.write(b"ping")
    assert await asyncio.wait_for(protocol.got, 5) == b"ping"
    transport.close()

    reader, writer = await aio.open_serial_connection(url="loop://")
    writer.write(b"line\n")
    assert await asyncio.wait_for(reader.readline(), 5) == b"line\n"
    writer.close()
    await writer.wait_closed()


def test_a_select_loop_is_never_given_a_descriptor_it_cannot_watch(many_files):
    # Its own descriptors stay below the limit; the watch's would not.
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    many_files()
    try:
        loop.run_until_complete(every_flavour())
    finally:
        loop.close()
