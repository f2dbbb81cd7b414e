#!/usr/bin/env python3
"""The receiver side by side with Postfix and smtp-sink (run through bench/compare.sh).

Every queue lives on one file system: by default a fresh ext4 image with a journal,
loop-mounted for this run and removed at the end (COMPARE_FS=root, or a failing loop mount,
uses a directory on the root file system instead, and says so). On it run:

- kestran-sync / kestran-nosync: BUILD_DIR/kestran -DEBUG on a data root of its own,
  SyncQueueFiles 1 and 0;
- kestran-aliases: the same with SyncQueueFiles 1 and 20,000 host aliases in its registry
  (scenario s20-1k only);
- postfix: Postfix's smtpd from a configuration of this run's own (bench/postfix_peer.sh),
  every message put on hold: the SMTP dialogue plus one flushed queue file;
- sink: smtp-sink, which stores nothing (the ceiling);
- with COMPARE_BEFORE=path/to/kestran: before-sync / before-nosync, an earlier program.

smtp-source drives every system in every scenario; the systems take turns within each of
COMPARE_REPEATS rounds (every other round in reverse order), each after a `sync`, and the
figures are medians. For each run: messages per second
(wall time of smtp-source), messages acknowledged (smtp-source ends with an error on any
refusal) and stored (pairs in the queue directory, messages in Postfix's hold queue), and
the server's CPU time per message from /proc (user + system of the process; for Postfix of
the master and all its children, reaped children included). Then the table with the
KESTRAN/Postfix and KESTRAN/smtp-sink ratios, and idle connections held by the receiver.

Usage: bench/compare.py BUILD_DIR
Environment: COMPARE_REPEATS (3), COMPARE_SCENARIOS (names, default all), COMPARE_FS
(loop | root), COMPARE_IMAGE_GB (2), COMPARE_IDLE ("1000 10000"), COMPARE_ALIASES (20000),
COMPARE_KESTRAN (another program than BUILD_DIR/kestran), COMPARE_BEFORE,
COMPARE_SYSTEMS (names of the systems to run, default all), COMPARE_METRICS (1: the
receivers run with MaxQueuedMessages 100000, MinFreeSpaceMB 1024 and a metrics file
rewritten every 5 seconds; 0: without).
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
HERE = os.path.dirname(os.path.abspath(__file__))
KESTRAN = os.path.abspath(os.environ.get("COMPARE_KESTRAN") or os.path.join(BUILD, "kestran"))
DRIVE = os.path.join(BUILD, "bench", "smtp_drive")
REPEATS = int(os.environ.get("COMPARE_REPEATS", "3"))
IDLE = [int(n) for n in os.environ.get("COMPARE_IDLE", "1000 10000").split()]
ALIASES = int(os.environ.get("COMPARE_ALIASES", "20000"))
METRICS = os.environ.get("COMPARE_METRICS", "1") != "0"
METRICS_VALUES = ('"MaxQueuedMessages"=dword:000186a0\r\n"MinFreeSpaceMB"=dword:00000400\r\n'
                  '"MetricsFile"="C:\\\\kestran.prom"\r\n"MetricsInterval"=dword:00000005\r\n')
TICK = os.sysconf("SC_CLK_TCK")

# name: (sessions, messages in all, payload bytes, kept connections)
# Each cell runs for a second or more here: shorter runs are mostly start and finish.
SCENARIOS = [
    ("s1-1k", 1, 1000, 1024, False),
    ("s20-1k", 20, 4000, 1024, False),
    ("s100-1k", 100, 4000, 1024, False),
    ("s20-1k-kept", 20, 8000, 1024, True),
    ("s20-100k", 20, 1200, 100 * 1024, False),
]
only = os.environ.get("COMPARE_SCENARIOS", "").split()
if only:
    SCENARIOS = [s for s in SCENARIOS if s[0] in only]
ALIAS_SCENARIOS = {"s20-1k"}


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, proc=None, seconds=30):
    end = time.time() + seconds
    while time.time() < end:
        if proc is not None and proc.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def proc_times(pid):
    """(utime + stime, cutime + cstime) of a process in seconds, or (0, 0) once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0, 0.0
    return (int(fields[11]) + int(fields[12])) / TICK, (int(fields[13]) + int(fields[14])) / TICK


