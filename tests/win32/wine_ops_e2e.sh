#!/usr/bin/env bash
# The metrics file, back-pressure and the PROXY protocol of kestran.exe under Wine, in
# console mode (-DEBUG), each start configured through regedit:
#  1. MetricsFile (rewritten every 5 s), MaxQueuedMessages 3 and 127.0.0.1 in ProxyNets:
#     messages behind a PROXY v1 line and a v2 header with an IPv6 source carry that
#     source in the Received header and the inbound log; a connection from the balancer
#     without a header is closed ungreeted; from 127.0.0.2 a PROXY line is an unknown
#     command. With three pairs queued MAIL gets 452 until pairs are taken away. At the
#     stop the file holds the exact counts of the run and passes promtool when installed.
#  2. MinFreeSpaceMB far beyond any disk: MAIL gets 452, free space coming from
#     GetDiskFreeSpaceEx.
#  3. MinFreeSpaceMB 1: the same check, satisfied, lets mail in.
# The settings are read at the start, so each case is a start of its own.
#
#   tests/win32/wine_ops_e2e.sh BUILD_DIR
#
# Needs a booted prefix in WINEPREFIX with a persistent wineserver (scripts/wine-ci.sh).
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a booted prefix}"
EXE="$BUILD/kestran.exe"
LOGS="$BUILD/wine-logs/ops"
WINE_TEST="wine ops"
# shellcheck source=tests/win32/wine_common.sh
. "$(dirname "$0")/wine_common.sh"
# A failure stops the reader of the metrics file too.
on_fail() { touch "$LOGS/reader.stop"; }
rm -rf "$LOGS"
mkdir -p "$LOGS"
ROOT="$WINEPREFIX/drive_c/kestran-ops"
QUEUE="$ROOT/mail/prein"
METRICS="$ROOT/metrics/kestran.prom"
REFUSED='452 4.3.1 Insufficient system storage'
pid=""

# The clients, on raw sockets so that every reply is counted:
#   send SOURCE HEADER BODY  a whole transaction from SOURCE (127.0.0.x), behind a PROXY
#                            header ("-", "v1 ADDRESS" or "v2 IPV6ADDRESS"); prints the
#                            last reply
#   mail SOURCE              HELO and MAIL; prints MAIL's reply
#   bare                     EHLO from the balancer with no header; prints what came back
#   unknown SOURCE           a PROXY line as the first command; prints its reply
CLIENT="$LOGS/client.py"
cat >"$CLIENT" <<'PY'
import ipaddress, socket, struct, sys

port = int(sys.argv[1])
what = sys.argv[2]
args = sys.argv[3:]

def connect(source):
    s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))
    return s, s.makefile("rb")

def reply(f):
    line = f.readline()
    while line[3:4] == b"-":
        line = f.readline()
    return line.decode().rstrip("\r\n")

def command(s, f, text):
    s.sendall(text.encode() + b"\r\n")
    return reply(f)

def header(spec):
    if spec == "-":
        return b""
    kind, address = spec.split(" ", 1)
    if kind == "v1":
        return ("PROXY TCP4 %s 127.0.0.1 40000 25\r\n" % address).encode()
    body = ipaddress.IPv6Address(address).packed + ipaddress.IPv6Address("::1").packed
    body += struct.pack("!HH", 40000, 25)
    return b"\r\n\r\n\x00\r\nQUIT\n" + b"\x21\x21" + struct.pack("!H", len(body)) + body

if what == "send":
    source, spec, body = args
    s, f = connect(source)
    s.sendall(header(spec))
    assert reply(f).startswith("220 ")
    command(s, f, "HELO client.example")
    for c in ("MAIL FROM:<me@client.example>", "RCPT TO:<bob@example.test>", "DATA"):
        r = command(s, f, c)
        if not r.startswith(("250", "354")):
            print(r)
            sys.exit(1)
    print(command(s, f, "Subject: ops\r\n\r\n" + body + "\r\n."))
    command(s, f, "QUIT")
elif what == "mail":
    s, f = connect(args[0])
    assert reply(f).startswith("220 ")
    command(s, f, "HELO room.example")
    print(command(s, f, "MAIL FROM:<me@room.example>"))
    command(s, f, "QUIT")
elif what == "bare":
    s, f = connect("127.0.0.1")
    s.sendall(b"EHLO client.example\r\n")
    # Closed, or reset as the unread command is thrown away: never greeted.
    data = b""
    try:
        while chunk := s.recv(4096):
            data += chunk
    except ConnectionResetError:
        pass
    print(repr(data))
elif what == "unknown":
    s, f = connect(args[0])
    assert reply(f).startswith("220 ")
    print(command(s, f, "PROXY TCP4 192.0.2.9 127.0.0.1 40000 25"))
    command(s, f, "QUIT")
PY
client() { python3 "$CLIENT" "$PORT" "$@" 2>&1; }

# config VALUES...: a fresh registry for the receiver with these extra lines (values of
# the own key, then any subkeys), and an empty data root.
config() {
  receiver_registry kestran-ops '"MailInlogEnabled"=dword:00000001' "$@"
  rm -rf "$ROOT"
  mkdir -p "$ROOT/mail/inlog" "$ROOT/metrics"
}

