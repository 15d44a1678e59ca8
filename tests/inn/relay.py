#!/usr/bin/env python3
"""A relay on loopback that counts the bytes that cross it.

    relay.py LISTEN_PORT TARGET_PORT COUNTS_FILE

Listens on 127.0.0.1:LISTEN_PORT and relays every connection to
127.0.0.1:TARGET_PORT unchanged.  When a connection has ended both ways it
appends one line to COUNTS_FILE: the bytes that went from the server to the
client, a blank, and the bytes that went from the client to the server.
Writes "ready" to standard output once it listens; runs until SIGTERM.
"""
import selectors
import signal
import socket
import sys


def main():
    listen_port, target_port, counts_file = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", listen_port))
    listener.listen(8)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ, None)
    print("ready", flush=True)
    while True:
        for key, _ in sel.select():
            if key.data is None:
                client, _ = listener.accept()
                server = socket.create_connection(("127.0.0.1", target_port))
                for s in (client, server):
                    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                # [from the server, from the client], and the sides still open
                pair = {"count": [0, 0], "open": 2}
                sel.register(server, selectors.EVENT_READ, (server, client, 0, pair))
                sel.register(client, selectors.EVENT_READ, (client, server, 1, pair))
                continue
            source, sink, way, pair = key.data
            try:
                data = source.recv(65536)
            except ConnectionError:
                data = b""
            if data:
                # A server that writes a status line and its text in two
                # writes would otherwise wait for the relay's delayed ACK
                # on every request.
                if hasattr(socket, "TCP_QUICKACK"):
                    source.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
                pair["count"][way] += len(data)
                try:
                    sink.sendall(data)
                except ConnectionError:
                    pass
                continue
            sel.unregister(source)
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            pair["open"] -= 1
            if pair["open"] == 0:
                source.close()
                sink.close()
                with open(counts_file, "a") as f:
                    f.write("%d %d\n" % tuple(pair["count"]))


if __name__ == "__main__":
    main()
