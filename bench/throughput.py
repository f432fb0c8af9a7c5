"""Blocking throughput and small-operation cost. Prints figures; not a test.

Over a pty pair: Serial.write/read against os.write/os.read on the same pty
(the physical limit of this path). On loop://: operations per second of a
write(1) + read(1) pair and of a read of already buffered bytes.
"""

import os
import threading
import time

import korvane

TOTAL = 8 * 1024 * 1024


def drain(fd, total):
    got = 0
    while got < total:
        got += len(os.read(fd, 1 << 16))


def raw_rate(chunk):
    master, slave = os.openpty()
    import tty
    tty.setraw(slave)
    data = b"x" * chunk
    t = threading.Thread(target=drain, args=(master, TOTAL))
    start = time.perf_counter()
    t.start()
    sent = 0
    while sent < TOTAL:
        sent += os.write(slave, data)
    t.join()
    elapsed = time.perf_counter() - start
    os.close(master)
    os.close(slave)
    return TOTAL / elapsed / 1e6


def serial_rate(chunk):
    master, slave = os.openpty()
    port = korvane.Serial(os.ttyname(slave), timeout=1)
    data = b"x" * chunk
    t = threading.Thread(target=drain, args=(master, TOTAL))
    start = time.perf_counter()
    t.start()
    sent = 0
    while sent < TOTAL:
        sent += port.write(data)
    t.join()
    elapsed = time.perf_counter() - start
    port.close()
    os.close(master)
    os.close(slave)
    return TOTAL / elapsed / 1e6


def read_rate(chunk, use_serial):
    master, slave = os.openpty()
    port = korvane.Serial(os.ttyname(slave), timeout=1) if use_serial else None
    if not use_serial:
        import tty
        tty.setraw(slave)
    data = b"y" * (1 << 16)

    def feed():
        sent = 0
        while sent < TOTAL:
            sent += os.write(master, data)

    t = threading.Thread(target=feed)
    start = time.perf_counter()
    t.start()
    got = 0
    while got < TOTAL:
        got += len(port.read(chunk) if use_serial else os.read(slave, chunk))
    t.join()
    elapsed = time.perf_counter() - start
    if port:
        port.close()
    os.close(master)
    os.close(slave)
    return TOTAL / elapsed / 1e6


def small_ops():
    port = korvane.Serial("loop://", timeout=1)
    n = 20000
    start = time.perf_counter()
    for _ in range(n):
        port.write(b"a")
        port.read(1)
    pair = (time.perf_counter() - start) / n
    port.write(b"b" * 4000)
    start = time.perf_counter()
    for _ in range(4000):
        port.read(1)
    buffered = (time.perf_counter() - start) / 4000
    port.close()
    return pair, buffered


def main():
    print("chunk      write MB/s (serial / raw / ratio)     read MB/s (serial / raw / ratio)")
    for chunk in (64, 4096, 65536):
        ws, wr = serial_rate(chunk), raw_rate(chunk)
        rs, rr = read_rate(chunk, True), read_rate(chunk, False)
        print(f"{chunk:>6}  {ws:9.1f} {wr:9.1f} {ws / wr:6.2f}        {rs:9.1f} {rr:9.1f} {rs / rr:6.2f}")
    pair, buffered = small_ops()
    print(f"loop:// write(1)+read(1): {pair * 1e6:.1f} us per pair ({1 / pair:,.0f} pairs/s)")
    print(f"loop:// read(1) of buffered bytes: {buffered * 1e6:.1f} us ({1 / buffered:,.0f} reads/s)")


if __name__ == "__main__":
    main()