# start NAME: kestran.exe -DEBUG with its console in $LOGS/NAME.out.
start() {
  console="$LOGS/$1.out"
  wine "$EXE" -DEBUG >"$console" 2>"$LOGS/$1.err" </dev/null &
  pid=$!
  for _ in $(seq 1 120); do
    grep -q 'Press <Ctrl>-Break to terminate' "$console" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
  done
  fail "-DEBUG did not start ($1)"
}

# Ctrl-C, and the end of the process.
stop() {
  kill -INT "$pid"
  for _ in $(seq 1 60); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
  done
  kill -0 "$pid" 2>/dev/null && fail "-DEBUG did not end after Ctrl-C"
  local rc=0
  wait "$pid" || rc=$?
  pid=""
  [ "$rc" = 0 ] || fail "-DEBUG exit status $rc"
}

# The value of one sample of the metrics file, or "missing".
sample() {
  awk -v s="$1" 'index($0, s " ") == 1 { v = substr($0, length(s) + 2) } END { print (v == "" ? "missing" : v) }' \
    "$METRICS"
}

# Sampling of the queue's room happens at most once a second.
next_sample() { sleep 1.1; }

begin=$(date +%s)
PORT=$(free_port)

echo "wine ops: metrics, a pair limit of 3 and 127.0.0.1 as a load balancer"
config '"MetricsFile"="C:\\kestran-ops\\metrics\\kestran.prom"' \
  '"MetricsInterval"=dword:00000005' \
  '"MaxQueuedMessages"=dword:00000003' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\ProxyNets]' \
  '"1"="127.0.0.1/32"'
start metrics
for _ in $(seq 1 20); do
  [ -f "$METRICS" ] && break
  sleep 0.5
done
[ -f "$METRICS" ] || fail "no metrics file after the start"
# A reader polling the file all through the run never finds it half-written: it always
# ends with its last sample.
python3 - "$METRICS" "$LOGS/reader.stop" >"$LOGS/reader.out" 2>&1 <<'PY' &
import os, sys, time
path, stop = sys.argv[1:]
reads = torn = 0
while not os.path.exists(stop):
    with open(path, "rb") as f:
        text = f.read()
    reads += 1
    last = text.rfind(b"\nkestran_process_start_time_seconds ")
    if last < 0 or not text.endswith(b"\n") or text.find(b"\n", last + 1) != len(text) - 1:
        torn += 1
    time.sleep(0.005)
print(reads, torn)
PY
reader=$!

echo "wine ops: PROXY v1 from the balancer"
r=$(client send 127.0.0.1 'v1 192.0.2.7' 'behind a v1 line') || fail "PROXY v1 message: $r"
[ "$r" = "250 Message received OK" ] || fail "PROXY v1 message: $r"
grep -q '^Received: from client.example (unverified \[192\.0\.2\.7\]) by ' "$QUEUE/B0000000001.MSG" ||
  fail "PROXY v1 Received header: $(head -2 "$QUEUE/B0000000001.MSG")"

echo "wine ops: PROXY v2 with an IPv6 source"
r=$(client send 127.0.0.1 'v2 2001:db8::7' 'behind a v2 header') || fail "PROXY v2 message: $r"
[ "$r" = "250 Message received OK" ] || fail "PROXY v2 message: $r"
grep -q '^Received: from client.example (unverified \[IPv6:2001:db8::7\]) by ' "$QUEUE/B0000000002.MSG" ||
  fail "PROXY v2 Received header: $(head -2 "$QUEUE/B0000000002.MSG")"
