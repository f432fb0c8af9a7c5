"""The asyncio transport and the connection functions over the loopback."""

import asyncio
import gc
import threading
import time
import weakref

import pytest

import korvane
import korvane.aio as aio

pytestmark = pytest.mark.timeout(30)


class Recorder(asyncio.Protocol):
    """Records every protocol call in order; `lost` is done at connection_lost."""

    def __init__(self):
        self.events = []
        self.data = bytearray()
        self.lost = asyncio.get_running_loop().create_future()
        self.transport = None

    def connection_made(self, transport):
        self.events.append("made")
        self.transport = transport

    def data_received(self, data):
        assert not self.lost.done()
        self.events.append(("data", len(data)))
        self.data += data

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.events.append(("lost", exc))
        self.lost.set_result(exc)

    def count(self, event):
        return sum(1 for e in self.events if e == event or (isinstance(e, tuple) and e[0] == event))

    async def until(self, n, timeout=5):
        async with asyncio.timeout(timeout):
            while len(self.data) < n:
                await asyncio.sleep(0.005)


def run(coro):
    return asyncio.run(coro)


async def connect(url="loop://", proto=Recorder, **kwargs):
    loop = asyncio.get_running_loop()
    transport, protocol = await aio.create_serial_connection(loop, proto, url, **kwargs)
    await asyncio.sleep(0)  # connection_made
    return transport, protocol


async def lost(protocol, timeout=5):
    return await asyncio.wait_for(asyncio.shield(protocol.lost), timeout)


async def hold_reading(transport, protocol):
    """Pauses reading with no read left under way: one byte is read into the
    held buffer, so the loopback fills once 4096 bytes are queued."""
    transport.pause_reading()
    transport.write(b"!")
    await asyncio.sleep(0.2)
    assert protocol.count("data") == 0


def test_echo_close_and_connection_lost_order():
    async def main():
        transport, protocol = await connect()
        assert protocol.events == ["made"] and protocol.transport is transport
        transport.write(b"hello ")
        transport.writelines([b"wor", bytearray(b"ld"), memoryview(b"!"), "\u00e9"])
        await protocol.until(14)
        assert bytes(protocol.data) == b"hello world!\xc3\xa9"
        port = transport.serial
        transport.close()
        assert transport.is_closing() and not transport.is_reading()
        transport.close()
        transport.write(b"dropped")
        assert await lost(protocol) is None
        await asyncio.sleep(0.05)
        assert protocol.count("lost") == 1 and not port.is_open
        assert transport.get_protocol() is None
        assert repr(transport).split(", ")[1] == "None"

    run(main())


def test_streams_echo_and_arguments(monkeypatch):
    seen = []
    real = korvane.serial_for_url

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(korvane, "serial_for_url", spy)

    async def main():
        reader, writer = await aio.open_serial_connection(url="loop://", baudrate=19200, limit=1 << 16)
        writer.write(b"ping\n" * 3)
        for _ in range(3):
            assert await asyncio.wait_for(reader.readline(), 5) == b"ping\n"
        writer.close()
        await asyncio.wait_for(writer.wait_closed(), 5)
        with pytest.raises(TypeError):
            await aio.open_serial_connection()

    run(main())
    assert seen == [((), {"url": "loop://", "baudrate": 19200}), ((), {})]


def test_pause_resume_delivers_held_bytes_once():
    async def main():
        transport, protocol = await connect()
        transport.resume_reading()  # not paused: nothing
        transport.pause_reading()
        transport.pause_reading()
        assert not transport.is_reading()
        transport.write(b"held bytes")
        await asyncio.sleep(0.3)
        assert protocol.count("data") == 0
        transport.resume_reading()
        assert transport.is_reading() and protocol.count("data") == 0  # through call_soon
        await protocol.until(10)
        assert protocol.events[1:] == [("data", 10)]
        transport.write(b"more")
        await protocol.until(14)
        transport.close()
        await lost(protocol)

    run(main())


