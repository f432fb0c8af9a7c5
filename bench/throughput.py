"""Blocking throughput and small-operation cost. Prints figures; not a test.

Over a pty pair: Serial.write/read against os.write/os.read on the same pty
(the physical limit of this path). On loop://: operations per second of a
write(1) + read(1) pair and of a read of already buffered bytes.
"""

import os
import threading
import time
import tty

import korvane

TOTAL = 8 * 1024 * 1024


def pump(fd, total, write):
    """Moves `total` bytes through one end of the pty: reading, or writing 64 KiB blocks."""
    done = 0
    block = b"y" * (1 << 16)
    while done < total:
        done += os.write(fd, block) if write else len(os.read(fd, 1 << 16))


def pty_rate(chunk, use_serial, writing):
    """MB/s of Serial (or the raw slave descriptor) writing or reading `chunk`-sized calls."""
    master, slave = os.openpty()
    if use_serial:
        port = korvane.Serial(os.ttyname(slave), timeout=1)
        write, read = port.write, port.read
    else:
        tty.setraw(slave)
        write, read = (lambda d: os.write(slave, d)), (lambda n: os.read(slave, n))
    # The master end plays the device: it reads what we write, or feeds what we read.
    other = threading.Thread(target=pump, args=(master, TOTAL, not writing))
    data = b"x" * chunk
    start = time.perf_counter()
    other.start()
    done = 0
    while done < TOTAL:
        done += write(data) if writing else len(read(chunk))
    other.join()
    elapsed = time.perf_counter() - start
    if use_serial:
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
        ws, wr = pty_rate(chunk, True, True), pty_rate(chunk, False, True)
        rs, rr = pty_rate(chunk, True, False), pty_rate(chunk, False, False)
        print(f"{chunk:>6}  {ws:9.1f} {wr:9.1f} {ws / wr:6.2f}        {rs:9.1f} {rr:9.1f} {rs / rr:6.2f}")
    pair, buffered = small_ops()
    print(f"loop:// write(1)+read(1): {pair * 1e6:.1f} us per pair ({1 / pair:,.0f} pairs/s)")
    print(f"loop:// read(1) of buffered bytes: {buffered * 1e6:.1f} us ({1 / buffered:,.0f} reads/s)")


if __name__ == "__main__":
    main()