inlog=$(cat "$ROOT"/mail/inlog/*.LOG 2>/dev/null | tr -d '\r')
grep -q '] 192\.0\.2\.7 client\.example me@client\.example bob@example\.test$' <<<"$inlog" ||
  fail "inbound log of the v1 client: $inlog"
grep -q '] 2001:db8::7 client\.example me@client\.example bob@example\.test$' <<<"$inlog" ||
  fail "inbound log of the v2 client: $inlog"
grep -q '] 127\.0\.0\.1 ' <<<"$inlog" && fail "the balancer's address in the inbound log: $inlog"

echo "wine ops: the balancer without a header is closed ungreeted"
r=$(client bare) || fail "connection without a header: $r"
[ "$r" = "b''" ] || fail "connection without a header got: $r"
for _ in $(seq 1 20); do
  grep -q 'without a valid PROXY header were closed' "$console" && break
  sleep 0.5
done
grep -q 'without a valid PROXY header were closed.*last cause: 127\.0\.0\.1: ' "$console" ||
  fail "the closed connection was not reported"

echo "wine ops: from elsewhere a PROXY line is an unknown command"
r=$(client unknown 127.0.0.2) || fail "PROXY line from 127.0.0.2: $r"
[ "$r" = "500 Syntax Error, Command Unrecognized PROXY TCP4 192.0.2.9 127.0.0.1 40000 25" ] ||
  fail "PROXY line from 127.0.0.2: $r"

echo "wine ops: a queue at its pair limit refuses MAIL"
r=$(client send 127.0.0.2 - 'third') || fail "third message: $r"
[ "$(find "$QUEUE" -name "*.RCP" | wc -l)" = 3 ] || fail "three pairs expected: $(ls "$QUEUE")"
next_sample
r=$(client mail 127.0.0.2) || fail "MAIL at the limit: $r"
[ "$r" = "$REFUSED" ] || fail "MAIL at the limit got: $r"
grep -q 'Mail is refused with 452 until the queue has room: 3 pairs wait (limit 3)' "$console" ||
  fail "the refusing was not reported"

echo "wine ops: pairs taken away let mail in again"
rm -f "$QUEUE"/*.MSG "$QUEUE"/*.RCP
next_sample
r=$(client send 127.0.0.2 - 'room again') || fail "message after the queue emptied: $r"
[ "$r" = "250 Message received OK" ] || fail "message after the queue emptied: $r"

echo "wine ops: the metrics file is rewritten while the receiver runs"
for _ in $(seq 1 30); do
  [ "$(sample kestran_messages_queued_total)" = 4 ] && break
  sleep 0.5
done
[ "$(sample kestran_messages_queued_total)" = 4 ] || fail "metrics file not rewritten within 15 s"
stop
touch "$LOGS/reader.stop"
wait "$reader" || fail "the reader of the metrics file failed"
read -r reads torn <"$LOGS/reader.out"
[ "$reads" -gt 0 ] && [ "$torn" = 0 ] || fail "metrics file read half-written $torn times of $reads"

echo "wine ops: the metrics file at the stop"
[ "$(tail -c 1 "$METRICS" | od -An -c | tr -d ' ')" = '\n' ] || fail "metrics file does not end with a newline"
grep -q '^# HELP kestran_messages_queued_total ' "$METRICS" || fail "no # HELP line"
grep -q '^# TYPE kestran_messages_queued_total counter$' "$METRICS" || fail "no # TYPE line"
# Four messages in six greeted sessions. 250 replies: four for each message (HELO, MAIL,
# RCPT, the end of DATA) and HELO of the session whose MAIL got 452.
for expect in 'kestran_messages_queued_total 4' \
  'kestran_smtp_replies_total{code="220"} 6' \
  'kestran_smtp_replies_total{code="221"} 6' \
  'kestran_smtp_replies_total{code="250"} 17' \
  'kestran_smtp_replies_total{code="354"} 4' \
  'kestran_smtp_replies_total{code="452"} 1' \
  'kestran_smtp_replies_total{code="500"} 1' \
  'kestran_queue_storage_refusals_total 1' \
  'kestran_queue_pairs 1' \
  'kestran_queue_refusing_mail 0' \
  'kestran_connections_open 0' \
  'kestran_build_info{version="0.45"} 1'; do
  got=$(sample "${expect% *}")
  [ "$got" = "${expect##* }" ] || fail "metrics: ${expect% *} is $got, expected ${expect##* }"
done
free=$(sample kestran_queue_filesystem_free_bytes)
# GetDiskFreeSpaceEx sees what Linux sees of the prefix's file system (other writers aside).
avail=$(df -B1 --output=avail "$ROOT" | tail -n 1 | tr -d ' ')
[ "$free" != missing ] && [ $((free > avail ? free - avail : avail - free)) -lt $((avail / 20 + (1 << 30))) ] ||
  fail "metrics: the queue's file system has $free bytes free, df says $avail"
[ -z "$(find "$ROOT/metrics" -name "*.tmp")" ] || fail "temporary metrics files left: $(ls "$ROOT/metrics")"
if command -v promtool >/dev/null; then
  promtool check metrics <"$METRICS" >"$LOGS/promtool.out" 2>&1 || fail "promtool check metrics"
  echo "wine ops: promtool check metrics passed"
elif [ -n "${CI:-}" ]; then
  fail "promtool is missing (Debian package prometheus)"
fi
cp "$METRICS" "$LOGS/kestran.prom"

echo "wine ops: MinFreeSpaceMB beyond any disk refuses MAIL"
config '"MinFreeSpaceMB"=dword:7fffffff'
start nospace
r=$(client mail 127.0.0.1) || fail "MAIL without free space: $r"
[ "$r" = "$REFUSED" ] || fail "MAIL without free space got: $r"
grep -q 'Mail is refused with 452 until the queue has room: [0-9]* MB free on its file system (at least 2147483647 MB kept)' \
  "$console" || fail "the refusing for free space was not reported"
stop

echo "wine ops: MinFreeSpaceMB 1 lets mail in"
config '"MinFreeSpaceMB"=dword:00000001'
start space
r=$(client send 127.0.0.1 - 'room on disk') || fail "message with free space: $r"
[ "$r" = "250 Message received OK" ] || fail "message with free space: $r"
stop
grep -q 'Mail is refused' "$console" && fail "refused with free space: $(tr -d '\r' <"$console")"

rm -rf "$ROOT"
echo "wine ops: passed in $(($(date +%s) - begin)) s"