def test_held_bytes_are_dropped_once_closing():
    async def main():
        transport, protocol = await connect()
        transport.pause_reading()
        transport.write(b"never delivered")
        await asyncio.sleep(0.3)
        transport.close()
        transport.resume_reading()
        assert await lost(protocol) is None
        await asyncio.sleep(0.05)
        assert protocol.count("data") == 0

    run(main())


def test_held_bytes_reach_a_protocol_still_draining_writes():
    async def main():
        transport, protocol = await connect()
        await hold_reading(transport, protocol)
        transport.write(b"x" * 10000)  # more than the loopback takes with nobody reading
        await asyncio.sleep(0.1)
        transport.close()
        transport.resume_reading()
        await protocol.until(1)
        assert protocol.events[1:] == [("data", 1)] and bytes(protocol.data) == b"!"
        transport.abort()
        assert await lost(protocol) is None

    run(main())


@pytest.mark.parametrize("size, pauses", [(65536, 0), (65537, 1)])
def test_pause_writing_above_the_high_limit(size, pauses):
    async def main():
        transport, protocol = await connect()
        transport.write(b"x" * size)
        assert protocol.count("pause") == pauses
        await protocol.until(size)
        assert protocol.count("pause") == pauses and protocol.count("resume") == pauses
        assert transport.get_write_buffer_size() == 0
        transport.close()
        await lost(protocol)

    run(main())


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, (16384, 65536)),
        ({"low": 100}, (100, 400)),
        ({"high": 10}, (2, 10)),
        ({"high": 0}, (0, 0)),
        ({"high": 1, "low": 2}, "high (1) must be >= low (2) must be >= 0"),
        ({"high": -5}, "high (-5) must be >= low (-1) must be >= 0"),
    ],
)
def test_write_buffer_limits(kwargs, expected):
    async def main():
        transport, protocol = await connect()
        if isinstance(expected, str):
            with pytest.raises(ValueError) as info:
                transport.set_write_buffer_limits(**kwargs)
            assert str(info.value) == expected
            assert transport.get_write_buffer_limits() == (16384, 65536)
        else:
            transport.set_write_buffer_limits(**kwargs)
            assert transport.get_write_buffer_limits() == expected
        with pytest.raises(TypeError) as info:
            transport.set_write_buffer_limits(high="big")
        assert "while processing 'high'" in info.value.__notes__
        transport.abort()
        await lost(protocol)

    run(main())


def test_lowered_limit_pauses_at_once_and_flush_resumes():
    async def main():
        transport, protocol = await connect()
        await hold_reading(transport, protocol)
        transport.write(b"a" * 10000)  # the loopback takes 4096, the rest waits in the write
        transport.write(b"b" * 5000)
        assert protocol.events == ["made"]
        assert transport.get_write_buffer_size() == 15000
        transport.set_write_buffer_limits(high=12000)
        assert protocol.events == ["made", "pause"]
        transport.set_write_buffer_limits(high=1 << 30)
        assert protocol.count("resume") == 0
        transport.set_write_buffer_limits(high=12000, low=11000)
        transport.flush()  # discards the 5000 not yet handed over
        assert transport.get_write_buffer_size() == 10000
        assert protocol.events == ["made", "pause", "resume"]
        transport.resume_reading()
        await protocol.until(10001)
        assert bytes(protocol.data) == b"!" + b"a" * 10000
        transport.close()
        await lost(protocol)

    run(main())


def test_failing_pause_writing_is_reported_once():
    class Failing(Recorder):
        def pause_writing(self):
            super().pause_writing()
            raise RuntimeError("no pause")

    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda loop, ctx: reports.append(ctx))
        transport, protocol = await connect(proto=Failing)
        transport.write(b"y" * 70000)
        transport.write(b"z" * 10)
        await protocol.until(70010)
        assert [r["message"] for r in reports] == ["protocol.pause_writing() failed"]
        assert list(reports[0]) == ["message", "exception", "transport", "protocol"]
        assert reports[0]["transport"] is transport and reports[0]["protocol"] is protocol
        assert str(reports[0]["exception"]) == "no pause"
        transport.close()
        await lost(protocol)

    run(main())


