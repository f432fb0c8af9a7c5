"""Asyncio transport throughput and round trips. Prints figures; not a test.

Over a pty pair whose master end echoes everything back: korvane's transport
against asyncio's own pipe transports (connect_read_pipe/connect_write_pipe on
duplicates of the same slave descriptor), writing 4 KiB or 64 KiB at a time,
in MB/s of data sent and echoed back. Then 64-byte request/response round trips
through open_serial_connection streams on loop:// and on a pty. Each figure is
the median of 3 rounds.
"""

import asyncio
import os
import select
import statistics
import threading
import time
import tty

import korvane.aio

TOTAL = 8 * 1024 * 1024
ROUNDS = 3
TRIPS = 3000


def echo(master, stop, total=None):
    """Writes back on the master whatever arrives on it, until `total` bytes or `stop`."""
    done = 0
    while not stop.is_set() and (total is None or done < total):
        if not select.select([master], [], [], 0.05)[0]:
            continue
        data = os.read(master, 65536)
        view = memoryview(data)
        while view:
            view = view[os.write(master, view) :]
        done += len(data)


class Sink(asyncio.Protocol):
    """Counts echoed bytes and follows pause_writing/resume_writing."""

    def __init__(self, total):
        self.left = total
        self.done = asyncio.get_running_loop().create_future()
        self.writable = asyncio.Event()
        self.writable.set()

    def data_received(self, data):
        self.left -= len(data)
        if self.left <= 0 and not self.done.done():
            self.done.set_result(None)

    def pause_writing(self):
        self.writable.clear()

    def resume_writing(self):
        self.writable.set()

    def connection_lost(self, exc):
        pass


async def pump(transport, sink, chunk):
    data = b"x" * chunk
    for _ in range(TOTAL // chunk):
        await sink.writable.wait()
        transport.write(data)
    await asyncio.wait_for(sink.done, 60)


async def korvane_rate(path, chunk):
    loop = asyncio.get_running_loop()
    start = time.perf_counter()
    transport, sink = await korvane.aio.create_serial_connection(loop, lambda: Sink(TOTAL), path)
    await pump(transport, sink, chunk)
    elapsed = time.perf_counter() - start
    transport.close()
    return elapsed


async def pipe_rate(slave, chunk):
    loop = asyncio.get_running_loop()
    reading = os.fdopen(os.dup(slave), "rb", buffering=0)
    writing = os.fdopen(os.dup(slave), "wb", buffering=0)
    start = time.perf_counter()
    sink = Sink(TOTAL)
    reader, _ = await loop.connect_read_pipe(lambda: sink, reading)
    writer, _ = await loop.connect_write_pipe(lambda: sink, writing)
    await pump(writer, sink, chunk)
    elapsed = time.perf_counter() - start
    reader.close()
    writer.close()
    await asyncio.sleep(0)
    return elapsed


def throughput(chunk):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    tty.setraw(slave)
    rates = {"korvane": [], "pipes": []}
    for _ in range(ROUNDS):
        for name in rates:
            stop = threading.Event()
            thread = threading.Thread(target=echo, args=(master, stop, TOTAL))
            thread.start()
            run = korvane_rate(path, chunk) if name == "korvane" else pipe_rate(slave, chunk)
            elapsed = asyncio.run(run)
            stop.set()
            thread.join()
            rates[name].append(TOTAL / elapsed / 1e6)
    os.close(master)
    os.close(slave)
    return statistics.median(rates["korvane"]), statistics.median(rates["pipes"])


async def round_trips(url):
    reader, writer = await korvane.aio.open_serial_connection(url=url)
    message = b"m" * 64
    start = time.perf_counter()
    for _ in range(TRIPS):
        writer.write(message)
        await reader.readexactly(64)
    elapsed = time.perf_counter() - start
    writer.close()
    await writer.wait_closed()
    return TRIPS / elapsed


def trips_on(url, master=None):
    rates = []
    for _ in range(ROUNDS):
        stop = threading.Event()
        thread = threading.Thread(target=echo, args=(master, stop)) if master is not None else None
        if thread:
            thread.start()
        rates.append(asyncio.run(round_trips(url)))
        stop.set()
        if thread:
            thread.join()
    return statistics.median(rates)


def main():
    print(f"pty, far end echoing, {TOTAL >> 20} MiB each way, median of {ROUNDS}")
    print("write size   korvane MB/s   asyncio pipes MB/s   ratio")
    for chunk in (4096, 65536):
        ours, pipes = throughput(chunk)
        print(f"{chunk:>10}   {ours:12.1f}   {pipes:18.1f}   {ours / pipes:5.2f}")
    print(f"64-byte round trips through open_serial_connection streams, median of {ROUNDS}")
    print(f"  loop://: {trips_on('loop://'):,.0f} per second")
    master, slave = os.openpty()
    print(f"  pty:     {trips_on(os.ttyname(slave), master):,.0f} per second")
    os.close(master)
    os.close(slave)


if __name__ == "__main__":
    main()
