#!/usr/bin/env python3
"""The client and the check of the no-loss soak test (bench/soak.sh).

  soak_client.py run PORT SECONDS WORKERS TOKENS_FILE
      Mixed load against 127.0.0.1:PORT for SECONDS: WORKERS threads open sessions from
      127.0.0.1 (may relay) or 127.0.0.2 (may not), send transactions of random size with
      local and foreign recipients, RSET at random, and drop connections at random points.
      Every body carries a unique token. TOKENS_FILE receives one line per token:
      "<token> <outcome>", outcome being
        acked      the reply to "." was "250 Message received OK"
        refused    the reply to "." was another reply (4xx/5xx)
        unknown    "." was sent but no reply came (connection lost)
        abandoned  the client dropped the connection before sending "."
  soak_client.py verify QUEUE_DIR TOKENS_FILE [INLOG_DIR]
      Checks the queue directory against the tokens: every acknowledged token is in
      exactly one complete pair, no pair holds a token that was refused or abandoned, no
      ".RCP" is without its ".MSG", and no message number appears twice in the inbound
      log. Prints the counts; exit status 1 when a check fails.
"""
import os
import random
import re
import socket
import sys
import threading
import time

LOCAL_RCPTS = ["bob@example.test", "ann@example.test", "carl@Example.Test"]
FOREIGN_RCPTS = ["someone@remote.test", "x@far.example"]
TOKEN_RE = re.compile(rb"X-Soak-Token: (\S+)\r\n")


class Session:
    def __init__(self, port, source):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30,
                                             source_address=(source, 0))
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def send(self, data):
        self.sock.sendall(data)

    def command(self, text):
        self.send(text.encode("latin-1") + b"\r\n")
        return self.line()

    def drop(self, reset):
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        self.sock.close()


_LINE_POOL = []


def make_body(token, size, rng):
    if not _LINE_POOL:
        pool_rng = random.Random(1)
        for _ in range(256):
            n = pool_rng.randint(0, 200)
            text = "".join(pool_rng.choice("abcdefghij .,:;-") for _ in range(n))
            if pool_rng.random() < 0.1:
                text = "." + text  # a line that needs dot-stuffing
            line = text.encode()
            if line.startswith(b"."):
                line = b"." + line
            _LINE_POOL.append(line + b"\r\n")
    head = ("Subject: soak\r\nX-Soak-Token: %s\r\n\r\n" % token).encode()
    lines = [head]
    total = len(head)
    while total < size:
        line = _LINE_POOL[rng.randrange(len(_LINE_POOL))]
        lines.append(line)
        total += len(line)
    return b"".join(lines)


class Recorder:
    def __init__(self):
        self.lock = threading.Lock()
        self.outcomes = {}
        self.counter = 0

    def new_token(self, worker):
        with self.lock:
            self.counter += 1
            return "soak-%d-%d-%d" % (os.getpid(), worker, self.counter)

    def record(self, token, outcome):
        with self.lock:
            self.outcomes[token] = outcome


def worker(wid, port, deadline, rec, stats):
    rng = random.Random(wid * 7919 + int(time.time()))
    while time.time() < deadline:
        source = "127.0.0.1" if rng.random() < 0.7 else "127.0.0.2"
        try:
            s = Session(port, source)
        except OSError:
            stats["connect_failures"] += 1
            time.sleep(0.05)
            continue
        token = None
        try:
            if not s.line().startswith("220"):
                raise ConnectionError("greeting")
            s.command("HELO soak%d.test" % wid)
            for _ in range(rng.randint(1, 5)):
                if time.time() >= deadline:
                    break
                s.command("MAIL FROM:<sender%d@soak.test>" % wid)
                accepted = 0
                for _ in range(rng.randint(1, 3)):
                    rcpt = rng.choice(LOCAL_RCPTS if rng.random() < 0.7 else FOREIGN_RCPTS)
                    reply = s.command("RCPT TO:<%s>" % rcpt)
                    if reply.startswith("250"):
                        accepted += 1
                    else:
                        stats["refused_rcpts"] += 1
                r = rng.random()
                if r < 0.08:
                    s.command("RSET")
                    stats["rsets"] += 1
                    continue
                if r < 0.12:
                    s.drop(rng.random() < 0.5)  # dropped before DATA
                    stats["drops"] += 1
                    s = None
                    break
                reply = s.command("DATA")
                if not reply.startswith("354"):
                    continue  # no valid recipient
                token = rec.new_token(wid)
                size = int(10 ** rng.uniform(2, 6.4))  # 100 bytes to 2.5 MB (some over the limit)
                body = make_body(token, size, rng)
                if rng.random() < 0.05:
                    s.send(body[: rng.randint(0, len(body))])
                    rec.record(token, "abandoned")
                    token = None
                    s.drop(rng.random() < 0.5)  # dropped in the middle of the body
                    stats["drops"] += 1
                    s = None
                    break
                s.send(body + b".\r\n")
                rec.record(token, "unknown")
                reply = s.line()
                rec.record(token, "acked" if reply == "250 Message received OK" else "refused")
                token = None
            if s is not None:
                if rng.random() < 0.1:
                    s.drop(True)
                    stats["drops"] += 1
                else:
                    s.command("QUIT")
                    s.drop(False)
        except (OSError, ConnectionError):
            stats["errors"] += 1
            if token is not None:
                rec.outcomes.setdefault(token, "abandoned")
            try:
                if s is not None:
                    s.drop(False)
            except OSError:
                pass


