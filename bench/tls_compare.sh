#!/usr/bin/env bash
# STARTTLS under load, the receiver beside Postfix (not in CI; needs root, Debian's
# postfix package installed with debconf "No configuration", and the openssl program).
#
#   bench/tls_compare.sh [BUILD_DIR=build-bench]
# Environment: TLS_SESSIONS (20), TLS_MESSAGES (3000), TLS_SIZE (1024), TLS_SECONDS (15),
# TLS_REPEATS (1), TLS_IDLE (500), TLS_FS (loop | root); TLS_LOAD=0 measures the idle
# connections only.
#
# Builds BUILD_DIR (-DKESTRAN_BENCH=ON), makes one self-signed RSA 2048 certificate, and
# starts BUILD_DIR/kestran -DEBUG (ESMTP on, that certificate, queue files flushed) and a
# Postfix instance of its own on 127.0.0.1 with the same certificate, every message put
# on hold (bench/postfix_peer.sh). bench/tls_drive then sends TLS_MESSAGES messages of
# TLS_SIZE bytes from TLS_SESSIONS concurrent sessions, one message per connection, each
# with STARTTLS, to each system in turn; it prints messages per second, messages
# acknowledged and stored, and the ratio. Then it holds TLS_IDLE idle connections to a
# fresh receiver, in clear text and after STARTTLS, and prints the resident memory per
# connection. Nothing is left running.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-bench}
SESSIONS=${TLS_SESSIONS:-20}
MESSAGES=${TLS_MESSAGES:-3000}
SIZE=${TLS_SIZE:-1024}
SECONDS_MAX=${TLS_SECONDS:-15}
REPEATS=${TLS_REPEATS:-1}
IDLE=${TLS_IDLE:-500}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRAN_BENCH=ON >/dev/null
cmake --build "$BUILD" --target kestran tls_drive smtp_drive >/dev/null
BUILD=$(cd "$BUILD" && pwd)
. bench/postfix_peer.sh

WORK=$(mktemp -d /tmp/kestran-tlsbench.XXXXXX)
chmod 755 "$WORK"  # Postfix runs as its own user below it
# Both queues on a fresh ext4 image with a journal, as a production queue disk is (and as
# bench/compare.sh does); TLS_FS=root, or a failing loop mount, keeps them on the root
# file system.
IMAGE=""
if [ "${TLS_FS:-loop}" = loop ]; then
  if dd if=/dev/zero of="$WORK.img" bs=8M count=128 status=none &&
    mkfs.ext4 -q -F -O has_journal -E lazy_itable_init=0,lazy_journal_init=0 "$WORK.img" &&
    mount -o loop "$WORK.img" "$WORK"; then
    IMAGE=$WORK.img
    chmod 755 "$WORK"
    echo "# queues on: ext4 with a journal on a loop-mounted 1 GiB image"
  else
    rm -f "$WORK.img"
    echo "# loop mount impossible: queues on the root file system"
  fi