def drain_in_thread(port, n):
    """Reads up to n bytes from the port on a thread (the transport no longer
    reads), until the port is closed."""
    got = bytearray()

    def read():
        port.timeout = 0.1
        try:
            while len(got) < n:
                got.extend(port.read(1024))
        except korvane.PortNotOpenError:
            pass

    thread = threading.Thread(target=read)
    thread.start()
    return thread, got


def test_close_writes_everything_buffered_first():
    async def main():
        transport, protocol = await connect()
        await hold_reading(transport, protocol)
        transport.write(b"a" * 10000)
        transport.write(b"b" * 10000)
        transport.close()
        assert transport.get_write_buffer_size() == 20000
        transport.write(b"dropped")
        thread, got = drain_in_thread(transport.serial, 20000)
        assert await lost(protocol) is None
        await asyncio.to_thread(thread.join)
        # Every byte went into the port; closing it drops what the loopback
        # still queues (at most its 4096 bytes).
        assert len(got) >= 20000 - 4096 and bytes(got) == (b"a" * 10000 + b"b" * 10000)[: len(got)]
        assert protocol.count("lost") == 1 and not transport.serial.is_open

    run(main())


@pytest.mark.parametrize("close_first", [False, True])
def test_abort_drops_buffered_bytes(close_first):
    async def main():
        transport, protocol = await connect()
        await hold_reading(transport, protocol)
        transport.write(b"a" * 10000)
        transport.write(b"b" * 100)
        if close_first:
            transport.close()
        transport.abort()
        assert transport.get_write_buffer_size() == 0
        transport.write(b"dropped")
        transport.abort()
        assert await lost(protocol) is None
        await asyncio.sleep(0.05)
        assert protocol.count("lost") == 1 and not transport.serial.is_open
        assert protocol.count("data") == 0

    run(main())


def test_failed_write_is_reported_then_aborts():
    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda loop, ctx: reports.append(ctx))
        transport, protocol = await connect()
        await hold_reading(transport, protocol)  # no read under way to fail first
        transport.write(b"w" * 20000)
        transport.serial.close()
        exc = await lost(protocol)
        assert isinstance(exc, korvane.PortNotOpenError)
        assert [list(r) for r in reports] == [["message", "exception", "transport", "protocol"]]
        assert reports[0]["message"] == "Fatal write error on serial transport"
        assert reports[0]["exception"] is exc
        assert reports[0]["transport"] is transport and reports[0]["protocol"] is protocol

    run(main())


def test_port_closed_from_outside_ends_the_read():
    async def main():
        transport, protocol = await connect()
        transport.serial.close()
        assert isinstance(await lost(protocol), korvane.PortNotOpenError)
        assert transport.is_closing()

    run(main())


def test_connection_lost_that_raises_still_closes_the_port():
    class Raising(Recorder):
        def connection_lost(self, exc):
            super().connection_lost(exc)
            raise RuntimeError("lost failed")

    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda loop, ctx: reports.append(ctx))
        transport, protocol = await connect(proto=Raising)
        transport.close()
        await lost(protocol)
        await asyncio.sleep(0.05)
        assert not transport.serial.is_open
        assert str(reports[0]["exception"]) == "lost failed"

    run(main())


def test_set_protocol_redirects_later_calls():
    async def main():
        transport, first = await connect()
        second = Recorder()
        transport.set_protocol(second)
        assert transport.get_protocol() is second
        transport.write(b"to second")
        await second.until(9)
        transport.close()
        await lost(second)
        assert first.count("data") == 0 and not first.lost.done()

    run(main())


