"""The asyncio transport over pseudo-terminals (the master end plays the
device), and a transport whose operations cannot start (a forked child)."""

import asyncio
import os
import signal
import threading

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
