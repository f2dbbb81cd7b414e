#!/usr/bin/env bash
# kestran-deliver's resident memory while it delivers large messages: PAIRS queue pairs
# of SIZE_MB MB each (default 100 of 40 MB; the message files are hard links to one file,
# so the disk holds one) to an LMTP next hop that discards what it reads
# (bench/lmtp_sink.py). Prints the seconds taken, the throughput and the peak resident
# size (VmHWM) of kestran-deliver. Needs the normal build (build/kestran-deliver).
#
#   bench/deliver_memory.sh [BUILD_DIR=build] [PAIRS=100] [SIZE_MB=40]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
PAIRS=${2:-100}
SIZE_MB=${3:-40}
WORK=$(mktemp -d /tmp/kestran-deliver-memory.XXXXXX)
SINK=""
DELIVER=""
cleanup() {
  [ -n "$DELIVER" ] && kill "$DELIVER" 2>/dev/null || true
  [ -n "$SINK" ] && kill "$SINK" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 bench/lmtp_sink.py "$PORT" >"$WORK/sink.txt" &
SINK=$!
Q="$WORK/drive_c/q"
mkdir -p "$Q"
cat >"$WORK/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]
"MailQueueDir"="C:\\\\q\\\\"
"DeliverTo"="lmtp:[127.0.0.1]:$PORT"
"DeliverConcurrency"=dword:00000004
REG
# One message of SIZE_MB MB: a header, lines of 78 characters, the final ".".
python3 - "$WORK/big.msg" "$SIZE_MB" <<'PY'
import sys
path, mb = sys.argv[1], int(sys.argv[2])
line = b"x" * 76 + b"\r\n"
with open(path, "wb") as f:
    f.write(b"Received: from bench by bench\r\nSubject: large\r\n\r\n")
    block = line * 1000
    for _ in range(mb * 1024 * 1024 // len(block)):
        f.write(block)
    f.write(b".\r\n")
PY
for i in $(seq 1 "$PAIRS"); do
  stem=$(printf 'B%010d' "$i")
  ln "$WORK/big.msg" "$Q/$stem.MSG"
  printf 'Message-ID: <%s@bench>\r\nReturn-path: a@bench.test\r\nRecipient: b@bench.test\r\n' \
    "$stem" >"$Q/$stem.RCP"
done
START=$(date +%s.%N)
KESTRAN_ROOT="$WORK" "$BUILD/kestran-deliver" -DEBUG >"$WORK/deliver.txt" 2>&1 &
DELIVER=$!
PEAK=0
while [ -n "$(find "$Q" -maxdepth 1 -name "B*.RCP" -print -quit)" ]; do
  HWM=$(awk '/VmHWM/ {print $2}' "/proc/$DELIVER/status" 2>/dev/null || echo 0)
  [ "${HWM:-0}" -gt "$PEAK" ] && PEAK=$HWM
  sleep 0.2
done
END=$(date +%s.%N)
HWM=$(awk '/VmHWM/ {print $2}' "/proc/$DELIVER/status")
[ "$HWM" -gt "$PEAK" ] && PEAK=$HWM
kill -INT "$DELIVER"
wait "$DELIVER" || true
DELIVER=""
kill "$SINK"
wait "$SINK" || true
SINK=""
SENT=$(grep -c 'status=sent' "$WORK/deliver.txt" || true)
python3 - "$START" "$END" "$PAIRS" "$SIZE_MB" "$PEAK" "$SENT" <<'PY'
import sys
start, end, pairs, mb, peak, sent = map(float, sys.argv[1:])
secs = end - start
print("pairs %d of %d MB delivered (%d sent) in %.1f s, %.0f MB/s" % (pairs, mb, sent, secs, pairs * mb / secs))
print("kestran-deliver peak resident size (VmHWM): %.1f MB %s" % (peak / 1024, "(under 64 MB)" if peak < 64 * 1024 else "(64 MB OR MORE)"))
PY
cat "$WORK/sink.txt"
grep -E "deferred|bounced|damaged" "$WORK/deliver.txt" | head -5 || true