fi
KPID=""
stop_receiver() {
  if [ -n "$KPID" ]; then
    kill -INT "$KPID" 2>/dev/null || true
    wait "$KPID" 2>/dev/null || true
    KPID=""
  fi
}
cleanup() {
  stop_receiver
  postfix_peer_stop "$WORK/postfix" 2>/dev/null || true
  if [ -n "$IMAGE" ]; then
    rm -rf "${WORK:?}"/*
    umount "$WORK" 2>/dev/null || umount -l "$WORK"
    rm -f "$IMAGE"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null

# The receiver on a data root of its own.
start_receiver() {
  local root=$WORK/kestran
  rm -rf "$root"
  mkdir -p "$root/drive_c/mail/prein"
  KPORT=$(free_port)
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"Port"=dword:%08x\r\n"BoundIP"="127.0.0.1"\r\n"MailQueueDir"="C:\\\\mail\\\\prein\\\\"\r\n"UseNTUserDatabase"=dword:00000000\r\n"UseLMSLists"=dword:00000000\r\n"SyncQueueFiles"=dword:00000001\r\n"LastMsgId"=dword:00000000\r\n"ESMTP"=dword:00000001\r\n"MaxConnectionsPerIP"=dword:00000000\r\n"TLSCertificateFile"="%s"\r\n"TLSKeyFile"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"1"="corp.example"\r\n' \
    "$KPORT" "$WORK/cert.pem" "$WORK/key.pem" >"$root/registry.reg"
  ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
  KESTRAN_ROOT=$root "$BUILD/kestran" -DEBUG >"$WORK/kestran.console" 2>&1 &
  KPID=$!
  wait_port "$KPORT" || { cat "$WORK/kestran.console"; exit 1; }
}
receiver_stored() { find "$WORK/kestran/drive_c/mail/prein" -name '*.RCP' | wc -l; }

if [ "${TLS_LOAD:-1}" != 0 ]; then
cat >"$WORK/postfix-tls.cf" <<EOF
smtpd_tls_cert_file = $WORK/cert.pem
smtpd_tls_key_file = $WORK/key.pem
smtpd_tls_security_level = may
smtpd_tls_loglevel = 0
EOF
PPORT=$(free_port)
postfix_peer_start "$WORK/postfix" "$PPORT" "$WORK/postfix-tls.cf"
# Its SMTP server offers TLS only with the TLS manager running.
echo "tlsmgr unix - - n 1000? 1 tlsmgr" >>"$WORK/postfix/etc/master.cf"
postfix -c "$WORK/postfix/etc" reload >/dev/null 2>&1
sleep 1
start_receiver

echo "# $SESSIONS sessions, $MESSAGES messages of $SIZE bytes, one per connection, STARTTLS on each"
# The server's CPU time in clock ticks: the receiver's process; Postfix's master with
# every child, the reaped ones included.
cpu_ticks() {
  local pid=$1 total kid
  total=$(awk '{print $14 + $15 + $16 + $17}' "/proc/$pid/stat")
  for kid in $(ps -o pid= --ppid "$pid"); do
    total=$((total + $(awk '{print $14 + $15}' "/proc/$kid/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
PFPID=$(postfix_peer_master_pid "$WORK/postfix")
TICK=$(getconf CLK_TCK)

printf '%-9s %10s %9s %7s %7s %12s\n' system msg/s elapsed acked stored "cpu us/msg"
declare -A RATE
for r in $(seq "$REPEATS"); do
  for sys in kestran postfix; do
    if [ $sys = kestran ]; then port=$KPORT; else port=$PPORT; postfix_peer_clear "$WORK/postfix"; fi
    if [ $sys = kestran ]; then spid=$KPID; else spid=$PFPID; fi
    cpu0=$(cpu_ticks "$spid")
    out=$("$BUILD/bench/tls_drive" load "$port" "$SESSIONS" "$MESSAGES" "$SIZE" "$SECONDS_MAX")
    rate=$(sed -n 's/.*rate=\([0-9.]*\).*/\1/p' <<<"$out")
    acked=$(sed -n 's/.*acked=\([0-9]*\).*/\1/p' <<<"$out")
    elapsed=$(sed -n 's/.*elapsed=\([0-9.]*\).*/\1/p' <<<"$out")
    sleep 1
    cpu=$(( ($(cpu_ticks "$spid") - cpu0) * 1000000 / TICK / (acked > 0 ? acked : 1) ))
    if [ $sys = kestran ]; then
      stored=$(receiver_stored)
      find "$WORK/kestran/drive_c/mail/prein" -type f -delete
    else
      stored=$(postfix_peer_held "$WORK/postfix")
    fi
    printf '%-9s %10s %9s %7s %7s %12s\n' "$sys" "$rate" "$elapsed" "$acked" "$stored" "$cpu"
    RATE[$sys]="${RATE[$sys]:-} $rate"
  done
done
python3 - "${RATE[kestran]}" "${RATE[postfix]}" <<'PY'
import statistics, sys
k = statistics.median(float(x) for x in sys.argv[1].split())
p = statistics.median(float(x) for x in sys.argv[2].split())
print("receiver / postfix: %.2f x (median msg/s %.1f vs %.1f)" % (k / p, k, p))
PY
postfix_peer_stop "$WORK/postfix"
fi

# Idle connections: a fresh receiver, clear text, then STARTTLS. hold_idle DRIVER OUT
# starts a fresh receiver, holds IDLE connections with DRIVER until it reports them in
# OUT, and sets BASE and HELD to the receiver's resident KiB before and while held.
hold_idle() {
  local driver=$1 out=$2
  stop_receiver
  start_receiver
  sleep 1
  BASE=$(rss_kb "$KPID")
  mkfifo "$WORK/hold"
  exec 4<>"$WORK/hold"
  "$BUILD/bench/$driver" idle "$KPORT" "$IDLE" <"$WORK/hold" 4>&- >"$out" &
  local holder=$!
  for _ in $(seq 600); do grep -q idle= "$out" 2>/dev/null && break; sleep 0.1; done
  sleep 1
  HELD=$(rss_kb "$KPID")
  exec 4>&-
  wait "$holder" 2>/dev/null || true
  rm -f "$WORK/hold"
}
hold_idle smtp_drive "$WORK/idle-plain.txt"
base=$BASE plain=$HELD
hold_idle tls_drive "$WORK/idle-tls.txt"
base2=$BASE tls=$HELD
echo "# idle connections to a fresh receiver: resident memory per connection"
echo "clear text: $(cat "$WORK/idle-plain.txt"), $(( (plain - base) * 1024 / IDLE )) bytes ($base -> $plain KiB)"
echo "after STARTTLS and EHLO: $(cat "$WORK/idle-tls.txt"), $(( (tls - base2) * 1024 / IDLE )) bytes ($base2 -> $tls KiB)"
