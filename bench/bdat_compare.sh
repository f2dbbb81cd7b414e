#!/usr/bin/env bash
# DATA against BDAT on the same receiver in one run: 20 sessions with one 1 KB message
# per connection, 20 sessions each keeping its connection for all its 1 KB messages, and
# 20 sessions with one 100 KB message per connection; BDAT as one chunk per message and,
# for 100 KB, in chunks of 64 KiB. Every client greets with EHLO.
#
#   bench/bdat_compare.sh [BUILD_DIR=build] [ROUNDS=3]
#
# Starts BUILD_DIR/kestran -DEBUG (ESMTP 1, SyncQueueFiles 1) on a temporary data root
# under /tmp; the modes take turns within each round, the queue is emptied between runs,
# and the figures are medians: messages per second acknowledged and the receiver's CPU
# time per message (utime + stime from /proc). MESSAGES_1K (2000) and MESSAGES_100K (300)
# set the counts, SCENARIOS (default "s20-1k kept-1k s20-100k") picks a part. The chunks
# of a message go out pipelined.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
ROUNDS=${2:-3}
MESSAGES_1K=${MESSAGES_1K:-2000}
MESSAGES_100K=${MESSAGES_100K:-300}
[ -x "$BUILD/kestran" ] || { echo "bdat_compare: $BUILD/kestran is missing"; exit 1; }
WORK=$(mktemp -d /tmp/kestran-bdat-compare.XXXXXX)
PID=""
cleanup() {
  [ -n "$PID" ] && kill -INT "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
g++ -O2 -std=c++20 -pthread bench/smtp_drive.cpp -o "$WORK/smtp_drive"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$WORK/root/drive_c/q"
cat >"$WORK/root/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]
"Port"=dword:$(printf '%08x' "$PORT")
"BoundIP"="127.0.0.1"
"MailQueueDir"="C:\\\\q\\\\"
"InlogDir"="C:\\\\inlog\\\\"
"Pop3logDir"="C:\\\\pop3log\\\\"
"UseNTUserDatabase"=dword:00000000
"UseLMSLists"=dword:00000000
"SyncQueueFiles"=dword:00000001
"MaxConnections"=dword:00000000
"MaxConnectionsPerIP"=dword:00000000
"ESMTP"=dword:00000001
"Chunking"=dword:00000001
"LastMsgId"=dword:00000000

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]
"1"="corp.example"
REG
KESTRAN_ROOT=$WORK/root "$BUILD/kestran" -DEBUG >"$WORK/kestran.txt" 2>&1 &
PID=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.1; done
cpu() { awk '{print $14 + $15}' "/proc/$PID/stat"; }
TICK=$(getconf CLK_TCK)

# one SCENARIO MODE SIZE PER_CONN MESSAGES: appends "scenario mode rate us_per_message".
one() {
  local scenario=$1 mode=$2 size=$3 per=$4 messages=$5 c0 c1 out acked rate
  find "$WORK/root/drive_c/q" -maxdepth 1 -type f -delete
  c0=$(cpu)
  out=$(DRIVE_MODE=$mode DRIVE_EHLO=1 "$WORK/smtp_drive" load "$PORT" 20 "$messages" "$size" "$per" 120)
  c1=$(cpu)
  acked=$(sed -n 's/.*acked=\([0-9]*\).*/\1/p' <<<"$out")
  rate=$(sed -n 's/.*rate=\([0-9.]*\).*/\1/p' <<<"$out")
  local stored
  stored=$(find "$WORK/root/drive_c/q" -maxdepth 1 -name 'B*.RCP' | wc -l)
  [ "$stored" -eq "$acked" ] || echo "bdat_compare: $scenario $mode acknowledged $acked, stored $stored" >&2
  echo "$scenario $mode $rate $(( (c1 - c0) * 1000000 / TICK / (acked > 0 ? acked : 1) ))" >>"$WORK/results.txt"
}

SCENARIOS=${SCENARIOS:-s20-1k kept-1k s20-100k}
for r in $(seq "$ROUNDS"); do
  for s in $SCENARIOS; do
    case $s in
      s20-1k) for mode in data bdat; do one s20-1k "$mode" 1024 1 "$MESSAGES_1K"; done ;;
      kept-1k) for mode in data bdat; do one kept-1k "$mode" 1024 1000000 "$MESSAGES_1K"; done ;;
      s20-100k) for mode in data bdat bdat64k; do one s20-100k "$mode" 102400 1 "$MESSAGES_100K"; done ;;
    esac
  done
  echo "round $r done" >&2
done

python3 - "$WORK/results.txt" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    s, m, rate, us = line.split()
    rows.setdefault((s, m), []).append((float(rate), int(us)))
print("| scenario | transfer | msg/s (median) | receiver CPU per message |")
print("|---|---|---:|---:|")
names = {"data": "DATA", "bdat": "BDAT, one chunk", "bdat64k": "BDAT, 64 KiB chunks"}
for (s, m), v in rows.items():
    print("| %s | %s | %.0f | %d us |" % (s, names[m], statistics.median(x[0] for x in v),
                                          statistics.median(x[1] for x in v)))
PY
