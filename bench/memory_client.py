#!/usr/bin/env python3
"""Load and checks for bench/memory.sh.

    memory_client.py PHASE PORT PID QUEUE_DIR

Samples VmRSS of PID every 100 ms while the phase runs, prints the peak VmRSS and the
VmHWM at the end, and checks that every acknowledged message is in the queue directory
with its body byte for byte and every accepted recipient. Exit status 1 when a check
fails.
"""
import hashlib
import os
import socket
import sys
import threading
import time

SESSIONS = 100
MESSAGE_MB = 40
RECIPIENTS = 16000
ADDRESS_BYTES = 65000  # the RCPT line stays under the default MaxLineLength (65536)
ENVELOPE_SESSIONS = 50
ENVELOPE_RECIPIENTS = 1000
ENVELOPE_BATCH = 50  # RCPT commands sent before their replies are read
# A phase that passes this resident size stops the receiver (the machine is shared).
ABORT_MB = int(os.environ.get("MEMORY_ABORT_MB", "6000"))


def proc_kib(pid, field):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Sampler(threading.Thread):
    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak = 0
        self.aborted = False
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            self.peak = max(self.peak, proc_kib(self.pid, "VmRSS"))
            if self.peak > ABORT_MB * 1024 and not self.aborted:
                self.aborted = True
                os.kill(self.pid, 9)
            time.sleep(0.1)


