"""The native back-end through the Python classes, over pseudo-terminals."""

import os
import termios
import threading
import time

import pytest

import korvane


@pytest.fixture
def pty():
    master, slave = os.openpty()
    path = os.ttyname(slave)
    yield master, slave, path
    for fd in (master, slave):
        try:
            os.close(fd)
        except OSError:
            pass


def cflag(fd):
    return termios.tcgetattr(fd)[2]


def test_open_configure_and_data(pty):
    master, slave, path = pty
    port = korvane.Serial(path, 115200, timeout=1, stopbits=2, rtscts=True)
    try:
        assert port.is_open and port.fileno() >= 0
        assert cflag(slave) & termios.CSTOPB and cflag(slave) & termios.CRTSCTS
        port.stopbits = 1
        assert not cflag(slave) & termios.CSTOPB
        data = bytes(range(256)) * 40
        done = []
        threading.Thread(target=lambda: done.append(port.write(data))).start()
        got = b""
        while len(got) < len(data):
            got += os.read(master, 65536)
        assert got == data  # no CR/LF translation
        os.write(master, b"line\r\nnext")
        assert port.readline() == b"line\r\n"
        port.timeout = 0.2
        assert port.read(10) == b"next"
        assert port.flush() is None
        port.send_break(0.01)
    finally:
        port.close()


def test_modem_lines_fail_on_a_pty(pty):
    _, _, path = pty
    port = korvane.Serial(path)
    try:
        with pytest.raises(korvane.SerialException) as info:
            port.cts
        assert info.value.errno == 25
    finally:
        port.close()


def test_device_loss_closes_the_port(pty):
    master, _, path = pty
    port = korvane.Serial(path)
    threading.Timer(0.2, os.close, (master,)).start()
    with pytest.raises(korvane.SerialException):
        port.read(10)
    assert port.is_open is False
    with pytest.raises(korvane.PortNotOpenError):
        port.read(1)


def test_exclusive_lock_conflict(pty):
    _, _, path = pty
    first = korvane.Serial(path, exclusive=True)
    try:
        with pytest.raises(korvane.SerialException) as info:
            korvane.Serial(path)
        assert info.value.errno is None
        assert str(info.value) == f"could not open port {path}: Unable to acquire shared lock on serial port"
    finally:
        first.close()
    korvane.Serial(path).close()


def test_failed_reconfigure_keeps_record_and_device_agreeing(pty):
    master, slave, path = pty
    port = korvane.Serial(path, stopbits=2)
    try:
        os.close(master)  # the device hangs up: every reconfigure now fails
        with pytest.raises(korvane.SerialException) as info:
            port.apply_settings({"baudrate": 57600, "timeout": 3})
        assert info.value.errno == 5
        assert (port.baudrate, port.timeout, port.stopbits) == (9600, None, 2)
        port.timeout = 1  # a timeout alone never touches the device
        assert port.timeout == 1
    finally:
        port.close()


@pytest.mark.parametrize("call", ["read", "read_until"])
@pytest.mark.parametrize("reopen", ["close and open", "port change"])
def test_a_read_never_spans_a_reopen(pty, call, reopen):
    # The bytes gathered before the close belong to an open that has ended:
    # joined to bytes of the next open they would be a record nobody sent.
    master, _, path = pty
    port = korvane.Serial(path, timeout=2)
    outcomes = []
    try:
        for i in range(60):
            os.write(master, b"a" * 48)
            got = []

            def reader():
                try:
                    if call == "read":
                        got.append(port.read(96))
                    else:
                        got.append(port.read_until(b"\n", 96))
                except korvane.PortNotOpenError:
                    got.append(None)

            t = threading.Thread(target=reader)
            t.start()
            time.sleep(0.002 + (i % 15) / 1000)
            if reopen == "port change":
                port.port = path
            else:
                port.close()
                port.open()
            os.write(master, b"b" * 48)
            t.join(10)
            assert not t.is_alive()
            if got[0] is not None:
                assert not (b"a" in got[0] and b"b" in got[0]), got[0]
            outcomes.append(got[0])
            port.reset_input_buffer()
            termios.tcflush(master, termios.TCIFLUSH)
    finally:
        port.close()
    assert outcomes.count(None) > len(outcomes) // 2
