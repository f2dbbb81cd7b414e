#!/usr/bin/env bash
# Resident memory of the receiver under large messages and many long recipients: not a
# test (CI does not run it), a measurement for a developer machine, a few minutes long.
#
#   bench/memory.sh
#
# Starts BUILD/kestran -DEBUG on a temporary data root whose registry is imported with
# BUILD/kestran-reg, samples the receiver's VmRSS every 100 ms from /proc, and runs
#   a    100 concurrent sessions, each sending one 40 MB message (from four loopback
#        addresses, 25 each, within the default MaxConnectionsPerIP);
#   b    one session sending 16,000 RCPT of 65,000 bytes each and a short message, with
#        MaxRecipients at its default (recipients past the cap are answered 452);
#   b0   the same with MaxRecipients 0 (no cap);
#   c    50 concurrent sessions, each with 1000 RCPT of the longest path the receiver
#        takes (a probe tries a 64,992-octet path, then one of 256 octets), all holding
#        their envelopes at once before each sends a short message;
#   c256 the same with paths of 256 octets, whatever the receiver would take;
#   d    the same with a comment after each 256-octet path that fills the line to 65,000
#        bytes: what MaxEnvelopeMemoryMB (default 256) bounds;
#   t    resident memory per connection in each state of a session, with STARTTLS (ESMTP
#        on, a self-signed RSA 2048 certificate): MEMORY_TLS_CONNECTIONS (default 2000)
#        connections from 127.0.0.1 held in one state at a time by BUILD/bench/tls_drive
#        (a build with -DKESTRAN_BENCH=ON), each state on a fresh receiver; the figure is
#        the growth of VmRSS while they are held, divided by their number. The stalled
#        handshakes are held twice: with MaxTLSHandshakes 0 (no limit) and with its
#        default, 200, where the others are answered 454 and stay in clear text.
#        MEMORY_TLS_STATES picks states and bounds ("hello:0 hello:200"; the default is
#        every state: plain plaindata starttls hello tls data).
# Each phase has a fresh receiver; it prints the peak VmRSS and VmHWM, the VmRSS two
# seconds after the last session ended, and checks that every acknowledged message is
# queued intact (body byte for byte, every accepted recipient). SyncQueueFiles is off, to
# spare the disk; it does not change the memory. Target: under 300 MB resident at every
# point.
#
# Environment: KESTRAN_BUILD (default build; needs kestran and kestran-reg), MEMORY_PHASES
# (default "a b b0 c"), MEMORY_KEEP=1 keeps the data roots, MEMORY_BEFORE=DIR runs every
# phase first with DIR/kestran (an earlier build) for before/after figures in one run,
# MEMORY_ABORT_MB (default 6000) stops a receiver that grows past it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
build="${KESTRAN_BUILD:-$repo/build}"
phases="${MEMORY_PHASES:-a b b0 c}"
before="${MEMORY_BEFORE:-}"
for b in "$build" $before; do
  for p in kestran kestran-reg; do
    [ -x "$b/$p" ] || { echo "memory.sh: $b/$p is missing (build it first)" >&2; exit 2; }
  done
done

pid=""
root=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  if [ -n "$root" ] && [ "${MEMORY_KEEP:-0}" != 1 ]; then rm -rf "$root"; fi
}
trap cleanup EXIT

