#!/usr/bin/env python3
"""A loopback TCP proxy that behaves like a slower, farther link: every byte
waits DELAY_MS in each direction and each direction is paced to MBITS.
A new connection first waits one round trip, as its handshake would.

    linkproxy.py LISTEN_PORT TARGET_PORT [DELAY_MS [MBITS]]   (default 15 ms, 100 Mbit/s)
"""
import collections
import socket
import sys
import threading
import time


class Direction:
    """Bytes from one socket to the other: a reader stamps each chunk as it
    arrives, a sender lets it out once it has been delayed and its turn on the
    paced link has come."""

    def __init__(self, source, sink, delay, rate):
        self.source, self.sink = source, sink
        self.delay, self.rate = delay, rate
        self.chunks = collections.deque()
        self.ready = threading.Condition()
        self.ended = False

    def read(self):
        try:
            while data := self.source.recv(65536):
                with self.ready:
                    self.chunks.append((time.monotonic(), data))
                    self.ready.notify()
        except OSError:
            pass
        with self.ready:
            self.ended = True
            self.ready.notify()

    def send(self):
        link_free = 0.0
        try:
            while True:
                with self.ready:
                    while not self.chunks and not self.ended:
                        self.ready.wait()
                    if not self.chunks:
                        break
                    arrived, data = self.chunks.popleft()
                # The chunk leaves once it has crossed the link and the
                # chunks before it have gone through the pipe.
                link_free = max(arrived + self.delay, link_free) + len(data) * 8 / self.rate
                wait = link_free - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                self.sink.sendall(data)
            self.sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def start(self):
        threads = [threading.Thread(target=f, daemon=True) for f in (self.read, self.send)]
        for thread in threads:
            thread.start()
        return threads


def serve(client, target_port, delay, rate):
    time.sleep(2 * delay)
    try:
        upstream = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        client.close()
        return
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threads = Direction(client, upstream, delay, rate).start() + Direction(upstream, client, delay, rate).start()
    for thread in threads:
        thread.join()
    client.close()
    upstream.close()


def main():
    listen_port, target_port = int(sys.argv[1]), int(sys.argv[2])
    delay = (float(sys.argv[3]) if len(sys.argv) > 3 else 15.0) / 1000
    rate = (float(sys.argv[4]) if len(sys.argv) > 4 else 100.0) * 1e6
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", listen_port))
    server.listen(16)
    while True:
        client, _ = server.accept()
        threading.Thread(target=serve, args=(client, target_port, delay, rate), daemon=True).start()


if __name__ == "__main__":
    main()
