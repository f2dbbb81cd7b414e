# shellcheck shell=bash
# What the Wine end-to-end scripts share; sourced, never run. The script sets WINE_TEST
# (its name in messages) and LOGS (its log directory) first, and may define on_fail.

# fail TEXT: the failure with the tail of every log, and the end of the script. A
# kestran.exe started in the background ($pid) is killed.
fail() {
  echo "$WINE_TEST: FAILED: $*" >&2
  [ -n "${pid:-}" ] && kill -KILL "$pid" 2>/dev/null
  if declare -F on_fail >/dev/null; then on_fail; fi
  for f in "$LOGS"/*; do
    [ -f "$f" ] || continue
    echo "--- $f" >&2
    tail -n 30 "$f" | tr -d '\r' >&2
  done
  exit 1
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# wait_for FILE TEXT PID: waits up to 60 s for TEXT in FILE; fails early when PID ends.
wait_for() {
  local file=$1 text=$2 proc=$3
  for _ in $(seq 1 120); do
    grep -q "$text" "$file" 2>/dev/null && return 0
    kill -0 "$proc" 2>/dev/null || return 1
    sleep 0.5
  done
  return 1
}

# receiver_registry DIR VALUES...: a fresh registry for kestran.exe on 127.0.0.1:$PORT
# with its mail below C:\DIR\mail, 127.0.0.0/8 local and example.test a local domain, and
# these extra lines (values of the own key, then any subkeys), loaded with regedit.
receiver_registry() {
  local dir=$1
  shift
  local cfg="$LOGS/config.reg"
  printf '%s\r\n' 'REGEDIT4' '' \
    '[-HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN]' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN]' \
    "\"Port\"=dword:$(printf '%08x' "$PORT")" \
    '"BoundIP"="127.0.0.1"' \
    "\"MailRootDir\"=\"C:\\\\$dir\\\\mail\\\\\"" \
    "\"MailQueueDir\"=\"C:\\\\$dir\\\\mail\\\\prein\\\\\"" \
    "\"InlogDir\"=\"C:\\\\$dir\\\\mail\\\\inlog\\\\\"" \
    "\"Pop3logDir\"=\"C:\\\\$dir\\\\mail\\\\pop3log\\\\\"" \
    '"DoLocalNets"=dword:00000001' \
    '"UseNTUserDatabase"=dword:00000000' \
    '"DNSTimeout"=dword:000003e8' \
    '"ReceiveTimeout"=dword:0000000a' \
    '"LastMsgId"=dword:00000000' "$@" '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalNets]' \
    '"1"="127.0.0.0/8"' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Brackenwold\KESTRAN\LocalDomains]' \
    '"1"="example.test"' '' >"$cfg"
  timeout 60 wine regedit /s "$(winepath -w "$cfg" 2>/dev/null)" >"$LOGS/regedit.out" 2>&1 </dev/null ||
    fail "regedit /s"
}
