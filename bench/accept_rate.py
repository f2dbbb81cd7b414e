#!/usr/bin/env python3
"""Connections accepted per second by the transport listener.

Starts <build>/bench/transport_listener, then opens CONNECTIONS connections from CLIENTS
threads; each reads the greeting, sends QUIT, reads the answer and closes.

Usage: bench/accept_rate.py [BUILD_DIR] [CONNECTIONS] [CLIENTS]
"""
import os
import socket
import subprocess
import sys
import threading
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
total = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
clients = int(sys.argv[3]) if len(sys.argv) > 3 else 4

server = subprocess.Popen([os.path.join(build, "bench", "transport_listener")],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
port = int(server.stdout.readline().split()[1])
failures = 0
lock = threading.Lock()


def session():
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    f = s.makefile("rb")
    if not f.readline().startswith(b"220"):
        raise RuntimeError("no greeting")
    s.sendall(b"QUIT\r\n")
    if not f.readline().startswith(b"221"):
        raise RuntimeError("no answer")
    f.close()
    s.close()


def worker(count):
    global failures
    for _ in range(count):
        try:
            session()
        except (OSError, RuntimeError):
            with lock:
                failures += 1


start = time.monotonic()
threads = [threading.Thread(target=worker, args=(total // clients,)) for _ in range(clients)]
for t in threads:
    t.start()
for t in threads:
    t.join()
elapsed = time.monotonic() - start
done = (total // clients) * clients
server.stdin.close()
server.wait(timeout=30)
print(f"{done} connections in {elapsed:.2f} s: {done / elapsed:.0f} connections/s "
      f"({clients} client threads, {failures} failed)")