def test_the_serial_transport_class():
    cls = aio.SerialTransport
    assert cls is aio.SerialTransport and issubclass(cls, asyncio.Transport)
    assert (cls.__module__, cls.__qualname__) == ("korvane.aio", "SerialTransport")
    assert "SerialTransport" in aio.__all__ and "__getattr__" not in aio.__all__
    with pytest.raises(AttributeError, match=r"^module 'korvane.aio' has no attribute 'Nothing'$"):
        aio.Nothing
    with pytest.raises(TypeError) as info:
        aio.__getattr__(5)
    assert "while processing 'name'" in info.value.__notes__
    with pytest.raises(AttributeError, match="_core"):
        cls().write(b"x")
    with pytest.raises(AttributeError, match="_core"):
        cls().loop

    async def main():
        transport, protocol = await connect()
        loop = asyncio.get_running_loop()
        assert type(transport) is cls
        assert transport.loop is loop and transport.serial is transport.get_extra_info("serial")
        assert transport.get_extra_info("peername", 5) == 5 and transport.get_extra_info("peername") is None
        assert not transport.can_write_eof()
        with pytest.raises(NotImplementedError, match="^Serial connections do not support end-of-file$"):
            transport.write_eof()
        with pytest.raises(TypeError, match="a bytes-like object or str is required, not 'int'"):
            transport.write(5)
        assert repr(transport) == f"SerialTransport({loop!r}, {protocol!r}, {transport.serial!r})"
        for attr in ("loop", "serial"):
            with pytest.raises(AttributeError):
                setattr(transport, attr, None)
        with pytest.raises(AttributeError):
            transport.other = 1
        core = transport._core
        assert type(core).__name__ == "_TransportCore"
        with pytest.raises(TypeError):
            type(core)()
        transport.close()
        await lost(protocol)

    run(main())


def test_single_arguments_by_keyword():
    assert aio.__getattr__(name="SerialTransport") is aio.SerialTransport

    async def main():
        transport, protocol = await connect()
        other = Recorder()
        for call in (lambda: transport.write(data=b"a"), lambda: transport.writelines(list_of_data=[b"b", "c"]),
                     lambda: transport.set_protocol(protocol=other)):
            assert call() is None
        assert transport.get_protocol() is other
        await other.until(3)
        assert bytes(other.data) == b"abc"
        transport.close()
        await lost(other)

    run(main())


@pytest.mark.parametrize("obj, text", [(None, "'None' is not"), (object(), "'object' object is not")])
def test_connection_for_serial_refuses_other_objects(obj, text):
    made = []

    async def main():
        loop = asyncio.get_running_loop()
        with pytest.raises(TypeError, match=f"^{text} an instance of 'SerialBase'$"):
            await aio.connection_for_serial(loop, lambda: made.append(1) or Recorder(), obj)
        await asyncio.sleep(0.01)

    run(main())
    assert made == [1]


def test_connection_for_serial_sets_timeouts_and_schedules_made():
    async def main():
        loop = asyncio.get_running_loop()
        port = korvane.Serial("loop://", timeout=2.5, write_timeout=1)
        transport, protocol = await aio.connection_for_serial(loop, Recorder, port)
        assert protocol.events == [] and transport.serial is port
        assert (port.timeout, port.write_timeout) == (0, 0)
        await asyncio.sleep(0)
        assert protocol.events == ["made"]
        transport.close()
        await lost(protocol)

    run(main())


def test_deferred_steps_once():
    async def main():
        loop = asyncio.get_running_loop()
        d = aio.connection_for_serial(loop, Recorder, korvane.Serial("loop://"))
        assert d.__await__() is d and iter(d) is d
        transport, protocol = await d
        for again in (lambda: d.send(None), lambda: next(d)):
            with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
                again()
        task = asyncio.create_task(aio.create_serial_connection(loop, Recorder, "loop://"))
        t2, p2 = await task
        for t, p in ((transport, protocol), (t2, p2)):
            t.close()
            await lost(p)

    run(main())