# start_receiver BUILD MAXRECIPIENTS [VALUE...]: a fresh data root and a receiver of BUILD,
# with more values of the own key when given; sets root, port and pid.
start_receiver() {
  local bin="$1"
  shift
  root="$(mktemp -d /tmp/kestran-memory-XXXXXX)"
  port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
  mkdir -p "$root/drive_c/mail/prein" "$root/drive_c/mail/inlog"
  local extra=""
  if [ -n "$1" ]; then extra="\"MaxRecipients\"=dword:$(printf '%08x' "$1")"; fi
  shift
  local more=("$@")
  printf '%s\r\n' \
    'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN]' \
    "\"Port\"=dword:$(printf '%08x' "$port")" \
    '"BoundIP"="127.0.0.1"' \
    '"MailQueueDir"="C:\\mail\\prein\\"' \
    '"InlogDir"="C:\\mail\\inlog\\"' \
    '"Pop3logDir"="C:\\mail\\pop3log\\"' \
    '"UseNTUserDatabase"=dword:00000000' \
    '"DoLocalNets"=dword:00000001' \
    '"MailInlogEnabled"=dword:00000000' \
    '"SyncQueueFiles"=dword:00000000' \
    ${extra:+"$extra"} \
    "${more[@]}" \
    '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalNets]' \
    '"1"="127.0.0.0/8"' \
    '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalDomains]' \
    '"1"="example.test"' \
    '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Larchmont\LMS]' \
    '"LastMsgId"=dword:00000000' \
    '' >"$root/import.reg"
  KESTRAN_ROOT="$root" "$bin/kestran-reg" import "$root/import.reg" >/dev/null
  KESTRAN_ROOT="$root" "$bin/kestran" -DEBUG >"$root/console.txt" 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do
    if python3 -c "import socket; socket.create_connection(('127.0.0.1',$port),1)" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  echo "memory.sh: the receiver did not start" >&2
  cat "$root/console.txt" >&2
  return 1
}

stop_receiver() {
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || true
  pid=""
  if [ "${MEMORY_KEEP:-0}" != 1 ]; then rm -rf "$root"; else echo "data root kept: $root"; fi
  root=""
}

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

# Phase t: hold_state STATE MAXTLSHANDSHAKES prints one line of figures.
tls_connections="${MEMORY_TLS_CONNECTIONS:-2000}"
hold_state() {
  local state=$1 bound=$2
  start_receiver "$build" "" '"ESMTP"=dword:00000001' '"MaxConnectionsPerIP"=dword:00000000' \
    "\"MaxTLSHandshakes\"=dword:$(printf '%08x' "$bound")" \
    "\"TLSCertificateFile\"=\"$tlsdir/cert.pem\"" "\"TLSKeyFile\"=\"$tlsdir/key.pem\""
  sleep 1
  local base held out="$root/hold.txt"
  base=$(rss_kb "$pid")
  mkfifo "$root/hold"
  exec 4<>"$root/hold"
  "$build/bench/tls_drive" hold "$port" "$tls_connections" "$state" <"$root/hold" 4>&- >"$out" &
  local holder=$!
  for _ in $(seq 1200); do grep -q held= "$out" 2>/dev/null && break; sleep 0.1; done
  sleep 2
  held=$(rss_kb "$pid")
  exec 4>&-
  wait "$holder" 2>/dev/null || true
  printf '%-10s %8s %-36s %9s %9s %9s\n' "$state" "$bound" "$(cat "$out")" "$base" "$held" \
    "$(( (held - base) * 1024 / tls_connections ))"
  stop_receiver
}

status=0
echo "memory: $build/kestran${before:+ (before: $before/kestran)}, phases: $phases"
for phase in $phases; do
  if [ "$phase" = t ]; then
    [ -x "$build/bench/tls_drive" ] || { echo "memory.sh: $build/bench/tls_drive is missing (-DKESTRAN_BENCH=ON)" >&2; exit 2; }
    ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
    tlsdir="$(mktemp -d /tmp/kestran-memory-tls-XXXXXX)"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
      -keyout "$tlsdir/key.pem" -out "$tlsdir/cert.pem" 2>/dev/null
    echo "# $tls_connections connections held in each state; resident KiB before and while held"
    printf '%-10s %8s %-36s %9s %9s %9s\n' state bound "tls_drive" "base KiB" "held KiB" "B/conn"
    for sb in ${MEMORY_TLS_STATES:-plain:200 plaindata:200 starttls:0 hello:0 hello:200 tls:200 data:200}; do
      hold_state "${sb%%:*}" "${sb##*:}"
    done
    rm -rf "$tlsdir"
    continue
  fi
  case "$phase" in
    a | b | c | c256 | d) cap="" ;;
    b0) cap=0 ;;
    *) echo "unknown phase $phase" >&2; exit 2 ;;
  esac
  for bin in $before "$build"; do
    if [ -n "$before" ]; then
      if [ "$bin" = "$build" ]; then echo "after:"; else echo "before:"; fi
    fi
    start_receiver "$bin" "$cap"
    python3 "$here/memory_client.py" "$phase" "$port" "$pid" "$root/drive_c/mail/prein" || status=1
    stop_receiver
  done
done
exit "$status"
