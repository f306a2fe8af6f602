#!/usr/bin/env python3
"""A line of a player's: a TCP relay on 127.0.0.1 that adds a round trip and shares one bandwidth.

    bench/line-relay.py LISTEN_PORT UPSTREAM_PORT RTT_MS MBIT_PER_S

Every connection to LISTEN_PORT is relayed to 127.0.0.1:UPSTREAM_PORT. Each direction delays every byte by half
the round trip; the bytes towards the client also queue on one link of MBIT_PER_S shared by all connections
(the bytes towards the host on another one), as on a player's line. Prints "ready" once it listens.
"""
import asyncio
import sys
import time


class Link:
    """One direction of the line: bytes leave one after another at `rate` bytes per second."""

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    def send(self, size):
        start = max(time.monotonic(), self.free_at)
        self.free_at = start + size / self.rate
        return self.free_at


async def pipe(reader, writer, link, delay):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            item = await queue.get()
            if item is None:
                break
            due, data = item
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    task = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            queue.put_nowait((link.send(len(data)) + delay, data))
    except (ConnectionError, OSError):
        pass
    queue.put_nowait(None)
    try:
        await task
    except (ConnectionError, OSError):
        pass


async def main():
    listen, upstream, rtt_ms, mbit = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
    down, up = Link(mbit * 1e6 / 8), Link(mbit * 1e6 / 8)
    delay = rtt_ms / 2000.0

    async def serve(client_reader, client_writer):
        try:
            host_reader, host_writer = await asyncio.open_connection("127.0.0.1", upstream)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, host_writer, up, delay), pipe(host_reader, client_writer, down, delay))
        client_writer.close()
        host_writer.close()

    server = await asyncio.start_server(serve, "127.0.0.1", listen)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
