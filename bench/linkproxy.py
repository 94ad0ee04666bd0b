#!/usr/bin/env python3
"""A loopback TCP proxy that behaves like one slower, farther link: every
connection through it shares one rate in each direction, and every byte
crosses after DELAY_MS (half the round trip). A new connection costs one
round trip before its first byte goes out, as its handshake would. Bytes are
forwarded untouched, so TLS (and HTTP/2 chosen by ALPN) passes through.

    linkproxy.py LISTEN_PORT TARGET_PORT [DELAY_MS [MBITS]]   (default 15 ms, 100 Mbit/s)

A connection holds at most a window of bytes not yet delivered (twice what
the link carries in a round trip, at least 1 MiB), as TCP would; beyond it
the proxy stops reading that connection.
"""
import asyncio
import collections
import socket
import sys
import time


class Direction:
    """One direction of the link: a single queue in arrival order, shared by
    every connection. A chunk goes onto the wire once the chunks before it
    have, takes its length at the link's rate, then DELAY to arrive."""

    def __init__(self, delay, rate):
        self.delay, self.rate = delay, rate
        self.free = 0.0
        self.queue = collections.deque()
        self.waiting = asyncio.Event()
        asyncio.get_running_loop().create_task(self.deliver())

    def send(self, flow, data):
        self.free = max(time.monotonic(), self.free) + len(data) * 8 / self.rate
        flow.pending += len(data)
        self.queue.append((self.free + self.delay, flow, data))
        self.waiting.set()

    def close(self, flow):
        """The end of a flow, delivered after its last byte."""
        self.queue.append((max(self.free, time.monotonic()) + self.delay, flow, None))
        self.waiting.set()

    async def deliver(self):
        while True:
            if not self.queue:
                self.waiting.clear()
                await self.waiting.wait()
                continue
            due, flow, data = self.queue[0]
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
                continue
            self.queue.popleft()
            flow.deliver(data)


class Flow:
    """The bytes of one connection in one direction."""

    def __init__(self, reader, writer, window):
        self.reader, self.writer, self.window = reader, writer, window
        self.pending = 0
        self.room = asyncio.Event()
        self.room.set()
        self.ended = asyncio.Event()

    def deliver(self, data):
        try:
            if data is None:
                self.ended.set()
                if self.writer.can_write_eof():
                    self.writer.write_eof()
                return
            self.pending -= len(data)
            if self.pending <= self.window:
                self.room.set()
            if not self.writer.is_closing():
                self.writer.write(data)
        except (OSError, RuntimeError):
            pass

    async def run(self, direction, start):
        await asyncio.sleep(start - time.monotonic())
        try:
            while data := await self.reader.read(65536):
                direction.send(self, data)
                if self.pending > self.window:
                    self.room.clear()
                    await self.room.wait()
                await self.writer.drain()
        except (OSError, asyncio.IncompleteReadError):
            pass
        direction.close(self)
        await self.ended.wait()


class Link:
    def __init__(self, target_port, delay, rate):
        self.target_port, self.delay = target_port, delay
        self.up, self.down = Direction(delay, rate), Direction(delay, rate)
        self.window = max(1 << 20, int(2 * rate * 2 * delay / 8))

    async def serve(self, client_reader, client_writer):
        # The handshake: the client's first byte leaves one round trip after
        # it connected.
        handshaken = time.monotonic() + 2 * self.delay
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            client_writer.close()
            return
        for writer in (client_writer, server_writer):
            writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        now = time.monotonic()
        await asyncio.gather(Flow(client_reader, server_writer, self.window).run(self.up, handshaken),
                             Flow(server_reader, client_writer, self.window).run(self.down, now))
        for writer in (client_writer, server_writer):
            writer.close()


async def main():
    listen_port, target_port = int(sys.argv[1]), int(sys.argv[2])
    delay = (float(sys.argv[3]) if len(sys.argv) > 3 else 15.0) / 1000
    rate = (float(sys.argv[4]) if len(sys.argv) > 4 else 100.0) * 1e6
    link = Link(target_port, delay, rate)
    server = await asyncio.start_server(link.serve, "127.0.0.1", listen_port, backlog=256, reuse_address=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
