#!/usr/bin/env python3
"""A TCP proxy on loopback that gives every connection a long link.

Usage: delay-proxy.py LISTEN_PORT TARGET_PORT RTT_MS [SECONDS]

Every byte is held for half the round trip in each direction, in order, and
a new connection's first bytes wait one more round trip, as its handshake
would over such a link. Only 127.0.0.1 is listened on and connected to; the
proxy ends by itself after SECONDS (default 600).
"""
import asyncio
import sys
import time


async def pump(reader, writer, delay, start_at):
    # Chunks leave in arrival order, each delay seconds after it arrived
    # (and never before start_at).
    queue = asyncio.Queue()

    async def release():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    writer.write_eof()
                except (OSError, RuntimeError):
                    pass
                return
            writer.write(data)
            await writer.drain()

    releaser = asyncio.ensure_future(release())
    try:
        while True:
            data = await reader.read(65536)
            due = max(time.monotonic() + delay, start_at + delay)
            await queue.put((due, data if data else None))
            if not data:
                break
        await releaser
    except (ConnectionError, OSError):
        releaser.cancel()


async def handle(client_reader, client_writer, target_port, rtt):
    start_at = time.monotonic() + rtt  # the handshake's round trip
    try:
        server_reader, server_writer = await asyncio.open_connection('127.0.0.1', target_port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(
        pump(client_reader, server_writer, rtt / 2, start_at),
        pump(server_reader, client_writer, rtt / 2, 0),
        return_exceptions=True)
    for w in (server_writer, client_writer):
        try:
            w.close()
        except OSError:
            pass


async def main():
    listen_port, target_port, rtt_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 600
    server = await asyncio.start_server(
        lambda r, w: handle(r, w, target_port, rtt_ms / 1000), '127.0.0.1', listen_port)
    async with server:
        await asyncio.sleep(seconds)


if __name__ == '__main__':
    asyncio.run(main())
