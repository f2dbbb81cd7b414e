#!/usr/bin/env python3
"""What one flush of the file system costs per queue pair, by the number of pairs it
carries (not in CI).

Usage: bench/flush_group_cost.py DIR [PAIRS=1200] [ROUNDS=2]

In DIR (on the file system to measure, e.g. a loop-mounted ext4 image) one writer creates
k pairs (a 1,500-byte and a 100-byte file), flushes the file system once (syncfs),
renames the second file of each pair and appends a line to a log, for k = 1, 2, 4, 8, 16.
Prints, per pair, the wall time and the CPU time of the whole machine (from /proc/stat,
every process and kernel thread: the flush's work in the loop device and the journal
counts too).
"""
import ctypes
import os
import sys
import time

libc = ctypes.CDLL(None, use_errno=True)


def machine_busy():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    return sum(v) - v[3] - v[4]  # all but idle and iowait, in clock ticks


def main():
    d = os.path.join(sys.argv[1], "flush-group-%d" % os.getpid())
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 1200
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    tick = os.sysconf("SC_CLK_TCK")
    os.makedirs(d)
    dfd = os.open(d, os.O_RDONLY)
    log = os.open(f"{d}/log", os.O_CREAT | os.O_WRONLY | os.O_APPEND, 0o640)
    data = b"x" * 1500
    try:
        for _ in range(rounds):
            for k in (1, 2, 4, 8, 16):
                busy0, t0 = machine_busy(), time.perf_counter()
                for first in range(0, pairs, k):
                    batch = range(first, min(first + k, pairs))
                    for i in batch:
                        for name, size in ((f"m{i}", 1500), (f"r{i}", 100)):
                            fd = os.open(f"{d}/{name}", os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o640)
                            os.write(fd, data[:size])
                            os.close(fd)
                    libc.syncfs(dfd)
                    for i in batch:
                        os.rename(f"{d}/r{i}", f"{d}/R{i}")
                        os.write(log, b"log line\n")
                wall = time.perf_counter() - t0
                busy = (machine_busy() - busy0) / tick
                print(f"{k:2d} pairs per flush: {wall / pairs * 1e6:6.0f} us wall, "
                      f"{busy / pairs * 1e6:6.0f} us machine CPU per pair", flush=True)
                for i in range(pairs):
                    os.unlink(f"{d}/m{i}")
                    os.unlink(f"{d}/R{i}")
    finally:
        os.close(log)
        os.close(dfd)
        for n in os.listdir(d):
            os.unlink(os.path.join(d, n))
        os.rmdir(d)


if __name__ == "__main__":
    main()
