#!/usr/bin/env bash
# End-to-end test of kestran.exe as a Windows service under Wine: configuration through
# regedit, -VERSION, -INSTALL (twice), start by the service manager, one message from a
# Linux SMTP client, LastMsgId in the registry, stop, -REMOVE, then console mode ended
# by Ctrl-C.
#
#   tests/win32/wine_e2e.sh BUILD_DIR
#
# Needs a booted prefix in WINEPREFIX with a persistent wineserver (scripts/wine-ci.sh
# prepares one). Wine's output always goes to files: services inherit it, and a pipe
# would never close.
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a booted prefix}"
EXE="$BUILD/kestran.exe"
LOGS="$BUILD/wine-logs/e2e"
WINE_TEST="wine e2e"
# shellcheck source=tests/win32/wine_common.sh
. "$(dirname "$0")/wine_common.sh"
rm -rf "$LOGS"
mkdir -p "$LOGS"
DRIVE_C="$WINEPREFIX/drive_c"
QUEUE="$DRIVE_C/kestran-e2e/mail/prein"
OWN_KEY='HKLM\SOFTWARE\Brackenwold\KESTRAN'

# w NAME TIMEOUT ARGS...: runs a Wine command with its output in $LOGS/NAME.out (stdout)
# and NAME.err; returns its exit status.
w() {
  local name=$1 limit=$2
  shift 2
  local rc=0
  timeout "$limit" wine "$@" >"$LOGS/$name.out" 2>"$LOGS/$name.err" </dev/null || rc=$?
  return $rc
}

out() { tr -d '\r' <"$LOGS/$1.out"; }

# Polls "sc query KESTRAN" until the state is reached (at most 60 s).
wait_state() {
  local state=$1
  for _ in $(seq 1 120); do
    w sc-query 30 sc query KESTRAN || true
    if grep -q "STATE.*$state" "$LOGS/sc-query.out"; then return 0; fi
    sleep 0.5
  done
  fail "service did not reach $state: $(out sc-query)"
}

send_mail() {
  python3 - "$1" "$2" "${3:-127.0.0.1}" <<'PY'
import smtplib, sys
port, body, host = int(sys.argv[1]), sys.argv[2], sys.argv[3]
s = smtplib.SMTP(host, port, timeout=30)
s.helo("client.example")
refused = s.sendmail("me@client.example", ["bob@example.test"], "Subject: wine\r\n\r\n" + body + "\r\n")
s.quit()
sys.exit(1 if refused else 0)
PY
}

last_msg_id() {
  w reg-query 30 reg query "$OWN_KEY" /v LastMsgId || fail "reg query LastMsgId"
  out reg-query | awk '/LastMsgId/ {print $3}'
}

start=$(date +%s)
PORT=$(free_port)
CFG="$LOGS/config.reg"
printf '%s\r\n' 'REGEDIT4' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN]' \
  "\"Port\"=dword:$(printf '%08x' "$PORT")" \
  '"BoundIP"="127.0.0.1"' \
  '"IPv6"=dword:00000001' \
  '"BoundIPv6"="::1"' \
  '"MailRootDir"="C:\\kestran-e2e\\mail\\"' \
  '"MailQueueDir"="C:\\kestran-e2e\\mail\\prein\\"' \
  '"InlogDir"="C:\\kestran-e2e\\mail\\inlog\\"' \
  '"Pop3logDir"="C:\\kestran-e2e\\mail\\pop3log\\"' \
  '"DoLocalNets"=dword:00000001' \
  '"UseNTUserDatabase"=dword:00000000' \
  '"DNSTimeout"=dword:000003e8' \
  '"LastMsgId"=dword:00000000' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalNets]' \
  '"1"="127.0.0.0/8"' \
  '"2"="::1/128"' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalDomains]' \
  '"1"="example.test"' '' >"$CFG"
rm -rf "$DRIVE_C/kestran-e2e"

echo "wine e2e: import the configuration (port $PORT)"
w regedit 60 regedit /s "$(winepath -w "$CFG" 2>/dev/null)" || fail "regedit /s"
[ "$(last_msg_id)" = "0x0" ] || fail "configuration not imported"

echo "wine e2e: -VERSION"
w version 60 "$EXE" -VERSION || fail "-VERSION exit status"
[ "$(cat "$LOGS/version.out")" = $'KESTRAN SMTP Receiver Version 0.45\r' ] || fail "-VERSION output"

echo "wine e2e: -INSTALL twice"
w install 60 "$EXE" -INSTALL || fail "-INSTALL exit status"
out install | grep -qx 'DRX KESTRAN Service installed.' || fail "-INSTALL output"
w install2 60 "$EXE" -INSTALL || fail "second -INSTALL exit status"
out install2 | grep -Eqx 'CreateService failed - .* \(0x431\)' || fail "second -INSTALL output"
w evt-key 30 reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KESTRAN' ||
  fail "event source not registered"
