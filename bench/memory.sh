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
#   b0   the same with MaxRecipients 0 (no cap).
# Each phase has a fresh receiver; it prints the peak VmRSS and VmHWM and checks that
# every acknowledged message is queued intact (body byte for byte, every accepted
# recipient). SyncQueueFiles is off, to spare the disk; it does not change the memory.
# Target: under 300 MB resident at every point.
#
# Environment: KESTRAN_BUILD (default build; needs kestran and kestran-reg), MEMORY_PHASES
# (default "a b b0"), MEMORY_KEEP=1 keeps the data roots.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
build="${KESTRAN_BUILD:-$repo/build}"
phases="${MEMORY_PHASES:-a b b0}"
for p in kestran kestran-reg; do
  [ -x "$build/$p" ] || { echo "memory.sh: $build/$p is missing (build it first)" >&2; exit 2; }
done

pid=""
root=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  if [ -n "$root" ] && [ "${MEMORY_KEEP:-0}" != 1 ]; then rm -rf "$root"; fi
}
trap cleanup EXIT

# start_receiver MAXRECIPIENTS: a fresh data root and receiver; sets root, port and pid.
start_receiver() {
  root="$(mktemp -d /tmp/kestran-memory-XXXXXX)"
  port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
  mkdir -p "$root/drive_c/mail/prein" "$root/drive_c/mail/inlog"
  local extra=""
  if [ -n "$1" ]; then extra="\"MaxRecipients\"=dword:$(printf '%08x' "$1")"; fi
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
  KESTRAN_ROOT="$root" "$build/kestran-reg" import "$root/import.reg" >/dev/null
  KESTRAN_ROOT="$root" "$build/kestran" -DEBUG >"$root/console.txt" 2>&1 &
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
  kill -INT "$pid"
  wait "$pid" || true
  pid=""
  if [ "${MEMORY_KEEP:-0}" != 1 ]; then rm -rf "$root"; else echo "data root kept: $root"; fi
  root=""
}

status=0
echo "memory: $build/kestran, phases: $phases"
for phase in $phases; do
  case "$phase" in
    a) start_receiver "" ;;
    b) start_receiver "" ;;
    b0) start_receiver 0 ;;
    *) echo "unknown phase $phase" >&2; exit 2 ;;
  esac
  python3 "$here/memory_client.py" "$phase" "$port" "$pid" "$root/drive_c/mail/prein" || status=1
  stop_receiver
done
exit "$status"
