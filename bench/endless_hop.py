#!/usr/bin/env python3
"""A next hop that never ends its replies, for benchmarks of kestran-deliver's bounds.

    endless_hop.py PORT MODE

MODE lines: after the greeting, every reply is "250-" continuation lines without end.
MODE drip: every reply is dripped one byte a second. Each connection on a thread of its own.
"""
import socket
import sys
import threading
import time

PORT = int(sys.argv[1])
MODE = sys.argv[2]


def session(conn):
    try:
        conn.sendall(b"220 endless\r\n")
        conn.recv(4096)
        if MODE == "drip":
            for c in b"250 a reply that never seems to end\r\n" * 1000:
                conn.sendall(bytes([c]))
                time.sleep(1)
        else:
            line = b"250-" + b"y" * 1000 + b"\r\n"
            while True:
                conn.sendall(line * 64)
    except OSError:
        pass
    finally:
        conn.close()


s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", PORT))
s.listen(64)
while True:
    c, _ = s.accept()
    threading.Thread(target=session, args=(c,), daemon=True).start()