def children(pid):
    kids = []
    for d in os.listdir("/proc"):
        if d.isdigit():
            try:
                with open(f"/proc/{d}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        kids.append(int(d))
            except OSError:
                pass
    return kids


def status_kb(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


class FileSystem:
    """The file system of every queue: a loop-mounted ext4 image with a journal."""

    def __init__(self):
        self.image = self.mount = None
        want = os.environ.get("COMPARE_FS", "loop")
        if want == "loop":
            d = tempfile.mkdtemp(prefix="kestran-compare-fs-")
            image = d + ".img"
            try:
                gb = int(os.environ.get("COMPARE_IMAGE_GB", "2"))
                # Written through once, like a disk: in a sparse image the first write
                # of every block would also allocate it in the file system below, and
                # the image's flushes would carry that work too.
                chunk = bytes(8 << 20)
                with open(image, "wb") as f:
                    for _ in range((gb << 30) // len(chunk)):
                        f.write(chunk)
                    os.fsync(f.fileno())
                # Inode tables and journal written now, not by a kernel thread in the
                # background while the first scenarios run.
                subprocess.run(["mkfs.ext4", "-q", "-F", "-O", "has_journal", "-E",
                                "lazy_itable_init=0,lazy_journal_init=0", image], check=True,
                               capture_output=True)
                subprocess.run(["mount", "-o", "loop", image, d], check=True, capture_output=True)
                self.image, self.mount, self.path = image, d, d
                self.kind = f"ext4 with a journal on a loop-mounted {gb} GiB image"
                os.chmod(d, 0o755)
                return
            except (OSError, subprocess.CalledProcessError) as e:
                err = getattr(e, "stderr", b"") or b""
                print(f"# loop mount impossible ({e} {err.decode(errors='replace').strip()}): "
                      "using the root file system", flush=True)
                if os.path.exists(image):
                    os.unlink(image)
                os.rmdir(d)
        self.path = tempfile.mkdtemp(prefix="kestran-compare-")
        kind = subprocess.run(["stat", "-f", "-c", "%T", self.path], capture_output=True,
                              text=True).stdout.strip()
        self.kind = f"root file system ({kind})"

    def remove(self):
        if self.mount:
            shutil.rmtree(self.mount + "/.", ignore_errors=True)
            for _ in range(50):
                if subprocess.run(["umount", self.mount], capture_output=True).returncode == 0:
                    break
                time.sleep(0.2)
            else:
                subprocess.run(["umount", "-l", self.mount], capture_output=True)
            os.rmdir(self.mount)
            os.unlink(self.image)
        else:
            shutil.rmtree(self.path, ignore_errors=True)


def alias_text(n):
    out = ["[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases]\r\n\r\n"]
    for i in range(n):
        out.append(f"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\alias{i:05}]\r\n"
                   f'"Alias"="user{i:05}"\r\n\r\n')
    return "".join(out)


class Receiver:
    """build/kestran -DEBUG on a data root of its own."""

    def __init__(self, fs, name, sync, program=KESTRAN, aliases=0):
        self.name = name
        self.root = tempfile.mkdtemp(prefix=name + "-", dir=fs.path)
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
            # Every load comes from 127.0.0.1, and the idle test holds 10,000 connections.
            '"MaxConnections"=dword:00000000\r\n'
            '"MaxConnectionsPerIP"=dword:00000000\r\n'
            f'"SyncQueueFiles"=dword:{1 if sync else 0:08x}\r\n'
            # The package's back-pressure and a metrics file rewritten every 5 seconds
            # (COMPARE_METRICS=0 leaves them out; an earlier program ignores them).
            + (METRICS_VALUES if METRICS else "") +
            '"LastMsgId"=dword:00000000\r\n\r\n'
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
            '"1"="corp.example"\r\n\r\n' + (alias_text(aliases) if aliases else "")
        )
        with open(os.path.join(self.root, "registry.reg"), "w", newline="") as f:
            f.write(reg)
        env = dict(os.environ, KESTRAN_ROOT=self.root)
        self.console = open(os.path.join(self.root, "console.txt"), "w")
        self.proc = subprocess.Popen([program, "-DEBUG"], env=env, stdin=subprocess.DEVNULL,
                                     stdout=self.console, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid
        # A large registry takes a while to load.
        if not wait_port(self.port, self.proc, 60 + aliases // 20):
            with open(os.path.join(self.root, "console.txt")) as f:
                console = f.read()[-500:]
            self.stop()
            sys.exit(f"{name}: the receiver did not start: {console}")

    def cpu(self):
        return proc_times(self.pid)[0]

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


def peer(*args):
    return subprocess.run(["bash", "-c", f'. "{HERE}/postfix_peer.sh"; "$@"', "peer", *args],
                          capture_output=True, text=True)


class Postfix:
    def __init__(self, fs):
        self.name = "postfix"
        self.dir = os.path.join(fs.path, "postfix")
        self.port = free_port()
        r = peer("postfix_peer_start", self.dir, str(self.port))
        if r.returncode != 0:
            peer("postfix_peer_stop", self.dir)
            sys.exit(f"postfix: did not start: {r.stderr.strip()}")
        self.pid = int(peer("postfix_peer_master_pid", self.dir).stdout)

    def cpu(self):
        own, reaped = proc_times(self.pid)
        return own + reaped + sum(proc_times(k)[0] for k in children(self.pid))

    def clear(self):
        peer("postfix_peer_clear", self.dir)

    def stored(self):
        return int(peer("postfix_peer_held", self.dir).stdout)

    def stop(self):
        peer("postfix_peer_stop", self.dir)


class Sink:
    def __init__(self):
        self.name = "sink"
        self.port = free_port()
        self.proc = subprocess.Popen(["smtp-sink", "-u", "nobody", f"127.0.0.1:{self.port}", "256"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        self.pid = self.proc.pid
        if not wait_port(self.port, self.proc):
            sys.exit("smtp-sink did not start")

    def cpu(self):
        return proc_times(self.pid)[0]

    def clear(self):
        pass

    def stored(self):
        return None

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def drive(system, sessions, messages, size, kept):
    system.clear()
    # Every system starts on a clean file system: the files that another one left dirty,
    # and the removal of its own, are on disk before the clock starts (a flush of the
    # whole file system would otherwise carry them).
    os.sync()
    cpu0 = system.cpu()
    cmd = ["smtp-source", "-s", str(sessions), "-m", str(messages), "-l", str(size),
           "-f", "sender@client.example", "-t", "rcpt@corp.example", "-M", "client.example"]
    if kept:
        cmd.append("-d")
    t0 = time.monotonic()
    try:
        run = subprocess.run(cmd + [f"127.0.0.1:{system.port}"], capture_output=True, text=True,
                             timeout=300)
        ok = run.returncode == 0
        err = run.stderr.strip()
    except subprocess.TimeoutExpired:
        ok, err = False, "smtp-source timed out"
    elapsed = time.monotonic() - t0
    time.sleep(0.1)
    cpu = system.cpu() - cpu0
    if err:
        print(f"  ({system.name}: {err[:300]})", flush=True)
    acked = messages if ok else 0
    return {"rate": acked / elapsed, "elapsed": elapsed, "acked": acked, "ok": ok,
            "stored": system.stored(), "cpu": cpu / messages}


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    fs = FileSystem()
    try:
        return run(fs)
    finally:
        fs.remove()


def run(fs):
    print(f"# {time.strftime('%Y-%m-%d %H:%M:%S')}  build={BUILD}  repeats={REPEATS}  "
          f"cores={os.cpu_count()}  load {loadavg()}", flush=True)
    print(f"# queues on: {fs.kind}", flush=True)
    systems = []
    problems = []
    results = {}
    wanted = os.environ.get("COMPARE_SYSTEMS", "").split()
    try:
        makers = [("sink", Sink), ("postfix", lambda: Postfix(fs)),
                  ("kestran-sync", lambda: Receiver(fs, "kestran-sync", True)),
                  ("kestran-nosync", lambda: Receiver(fs, "kestran-nosync", False))]
        before = os.environ.get("COMPARE_BEFORE")
        if before:
            before = os.path.abspath(before)
            makers += [("before-sync", lambda: Receiver(fs, "before-sync", True, before)),
                       ("before-nosync", lambda: Receiver(fs, "before-nosync", False, before))]
        if ALIASES:
            makers.append(("kestran-aliases",
                           lambda: Receiver(fs, "kestran-aliases", True, aliases=ALIASES)))
        for name, make in makers:
            if not wanted or name in wanted:
                systems.append(make())
        for name, sessions, messages, size, kept in SCENARIOS:
            cell = [s for s in systems if s.name != "kestran-aliases" or name in ALIAS_SCENARIOS]
            runs = {s.name: [] for s in cell}
            for rep in range(REPEATS):
                order = cell[rep % len(cell):] + cell[:rep % len(cell)]
                # Every other round backwards, so that no system always follows the same
                # one (whose processes may still be busy when it stops).
                if rep % 2:
                    order.reverse()
                for s in order:
                    r = drive(s, sessions, messages, size, kept)
                    runs[s.name].append(r)
                    if not r["ok"]:
                        problems.append(f"{name} {s.name}: not every message acknowledged")
                    if r["stored"] is not None and r["stored"] != r["acked"]:
                        problems.append(f"{name} {s.name}: stored {r['stored']} != acked {r['acked']}")
            for s in cell:
                rs = runs[s.name]
                med = {k: statistics.median(r[k] for r in rs) for k in ("rate", "elapsed", "cpu")}
                acked = sum(r["acked"] for r in rs)
                stored = "-" if rs[0]["stored"] is None else str(sum(r["stored"] for r in rs))
                results[(name, s.name)] = med
                print(f"{name:12} {s.name:16} {med['rate']:8.1f} msg/s  elapsed {med['elapsed']:6.2f} s"
                      f"  acked {acked:5}  stored {stored:>5}  cpu {med['cpu'] * 1e6:6.0f} us/msg",
                      flush=True)
    finally:
        for s in systems:
            s.stop()

    names = [s.name for s in systems if s.name != "kestran-aliases"]

    def fig(scen, sys_name):
        m = results.get((scen, sys_name))
        return f"{m['rate']:.0f} [{m['cpu'] * 1e6:.0f}]" if m else "-"

    def ratio(scen, a, b):
        ra, rb = results.get((scen, a)), results.get((scen, b))
        return f"{ra['rate'] / rb['rate']:.2f}" if ra and rb and rb["rate"] else "-"

    print(f"\n# msg/s [server CPU us per message], medians of {REPEATS}; load {loadavg()}")
    print("| scenario | " + " | ".join(names) + " | KESTRAN sync / Postfix | KESTRAN sync / smtp-sink |")
    print("|---|" + "---:|" * (len(names) + 2))
    for name, *_ in SCENARIOS:
        print(f"| {name} | " + " | ".join(fig(name, n) for n in names) +
              f" | {ratio(name, 'kestran-sync', 'postfix')} | {ratio(name, 'kestran-sync', 'sink')} |")
    for name in ALIAS_SCENARIOS:
        a, b = results.get((name, "kestran-aliases")), results.get((name, "kestran-sync"))
        if a and b:
            print(f"\n{ALIASES} host aliases, {name}, sync on: {fig(name, 'kestran-aliases')} against "
                  f"{fig(name, 'kestran-sync')}: {100 * (1 - a['rate'] / b['rate']):.1f} % slower")

    if IDLE:
        print("\n# idle connections held by the receiver (SyncQueueFiles on)")
    for n in IDLE:
        rec = Receiver(fs, "kestran-idle", True)
        try:
            time.sleep(0.3)
            rss0 = status_kb(rec.pid, "VmRSS")
            t0 = time.time()
            holder = subprocess.Popen([DRIVE, "idle", str(rec.port), str(n)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            line = holder.stdout.readline().strip()
            opened = int(line.split("=")[1]) if line.startswith("idle=") else 0
            took = time.time() - t0
            time.sleep(1.0)
            rss1 = status_kb(rec.pid, "VmRSS")
            threads = status_kb(rec.pid, "Threads")
            print(f"idle {n:6}: held {opened:6} in {took:6.1f} s  RSS {rss0} kB -> {rss1} kB"
                  f"  = {(rss1 - rss0) / max(opened, 1):6.1f} kB per connection"
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
    print("\nstored == acknowledged in every run")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
