#!/usr/bin/env bash
# End to end into Dovecot's Maildir: KESTRAN with kestran-deliver against Postfix doing
# the same job (smtpd -> queue -> lmtp), both on the same private Dovecot (LMTP on a
# local socket) and the same file system, both flushing every message to disk.
#
#   bench/deliver_compare.sh [BUILD_DIR=build] [MESSAGES=4000] [SESSIONS=20] [SIZE=1024]
#   RCPTS=50 bench/deliver_compare.sh build 200 20 102400   # 200 x 100 KB to 50 users
#
# As root, with Debian's dovecot-lmtpd and postfix (installed without a configuration, as
# scripts/deps.sh does). SESSIONS clients send MESSAGES messages of SIZE bytes in all
# (bench/smtp_drive.cpp, 20 per connection); CONCURRENCY (default 4) deliveries run at once; the clock runs from the first connection to
# the moment the last message is in the Maildir. The CPU per message is what the
# system's own processes used (a cpuacct cgroup each: kestran and kestran-deliver, or
# every Postfix process), and with Dovecot's share. The queue's largest size during the
# run shows whether delivery kept up with intake. WINDOW (default 100) paces the clients
# to the drain: no message is begun while WINDOW begun ones are not yet in the Maildir, so
# the queue stays bounded and the rate is the one both ends sustain; WINDOW=0 lets the
# clients send as fast as each system takes mail in.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${1:-build}
MESSAGES=${2:-4000}
SESSIONS=${3:-20}
SIZE=${4:-1024}
# Deliveries at once, for both: DeliverConcurrency and lmtp_destination_concurrency_limit.
CONCURRENCY=${CONCURRENCY:-4}
WINDOW=${WINDOW:-100}
# Recipients per message (RCPTS=50: u0@ .. u49@corp.example, each its own Maildir); the
# clock runs until every copy is in its Maildir, and the rate counts messages.
RCPTS=${RCPTS:-1}
[ "$(id -u)" -eq 0 ] || { echo "deliver_compare: run as root"; exit 1; }
for p in /usr/sbin/dovecot /usr/sbin/postfix "$BUILD/kestran" "$BUILD/kestran-deliver"; do
  [ -x "$p" ] || { echo "deliver_compare: $p is missing"; exit 1; }
done
WORK=$(mktemp -d /tmp/kestran-deliver-compare.XXXXXX)
chmod 755 "$WORK"
CG=/sys/fs/cgroup/cpuacct
TAG=kdc$$
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -INT "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -f "$WORK/pf/etc/main.cf" ] && postfix -c "$WORK/pf/etc" stop >/dev/null 2>&1 || true
  sleep 0.5
  [ -f "$WORK/dv/dovecot.conf" ] && /usr/sbin/dovecot -c "$WORK/dv/dovecot.conf" stop >/dev/null 2>&1 || true
  sleep 1
  for g in kestran postfix dovecot; do rmdir "$CG/$TAG-$g" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
for g in kestran postfix dovecot; do mkdir "$CG/$TAG-$g"; done
usage() { cat "$CG/$TAG-$1/cpuacct.usage"; }
# Runs a command inside a cgroup (its children stay there).
in_cgroup() {
  local g=$1
  shift
  bash -c 'echo $$ > "$0/tasks"; exec "$@"' "$CG/$TAG-$g" "$@"
}
freeport() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

g++ -O2 -std=c++20 -pthread bench/smtp_drive.cpp -o "$WORK/smtp_drive"

echo "=== Dovecot LMTP, private instance"
DV=$WORK/dv
mkdir -p "$DV/run" "$DV/state" "$DV/mail"
chown dovecot:dovecot "$DV/mail"
cat >"$DV/dovecot.conf" <<CONF
base_dir = $DV/run
state_dir = $DV/state
log_path = $DV/dovecot.log
protocols = lmtp
ssl = no
listen = 127.0.0.1
default_internal_user = root
default_internal_group = root
default_login_user = root
first_valid_uid = 1
mail_location = maildir:$DV/mail/%n/Maildir
passdb {
  driver = static
  args = nopassword
}
userdb {
  driver = static
  args = uid=$(id -u dovecot) gid=$(id -g dovecot) home=$DV/mail/%n
}
service lmtp {
  process_min_avail = $CONCURRENCY
  unix_listener lmtp {
    mode = 0666
  }
}
CONF
in_cgroup dovecot /usr/sbin/dovecot -c "$DV/dovecot.conf" </dev/null >/dev/null 2>&1
for _ in $(seq 100); do [ -S "$DV/run/lmtp" ] && break; sleep 0.1; done
LMTP=$DV/run/lmtp
if [ "$RCPTS" -gt 1 ]; then
  FIRST=u0
else
  FIRST=u
fi
# Messages whose every copy is in its Maildir (all users' copies / RCPTS).
delivered() {
  local n
  n=$(find "$DV/mail" -path '*/Maildir/new/*' -type f 2>/dev/null | wc -l)
  echo $((n / RCPTS))
}

