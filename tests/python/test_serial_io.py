"""The blocking I/O methods over the loopback."""

import array
import os
import signal
import threading
import time

import pytest

import korvane


@pytest.fixture
def port():
    p = korvane.Serial("loop://", timeout=1)
    yield p
    p.close()


def elapsed(fn, *args):
    start = time.monotonic()
    result = fn(*args)
    return result, time.monotonic() - start


def feed_later(port, data, delay):
    t = threading.Timer(delay, port.write, (data,))
    t.start()
    return t


def test_echo_and_queries(port):
    assert port.write(b"abc") == 3
    assert port.in_waiting == 3 and port.out_waiting == 3
    assert port.read(10) == b"abc"
    port.write(b"xyz")
    port.reset_output_buffer()
    assert port.in_waiting == 0 and port.out_waiting == 0


@pytest.mark.parametrize("data, expected", [
    ("\u00e9", b"\xc3\xa9"),
    (bytearray(b"ab"), b"ab"),
    (memoryview(b"xab")[1:], b"ab"),
    (array.array("B", [1, 2]), b"\x01\x02"),
    (b"", b""),
])
def test_write_accepts_bytes_like_and_str(port, data, expected):
    assert port.write(data) == len(expected)
    port.timeout = 0
    assert port.read(10) == expected


def test_write_refuses_other_types(port):
    with pytest.raises(TypeError) as info:
        port.write(5)
    assert str(info.value) == "a bytes-like object or str is required, not 'int'"
    assert info.value.__notes__ == ["while processing 'data'"]


@pytest.mark.parametrize("call, exc_type", [
    (lambda p: p.read(-1), OverflowError),
    (lambda p: p.read(1.5), TypeError),
    (lambda p: p.read_until(123, -1), OverflowError),  # size is converted first
    (lambda p: p.readline("x"), TypeError),
    (lambda p: p.send_break("x"), TypeError),
])
def test_argument_errors_are_noted(port, call, exc_type):
    with pytest.raises(exc_type) as info:
        call(port)
    assert len(info.value.__notes__) == 1 and info.value.__notes__[0].startswith("while processing '")


def test_timeouts():
    p = korvane.Serial("loop://", timeout=0)
    try:
        got, t = elapsed(p.read, 5)
        assert got == b"" and t < 0.5
        p.write(b"ab")
        assert p.read(5) == b"ab"
        p.timeout = 0.2
        got, t = elapsed(p.read, 5)
        assert got == b"" and 0.15 < t < 2
        # Bytes arriving after the hand-over to the runtime still come in order.
        p.timeout = 2
        p.write(b"1234")
        feed_later(p, b"567890", 0.15)
        got, t = elapsed(p.read, 10)
        assert got == b"1234567890" and t < 1.9
    finally:
        p.close()


def test_inter_byte_timeout_ends_a_read():
    p = korvane.Serial("loop://", inter_byte_timeout=0.1)
    try:
        p.write(b"abc")
        got, t = elapsed(p.read, 10)
        assert got == b"abc" and t < 1.5
    finally:
        p.close()


def test_read_zero_and_closed():
    p = korvane.Serial("loop://")
    assert p.read(0) == b""
    p.close()
    with pytest.raises(korvane.PortNotOpenError) as info:
        p.read(0)
    assert str(info.value) == "Attempting to use a port that is not open"
    with pytest.raises(korvane.PortNotOpenError):
        korvane.Serial().read()


def test_read_until_and_readline(port):
    port.write(b"one\r\ntwo\nrest")
    assert port.read_until(b"\r\n") == b"one\r\n"
    assert port.read_until() == b"two\n"
    port.timeout = 0.1
    assert port.read_until(None, None) == b"rest"
    port.write(b"abcdefgh")
    assert port.read_until(b"", 5) == b"abcde"
    assert port.readline(0) == b""
    assert port.readline(2) == b"fg"
    assert port.readline() == b"h"


def test_readline_restarts_its_timeout_per_byte():
    p = korvane.Serial("loop://", timeout=0.3)
    try:
        timers = [feed_later(p, bytes([c]), 0.15 * (i + 1)) for i, c in enumerate(b"abcd\n")]
        got, t = elapsed(p.readline)
        assert got == b"abcd\n" and t > 0.5
        for tm in timers:
            tm.join()
        timers = [feed_later(p, bytes([c]), 0.15 * (i + 1)) for i, c in enumerate(b"abcd\n")]
        got, _ = elapsed(p.read_until)  # one deadline for the whole call
        assert got != b"abcd\n" and b"abcd\n".startswith(got)
        for tm in timers:
            tm.join()
    finally:
        p.close()


def test_readlines_and_iteration(port):
    port.timeout = 0.1
    port.write(b"a\nbb\nccc")
    assert port.readlines() == [b"a\n", b"bb\n", b"ccc"]
    port.write(b"a\nbb\nccc\n")
    assert port.readlines(3) == [b"a\n", b"bb\n"]
    assert port.readline() == b"ccc\n"
    port.write(b"x\ny\nz")
    assert list(port) == [b"x\n", b"y\n", b"z"]
    assert iter(port) is port


