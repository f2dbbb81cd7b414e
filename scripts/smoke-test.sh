#!/usr/bin/env bash
# Quick checks of the built programs, without the test suite: what `ctest` runs in a
# build configured with -DKESTRAN_TESTS=OFF (the Debian package's build runs it in
# dh_auto_test). In a temporary data root: the banner, a registry import and query, then
# the receiver in console mode on a free port of 127.0.0.1 takes one message into its
# queue and stops on SIGINT. A few seconds; needs nothing but bash.
set -euo pipefail
BUILD=${1:?usage: smoke-test.sh BUILD_DIR}
SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kestran-smoke.XXXXXX")
PID=""
cleanup() {
  if [ -n "$PID" ]; then kill "$PID" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "smoke: $*"; [ -f "$WORK/console.txt" ] && tr -d '\r' <"$WORK/console.txt"; exit 1; }
export KESTRAN_ROOT="$WORK/root" KESTRAN_SYSLOG_SOCKET="$WORK/no-syslog"
mkdir -p "$KESTRAN_ROOT"
KEY='HKLM\SOFTWARE\Brackenwold\KESTRAN'

"$BUILD/kestran" -VERSION | grep -q '^KESTRAN SMTP Receiver Version' || fail "no banner"
"$BUILD/kestran-reg" import "$SRC/debian/kestran-start.reg" >/dev/null
"$BUILD/kestran-reg" query "$KEY" /v Port | grep -Eq 'Port +REG_DWORD +0x19$' || fail "query"
"$BUILD/kestran-reg" add "$KEY" /v BoundIP /d 127.0.0.1 /f >/dev/null
"$BUILD/kestran-reg" add "$KEY\\LocalDomains" /v 1 /d example.test /f >/dev/null

# A port nobody listens on; the receiver's own bind is the final word.
for _ in 1 2 3 4 5 6 7 8 9 10; do
  PORT=$((20000 + RANDOM % 40000))
  { (exec 3<>"/dev/tcp/127.0.0.1/$PORT"); } 2>/dev/null || break
done
"$BUILD/kestran-reg" add "$KEY" /v Port /t REG_DWORD /d "$PORT" /f >/dev/null
"$BUILD/kestran" -DEBUG >"$WORK/console.txt" 2>&1 </dev/null &
PID=$!
for _ in $(seq 100); do
  { exec 3<>"/dev/tcp/127.0.0.1/$PORT"; } 2>/dev/null && break
  kill -0 "$PID" 2>/dev/null || fail "the receiver ended at start"
  sleep 0.1
done
# say LINE EXPECTED-CODE: sends a line (none for the greeting) and checks the reply.
say() {
  [ -n "$1" ] && printf '%s\r\n' "$1" >&3
  local reply
  IFS= read -r -t 10 reply <&3 || fail "no reply to '$1'"
  [ "${reply:0:3}" = "$2" ] || fail "'$1' got '$reply'"
}
say "" 220
say "HELO client.example" 250
say "MAIL FROM:<me@client.example>" 250
say "RCPT TO:<bob@example.test>" 250
say "DATA" 354
say $'Subject: smoke\r\n\r\nHello Bob\r\n.' 250
say "QUIT" 221
exec 3>&-
QUEUE="$KESTRAN_ROOT/drive_c/kestran/mail/prein"
grep -q 'Hello Bob' "$QUEUE/B0000000001.MSG" || fail "no message file"
grep -q 'bob@example.test' "$QUEUE/B0000000001.RCP" || fail "no recipient file"
kill -INT "$PID"
for _ in $(seq 100); do
  kill -0 "$PID" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$PID" 2>/dev/null && fail "the receiver did not stop on SIGINT"
wait "$PID" || fail "the receiver ended with status $?"
PID=""
echo "smoke: ok (port $PORT)"