out evt-key | grep -q 'TypesSupported.*0x7' || fail "event source values"
out evt-key | grep -q 'EventMessageFile.*REG_EXPAND_SZ.*kestran.exe' || fail "event message file"

echo "wine e2e: net start KESTRAN"
w net-start 120 net start KESTRAN || fail "net start"
wait_state RUNNING

echo "wine e2e: one message from a Linux client"
send_mail "$PORT" "Hello from Linux" >"$LOGS/smtp1.log" 2>&1 || fail "SMTP dialogue: $(cat "$LOGS/smtp1.log")"
[ -f "$QUEUE/B0000000001.MSG" ] && [ -f "$QUEUE/B0000000001.RCP" ] || fail "queue pair missing: $(ls -R "$DRIVE_C/kestran-e2e" 2>&1)"
grep -q 'Hello from Linux' "$QUEUE/B0000000001.MSG" || fail "message text"
grep -q $'^Recipient: bob@example.test\r$' "$QUEUE/B0000000001.RCP" || fail "recipient file"
[ "$(last_msg_id)" = "0x1" ] || fail "LastMsgId after one message"

echo "wine e2e: one message over IPv6 on ::1"
send_mail "$PORT" "Hello over IPv6" "::1" >"$LOGS/smtp6.log" 2>&1 || fail "SMTP dialogue on ::1: $(cat "$LOGS/smtp6.log")"
grep -q 'Hello over IPv6' "$QUEUE/B0000000002.MSG" || fail "IPv6 message text"
grep -q '^Received: from client.example (.* \[IPv6:::1\]) by ' "$QUEUE/B0000000002.MSG" ||
  fail "IPv6 Received header: $(head -2 "$QUEUE/B0000000002.MSG")"

echo "wine e2e: net stop KESTRAN"
w net-stop 120 net stop KESTRAN || fail "net stop"
wait_state STOPPED

echo "wine e2e: -REMOVE"
w remove 60 "$EXE" -REMOVE || fail "-REMOVE exit status"
out remove | grep -qx 'DRX KESTRAN Service removed.' || fail "-REMOVE output"
if w sc-gone 30 sc query KESTRAN && grep -q STATE "$LOGS/sc-gone.out"; then
  fail "service still installed"
fi

echo "wine e2e: -REMOVE of a running service"
w install3 60 "$EXE" -INSTALL || fail "-INSTALL after -REMOVE"
out install3 | grep -qx 'DRX KESTRAN Service installed.' || fail "-INSTALL after -REMOVE output"
w net-start2 120 net start KESTRAN || fail "second net start"
wait_state RUNNING
w remove2 120 "$EXE" -REMOVE || fail "-REMOVE of a running service"
out remove2 | grep -Eq '^Stopping DRX KESTRAN Service\.*$' || fail "-REMOVE stop line"
out remove2 | grep -qx 'DRX KESTRAN Service stopped.' || fail "-REMOVE stopped line"
out remove2 | grep -qx 'DRX KESTRAN Service removed.' || fail "-REMOVE removed line"
if w sc-gone2 30 sc query KESTRAN && grep -q STATE "$LOGS/sc-gone2.out"; then
  fail "service still installed after the second -REMOVE"
fi

echo "wine e2e: -DEBUG ended by Ctrl-C"
wine "$EXE" -DEBUG >"$LOGS/debug.out" 2>"$LOGS/debug.err" </dev/null &
pid=$!
for _ in $(seq 1 120); do
  grep -q 'Press <Ctrl>-Break to terminate' "$LOGS/debug.out" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.5
done
grep -q 'Press <Ctrl>-Break to terminate' "$LOGS/debug.out" || fail "-DEBUG did not start"
send_mail "$PORT" "Second, in console mode" >"$LOGS/smtp2.log" 2>&1 || fail "SMTP in console mode"
[ -f "$QUEUE/B0000000003.MSG" ] || fail "third message missing"
kill -INT "$pid"
rc=0
for _ in $(seq 1 60); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.5
done
if kill -0 "$pid" 2>/dev/null; then
  kill -KILL "$pid"
  fail "-DEBUG did not end after Ctrl-C"
fi
wait "$pid" || rc=$?
[ "$rc" = 0 ] || fail "-DEBUG exit status $rc"
out debug | grep -qx 'Stopping DRX KESTRAN Service' || fail "-DEBUG stop message"
[ "$(last_msg_id)" = "0x3" ] || fail "LastMsgId after three messages"

echo "wine e2e: no switch from a console"
# The dispatcher call fails (Wine gives up after about 10 s): the error and status 1.
rc=0
w dispatcher 120 "$EXE" || rc=$?
[ "$rc" = 1 ] || fail "no switch: exit status $rc"
out dispatcher | grep -q 'StartServiceCtrlDispatcher failed\.' || fail "no switch: output"

rm -rf "$DRIVE_C/kestran-e2e"
echo "wine e2e: passed in $(($(date +%s) - start)) s"
