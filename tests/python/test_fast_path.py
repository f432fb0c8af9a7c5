"""Calls done on the calling thread without an operation, and their hand-over
to the full operation when they must wait."""

import os
import threading
import time
import tty

import pytest

import korvane
import korvane.aio


@pytest.fixture(params=["loop", "pty"])
def device(request):
    """A blocking port and a function that puts bytes on its input."""
    if request.param == "loop":
        port = korvane.Serial("loop://")
        yield port, port.write
        port.close()
        return
    master, slave = os.openpty()
    tty.setraw(master)
    port = korvane.Serial(os.ttyname(slave))
    yield port, lambda data: os.write(master, data)
    port.close()
    os.close(master)
    os.close(slave)


def later(delay, fn, *args):
    t = threading.Timer(delay, fn, args)
    t.start()
    return t


def wait_for_input(port, n):
    deadline = time.monotonic() + 5
    while port.in_waiting < n:
        assert time.monotonic() < deadline, "input did not arrive"
        time.sleep(0.001)


@pytest.mark.timeout(20)
@pytest.mark.parametrize("method", ["read", "readline"])
@pytest.mark.parametrize("end", ["timeout", "cancel"])
def test_a_read_that_must_wait_keeps_its_bytes(device, method, end):
    port, feed = device
    port.timeout = 0.4 if end == "timeout" else None
    feed(b"ab")
    wait_for_input(port, 2)
    timers = [later(0.1, feed, b"cd")]
    if end == "cancel":
        timers.append(later(0.25, port.cancel_read))
    start = time.monotonic()
    got = port.read(10) if method == "read" else port.readline()
    took = time.monotonic() - start
    for t in timers:
        t.join()
    assert got == b"abcd"
    assert 0.2 < took < 2
    # Nothing was kept back or counted twice, and the read lock is free again.
    feed(b"e")
    port.timeout = 2
    assert port.read(1) == b"e"


@pytest.mark.timeout(20)
def test_a_stored_cancel_is_raced_by_the_next_read():
    port = korvane.Serial("loop://", timeout=1)
    port.write(b"x" * 200)
    port.cancel_read()
    got = b""
    for _ in range(60):
        piece = port.read(1)
        if not piece:
            break
        got += piece
    else:
        pytest.fail("the stored cancel was never seen")
    assert len(got) + port.in_waiting == 200
    assert port.read(1) == b"x"  # the signal was used up
    port.close()


@pytest.mark.timeout(20)
def test_a_stored_cancel_is_raced_by_the_next_write():
    port = korvane.Serial("loop://", write_timeout=1)
    port.cancel_write()
    for _ in range(60):
        if port.write(b"12345678") == 0:
            break
        port.reset_input_buffer()
    else:
        pytest.fail("the stored cancel was never seen")
    assert port.write(b"ab") == 2
    port.close()


@pytest.mark.timeout(30)
def test_racing_readers_and_writers_keep_order_and_counts():
    port = korvane.Serial("loop://", timeout=2)
    records = 3000
    seen = [[], []]

    def writer(first):
        for i in range(first, records, 2):
            port.write(b"%05d" % i)

    def reader(mine):
        while sum(map(len, seen)) < records:
            rec = port.read(5)
            if rec:
                mine.append(int(rec))

    threads = [threading.Thread(target=writer, args=(k,)) for k in (0, 1)]
    threads += [threading.Thread(target=reader, args=(seen[k],)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(seen[0] + seen[1]) == list(range(records))
    # Each writer's records come out in the order it wrote them.
    for got in seen:
        for parity in (0, 1):
            mine = [r for r in got if r % 2 == parity]
            assert mine == sorted(mine)
    port.close()


@pytest.mark.timeout(20)
def test_a_read_queued_behind_a_waiting_one_stays_behind(device):
    port, feed = device
    first = []
    waiting = threading.Thread(target=lambda: first.append(port.read(3)))
    waiting.start()
    time.sleep(0.1)  # holds the read lock, waiting for data
    port.timeout = 2
    later(0.1, feed, b"1234")
    assert port.read(1) == b"4"
    waiting.join()
    assert first == [b"123"]


@pytest.mark.timeout(20)
def test_aio_calls_that_need_no_wait_are_born_done():
    master, slave = os.openpty()
    tty.setraw(master)
    port = korvane.aio.Serial(os.ttyname(slave), timeout=1)
    try:
        w = port.write(b"hi")
        assert w.done() and w.result() == 2
        assert os.read(master, 2) == b"hi"
        os.write(master, b"hello\n")
        wait_for_input(port, 6)
        r = port.read(2)
        assert r.done() and r.result() == b"he"
        line = port.readline()
        assert line.done() and line.result() == b"llo\n"
        pending = port.read(1)
        assert not pending.done()
        os.write(master, b"!")
        assert pending.wait(5) == b"!"
    finally:
        port.close()
        os.close(master)
        os.close(slave)


@pytest.mark.timeout(20)
@pytest.mark.parametrize("delay", [0.01, 0.2], ids=["first-phase", "handed-over"])
@pytest.mark.parametrize("end", ["data", "cancel", "close"])
def test_a_read_begun_here_ends_as_the_full_operation_would(device, delay, end):
    port, feed = device
    feed(b"ab")
    wait_for_input(port, 2)
    action = {"data": lambda: feed(b"cd"), "cancel": port.cancel_read, "close": port.close}[end]
    timer = later(delay, action)
    try:
        got = port.read(4)
    except korvane.SerialException as e:
        got = e
    timer.join()
    if end == "close":
        assert isinstance(got, korvane.SerialException)
        assert not port.is_open
        return
    assert got == (b"abcd" if end == "data" else b"ab")
    feed(b"e")
    port.timeout = 2
    assert port.read(1) == b"e"


@pytest.mark.timeout(20)
def test_reads_after_one_that_waited_still_see_the_waiting_bytes(device):
    port, feed = device
    port.timeout = 2
    timer = later(0.05, feed, b"a")
    assert port.read(1) == b"a"  # its first try found nothing
    timer.join()
    feed(b"bcd")
    wait_for_input(port, 3)
    port.timeout = 0
    assert port.read(1) == b"b"  # a due deadline still tries the device
    port.timeout = 2
    assert port.read(2) == b"cd"
    timer = later(0.05, feed, b"e")
    assert port.read(1) == b"e"
    timer.join()
    port.cancel_read()
    assert port.read(1) == b""
