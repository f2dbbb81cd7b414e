#!/usr/bin/env bash
# kestran-deliver against a next hop whose replies never end (MODE=lines: "250-..." lines
# without end; MODE=drip: one byte a second), with DeliverConcurrency 16 and
# DeliverTimeout 5: prints the peak resident size (VmHWM) over SECONDS, and how many
# attempts ended (deferred) in that time, which shows the workers come free.
#
#   bench/deliver_hostile.sh [BUILD_DIR=build] [MODE=lines] [SECONDS=30]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
MODE=${2:-lines}
SECONDS_RUN=${3:-30}
WORK=$(mktemp -d /tmp/kestran-deliver-hostile.XXXXXX)
HOP=""
DELIVER=""
cleanup() {
  [ -n "$DELIVER" ] && kill "$DELIVER" 2>/dev/null || true
  [ -n "$HOP" ] && kill "$HOP" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 bench/endless_hop.py "$PORT" "$MODE" &
HOP=$!
Q="$WORK/drive_c/q"
mkdir -p "$Q"
cat >"$WORK/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]
"MailQueueDir"="C:\\\\q\\\\"
"DeliverTo"="lmtp:[127.0.0.1]:$PORT"
"DeliverConcurrency"=dword:00000010
"DeliverTimeout"=dword:00000005
REG
for i in $(seq 1 32); do
  stem=$(printf 'B%010d' "$i")
  printf 'Received: from bench\r\nSubject: x\r\n\r\nbody\r\n.\r\n' >"$Q/$stem.MSG"
  printf 'Message-ID: <%s@bench>\r\nReturn-path: a@bench.test\r\nRecipient: b@bench.test\r\n' \
    "$stem" >"$Q/$stem.RCP"
done
sleep 0.5
KESTRAN_ROOT="$WORK" "$BUILD/kestran-deliver" -DEBUG >"$WORK/deliver.txt" 2>&1 &
DELIVER=$!
PEAK=0
END=$(($(date +%s) + SECONDS_RUN))
while [ "$(date +%s)" -lt "$END" ]; do
  HWM=$(awk '/VmHWM/ {print $2}' "/proc/$DELIVER/status" 2>/dev/null || echo 0)
  [ "${HWM:-0}" -gt "$PEAK" ] && PEAK=$HWM
  sleep 0.2
done
kill -INT "$DELIVER"
wait "$DELIVER" || true
DELIVER=""
ENDED=$(grep -c 'status=deferred' "$WORK/deliver.txt" || true)
WHY=$(grep -o 'status=deferred ([^)]*' "$WORK/deliver.txt" | sort | uniq -c | sort -rn | head -2 || true)
echo "mode $MODE, 16 workers, ${SECONDS_RUN} s: peak resident size $((PEAK / 1024)) MB; $ENDED attempts ended"
echo "$WHY"
