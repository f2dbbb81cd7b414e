#!/usr/bin/env python3
"""How soon kestran-deliver takes a new pair on an idle system.

    bench/deliver_latency.py [BUILD_DIR=build] [PAIRS=20]

Runs kestran-deliver -DEBUG on a queue of its own with an LMTP next hop in this script,
then writes PAIRS pairs one at a time as the receiver does (message file, recipient
file under a temporary name, renamed), each after the one before was delivered and a
pause. Prints the time from each rename to the next hop's MAIL command: median and
largest.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
PAIRS = int(sys.argv[2]) if len(sys.argv) > 2 else 20

arrived = []
cond = threading.Condition()


def session(conn):
    f = conn.makefile("rb")
    conn.sendall(b"220 latency ready\r\n")
    rcpts = 0
    while True:
        line = f.readline()
        if not line:
            return
        verb = line[:4].upper()
        if verb == b"LHLO":
            conn.sendall(b"250-latency\r\n250 PIPELINING\r\n")
        elif verb == b"MAIL":
            with cond:
                arrived.append(time.time())
                cond.notify_all()
            rcpts = 0
            conn.sendall(b"250 ok\r\n")
        elif verb == b"RCPT":
            rcpts += 1
            conn.sendall(b"250 ok\r\n")
        elif verb == b"DATA":
            conn.sendall(b"354 go\r\n")
            while f.readline() not in (b".\r\n", b""):
                pass
            conn.sendall(b"250 2.0.0 saved\r\n" * rcpts)
        elif verb == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            return
        else:
            conn.sendall(b"250 ok\r\n")


def serve(listener):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=session, args=(conn,), daemon=True).start()


listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
port = listener.getsockname()[1]
threading.Thread(target=serve, args=(listener,), daemon=True).start()

work = tempfile.mkdtemp(prefix="kestran-deliver-latency.")
queue = os.path.join(work, "drive_c", "q")
os.makedirs(queue)
with open(os.path.join(work, "registry.reg"), "w") as f:
    f.write('REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n'
            '"MailQueueDir"="C:\\\\q\\\\"\r\n"DeliverTo"="lmtp:[127.0.0.1]:%d"\r\n' % port)
log = open(os.path.join(work, "deliver.txt"), "w")
proc = subprocess.Popen([os.path.join(BUILD, "kestran-deliver"), "-DEBUG"],
                        env=dict(os.environ, KESTRAN_ROOT=work), stdout=log, stderr=log)
try:
    time.sleep(1.5)
    delays = []
    for n in range(1, PAIRS + 1):
        stem = os.path.join(queue, "B%010d" % n)
        with open(stem + ".MSG", "wb") as m:
            m.write(b"Received: by bench\r\nSubject: latency\r\n\r\nbody\r\n.\r\n")
        with open(stem + ".tmp~", "wb") as r:
            r.write(b"Message-ID: <x@bench>\r\nReturn-path: a@bench.test\r\n"
                    b"Recipient: b@bench.test\r\n")
        with cond:
            before = len(arrived)
            start = time.time()
            os.rename(stem + ".tmp~", stem + ".RCP")
            if not cond.wait_for(lambda: len(arrived) > before, timeout=30):
                sys.exit("no delivery within 30 s")
            delays.append(arrived[before] - start)
        time.sleep(0.3)
    delays.sort()
    print("pairs %d: rename to MAIL FROM median %.1f ms, largest %.1f ms" %
          (PAIRS, delays[len(delays) // 2] * 1000, delays[-1] * 1000))
finally:
    proc.terminate()
    proc.wait()
    shutil.rmtree(work, ignore_errors=True)