@pytest.mark.parametrize("thrown", [ValueError, ValueError("given")])
def test_deferred_throw_drops_the_work(thrown):
    made = []
    d = aio.connection_for_serial(None, lambda: made.append(1), None)
    with pytest.raises(ValueError) as info:
        d.throw(thrown)
    if isinstance(thrown, BaseException):
        assert info.value is thrown
    else:
        assert info.value.args == ()
    with pytest.raises(RuntimeError):
        d.send(None)
    assert d.close() is None and made == []


def test_task_cancelled_before_its_first_step_opens_nothing(monkeypatch):
    calls = []
    monkeypatch.setattr(korvane, "serial_for_url", lambda *a, **k: calls.append(a))

    async def main():
        loop = asyncio.get_running_loop()
        task = asyncio.create_task(aio.create_serial_connection(loop, lambda: calls.append("factory"), "loop://"))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert calls == []


@pytest.mark.parametrize(
    "call",
    [
        lambda: aio.connection_for_serial(None, None),
        lambda: aio.open_serial_connection("loop://"),
        lambda: aio.create_serial_connection(None, None),
        lambda: aio.create_serial_connection(None, None, "loop://", loop=None),
    ],
)
def test_bad_arguments_raise_at_the_call(call):
    with pytest.raises(TypeError):
        call()


def test_create_serial_connection_passes_extra_arguments(monkeypatch):
    seen = []
    monkeypatch.setattr(korvane, "serial_for_url", lambda *a, **k: seen.append((a, k)) or korvane.Serial("loop://"))

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://", 19200, timeout=1)
        transport.abort()
        await lost(protocol)
        transport, protocol = await aio.create_serial_connection(protocol_factory=Recorder, url="u", loop=loop)
        transport.abort()
        await lost(protocol)

    run(main())
    assert seen == [(("loop://", 19200), {"timeout": 1}), (("u",), {})]


def test_threads_write_tagged_records_while_reading_toggles():
    writers, records = 8, 400

    async def main():
        transport, protocol = await connect()
        stop = threading.Event()

        def write(tid):
            for seq in range(records):
                transport.write(b"<%02d:%06d>" % (tid, seq))

        def toggle():
            while not stop.is_set():
                transport.pause_reading()
                transport.resume_reading()

        toggler = threading.Thread(target=toggle)
        toggler.start()
        threads = [threading.Thread(target=write, args=(t,)) for t in range(writers)]
        for t in threads:
            t.start()
        for t in threads:
            await asyncio.to_thread(t.join)
        try:
            await protocol.until(writers * records * 11, timeout=20)
        finally:
            stop.set()
            await asyncio.to_thread(toggler.join)
        text = bytes(protocol.data)
        assert len(text) == writers * records * 11
        seen = {t: [] for t in range(writers)}
        for i in range(0, len(text), 11):
            rec = text[i : i + 11]
            assert rec[:1] == b"<" and rec[-1:] == b">" and rec[3:4] == b":"
            seen[int(rec[1:3])].append(int(rec[4:10]))
        assert all(s == list(range(records)) for s in seen.values())
        transport.close()
        await lost(protocol)

    run(main())


def test_held_bytes_come_before_a_read_started_later():
    """A resume on another thread takes the held bytes; while it looks up
    data_received (made slow here), the loop thread pauses, writes and resumes."""
    class SlowLookup(Recorder):
        def __init__(self):
            super().__init__()
            self.entered = threading.Event()
            self.loop_thread = threading.get_ident()

        def __getattribute__(self, name):
            get = super().__getattribute__
            if name == "data_received" and threading.get_ident() != get("loop_thread") and not get("entered").is_set():
                get("entered").set()
                time.sleep(0.3)
            return get(name)

    async def main():
        transport, protocol = await connect(proto=SlowLookup)
        transport.pause_reading()
        transport.write(b"AAAA")
        await asyncio.sleep(0.3)  # held
        resumer = threading.Thread(target=transport.resume_reading)
        resumer.start()
        assert await asyncio.to_thread(protocol.entered.wait, 5)
        transport.pause_reading()
        transport.write(b"BBBB")
        transport.resume_reading()
        await asyncio.to_thread(resumer.join, 5)
        await protocol.until(8)
        assert bytes(protocol.data) == b"AAAABBBB"
        transport.close()
        await lost(protocol)

    run(main())


