"""Throughput, round trips and small-operation cost, side by side with the raw
descriptor. Prints figures; not a test.

Every pty figure opens a fresh pseudo-terminal pair: korvane (or the raw slave
descriptor) on the slave end, a thread on the master end playing the device
(swallowing, feeding or echoing bytes); the asyncio rows compare with
asyncio's own add_reader path or pipe transports on the same pty. Each row is measured in 3 rounds of
korvane, raw, raw, korvane runs back to back, and the table shows the medians:
figures are only comparable as ratios taken in the same run on a noisy machine.

    throughput.py                 the table, then system calls per operation
    throughput.py -k echo         only the rows whose name contains "echo"
    throughput.py --no-strace     skip the system call counts
"""

import argparse
import asyncio
import contextlib
import inspect
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

import korvane

ROUNDS = 3
TOTAL = 4 * 1024 * 1024  # bytes per throughput figure
TIMED = 0.3  # seconds per run of the rate figures
ROUND_LIMIT = 30  # seconds; a stuck run fails instead of hanging the bench
LINE = b"x" * 63 + b"\n"
TIMEOUT = 2  # korvane's read/write timeouts: a lost byte fails the run
MARK_BEGIN, MARK_END = "/korvane-bench/begin", "/korvane-bench/end"


class Stuck(Exception):
    pass


@contextlib.contextmanager
def bounded(seconds=ROUND_LIMIT):
    def expired(signum, frame):
        raise Stuck(f"a run took more than {seconds} s")

    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


def must(got, n):
    if len(got) != n:
        raise Stuck(f"asked for {n} bytes, got {len(got)}")
    return got


# --- the device end -------------------------------------------------------

