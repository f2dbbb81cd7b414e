#!/usr/bin/env python3
"""The receiver program against its ceiling, the null sink (run through bench/compare.sh).

Starts build/kestran -DEBUG twice on temporary data roots (SyncQueueFiles on and off) and
bench/null_sink, drives each with bench/smtp_drive in every scenario, the systems taking
turns within each repetition, and prints one line per scenario and system (medians over
the repetitions), then the receiver/sink ratios; checks that the receiver stored exactly
the pairs it acknowledged; measures the resident memory of the receiver holding idle
connections.

Usage: bench/compare.py BUILD_DIR
Environment: COMPARE_REPEATS (3), COMPARE_SECONDS (8, time bound of one run),
COMPARE_IDLE ("1000 10000"), COMPARE_SCENARIOS (names to run, default all),
COMPARE_KESTRAN (another receiver program than BUILD_DIR/kestran), COMPARE_BEFORE (path of an earlier kestran program: it runs as two more systems,
"before-sync" and "before-nosync", taking turns with the others).
"""
import os
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
KESTRAN = os.environ.get("COMPARE_KESTRAN") or os.path.join(BUILD, "kestran")
DRIVE = os.path.join(BUILD, "bench", "smtp_drive")
SINK = os.path.join(BUILD, "bench", "null_sink")
REPEATS = int(os.environ.get("COMPARE_REPEATS", "3"))
SECONDS = float(os.environ.get("COMPARE_SECONDS", "8"))
IDLE = [int(n) for n in os.environ.get("COMPARE_IDLE", "1000 10000").split()]
TICK = os.sysconf("SC_CLK_TCK")