@pytest.mark.parametrize("end", ["close", "abort"])
def test_held_bytes_never_follow_connection_lost(end):
    """The transport ends (as another thread might) while resume_reading is
    between taking the held bytes and queuing them."""
    class EndsOnLookup(Recorder):
        armed = False

        def __getattribute__(self, name):
            get = super().__getattribute__
            if name == "data_received" and get("armed"):
                self.armed = False
                getattr(get("transport"), end)()
            return get(name)

    async def main():
        reports = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reports.append(ctx))
        transport, protocol = await connect(proto=EndsOnLookup)
        transport.pause_reading()
        transport.write(b"held")
        await asyncio.sleep(0.3)
        protocol.armed = True
        transport.resume_reading()
        assert await lost(protocol) is None
        await asyncio.sleep(0.1)
        assert reports == []  # Recorder fails any data_received after connection_lost
        assert protocol.events == ["made", ("lost", None)]

    run(main())


@pytest.mark.parametrize("end", ["close", "abort"])
def test_ending_from_another_thread_in_debug_mode(end, caplog):
    async def main():
        loop = asyncio.get_running_loop()
        loop.set_debug(True)
        reports = []
        loop.set_exception_handler(lambda loop, ctx: reports.append(ctx))
        transport, protocol = await connect()
        transport.write(b"x" * 100)
        await asyncio.to_thread(getattr(transport, end))
        assert await lost(protocol) is None
        await asyncio.sleep(0.1)
        assert protocol.count("lost") == 1 and not transport.serial.is_open
        return reports

    with caplog.at_level("ERROR", logger="asyncio"):
        assert run(main()) == []
    assert caplog.records == []


@pytest.mark.parametrize("end", ["read completes", "abort"])
def test_a_closed_loop_closes_the_port(end):
    loop = asyncio.new_event_loop()
    try:
        transport, protocol = loop.run_until_complete(connect())
    finally:
        loop.close()
    port = transport.serial
    if end == "abort":
        with pytest.raises(RuntimeError, match="closed"):
            transport.abort()
    else:
        port.write(b"x")  # completes the read under way, on a closed loop
    for _ in range(300):
        if not port.is_open:
            break
        threading.Event().wait(0.01)
    assert not port.is_open
    assert protocol.events == ["made"]


class Holder:
    pass


def test_cycles_through_the_core_and_deferred_are_collected():
    async def ended_transport():
        transport, protocol = await connect()
        transport.abort()
        await lost(protocol)
        return transport

    transport = run(ended_transport())
    holder = Holder()
    holder.transport = transport
    transport.set_protocol(holder)  # core -> holder -> transport -> core
    work = Holder()
    work.deferred = aio.connection_for_serial(None, work, None)  # deferred -> work -> deferred
    refs = [weakref.ref(holder), weakref.ref(work)]
    del transport, holder, work
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_an_ended_transport_is_freed_without_the_collector():
    async def ended():
        transport, protocol = await connect()
        transport.write(b"abc")  # a read and a write complete
        await protocol.until(3)
        transport.close()
        await lost(protocol)
        # The core holds its loop until it is freed.
        return weakref.ref(transport), weakref.ref(asyncio.get_running_loop())

    gc.collect()
    gc.disable()
    try:
        refs = run(ended())
        assert [r() for r in refs] == [None, None]
    finally:
        gc.enable()