class Device:
    """A thread on the pty master: `sink` reads everything, `source` writes
    `pattern` forever, `echo` sends back what it reads. The master is
    non-blocking and every wait is a bounded select, so the thread never holds
    a full buffer while the other end waits on it, and it ends soon after
    `stop()` whatever state the measured side left behind."""

    def __init__(self, master, mode, pattern=b""):
        self.master, self.mode, self.stopping = master, mode, False
        self.pattern = pattern * max(1, 65536 // max(1, len(pattern)))
        os.set_blocking(master, False)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        fd, out, offset = self.master, b"", 0
        while not self.stopping:
            if self.mode == "source" and not out:
                out, offset = self.pattern, 0
            readers = [] if self.mode == "source" else [fd]
            writers = [fd] if out else []
            try:
                r, w, _ = select.select(readers, writers, [], 0.1)
                if r:
                    got = os.read(fd, 65536)
                    if self.mode == "echo":
                        out += got
                if w:
                    offset += os.write(fd, out[offset:offset + 65536])
                    if offset == len(out):
                        out, offset = b"", 0
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:  # the slave went away: the run is over
                return

    def stop(self):
        self.stopping = True
        self.thread.join(5)


class Pty:
    """A pty pair with a device thread; `port` is korvane's end (or None for
    the raw slave descriptor, then set to raw mode like korvane does)."""

    def __init__(self, mode, pattern=b"", korvane_class=None):
        self.master, self.slave = os.openpty()
        self.port = None
        if korvane_class is not None:
            self.port = korvane_class(os.ttyname(self.slave), timeout=TIMEOUT, write_timeout=TIMEOUT)
        else:
            tty.setraw(self.slave)
        self.device = Device(self.master, mode, pattern)

    def close(self):
        self.device.stop()
        if self.port is not None:
            self.port.close()
        os.close(self.slave)
        os.close(self.master)


# --- workloads: setup(korvane: bool) -> (op, units per op, close) ---------

def throughput(writing, chunk):
    def setup(use_korvane):
        pty = Pty("sink" if writing else "source", b"y", korvane.Serial if use_korvane else None)
        data, fd = b"x" * chunk, pty.slave
        if use_korvane:
            port = pty.port
            op = (lambda: port.write(data)) if writing else (lambda: must(port.read(chunk), chunk))
        elif writing:
            def op():
                done = 0
                while done < chunk:
                    done += os.write(fd, data[done:] if done else data)
        else:
            def op():
                got = os.read(fd, chunk)
                while len(got) < chunk:
                    got += os.read(fd, chunk - len(got))
                return got
        return op, chunk, pty.close
    setup.count = TOTAL // chunk  # calls per transfer
    setup.probe_count = max(16, 256 * 1024 // chunk)
    return setup


def echo(use_korvane):
    pty = Pty("echo", korvane_class=korvane.Serial if use_korvane else None)
    if use_korvane:
        port = pty.port

        def op():
            port.write(b"e")
            must(port.read(1), 1)
    else:
        fd = pty.slave

        def op():
            os.write(fd, b"e")
            os.read(fd, 1)
    return op, 1, pty.close


def lines(use_korvane):
    pty = Pty("source", LINE, korvane.Serial if use_korvane else None)
    if use_korvane:
        port = pty.port

        def op():
            must(port.readline(), len(LINE))
    else:
        fd = pty.slave

        def op():
            line = bytearray()
            while True:
                c = os.read(fd, 1)
                line += c
                if c == b"\n":
                    return line
    return op, 1, pty.close


def loop_pairs(use_korvane):
    port = korvane.Serial("loop://", timeout=TIMEOUT)

    def op():
        port.write(b"a")
        port.read(1)
    return op, 1, port.close


def loop_buffered(use_korvane):
    port = korvane.Serial("loop://", timeout=TIMEOUT)
    block = b"b" * 4000
    read = port.read

    def op():
        port.write(block)
        for _ in range(4000):
            read(1)
    return op, 4000, port.close


loop_buffered.calls_per_op = 4000
echo.probe_count, lines.probe_count, loop_pairs.probe_count, loop_buffered.probe_count = 1000, 200, 5000, 2


async def aio_echo(use_korvane):
    """asyncio round trips: korvane.aio.Serial against the loop's own
    add_reader path on a non-blocking raw descriptor of the same pty."""
    pty = Pty("echo", korvane_class=korvane.aio.Serial if use_korvane else None)
    if use_korvane:
        port = pty.port

        async def op():
            await port.write(b"e")
            must(await port.read(1), 1)
    else:
        fd, loop = pty.slave, asyncio.get_running_loop()
        os.set_blocking(fd, False)

        async def op():
            os.write(fd, b"e")
            try:
                return os.read(fd, 1)
            except BlockingIOError:
                pass
            ready = loop.create_future()
            loop.add_reader(fd, ready.set_result, None)
            try:
                await ready
            finally:
                loop.remove_reader(fd)
            return os.read(fd, 1)
    return op, 1, pty.close


aio_echo.probe_count = 500


def closer(pty, *transports):
    """The close of an asyncio workload; carries the device for the probe."""
    async def close():
        for t in transports:
            t.close()
        await asyncio.sleep(0.01)  # connection_lost and the final flush run
        pty.close()
    close.device = pty.device
    return close


async def stream_echo(use_korvane):
    """The same StreamReader/StreamWriter round trip (write 1 byte, drain,
    readexactly(1)) over korvane's transport and over asyncio's pipe
    transports on the same pty."""
    pty = Pty("echo")
    if use_korvane:
        reader, writer = await korvane.aio.open_serial_connection(url=os.ttyname(pty.slave))
        transports = (writer.transport,)
    else:
        loop = asyncio.get_running_loop()
        reader = asyncio.StreamReader()
        read_side, _ = await loop.connect_read_pipe(
            lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(os.dup(pty.slave), "rb", buffering=0))
        # The write side's protocol only serves drain(); nothing feeds its reader.
        write_side, write_protocol = await loop.connect_write_pipe(
            lambda: asyncio.StreamReaderProtocol(asyncio.StreamReader()),
            os.fdopen(os.dup(pty.slave), "wb", buffering=0))
        writer = asyncio.StreamWriter(write_side, write_protocol, reader, loop)
        transports = (read_side, write_side)

    async def op():
        writer.write(b"e")
        await writer.drain()
        must(await reader.readexactly(1), 1)
    return op, 1, closer(pty, *transports)


stream_echo.probe_count = 500


def per_second(op, units, batch=16, seconds=TIMED):
    """Runs `op` in whole batches until `seconds` have passed; units per second."""
    n, start = 0, time.perf_counter()
    while True:
        for _ in range(batch):
            op()
        n += batch
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return n * units / elapsed


async def aio_per_second(op, units, seconds=TIMED):
    n, batch, start = 0, 16, time.perf_counter()
    while True:
        for _ in range(batch):
            await op()
        n += batch
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return n * units / elapsed


async def finished(closing):
    """Waits for a close that is a coroutine."""
    if inspect.isawaitable(closing):
        await closing


def measure(setup, use_korvane):
    with bounded():
        if inspect.iscoroutinefunction(setup):
            async def main():
                op, units, close = await setup(use_korvane)
                try:
                    await op()  # warm-up: first-use costs are not the rate
                    return await aio_per_second(op, units)
                finally:
                    await finished(close())
            return asyncio.run(main())
        op, units, close = setup(use_korvane)
        try:
            op()
            # A throughput run moves whole transfers of TOTAL bytes.
            return per_second(op, units, getattr(setup, "count", 16))
        finally:
            close()


# --- the table ------------------------------------------------------------

MB = ("MB/s", 1e6)
K = ("k/s", 1e3)
ROWS = [  # name, workload, unit, aim: ratio to raw, or an absolute rate for loop://
    ("pty write 64 B", throughput(True, 64), MB, 0.8),
    ("pty read 64 B", throughput(False, 64), MB, 0.8),
    ("pty write 4 KiB", throughput(True, 4096), MB, 0.9),
    ("pty read 4 KiB", throughput(False, 4096), MB, 0.9),
    ("pty write 64 KiB", throughput(True, 65536), MB, 0.9),
    ("pty read 64 KiB", throughput(False, 65536), MB, 0.9),
    ("loop:// write(1)+read(1) pairs", loop_pairs, K, ("abs", 2e6)),
    ("loop:// buffered read(1)", loop_buffered, K, None),
    ("pty echo write(1)+read(1)", echo, K, 0.85),
    ("asyncio pty echo vs add_reader", aio_echo, K, 0.9),
    ("streams echo vs pipe transp.", stream_echo, K, 0.9),
    ("pty readline 64 B lines", lines, K, 0.9),
]


def has_raw(setup):
    return setup not in (loop_pairs, loop_buffered)


def run_row(name, setup, unit, aim):
    ours, raw, ratios = [], [], []
    for round_ in range(ROUNDS):
        # korvane, raw, raw, korvane (or the mirror): a drift in the machine's
        # load during the round weighs on both sides alike.
        first = round_ % 2 == 0
        order = (first, not first, not first, first) if has_raw(setup) else (True, True)
        got = {True: [], False: []}
        for side in order:
            got[side].append(measure(setup, side))
        ours.append(statistics.fmean(got[True]))
        if got[False]:
            raw.append(statistics.fmean(got[False]))
            ratios.append(ours[-1] / raw[-1])
    label, scale = unit
    mine = statistics.median(ours) / scale
    cells = [name, f"{mine:,.1f} {label}"]
    if raw:
        ratio = statistics.median(ratios)
        spread = f"{ratio:.2f} [{min(ratios):.2f}-{max(ratios):.2f}]"
        cells += [f"{statistics.median(raw) / scale:,.1f} {label}", spread]
        met = ratio >= aim
        cells.append(f">= {aim:.2f} of raw: {'met' if met else 'not met'}")
    else:
        cells += ["-", "-"]
        if aim:
            met = mine * scale >= aim[1]
            cells.append(f">= {aim[1]:,.0f}/s: {'met' if met else 'not met'}")
        else:
            cells.append("-")
    return cells


def table_line(cells, widths):
    return " | ".join(c.ljust(w) if i == 0 else c.rjust(w)
                      for i, (c, w) in enumerate(zip(cells, widths))).rstrip()


def print_head(header, widths):
    print(table_line(header, widths))
    print("-+-".join("-" * w for w in widths))


# --- system calls per operation (optional: needs strace) ------------------

def probe(index, use_korvane):
    """Runs one small workload between two marker calls, for strace to count;
    prints the device thread's id, whose calls are not the measured side's."""
    name, setup, _, _ = ROWS[index]
    count = setup.probe_count

    def mark(path):
        os.access(path, os.F_OK)

    def tell(pty_close):
        dev = getattr(pty_close, "device", None) or getattr(getattr(pty_close, "__self__", None), "device", None)
        print(dev.thread.native_id if dev else 0, flush=True)

    with bounded():
        if inspect.iscoroutinefunction(setup):
            async def main():
                op, units, close = await setup(use_korvane)
                tell(close)
                await op()
                mark(MARK_BEGIN)
                for _ in range(count):
                    await op()
                mark(MARK_END)
                await finished(close())
            asyncio.run(main())
        else:
            op, units, close = setup(use_korvane)
            tell(close)
            op()
            mark(MARK_BEGIN)
            for _ in range(count):
                op()
            mark(MARK_END)
            close()
    print(count * getattr(setup, "calls_per_op", 1), flush=True)


def count_calls(index, use_korvane):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "trace")
        run = subprocess.run(
            ["strace", "-f", "-qq", "-o", out, sys.executable, __file__,
             "--probe", str(index), "korvane" if use_korvane else "raw"],
            capture_output=True, text=True, timeout=60)
        if run.returncode != 0:
            raise RuntimeError(run.stderr.strip().splitlines()[-1] if run.stderr.strip() else "probe failed")
        device, ops = (int(x) for x in run.stdout.split())
        calls, inside = 0, False
        with open(out) as trace:
            for entry in trace:
                if MARK_BEGIN in entry:
                    inside = True
                elif MARK_END in entry:
                    break
                elif inside:
                    tid, _, call = entry.partition(" ")
                    # A call cut by another thread's shows twice: count its start only.
                    if int(tid) != device and not call.lstrip().startswith(("<...", "+++", "---")):
                        calls += 1
        return calls / ops


def print_calls(indexes):
    widths = [30, 9, 9]
    print("\nSystem calls per call (strace -f; the device thread's calls not counted)")
    print_head(["figure", "korvane", "raw"], widths)
    for i in indexes:
        name, setup, _, _ = ROWS[i]
        try:
            ours = count_calls(i, True)
            raw = f"{count_calls(i, False):.2f}" if has_raw(setup) else "-"
            cells = [name, f"{ours:.2f}", raw]
        except (RuntimeError, subprocess.TimeoutExpired, ValueError) as e:
            cells = [name, f"failed: {e}", ""]
        print(table_line(cells, widths), flush=True)


def main():
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("-k", metavar="TEXT", default="", help="only the rows whose name contains TEXT")
    args.add_argument("--no-strace", action="store_true", help="skip the system call counts")
    args.add_argument("--probe", nargs=2, help=argparse.SUPPRESS)
    opts = args.parse_args()
    if opts.probe:
        probe(int(opts.probe[0]), opts.probe[1] == "korvane")
        return
    chosen = [i for i, row in enumerate(ROWS) if opts.k in row[0]]
    print(f"korvane against the raw descriptor, median of {ROUNDS} rounds"
          f" ({TOTAL >> 20} MiB per throughput figure; ratio = korvane / raw in the same round,"
          " [lowest-highest round])\n")
    started = time.perf_counter()
    widths = [30, 13, 13, 16, 29]
    print_head(["figure", "korvane", "raw", "ratio", "aim"], widths)
    for i in chosen:
        try:
            cells = run_row(*ROWS[i])
        except Exception as e:  # one broken row must not hide the others
            cells = [ROWS[i][0], f"failed: {type(e).__name__}: {e}"]
        print(table_line(cells, widths), flush=True)
    print(f"({time.perf_counter() - started:.0f} s)")
    if not opts.no_strace and shutil.which("strace"):
        print_calls(chosen)


if __name__ == "__main__":
    main()
