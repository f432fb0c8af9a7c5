"""The asyncio transport over pseudo-terminals (the master end plays the
device), and a transport whose operations cannot start (a forked child)."""

import asyncio
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import korvane
import korvane.aio as aio
from test_transport import Recorder, lost

pytestmark = pytest.mark.timeout(60)


@pytest.fixture
def pty():
    master, slave = os.openpty()
    fds = [master, slave]
    yield master, os.ttyname(slave), fds
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


def test_a_mebibyte_each_way(pty):
    master, path, _ = pty
    inbound, outbound = os.urandom(1 << 20), os.urandom(1 << 20)
    received = bytearray()

    def produce():
        view = memoryview(inbound)
        while view:
            view = view[os.write(master, view[:16384]) :]

    def consume():
        while len(received) < len(outbound):
            received.extend(os.read(master, 65536))

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, path)
        threads = [threading.Thread(target=produce), threading.Thread(target=consume)]
        for t in threads:
            t.start()
        for i in range(0, len(outbound), 65536):
            transport.write(outbound[i : i + 65536])
        await protocol.until(len(inbound), timeout=30)
        for t in threads:
            await asyncio.to_thread(t.join, 30)
        assert bytes(protocol.data) == inbound
        assert bytes(received) == outbound
        transport.close()
        assert await lost(protocol) is None
        assert not transport.serial.is_open

    asyncio.run(main())


def slow_far_end(master, n):
    """Reads n bytes from the master end in small pieces, with pauses, so the
    transport's write buffer fills."""
    got = bytearray()

    def read():
        while len(got) < n:
            got.extend(os.read(master, 256))
            time.sleep(0.0005)

    thread = threading.Thread(target=read)
    thread.start()
    return thread, got


def records(tag, n, size):
    return [(b"<%02d:%05d" % (tag, i)).ljust(size - 1, b".") + b">" for i in range(n)]


def in_order_per_tag(data, size):
    seen = {}
    for i in range(0, len(data), size):
        rec = data[i : i + size]
        seen.setdefault(int(rec[1:3]), []).append(int(rec[4:9]))
    return {tag: seqs == sorted(seqs) and len(set(seqs)) == len(seqs) for tag, seqs in seen.items()}


@pytest.mark.parametrize("mode", ["here", "dev"])
def test_reading_toggled_by_four_threads_keeps_every_byte_in_order(pty, mode):
    if mode == "dev":
        # asyncio's debug mode and the interpreter's development checks, in a
        # fresh process.
        node = f"{__file__}::{test_reading_toggled_by_four_threads_keeps_every_byte_in_order.__name__}[here]"
        done = subprocess.run(
            [sys.executable, "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider", node],
            capture_output=True, text=True, timeout=120,
        )
        assert done.returncode == 0, done.stdout + done.stderr
        return
    master, path, _ = pty
    sent = b"".join(b"%07d\n" % i for i in range(1 << 17))  # 1 MiB of numbered records

    def produce():
        view = memoryview(sent)
        while view:
            view = view[os.write(master, view[:4096]) :]

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, path)
        stop = threading.Event()

        def toggle():
            while not stop.wait(0.0001):
                transport.pause_reading()
                transport.resume_reading()

        threads = [threading.Thread(target=toggle) for _ in range(4)] + [threading.Thread(target=produce)]
        for t in threads:
            t.start()
        try:
            await protocol.until(len(sent), timeout=60)
        finally:
            stop.set()
            for t in threads:
                await asyncio.to_thread(t.join, 30)
        transport.resume_reading()
        assert bytes(protocol.data) == sent
        transport.close()
        assert await lost(protocol) is None

    asyncio.run(main())


