"""Reference leaks of the binding layer, seen through the debug interpreter's
total reference count. Skipped on a release build, which has no such count."""

import asyncio
import gc
import io
import sys

import pytest

import korvane
import korvane.aio
from korvane.tools.list_ports import ListPortInfo, comports

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")


def _settle():
    # The interpreter's type cache holds the attribute names it last looked up,
    # and a name made by C code is an ordinary object whose references count.
    sys._clear_internal_caches()
    gc.collect()


def _growth(fn, rounds=300):
    """Total references gained per call of fn, after a warm-up."""
    for _ in range(30):
        fn()
    _settle()
    before = sys.gettotalrefcount()
    for _ in range(rounds):
        fn()
    _settle()
    return (sys.gettotalrefcount() - before) / rounds


@pytest.fixture
def port():
    with korvane.Serial("loop://", timeout=0) as p:
        yield p


def _raises(exc, fn, *args, **kwargs):
    with pytest.raises(exc):
        fn(*args, **kwargs)


def _blocking_io(port):
    port.write(b"ab\ncd")
    port.readline()
    port.read(10)
    port.read_until(b"x", size=2)
    buf = bytearray(4)
    port.write(b"wxyz")
    port.readinto(buf)
    port.write(b"a\nb\nc\nd")
    port.readlines(4)
    next(port)
    port.read_all()
    port.flush()
    port.send_break(0)
    port.reset_input_buffer()
    port.cts, port.in_waiting, port.closed, port.stopbits


def _closed_read():
    p = korvane.Serial()
    with pytest.raises(korvane.PortNotOpenError):
        p.read(1)


def _settings(port):
    port.baudrate = 19200
    port.timeout = 0.5
    port.apply_settings(port.get_settings())
    port.timeout = 0
    repr(port)


def _bad_values(port):
    for name, value in (("baudrate", -1), ("timeout", "x"), ("bytesize", 9), ("parity", 5), ("port", 5)):
        with pytest.raises((ValueError, TypeError)):
            setattr(port, name, value)
    _raises(ValueError, port.apply_settings, {"baudrate": "x"})
    _raises(TypeError, port.read, "x")


def _errors(port):
    _raises(korvane.SerialException, korvane.Serial, "/nonexistent/tty")  # an OS error with its errno
    _raises(korvane.SerialException, korvane.Serial().open)  # no port
    _raises(korvane.SerialException, port.open)  # already open
    _raises(io.UnsupportedOperation, port.fileno)
    full = korvane.Serial("loop://", write_timeout=0.001)
    full.write(b"x" * 4096)
    _raises(korvane.SerialTimeoutException, full.write, b"y")
    full.close()


def _serial_for_url(port):
    korvane.serial_for_url("loop://", timeout=0).close()
    korvane.serial_for_url(url="loop://", do_not_open=True)
    _raises(ValueError, korvane.serial_for_url, "spy://x")
    _raises(TypeError, korvane.serial_for_url)


def _baudrates(port):
    port.baudrate = korvane.Baudrate.B115200
    port.baudrate = korvane.Baudrate(19200)
    int(korvane.Baudrate(port.baudrate))


def _list_ports(port):
    comports()
    _raises(TypeError, comports, include_links=1)
    info = ListPortInfo("/dev/ttyUSB0")
    info.vid, info.pid, info.serial_number = 0x1234, 0x5678, "s1"
    info.apply_usb_info()
    info.usb_info()
    info.usb_description()
    str(info), list(info), info[1], hash(info)
    info == ListPortInfo("/dev/ttyUSB1"), info < ListPortInfo("/dev/ttyUSB1")
    _raises(TypeError, setattr, info, "vid", "x")
    _raises(IndexError, info.__getitem__, 3)


def _futures(port):
    aport = korvane.aio.Serial("loop://")
    f = aport.write(b"ab")
    f.wait(1)
    f.result(), f.exception(), f.done(), f.cancelled()
    callback = lambda _f: None  # noqa: E731
    f.add_done_callback(callback)
    pending = aport.read(3)
    pending.add_done_callback(callback)
    pending.remove_done_callback(callback)
    _raises(TimeoutError, pending.wait, 0)
    _raises(asyncio.InvalidStateError, pending.result)
    pending.cancel()
    _raises(asyncio.CancelledError, pending.exception)
    aport.close()
    korvane.aio.Serial().read(1).exception()


def _failed_result(port):
    # The raised exception is cached on the future, and its traceback holds
    # this frame, which holds the future: a cycle through C++.
    f = korvane.aio.Serial().read(1)
    _raises(korvane.PortNotOpenError, f.result)


def _aio_round_trip():
    async def main():
        async with korvane.aio.serial_for_url("loop://", do_not_open=True) as p:
            await p.write(b"ping")
            await p.read(4)
            f = p.read(1)
            f.add_done_callback(lambda _f: None)
            f.cancel()
            with pytest.raises(asyncio.CancelledError):
                await f
        with pytest.raises(korvane.PortNotOpenError):
            await p.read(1)

    asyncio.run(main())


def _aio_await_paths():
    async def main():
        async with korvane.aio.serial_for_url("loop://") as p:
            # Settled from a worker, for two awaiters.
            f = p.read(1)
            awaiters = [asyncio.ensure_future(_await(f)) for _ in range(2)]
            await asyncio.sleep(0)
            await p.write(b"k")
            await asyncio.gather(*awaiters)
            # The iterator of a finished future, driven by hand.
            steps = p.write(b"ab").__await__()
            next(steps)
            with pytest.raises(StopIteration):
                steps.send(None)
            for thrown in (ValueError, ValueError("x")):
                with pytest.raises(ValueError):
                    p.write(b"ab").__await__().throw(thrown)
            await p.read(6)

    asyncio.run(main())


async def _await(f):
    return await f


@pytest.mark.parametrize(
    "case",
    [
        pytest.param(lambda port: _blocking_io(port), id="blocking-io"),
        pytest.param(lambda port: _closed_read(), id="error-path"),
        pytest.param(_settings, id="settings"),
        pytest.param(_bad_values, id="bad-values"),
        pytest.param(_errors, id="errors"),
        pytest.param(_serial_for_url, id="serial_for_url"),
        pytest.param(_baudrates, id="baudrates"),
        pytest.param(_list_ports, id="list_ports"),
        pytest.param(_futures, id="futures"),
        pytest.param(_failed_result, id="failed-result"),
    ],
)
def test_no_reference_leaks(port, case):
    assert _growth(lambda: case(port)) < 1


@pytest.mark.parametrize("case", [_aio_round_trip, _aio_await_paths], ids=["round-trip", "await-paths"])
def test_no_reference_leaks_through_asyncio(case):
    assert _growth(case, rounds=50) < 1
