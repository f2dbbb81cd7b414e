#!/usr/bin/env bash
# No-loss soak test: SECONDS (default 600) of mixed load against the built receiver, then
# a check that every acknowledged message is in exactly one complete queue pair, that no
# pair holds a message that was not acknowledged, and that no number was used twice.
#   bench/soak.sh [SECONDS] [WORKERS]
# Environment: KESTRAN_BUILD (build directory holding kestran, default build; built when
# missing), SOAK_KEEP=1 keeps the temporary data root.
set -euo pipefail
seconds="${1:-600}"
workers="${2:-16}"
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
build="${KESTRAN_BUILD:-$repo/build}"
if [ ! -x "$build/kestran" ]; then
  cmake -S "$repo" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target kestran
fi

root="$(mktemp -d /tmp/kestran-soak-XXXXXX)"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  if [ "${SOAK_KEEP:-0}" != 1 ]; then rm -rf "$root"; else echo "data root kept: $root"; fi
}
trap cleanup EXIT

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
mkdir -p "$root/drive_c/mail/prein" "$root/drive_c/mail/inlog"
printf '%s\r\n' \
  'REGEDIT4' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN]' \
  "\"Port\"=dword:$(printf '%08x' "$port")" \
  '"MailQueueDir"="C:\\mail\\prein\\"' \
  '"InlogDir"="C:\\mail\\inlog\\"' \
  '"Pop3logDir"="C:\\mail\\pop3log\\"' \
  '"UseNTUserDatabase"=dword:00000000' \
  '"DoLocalNets"=dword:00000001' \
  '"MailInlogEnabled"=dword:00000001' \
  '"SyncQueueFiles"=dword:00000001' \
  '"MaxMessageSize"=dword:00200000' \
  '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalNets]' \
  '"1"="127.0.0.1/32"' \
  '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalDomains]' \
  '"1"="example.test"' \
  '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Larchmont\LMS]' \
  '"LastMsgId"=dword:00000000' \
  '' >"$root/registry.reg"

KESTRAN_ROOT="$root" "$build/kestran" -DEBUG >"$root/console.txt" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$port),1)" 2>/dev/null; then break; fi
  sleep 0.1
done

echo "soak: $seconds s, $workers clients, receiver pid $pid on port $port"
rss_before="$(awk '/VmRSS/ {print $2}' /proc/$pid/status)"
python3 "$here/soak_client.py" run "$port" "$seconds" "$workers" "$root/tokens.txt"
rss_after="$(awk '/VmRSS/ {print $2}' /proc/$pid/status)"
threads_after="$(awk '/Threads/ {print $2}' /proc/$pid/status)"
kill -INT "$pid"
wait "$pid" || { echo "receiver exit status $?"; }
pid=""
echo "receiver: RSS ${rss_before} KiB before, ${rss_after} KiB after, ${threads_after} threads after the load"
python3 "$here/soak_client.py" verify "$root/drive_c/mail/prein" "$root/tokens.txt" \
  "$root/drive_c/mail/inlog"