# run NAME PORT QUEUE_COUNT_COMMAND: drives the load, waits for the Maildir, prints figures.
run() {
  local name=$1 port=$2 queued=$3
  rm -rf "${DV:?}"/mail/u*
  local cpu0 dcpu0 t0 t1 max=0 n
  cpu0=$(usage "$name")
  dcpu0=$(usage dovecot)
  t0=$(date +%s.%N)
  DRIVE_RCPTS=$RCPTS DRIVE_WINDOW=$WINDOW DRIVE_WINDOW_DIR="$DV/mail/$FIRST/Maildir/new" \
    "$WORK/smtp_drive" load "$port" "$SESSIONS" "$MESSAGES" "$SIZE" 20 600 >"$WORK/drive-$name.txt" &
  local drive=$!
  while :; do
    n=$(eval "$queued")
    [ "$n" -gt "$max" ] && max=$n
    [ "$(delivered)" -ge "$MESSAGES" ] && break
    if ! kill -0 "$drive" 2>/dev/null && [ "$(delivered)" -ge "$(sed -n 's/.*acked=\([0-9]*\).*/\1/p' "$WORK/drive-$name.txt")" ]; then
      break
    fi
    sleep 0.05
  done
  t1=$(date +%s.%N)
  wait "$drive" || true
  local cpu1 dcpu1
  cpu1=$(usage "$name")
  dcpu1=$(usage dovecot)
  RCPTS=$RCPTS python3 - "$name" "$t0" "$t1" "$(delivered)" "$cpu0" "$cpu1" "$dcpu0" "$dcpu1" "$max" "$(cat "$WORK/drive-$name.txt")" <<'PY'
import sys
name, t0, t1, n, c0, c1, d0, d1, mx, drive = sys.argv[1:]
secs = float(t1) - float(t0)
n = int(n)
rcpts = int(__import__("os").environ.get("RCPTS", "1"))
cpu = (int(c1) - int(c0)) / 1e3 / max(n * rcpts, 1)
dcpu = (int(d1) - int(d0)) / 1e3 / max(n * rcpts, 1)
print("%-8s %6d in Maildir in %6.2f s: %7.1f messages/s end to end; CPU %6.0f us/delivered "
      "recipient (%6.0f with Dovecot); queue at most %s; client: %s" % (name, n, secs, n / secs, cpu, cpu + dcpu, mx, drive))
PY
}

echo "=== KESTRAN + kestran-deliver"
KR=$WORK/kestran
mkdir -p "$KR/drive_c/q"
KPORT=$(freeport)
cat >"$KR/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]
"Port"=dword:$(printf '%08x' "$KPORT")
"BoundIP"="127.0.0.1"
"MailQueueDir"="C:\\\\q\\\\"
"InlogDir"="C:\\\\inlog\\\\"
"Pop3logDir"="C:\\\\pop3log\\\\"
"UseNTUserDatabase"=dword:00000000
"UseLMSLists"=dword:00000000
"SyncQueueFiles"=dword:00000001
"MaxConnections"=dword:00000000
"MaxConnectionsPerIP"=dword:00000000
"LastMsgId"=dword:00000000
"DeliverTo"="lmtp:unix:$LMTP"
"DeliverConcurrency"=dword:$(printf '%08x' "$CONCURRENCY")

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]
"1"="corp.example"
REG
# Started so that $! is the program itself (its shell execs it), and the clean-up ends it.
KESTRAN_ROOT=$KR bash -c 'echo $$ > "$0/tasks"; exec "$@"' "$CG/$TAG-kestran" "$BUILD/kestran" \
  -DEBUG >"$WORK/kestran.txt" 2>&1 &
PIDS+=($!)
KESTRAN_ROOT=$KR bash -c 'echo $$ > "$0/tasks"; exec "$@"' "$CG/$TAG-kestran" \
  "$BUILD/kestran-deliver" -DEBUG >"$WORK/deliver.txt" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$KPORT") 2>/dev/null && break; sleep 0.1; done
run kestran "$KPORT" "find '$KR/drive_c/q' -maxdepth 1 -name 'B*.RCP' | wc -l"
grep -E 'deferred|bounced|damaged' "$WORK/deliver.txt" | head -3 || true

echo "=== Postfix: smtpd -> queue -> lmtp"
PF=$WORK/pf
PPORT=$(freeport)
# The benchmarks' Postfix (bench/postfix_peer.sh), here passing every message on to
# Dovecot instead of holding it.
cat >"$WORK/pf-extra.cf" <<CONF
mydestination =
relay_domains = corp.example
smtpd_client_restrictions =
relay_transport = lmtp:unix:$LMTP
default_transport = lmtp:unix:$LMTP
lmtp_destination_concurrency_limit = $CONCURRENCY
CONF
in_cgroup postfix bash -c ". bench/postfix_peer.sh; postfix_peer_start '$PF' '$PPORT' '$WORK/pf-extra.cf'" \
  </dev/null >"$WORK/postfix-start.txt" 2>&1 || { cat "$WORK/postfix-start.txt"; exit 1; }
run postfix "$PPORT" "find '$PF/queue/incoming' '$PF/queue/active' '$PF/queue/deferred' -type f | wc -l"
