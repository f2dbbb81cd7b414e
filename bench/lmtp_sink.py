#!/usr/bin/env python3
"""An LMTP (or SMTP) next hop that takes everything and keeps nothing, for benchmarks.

    lmtp_sink.py PORT [smtp]

Answers every recipient after the data with 250 (one reply per recipient for LMTP, one
for SMTP), reads the data in blocks without holding it, and prints on standard output
one line "messages N bytes B" when it gets SIGTERM or SIGINT.
"""
import signal
import socket
import sys
import threading

PORT = int(sys.argv[1])
LMTP = not (len(sys.argv) > 2 and sys.argv[2] == "smtp")
stats = {"messages": 0, "bytes": 0}
lock = threading.Lock()


def session(conn):
    f = conn.makefile("rb", buffering=65536)
    out = conn.makefile("wb", buffering=0)
    out.write(b"220 sink ready\r\n")
    rcpts = 0
    while True:
        line = f.readline()
        if not line:
            return
        verb = line[:4].upper()
        if verb in (b"LHLO", b"EHLO"):
            out.write(b"250-sink\r\n250-PIPELINING\r\n250 8BITMIME\r\n")
        elif verb == b"MAIL":
            rcpts = 0
            out.write(b"250 2.1.0 Ok\r\n")
        elif verb == b"RCPT":
            rcpts += 1
            out.write(b"250 2.1.5 Ok\r\n")
        elif verb == b"DATA":
            out.write(b"354 go\r\n")
            size = 0
            while True:
                l = f.readline()
                if not l or l == b".\r\n":
                    break
                size += len(l)
            with lock:
                stats["messages"] += 1
                stats["bytes"] += size
            out.write((b"250 2.0.0 Ok\r\n" * (rcpts if LMTP else 1)))
        elif verb == b"QUIT":
            out.write(b"221 Bye\r\n")
            return
        else:
            out.write(b"250 Ok\r\n")


def serve():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", PORT))
    s.listen(64)
    while True:
        c, _ = s.accept()
        threading.Thread(target=lambda: (session(c), c.close()), daemon=True).start()


def stop(*_):
    print("messages %d bytes %d" % (stats["messages"], stats["bytes"]), flush=True)
    sys.exit(0)


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)
threading.Thread(target=serve, daemon=True).start()
signal.pause()