# name: (sessions, messages in all, size, messages per connection)
SCENARIOS = [
    ("s1-1k", 1, 300, 1024, 1),
    ("s1-100k", 1, 150, 100 * 1024, 1),
    ("s20-1k", 20, 1500, 1024, 1),
    ("s20-100k", 20, 600, 100 * 1024, 1),
    ("s100-1k", 100, 1500, 1024, 1),
    ("s100-100k", 100, 600, 100 * 1024, 1),
    ("s20-1k-x10", 20, 1500, 1024, 10),
]
only = os.environ.get("COMPARE_SCENARIOS", "").split()
if only:
    SCENARIOS = [s for s in SCENARIOS if s[0] in only]


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, proc, seconds=30):
    end = time.time() + seconds
    while time.time() < end:
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def status_kb(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


class Receiver:
    """build/kestran -DEBUG on a data root of its own."""

    def __init__(self, name, sync, program=KESTRAN):
        self.name = name
        self.root = tempfile.mkdtemp(prefix="kestran-compare-")
        self.port = free_port()
        self.queue = os.path.join(self.root, "drive_c", "mail", "prein")
        os.makedirs(self.queue)
        reg = (
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
            f'"Port"=dword:{self.port:08x}\r\n'
            '"BoundIP"="127.0.0.1"\r\n'
            '"MailQueueDir"="C:\\\\mail\\\\prein\\\\"\r\n'
            '"InlogDir"="C:\\\\mail\\\\inlog\\\\"\r\n'
            '"Pop3logDir"="C:\\\\mail\\\\pop3log\\\\"\r\n'
            '"UseNTUserDatabase"=dword:00000000\r\n'
            f'"SyncQueueFiles"=dword:{1 if sync else 0:08x}\r\n'
            '"LastMsgId"=dword:00000000\r\n\r\n'
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
            '"1"="corp.example"\r\n\r\n'
        )
        with open(os.path.join(self.root, "registry.reg"), "w", newline="") as f:
            f.write(reg)
        env = dict(os.environ, KESTRAN_ROOT=self.root)
        self.console = open(os.path.join(self.root, "console.txt"), "w")
        self.proc = subprocess.Popen([program, "-DEBUG"], env=env, stdin=subprocess.DEVNULL,
                                     stdout=self.console, stderr=subprocess.STDOUT)
        if not wait_port(self.port, self.proc):
            sys.exit(f"{name}: the receiver did not start; see {self.root}/console.txt")

    def clear(self):
        for n in os.listdir(self.queue):
            os.unlink(os.path.join(self.queue, n))

    def stored(self):
        names = set(os.listdir(self.queue))
        return sum(1 for n in names if n.endswith(".MSG") and n[:-4] + ".RCP" in names)

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.console.close()
        shutil.rmtree(self.root, ignore_errors=True)


class Sink:
    def __init__(self):
        self.name = "sink"
        self.proc = subprocess.Popen([SINK], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline().split()[1])

    def clear(self):
        pass

    def stored(self):
        return None

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait()


def drive(system, sessions, messages, size, per_conn):
    system.clear()
    cpu0 = cpu_seconds(system.proc.pid)
    run = subprocess.run([DRIVE, "load", str(system.port), str(sessions), str(messages),
                          str(size), str(per_conn), str(SECONDS)],
                         capture_output=True, text=True, timeout=SECONDS + 180)
    out = run.stdout
    if run.stderr.strip():
        print(f"  ({system.name}: {run.stderr.strip()})", flush=True)
    time.sleep(0.05)
    cpu = cpu_seconds(system.proc.pid) - cpu0
    r = dict(kv.split("=") for kv in out.split())
    acked = int(r["acked"])
    return {"rate": float(r["rate"]), "elapsed": float(r["elapsed"]), "acked": acked,
            "failed": int(r["failed"]), "stored": system.stored(),
            "cpu": cpu / acked if acked else float("nan")}


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    print(f"# {time.strftime('%Y-%m-%d %H:%M:%S')}  build={BUILD}  repeats={REPEATS}  "
          f"bound={SECONDS:g} s/run  cores={os.cpu_count()}")
    systems = [Receiver("kestran-sync", True), Receiver("kestran-nosync", False), Sink()]
    before = os.environ.get("COMPARE_BEFORE")
    if before:
        systems[2:2] = [Receiver("before-sync", True, before), Receiver("before-nosync", False, before)]
    receivers = [s.name for s in systems if s.name != "sink"]
    problems = []
    results = {}
    try:
        for name, sessions, messages, size, per_conn in SCENARIOS:
            runs = {s.name: [] for s in systems}
            for rep in range(REPEATS):
                order = systems[rep % len(systems):] + systems[:rep % len(systems)]
                for s in order:
                    r = drive(s, sessions, messages, size, per_conn)
                    runs[s.name].append(r)
                    if r["stored"] is not None and r["stored"] != r["acked"]:
                        problems.append(f"{name} {s.name}: stored {r['stored']} != acked {r['acked']}")
            for s in systems:
                rs = runs[s.name]
                med = {k: statistics.median(r[k] for r in rs) for k in ("rate", "elapsed", "cpu")}
                acked = sum(r["acked"] for r in rs)
                failed = sum(r["failed"] for r in rs)
                stored = "-" if rs[0]["stored"] is None else str(sum(r["stored"] for r in rs))
                results[(name, s.name)] = med["rate"]
                print(f"{name:11} {s.name:15} {med['rate']:9.1f} msg/s  elapsed {med['elapsed']:6.2f} s"
                      f"  acked {acked:5}  stored {stored:>5}  failed {failed:3}"
                      f"  cpu {med['cpu'] * 1e3:7.3f} ms/msg", flush=True)
        print()
        print("# ratios: median msg/s of each receiver / median msg/s of the null sink")
        for name, *_ in SCENARIOS:
            sink = results[(name, "sink")]
            print(f"{name:11} " + "  ".join(f"{r} {results[(name, r)] / sink:6.3f}" for r in receivers))
    finally:
        for s in systems:
            s.stop()

    print()
    print("# idle connections held by the receiver (SyncQueueFiles on)")
    for n in IDLE:
        rec = Receiver("kestran-idle", True)
        try:
            time.sleep(0.3)
            before = status_kb(rec.proc.pid, "VmRSS")
            t0 = time.time()
            holder = subprocess.Popen([DRIVE, "idle", str(rec.port), str(n)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            line = holder.stdout.readline().strip()
            opened = int(line.split("=")[1]) if line.startswith("idle=") else 0
            took = time.time() - t0
            time.sleep(1.0)
            after = status_kb(rec.proc.pid, "VmRSS")
            threads = status_kb(rec.proc.pid, "Threads")
            print(f"idle {n:6}: held {opened:6} in {took:6.1f} s  RSS {before} kB -> {after} kB"
                  f"  = {(after - before) / max(opened, 1):6.1f} kB per connection"
                  f"  threads {threads}", flush=True)
            if opened != n:
                problems.append(f"idle {n}: only {opened} connections held")
            holder.stdin.close()
            holder.wait(120)
        finally:
            rec.stop()

    if problems:
        print("\nPROBLEMS:\n  " + "\n  ".join(problems))
        return 1
    print("\nstored == acknowledged in every run of the receiver")
    return 0


if __name__ == "__main__":
    sys.exit(main())