def test_flow_control_with_writer_threads_alternates_and_ends_resumed(pty):
    master, path, _ = pty
    writers, n, size = 4, 150, 100

    class Flow(Recorder):
        def pause_writing(self):
            self.events.append(("pause", threading.get_ident()))

        def resume_writing(self):
            self.events.append(("resume", threading.get_ident()))

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Flow, path)
        await asyncio.sleep(0)
        transport.set_write_buffer_limits(high=1024, low=256)
        far, got = slow_far_end(master, writers * n * size)

        def write(tag):
            for rec in records(tag, n, size):
                transport.write(rec)

        threads = [threading.Thread(target=write, args=(t,)) for t in range(writers)]
        for t in threads:
            t.start()
        for t in threads + [far]:
            await asyncio.to_thread(t.join, 30)
        assert len(got) == writers * n * size
        assert in_order_per_tag(bytes(got), size) == {t: True for t in range(writers)}
        for _ in range(100):
            if transport.get_write_buffer_size() == 0 and protocol.count("resume") == protocol.count("pause"):
                break
            await asyncio.sleep(0.01)
        flow = [e for e in protocol.events if isinstance(e, tuple) and e[0] in ("pause", "resume")]
        assert flow and [e[0] for e in flow] == ["pause", "resume"] * (len(flow) // 2)
        assert {e[1] for e in flow} == {threading.get_ident()}  # told on the loop thread
        assert transport.get_write_buffer_size() == 0
        transport.close()
        await lost(protocol)

    asyncio.run(main())


def test_stream_drain_from_threads_never_stalls(pty):
    master, path, _ = pty
    writers, n, size = 4, 100, 300

    async def main():
        loop = asyncio.get_running_loop()
        reader, writer = await aio.open_serial_connection(url=path)
        writer.transport.set_write_buffer_limits(high=1024, low=256)
        far, got = slow_far_end(master, writers * n * size)

        def write(tag):
            for rec in records(tag, n, size):
                writer.write(rec)
                asyncio.run_coroutine_threadsafe(writer.drain(), loop).result(10)

        threads = [threading.Thread(target=write, args=(t,)) for t in range(writers)]
        for t in threads:
            t.start()
        for t in threads + [far]:
            await asyncio.to_thread(t.join, 30)
        assert not any(t.is_alive() for t in threads)
        assert in_order_per_tag(bytes(got), size) == {t: True for t in range(writers)}
        await asyncio.wait_for(writer.drain(), 5)
        writer.close()
        await asyncio.wait_for(writer.wait_closed(), 5)

    asyncio.run(main())


@pytest.mark.parametrize("how", ["port", "master"])
def test_the_port_closed_or_lost_during_a_read(pty, how):
    master, path, fds = pty

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, path)
        await asyncio.sleep(0.05)  # a read is under way
        if how == "port":
            transport.serial.close()
        else:
            os.close(master)
            fds.remove(master)
        exc = await lost(protocol)
        if how == "port":
            assert isinstance(exc, korvane.PortNotOpenError)
        else:
            assert isinstance(exc, korvane.SerialException)
        await asyncio.sleep(0.05)
        assert not transport.serial.is_open and protocol.count("lost") == 1

    asyncio.run(main())


def test_a_failed_write_is_reported_and_aborts(pty):
    master, path, fds = pty

    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda loop, ctx: reports.append(ctx))
        transport, protocol = await aio.create_serial_connection(loop, Recorder, path)
        await asyncio.sleep(0)
        transport.pause_reading()
        os.write(master, b"!")  # the read under way ends with it, and no other starts
        await asyncio.sleep(0.2)
        os.close(master)
        fds.remove(master)
        transport.write(b"x" * 100)
        transport.write(b"y" * 100)
        exc = await lost(protocol)
        assert [r["message"] for r in reports] == ["Fatal write error on serial transport"]
        assert reports[0]["exception"] is exc and reports[0]["transport"] is transport
        assert isinstance(exc, korvane.SerialException)
        assert transport.get_write_buffer_size() == 0 and protocol.count("data") == 0

    asyncio.run(main())


@pytest.mark.filterwarnings("ignore:This process:DeprecationWarning")
@pytest.mark.parametrize("first", ["read", "write"])
def test_operations_that_cannot_start_still_end_the_transport(first):
    """In a forked child the runtime refuses to start any operation."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through the pipe
        code = 1
        try:
            signal.signal(signal.SIGALRM, signal.SIG_DFL)  # may be inherited ignored
            signal.alarm(20)
            os.close(read_end)

            async def main():
                loop = asyncio.get_running_loop()
                reports = []
                loop.set_exception_handler(lambda loop, ctx: reports.append(ctx))
                port = korvane.Serial("loop://")
                transport, protocol = await aio.connection_for_serial(loop, Recorder, port)
                if first == "write":
                    try:
                        transport.write(b"x")
                    except korvane.SerialException:
                        pass
                    else:
                        return "write raised nothing"
                exc = await lost(protocol)
                await asyncio.sleep(0.05)
                if not isinstance(exc, korvane.SerialException):
                    return f"connection_lost got {exc!r}"
                if port.is_open or transport.get_write_buffer_size() or protocol.count("lost") != 1:
                    return "port open or state left behind"
                return "ok"

            os.write(write_end, asyncio.run(main()).encode())
            code = 0
        finally:
            os._exit(code)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as r:
        result = r.read().decode()
    _, status = os.waitpid(pid, 0)
    assert result == "ok" and os.waitstatus_to_exitcode(status) == 0
