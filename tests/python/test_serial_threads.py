"""Many threads on one port: nothing lost, split or duplicated."""

import os
import threading

import pytest

import korvane

WRITERS = 8
RECORDS = 200


def run_threads(port_factory, reader):
    port = port_factory()
    records = [f"{w:02d}:{i:05d}\n".encode() for w in range(WRITERS) for i in range(RECORDS)]
    errors = []

    def writer(w):
        try:
            for i in range(RECORDS):
                port.write(f"{w:02d}:{i:05d}\n".encode())
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def fiddler():
        for i in range(100):
            port.timeout = 0.2 if i % 2 else 0.25
            port.baudrate = 19200 if i % 2 else 9600
            port.get_settings()
            repr(port)

    got = []
    lock = threading.Lock()
    threads = [threading.Thread(target=writer, args=(w,)) for w in range(WRITERS)]
    threads += [threading.Thread(target=reader, args=(port, got, lock, len(records), errors)) for _ in range(8)]
    threads.append(threading.Thread(target=fiddler))
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    port.close()
    assert not errors
    assert sorted(got) == sorted(records)


def line_reader(port, got, lock, total, errors):
    while True:
        with lock:
            if len(got) >= total:
                return
        line = port.readline()
        if line:
            with lock:
                got.append(line)


def test_threads_on_loopback():
    run_threads(lambda: korvane.Serial("loop://", timeout=0.2), line_reader)


def test_threads_over_a_pty():
    master, slave = os.openpty()
    stop = threading.Event()

    def echo():
        while not stop.is_set():
            try:
                data = os.read(master, 65536)
            except OSError:
                return
            os.write(master, data)

    t = threading.Thread(target=echo, daemon=True)
    t.start()
    try:
        run_threads(lambda: korvane.Serial(os.ttyname(slave), timeout=0.2), line_reader)
    finally:
        stop.set()
        os.close(master)
        os.close(slave)
