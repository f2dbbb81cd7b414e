#!/usr/bin/env bash
# Chunks that try to smuggle a message end, from a client to a mailbox: KESTRAN takes
# them with BDAT (pipelined with the next transaction), kestran-deliver passes the queue
# pairs to a private Dovecot over LMTP. Exactly two messages must arrive, the text that
# looked like a second transaction inside the first.
#
#   scripts/bdat-next-hop-check.sh [BUILD_DIR=build]
#
# As root, with Debian's dovecot-lmtpd (scripts/deps.sh installs it). Exits 1 when
# anything but the two messages arrived.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build}")
WORK=$(mktemp -d /tmp/kestran-bdat-check.XXXXXX); chmod 755 "$WORK"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -INT "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -f "$WORK/dv/dovecot.conf" ] && /usr/sbin/dovecot -c "$WORK/dv/dovecot.conf" stop >/dev/null 2>&1 || true
  sleep 0.5
  rm -rf "$WORK"
}
trap cleanup EXIT
DV=$WORK/dv; mkdir -p "$DV/run" "$DV/state" "$DV/mail"; chown dovecot:dovecot "$DV/mail"
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
  unix_listener lmtp {
    mode = 0666
  }
}
CONF
/usr/sbin/dovecot -c "$DV/dovecot.conf" </dev/null >/dev/null 2>&1
for _ in $(seq 100); do [ -S "$DV/run/lmtp" ] && break; sleep 0.1; done
KR=$WORK/k; mkdir -p "$KR/drive_c/q"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$KR/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]
"Port"=dword:$(printf '%08x' "$PORT")
"BoundIP"="127.0.0.1"
"MailQueueDir"="C:\\\\q\\\\"
"InlogDir"="C:\\\\inlog\\\\"
"Pop3logDir"="C:\\\\pop3log\\\\"
"UseNTUserDatabase"=dword:00000000
"UseLMSLists"=dword:00000000
"ESMTP"=dword:00000001
"LastMsgId"=dword:00000000
"DeliverTo"="lmtp:unix:$DV/run/lmtp"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]
"1"="corp.example"
REG
KESTRAN_ROOT=$KR "$BUILD/kestran" -DEBUG >"$WORK/kestran.txt" 2>&1 & PIDS+=($!)
KESTRAN_ROOT=$KR "$BUILD/kestran-deliver" -DEBUG >"$WORK/deliver.txt" 2>&1 & PIDS+=($!)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.1; done
python3 - "$PORT" <<'PY'
import smtplib, sys
s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)
s.ehlo('demo.example')
print(s.docmd('MAIL', 'FROM:<s@x.example>'), s.docmd('RCPT', 'TO:<u@corp.example>'))
# The smuggling cases: "." between bare line ends, a "." line whose CR ends one chunk
# and LF starts the next, a "." after a bare CR, a whole next transaction in the chunk.
c1 = b"Subject: first\n\nbody\n.\nMAIL FROM:<evil@x.example>\r\nRCPT TO:<u@corp.example>\r\nDATA\r\n\r\nsmuggled A\r\n.\r"
c2 = b"\n.\rRCPT TO:<u@corp.example>\rDATA\r\rSubject: smuggled B\r\r.\rQUIT\r\n"
s.send(b"BDAT %d\r\n" % len(c1) + c1)
print(s.getreply())
s.send(b"BDAT %d LAST\r\n" % len(c2) + c2 + b"MAIL FROM:<t@x.example>\r\nRCPT TO:<u@corp.example>\r\nBDAT 23 LAST\r\nSubject: second\r\n\r\nok\r\n")
for _ in range(4): print(s.getreply())
print(s.quit())
PY
for _ in $(seq 150); do [ "$(find "$DV/mail/u/Maildir/new" -type f 2>/dev/null | wc -l)" -ge 2 ] && break; sleep 0.2; done
sleep 2
n=$(find "$DV/mail/u/Maildir/new" -type f | wc -l)
echo "=== $n messages in the Maildir"
for f in $(ls "$DV/mail/u/Maildir/new"/* | sort); do echo "--- $f"; sed -n '/^Subject/,$p' "$f"; done
first=$(grep -l '^Subject: first$' "$DV/mail/u/Maildir/new"/* || true)
if [ "$n" -ne 2 ] || [ -z "$first" ] || ! grep -q '^Subject: smuggled B$' "$first" || ! grep -q '^QUIT$' "$first"; then
  echo "bdat-next-hop-check: FAILED"
  exit 1
fi
echo "bdat-next-hop-check: two messages, the smuggled text inside the first"
