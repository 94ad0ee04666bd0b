#!/usr/bin/env python3
"""A loopback TCP proxy whose link drops: every connection is reset after
it has carried a given number of bytes towards the client.

    dropproxy.py LISTEN_PORT TARGET_PORT BYTES_PER_CONNECTION
"""
import socket
import struct
import sys
import threading


def relay_requests(client, upstream):
    try:
        while data := client.recv(65536):
            upstream.sendall(data)
    except OSError:
        pass


def serve(client, target_port, budget):
    upstream = socket.create_connection(("127.0.0.1", target_port))
    reader = threading.Thread(target=relay_requests, args=(client, upstream), daemon=True)
    reader.start()
    sent = 0
    try:
        while sent < budget:
            data = upstream.recv(min(262144, budget - sent))
            if not data:
                break
            client.sendall(data)
            sent += len(data)
    except OSError:
        pass
    if sent >= budget:
        # The link drops: a reset, not an orderly close.
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    # The reader must let go of the socket, or closing it sends nothing.
    client.shutdown(socket.SHUT_RD)
    reader.join(1)
    client.close()
    upstream.close()


def main():
    listen_port, target_port, budget = (int(a) for a in sys.argv[1:4])
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", listen_port))
    server.listen(16)
    while True:
        client, _ = server.accept()
        threading.Thread(target=serve, args=(client, target_port, budget), daemon=True).start()


if __name__ == "__main__":
    main()