def run(port, seconds, workers, out):
    rec = Recorder()
    deadline = time.time() + seconds
    stats_list = []
    threads = []
    for w in range(workers):
        stats = {"connect_failures": 0, "refused_rcpts": 0, "rsets": 0, "drops": 0, "errors": 0}
        stats_list.append(stats)
        t = threading.Thread(target=worker, args=(w, port, deadline, rec, stats))
        t.start()
        threads.append(t)
    for t in threads:
        t.join()
    with open(out, "w") as f:
        for token, outcome in sorted(rec.outcomes.items()):
            f.write("%s %s\n" % (token, outcome))
    totals = {k: sum(s[k] for s in stats_list) for k in stats_list[0]}
    print("client: " + ", ".join("%s %d" % kv for kv in sorted(totals.items())))


def verify(queue, tokens_file, inlog=None):
    outcomes = {}
    with open(tokens_file) as f:
        for line in f:
            token, outcome = line.split()
            outcomes[token] = outcome
    names = os.listdir(queue)
    msgs = {n[:-4] for n in names if n.endswith(".MSG")}
    rcps = {n[:-4] for n in names if n.endswith(".RCP")}
    failures = []
    for stem in sorted(rcps - msgs):
        failures.append("%s.RCP without its .MSG" % stem)
    found = {}
    incomplete = 0
    for stem in sorted(rcps & msgs):
        with open(os.path.join(queue, stem + ".MSG"), "rb") as f:
            data = f.read()
        if not data.endswith(b"\r\n.\r\n"):
            incomplete += 1
            failures.append("%s.MSG is not complete" % stem)
        m = TOKEN_RE.search(data[:4096])
        token = m.group(1).decode() if m else "(none)"
        found.setdefault(token, []).append(stem)
    counts = {}
    for outcome in outcomes.values():
        counts[outcome] = counts.get(outcome, 0) + 1
    lost = [t for t, o in outcomes.items() if o == "acked" and t not in found]
    duplicated = [t for t, stems in found.items() if len(stems) > 1]
    unacked_queued = [t for t in found if outcomes.get(t) in ("refused", "abandoned", None)]
    unknown_queued = [t for t in found if outcomes.get(t) == "unknown"]
    for t in lost:
        failures.append("acknowledged token %s is in no pair" % t)
    for t in duplicated:
        failures.append("token %s is in %d pairs: %s" % (t, len(found[t]), found[t]))
    for t in unacked_queued:
        failures.append("token %s (%s) is in pair %s" % (t, outcomes.get(t), found[t]))
    number_reuse = 0
    if inlog and os.path.isdir(inlog):
        ids = {}
        for name in sorted(os.listdir(inlog)):
            with open(os.path.join(inlog, name), "rb") as f:
                for line in f:
                    m = re.match(rb"<(B\d{10})@", line)
                    if m:
                        ids[m.group(1)] = ids.get(m.group(1), 0) + 1
        for msg_id, n in ids.items():
            if n > 1:
                number_reuse += 1
                failures.append("number %s logged %d times" % (msg_id.decode(), n))
        if set(i.decode() for i in ids) != (rcps & msgs):
            failures.append("inbound log and queue disagree: %d logged, %d pairs"
                            % (len(ids), len(rcps & msgs)))
    print("tokens: " + ", ".join("%s %d" % kv for kv in sorted(counts.items())))
    print("queue: %d complete pairs, %d .MSG without .RCP, %d .RCP without .MSG, "
          "%d incomplete" % (len(rcps & msgs), len(msgs - rcps), len(rcps - msgs), incomplete))
    print("checks: %d acknowledged tokens lost, %d duplicated, %d unacknowledged in a pair, "
          "%d numbers used twice, %d of %d unanswered tokens queued"
          % (len(lost), len(duplicated), len(unacked_queued), number_reuse,
             len(unknown_queued), counts.get("unknown", 0)))
    for f in failures[:20]:
        print("FAIL: " + f)
    return 1 if failures else 0


def main():
    if len(sys.argv) >= 6 and sys.argv[1] == "run":
        run(int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
        return 0
    if len(sys.argv) >= 4 and sys.argv[1] == "verify":
        return verify(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
