"""korvane's loopback demonstration: a port that needs no device.

Everything written to loop:// comes back to be read, through the same engine
that drives real serial ports.
"""

import asyncio
import threading

import korvane
import korvane.aio


def blocking_demo():
    print(f"korvane {korvane.__version__}")
    with korvane.Serial("loop://", baudrate=115200, timeout=0.5) as port:
        print(f"opened   {port!r}")
        sent = port.write(b"hello, serial world\n")
        print(f"wrote    {sent} bytes, {port.in_waiting} waiting")
        print(f"readline {port.readline()!r}")

        port.write("caf\u00e9 \u2615\n")  # a str goes out as UTF-8
        print(f"read     {port.read(11)!r}")

        port.write(b"one\ntwo\nthree")
        print(f"lines    {port.readlines()!r} (the last one ended by the 0.5 s timeout)")

        # A reader blocked in another thread is served as soon as bytes arrive.
        got = []
        reader = threading.Thread(target=lambda: got.append(port.read_until(b"!")))
        reader.start()
        port.write(b"from the main thread!")
        reader.join()
        print(f"thread   {got[0]!r}")

        port.timeout = 0
        print(f"empty    {port.read(10)!r} (timeout 0 returns at once)")
    print(f"closed   {port.closed}")


async def asyncio_demo():
    async with korvane.aio.serial_for_url("loop://", do_not_open=True, timeout=1) as port:
        pending = port.read(5)  # waits on the runtime until the bytes come
        await port.write(b"async")
        print(f"asyncio  {await pending!r}")


if __name__ == "__main__":
    blocking_demo()
    asyncio.run(asyncio_demo())