def test_readinto(port):
    port.timeout = 0.1
    target = bytearray(b"\xff" * 8)
    port.write(b"abc")
    assert port.readinto(target) == 3
    assert target == b"abc" + b"\xff" * 5
    view = memoryview(bytearray(4))
    port.write(b"wxyz")
    assert port.readinto(view) == 4 and bytes(view) == b"wxyz"
    # An immutable target fails before anything is read, so no byte is lost.
    port.write(b"keep")
    with pytest.raises(TypeError):
        port.readinto(b"1234")
    assert port.read(4) == b"keep"

    class Sliceable:
        def __init__(self):
            self.items = [0] * 4

        def __len__(self):
            return len(self.items)

        def __setitem__(self, key, value):
            self.items[key] = list(value)

    s = Sliceable()
    port.write(b"\x01\x02")
    assert port.readinto(s) == 2 and s.items == [1, 2, 0, 0]


def test_read_all_uses_overrides():
    class Counting(korvane.Serial):
        @property
        def in_waiting(self):
            return 2

    p = Counting("loop://", timeout=0)
    try:
        p.write(b"abcde")
        assert p.read_all() == b"ab"
    finally:
        p.close()
    with pytest.raises(korvane.PortNotOpenError):
        korvane.Serial().read_all()


def test_io_queries_and_context_manager():
    p = korvane.Serial("loop://")
    assert p.readable() and p.writable() and not p.seekable()
    with p as same:
        assert same is p and p.closed is False
    assert p.closed is True
    with pytest.raises(ZeroDivisionError):
        with p:
            1 / 0
    assert p.closed is True


def test_flush_and_break(port):
    assert port.flush() is None
    _, t = elapsed(port.send_break, 0.1)
    assert 0.09 < t < 2
    assert port.break_condition is False
    with pytest.raises(ValueError) as info:
        port.send_break(-1)
    assert str(info.value) == "duration must be a non-negative number"
    port.send_break(0)
    port.send_break(-0.0)


def test_write_timeouts():
    p = korvane.Serial("loop://", write_timeout=0)
    try:
        assert p.write(b"x" * 5000) == 4096
        assert p.write(b"more") == 0
        p.write_timeout = 0.1
        with pytest.raises(korvane.SerialTimeoutException) as info:
            p.write(b"more")
        assert str(info.value) == "Write timeout"
        p.write_timeout = None
        threading.Timer(0.2, p.read, (1000,)).start()
        assert p.write(b"y" * 900) == 900
    finally:
        p.close()


def test_cancel_read_and_write():
    p = korvane.Serial("loop://")
    try:
        threading.Timer(0.2, p.cancel_read).start()
        got, t = elapsed(p.read, 10)
        assert got == b"" and t < 5
        # A stored cancel ends the next read at once; a timeout-0 read leaves it stored.
        p.cancel_read()
        p.timeout = 0
        assert p.read(1) == b""
        p.timeout = None
        assert p.read(1) == b""
        p.write(b"z" * 4096)
        threading.Timer(0.2, p.cancel_write).start()
        assert p.write(b"blocked") == 0
    finally:
        p.close()


def test_close_wakes_blocked_operations():
    p = korvane.Serial("loop://")
    errors = []

    def reader():
        try:
            p.read(10)
        except korvane.PortNotOpenError as e:
            errors.append(e)

    t = threading.Thread(target=reader)
    t.start()
    time.sleep(0.2)
    p.close()
    t.join(5)
    assert not t.is_alive() and len(errors) == 1
    p.open()
    p.write(b"again")
    p.timeout = 0
    assert p.read(5) == b"again"
    p.close()


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals need the main thread")
def test_sigint_interrupts_a_blocking_read():
    # A runner started in the background may have inherited SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    p = korvane.Serial("loop://")
    try:
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            p.read(10)
        assert time.monotonic() - start < 5
        assert p.is_open
        p.write(b"ok")
        p.timeout = 1
        assert p.read(2) == b"ok"
    finally:
        p.close()
        signal.signal(signal.SIGINT, previous)


def test_forked_child_refuses_io():
    import warnings
    p = korvane.Serial("loop://", timeout=0)
    p.write(b"x")
    assert p.read(1) == b"x"  # the runtime is running now
    r, w = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        try:
            p.read(1)
            msg = b"read worked"
        except korvane.SerialException as e:
            msg = str(e).encode()
        os.write(w, msg)
        os._exit(0)
    os.close(w)
    os.waitpid(pid, 0)
    assert os.read(r, 200) == b"korvane cannot be used in a child process created by fork()"
    os.close(r)
    p.write(b"parent")
    assert p.read(6) == b"parent"
    p.close()
