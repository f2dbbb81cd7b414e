#!/usr/bin/env python3
"""What one queue pair's flush costs a lone writer, by way of flushing (not in CI).

Usage: bench/flush_cost.py DIR [PAIRS=300] [ROUNDS=3]

In DIR (on the file system to measure, e.g. the image bench/compare.py mounts) each
pair is: eight bytes rewritten in place in a registry-like file, a 1,500-byte message file
and a 100-byte recipient file created, then flushed, the recipient file renamed, and two
log files appended to (dirty files of other owners, as the inbound log is). Ways:
- syncfs: one syncfs of the file system (what the receiver does);
- files: start the recipient and registry files' write-back, then fsync the message file,
  the recipient file, fdatasync the registry file, fsync the directory;
- files-nodir: the same without the directory.
Prints microseconds per pair for each way, the ways taking turns.
"""
import ctypes
import os
import sys
import time

libc = ctypes.CDLL(None, use_errno=True)
SYNC_FILE_RANGE_WRITE = 2


def start_writeback(fd):
    libc.sync_file_range(fd, ctypes.c_longlong(0), ctypes.c_longlong(0), SYNC_FILE_RANGE_WRITE)


def main():
    d = os.path.join(sys.argv[1], "flush-cost-%d" % os.getpid())
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    os.makedirs(d)
    data = b"x" * 1500
    logs = [os.open(f"{d}/log{i}", os.O_CREAT | os.O_WRONLY | os.O_APPEND, 0o640) for i in range(2)]
    reg = os.open(f"{d}/reg", os.O_CREAT | os.O_RDWR, 0o640)
    os.write(reg, b"y" * 4096)
    dfd = os.open(d, os.O_RDONLY)

    def one(i, way):
        os.pwrite(reg, b"%08x" % i, 100)
        m = os.open(f"{d}/m{i}", os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o640)
        os.write(m, data)
        r = os.open(f"{d}/r{i}", os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o640)
        os.write(r, data[:100])
        if way == "syncfs":
            libc.syncfs(dfd)
        else:
            start_writeback(r)
            start_writeback(reg)
            os.fsync(m)
            os.fsync(r)
            os.fdatasync(reg)
            if way == "files":
                os.fsync(dfd)
        os.close(m)
        os.close(r)
        os.rename(f"{d}/r{i}", f"{d}/R{i}")
        for log in logs:
            os.write(log, b"log line\n")

    try:
        for _ in range(rounds):
            for way in ("syncfs", "files", "files-nodir"):
                t = time.perf_counter()
                for i in range(pairs):
                    one(i, way)
                elapsed = time.perf_counter() - t
                for i in range(pairs):
                    os.unlink(f"{d}/m{i}")
                    os.unlink(f"{d}/R{i}")
                print(f"{way:12s} {elapsed / pairs * 1e6:8.0f} us per pair", flush=True)
    finally:
        for fd in logs + [reg, dfd]:
            os.close(fd)
        for n in os.listdir(d):
            os.unlink(os.path.join(d, n))
        os.rmdir(d)


if __name__ == "__main__":
    main()