class Client:
    def __init__(self, port, source="127.0.0.1"):
        self.s = socket.create_connection(("127.0.0.1", port), 30, (source, 0))
        self.s.settimeout(600)
        self.buf = b""
        self.line()  # greeting

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.s.recv(65536)
            if not data:
                raise ConnectionError("closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def cmd(self, text):
        self.s.sendall(text.encode("latin-1") + b"\r\n")
        return self.line()

    def close(self):
        try:
            self.cmd("QUIT")
        except OSError:
            pass
        self.s.close()


def body_block():
    """One MiB of body lines: plain, dot-stuffed and long ones."""
    lines = []
    size = 0
    i = 0
    while size < 1024 * 1024:
        if i % 50 == 0:
            line = b".." + b"s" * 60
        elif i % 7 == 0:
            line = b"L" * 990
        else:
            line = b"line %08d " % i + b"x" * 60
        lines.append(line + b"\r\n")
        size += len(lines[-1])
        i += 1
    return b"".join(lines)


def queued(queue_dir):
    """Recipient-file text by .RCP name."""
    out = {}
    for name in os.listdir(queue_dir):
        if name.endswith(".RCP"):
            with open(os.path.join(queue_dir, name), "rb") as f:
                out[name[:-4]] = f.read()
    return out


def message_digest(path, skip_lines):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for _ in range(skip_lines):
            f.readline()
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                break
            h.update(chunk)
    return h.hexdigest()


def open_session(port, n):
    """Session n from one of four loopback addresses, after HELO and MAIL."""
    c = Client(port, "127.0.0.%d" % (1 + n % 4))
    c.cmd("HELO memory.test")
    c.cmd("MAIL FROM:<s%d@sender.test>" % n)
    return c


def run_sessions(count, session):
    threads = [threading.Thread(target=session, args=(n,)) for n in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def phase_a(port, queue_dir):
    block = body_block()
    results = [None] * SESSIONS
    errors = []

    def session(n):
        try:
            c = open_session(port, n)
            if not c.cmd("RCPT TO:<m%d@example.test>" % n).startswith("250"):
                raise RuntimeError("RCPT refused")
            if not c.cmd("DATA").startswith("354"):
                raise RuntimeError("DATA refused")
            h = hashlib.sha256()
            head = b"Subject: memory %d\r\n\r\n" % n
            c.s.sendall(head)
            h.update(head)
            for _ in range(MESSAGE_MB):
                c.s.sendall(block)
                h.update(block)
            c.s.sendall(b".\r\n")
            h.update(b".\r\n")
            reply = c.line()
            results[n] = (reply, h.hexdigest())
            c.close()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append("session %d: %s" % (n, e))

    run_sessions(SESSIONS, session)
    acked = [n for n in range(SESSIONS) if results[n] and results[n][0].startswith("250")]
    print("  %d of %d messages of %d MB acknowledged" % (len(acked), SESSIONS, MESSAGE_MB))
    for e in errors[:5]:
        print("  " + e)
    rcps = queued(queue_dir)
    by_rcpt = {}
    for stem, text in rcps.items():
        for line in text.split(b"\r\n"):
            if line.startswith(b"Recipient: m"):
                by_rcpt[int(line[len(b"Recipient: m"):].split(b"@")[0])] = stem
    bad = 0
    for n in acked:
        stem = by_rcpt.get(n)
        # Five lines are put in front: Received (three), Date, Message-ID.
        if stem is None or message_digest(os.path.join(queue_dir, stem + ".MSG"), 5) != results[n][1]:
            bad += 1
    print("  queued intact: %d of %d acknowledged" % (len(acked) - bad, len(acked)))
    return bad == 0 and not errors


def phase_b(port, queue_dir):
    c = Client(port)
    c.cmd("HELO memory.test")
    c.cmd("MAIL FROM:<s@sender.test>")
    accepted = []
    replies = {}
    local_len = ADDRESS_BYTES - len("RCPT TO:<@example.test>")
    for n in range(RECIPIENTS):
        prefix = "r%05d-" % n
        address = prefix + "a" * (local_len - len(prefix)) + "@example.test"
        reply = c.cmd("RCPT TO:<" + address + ">")
        code = reply[:3]
        replies[code] = replies.get(code, 0) + 1
        if code == "250":
            accepted.append(address)
    print("  RCPT replies: " + ", ".join("%s x %d" % kv for kv in sorted(replies.items())))
    ok = True
    if accepted:
        if not c.cmd("DATA").startswith("354"):
            print("  DATA refused")
            return False
        c.s.sendall(b"Subject: many recipients\r\n\r\nbody\r\n.\r\n")
        reply = c.line()
        print("  DATA: " + reply)
        if reply.startswith("250"):
            rcps = queued(queue_dir)
            want = "".join("Recipient: %s\r\n" % a for a in accepted).encode("latin-1")
            ok = len(rcps) == 1 and next(iter(rcps.values())).endswith(want)
            print("  queued intact: %s (%d recipients)" % ("yes" if ok else "NO", len(accepted)))
    c.close()
    return ok


def path_of(n, path_len):
    """A distinct address of path_len octets with its angle brackets."""
    prefix = "e%07d-" % n
    return "<" + prefix + "a" * (path_len - 2 - len(prefix) - len("@example.test")) + "@example.test>"


def longest_path(port):
    """The longest path the receiver takes: a line's worth, or 256 octets (RFC 5321)."""
    c = Client(port)
    c.cmd("HELO memory.test")
    c.cmd("MAIL FROM:<probe@sender.test>")
    found = 0
    for length in (ADDRESS_BYTES - len("RCPT TO:"), 256):
        if c.cmd("RCPT TO:" + path_of(0, length)).startswith("250"):
            found = length
            break
    c.close()
    return found


def phase_c(port, queue_dir, path_len=None, comment=False):
    if path_len is None:
        path_len = longest_path(port)
    # A comment after the path fills the RCPT line up to ADDRESS_BYTES.
    tail = ""
    if comment:
        tail = " (" + "c" * (ADDRESS_BYTES - len("RCPT TO:") - path_len - 3) + ")"
    print("  path: %d octets%s" % (path_len, ", line: %d octets" % ADDRESS_BYTES if comment else ""))
    barrier = threading.Barrier(ENVELOPE_SESSIONS)
    results = [None] * ENVELOPE_SESSIONS
    errors = []

    def session(n):
        try:
            c = open_session(port, n)
            accepted = 0
            codes = {}
            base = n * ENVELOPE_RECIPIENTS
            for start in range(0, ENVELOPE_RECIPIENTS, ENVELOPE_BATCH):
                count = min(ENVELOPE_BATCH, ENVELOPE_RECIPIENTS - start)
                c.s.sendall(b"".join(("RCPT TO:%s%s\r\n" % (path_of(base + start + i, path_len), tail))
                                     .encode("latin-1") for i in range(count)))
                for _ in range(count):
                    code = c.line()[:3]
                    codes[code] = codes.get(code, 0) + 1
                    accepted += code == "250"
            # Every session holds its envelope at the same time before any DATA.
            barrier.wait(timeout=600)
            reply = ""
            if accepted:
                c.cmd("DATA")
                c.s.sendall(b"Subject: envelope %d\r\n\r\nbody\r\n.\r\n" % n)
                reply = c.line()
            results[n] = (accepted, codes, reply)
            c.close()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append("session %d: %s" % (n, e))
            barrier.abort()

    run_sessions(ENVELOPE_SESSIONS, session)
    done = [r for r in results if r]
    codes = {}
    for r in done:
        for k, v in r[1].items():
            codes[k] = codes.get(k, 0) + v
    print("  %d sessions; RCPT replies: %s" % (len(done), ", ".join("%s x %d" % kv for kv in sorted(codes.items()))))
    for e in errors[:5]:
        print("  " + e)
    acked = [r for r in done if r[2].startswith("250")]
    want = sorted(r[0] for r in acked)
    got = []
    for name in os.listdir(queue_dir):
        if name.endswith(".RCP"):
            with open(os.path.join(queue_dir, name), "rb") as f:
                got.append(sum(1 for line in f if line.startswith(b"Recipient: ")))
    ok = sorted(got) == want and not errors
    print("  %d messages acknowledged, their recipients queued: %s" % (len(acked), "yes" if ok else "NO"))
    return ok


def main():
    phase, port, pid, queue_dir = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    titles = {
        "a": "a: %d sessions x one %d MB message" % (SESSIONS, MESSAGE_MB),
        "b": "b: one session, %d RCPT of %d bytes, MaxRecipients default" % (RECIPIENTS, ADDRESS_BYTES),
        "b0": "b0: one session, %d RCPT of %d bytes, MaxRecipients 0" % (RECIPIENTS, ADDRESS_BYTES),
        "c": "c: %d sessions x %d RCPT of the longest path taken" % (ENVELOPE_SESSIONS, ENVELOPE_RECIPIENTS),
        "c256": "c256: %d sessions x %d RCPT of 256-octet paths" % (ENVELOPE_SESSIONS, ENVELOPE_RECIPIENTS),
        "d": "d: %d sessions x %d RCPT of 256-octet paths with a comment up to %d bytes"
             % (ENVELOPE_SESSIONS, ENVELOPE_RECIPIENTS, ADDRESS_BYTES),
    }
    print(titles[phase])
    sampler = Sampler(pid)
    sampler.start()
    start = time.time()
    if phase == "a":
        ok = phase_a(port, queue_dir)
    elif phase in ("b", "b0"):
        ok = phase_b(port, queue_dir)
    else:
        ok = phase_c(port, queue_dir, None if phase == "c" else 256, phase == "d")
    time.sleep(0.3)
    elapsed = time.time() - start
    # What stays resident once every session has ended.
    time.sleep(2)
    after = proc_kib(pid, "VmRSS")
    sampler.stop.set()
    sampler.join()
    hwm = proc_kib(pid, "VmHWM")
    peak = max(sampler.peak, hwm)
    if sampler.aborted:
        print("  stopped: the receiver passed %d MB (MEMORY_ABORT_MB)" % ABORT_MB)
        sys.exit(1)
    print("  %.1f s; peak VmRSS sampled %.1f MB, VmHWM %.1f MB; %s 300 MB; %.1f MB after the sessions"
          % (elapsed, sampler.peak / 1024, hwm / 1024,
             "under" if peak < 300 * 1024 else "OVER", after / 1024))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
