#!/usr/bin/env bash
# The Debian package end to end, as root on a Debian 12 machine whose port 25 is free:
# builds kestran_<version>_amd64.deb with the README's command, runs lintian (any error
# or warning fails), installs it, checks its files, account, owners and modes, rates the unit's confinement with
# systemd-analyze (above 2.0 fails), runs the receiver as kestran with nothing but
# CAP_NET_BIND_SERVICE and the unit's system-call filter, delivers one message to port 25
# and finds its pair, plants links in the data root as the account and checks that
# neither a reconfigure nor -INSTALL by root changes their targets, then purges the
# package and checks what is left.
# Leaves the machine as it found it (an account it made is removed again).
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
T0=$(date +%s)
[ "$(id -u)" -eq 0 ] || { echo "package-ci: run as root"; exit 1; }
export DEBIAN_FRONTEND=noninteractive
PACKAGES=(build-essential debhelper dpkg-dev lintian systemd util-linux passwd python3
          python3-seccomp cmake ninja-build pkgconf libc-ares-dev libssl-dev libidn2-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
if dpkg-query -W -f='${Status}' kestran 2>/dev/null | grep -q "installed"; then
  echo "package-ci: the package kestran is installed already; purge it first"
  exit 1
fi

VERSION=$(sed -n 's/^project(kestran VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
ROOT=/var/lib/kestran
REGKEY='HKLM\SOFTWARE\Brackenwold\KESTRAN'
WORK=$(mktemp -d /tmp/kestran-package.XXXXXX)
HAD_ACCOUNT=0
getent passwd kestran >/dev/null && HAD_ACCOUNT=1
RECEIVER=""
cleanup() {
  [ -n "$RECEIVER" ] && kill "$RECEIVER" 2>/dev/null && wait "$RECEIVER" 2>/dev/null
  if dpkg-query -W -f='${Status}' kestran 2>/dev/null | grep -q "installed"; then
    apt-get purge -y kestran >/dev/null 2>&1 || true
  fi
  if [ "$HAD_ACCOUNT" = 0 ] && getent passwd kestran >/dev/null; then userdel kestran || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
status=0
check() {  # check DESCRIPTION COMMAND...: runs the command, notes a failure and goes on
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; status=1; fi
}

echo "=== package: build kestran_${VERSION}_amd64.deb"
mkdir "$WORK/kestran-$VERSION"
tar -C "$SRC" --exclude='./build*' --exclude=./.git --exclude=./run -cf - . |
  tar -C "$WORK/kestran-$VERSION" -xf -
# The README's command as it stands, with its test step (the quick checks of the built
# programs).
(cd "$WORK/kestran-$VERSION" && unset DEB_BUILD_OPTIONS &&
  dpkg-buildpackage -us -uc -b >"$WORK/build.log" 2>&1) ||
  { tail -n 60 "$WORK/build.log"; exit 1; }
DEB="$WORK/kestran_${VERSION}_amd64.deb"
[ -f "$DEB" ] || { echo "package-ci: no $DEB"; ls "$WORK"; exit 1; }
check "the package build ran its test step" grep -Eq "Test +#1: smoke [.]* +Passed" "$WORK/build.log"

echo "=== package: lintian"
lintian --fail-on error,warning --display-info "$WORK/kestran_${VERSION}_amd64.changes" ||
  { echo "FAILED: lintian"; exit 1; }
echo "ok: lintian reports no error and no warning"

echo "=== package: install"
apt-get install -y "$DEB" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; exit 1; }
for f in /usr/sbin/kestran /usr/sbin/kestran-reg; do check "$f" test -x "$f"; done
for f in /lib/systemd/system/KESTRAN.service /usr/share/man/man8/kestran.8.gz \
         /usr/share/man/man8/kestran-reg.8.gz /usr/share/kestran/kestran-start.reg \
         /usr/share/doc/kestran/copyright /usr/share/doc/kestran/examples/kestran-local.reg; do
  check "$f" test -f "$f"
done
check "README and docs/security.md in /usr/share/doc/kestran" \
  bash -c 'ls /usr/share/doc/kestran/README.md* /usr/share/doc/kestran/security.md* >/dev/null'
check "account kestran: system account, home $ROOT, no login" \
  bash -c "getent passwd kestran | grep -Eq '^kestran:x:[0-9]+:[0-9]+:[^:]*:$ROOT:/usr/sbin/nologin\$' &&
           [ \$(id -u kestran) -lt 1000 ] && getent group kestran >/dev/null"
check "$ROOT is kestran:kestran 0750" test "$(stat -c %U:%G:%a "$ROOT")" = kestran:kestran:750
check "$ROOT/registry.reg is kestran:kestran 0640" \
  test "$(stat -c %U:%G:%a "$ROOT/registry.reg")" = kestran:kestran:640
check "everything in $ROOT belongs to kestran" test -z "$(find "$ROOT" ! -user kestran -o ! -group kestran)"
check "starting registry: port 25, no relaying" bash -c \
  "KESTRAN_ROOT=$ROOT kestran-reg query '$REGKEY' | grep -Eq 'Port +REG_DWORD +0x19\$' &&
   KESTRAN_ROOT=$ROOT kestran-reg query '$REGKEY' | grep -Eq 'AllowRelay +REG_DWORD +0x0\$' &&
   KESTRAN_ROOT=$ROOT kestran-reg query '$REGKEY' | grep -Eq 'DoLocalNets +REG_DWORD +0x0\$'"

echo "=== package: confinement of the unit"
systemd-analyze security --offline=true /lib/systemd/system/KESTRAN.service | tee "$WORK/security.txt" |
  grep -v '✓' || true
EXPOSURE=$(sed -n 's/.*Overall exposure level for KESTRAN.service: \([0-9.]*\).*/\1/p' "$WORK/security.txt")
check "exposure $EXPOSURE is 2.0 or less" awk -v e="$EXPOSURE" 'BEGIN { exit !(e != "" && e <= 2.0) }'
echo "=== package: the receiver as kestran with CAP_NET_BIND_SERVICE only, under the unit's filter"
python3 - <<'PY' && { echo "package-ci: port 25 on 127.0.0.1 is taken"; exit 1; }
import socket, sys
s = socket.socket()
sys.exit(0 if s.connect_ex(("127.0.0.1", 25)) == 0 else 1)
PY
AS_KESTRAN=(setpriv --reuid=kestran --regid=kestran --init-groups --no-new-privs
            --inh-caps=-all,+net_bind_service --ambient-caps=-all,+net_bind_service
            --bounding-set=-all,+net_bind_service)
"${AS_KESTRAN[@]}" env KESTRAN_ROOT=$ROOT kestran-reg add "$REGKEY\\LocalDomains" /v 1 /d example.test /f
(umask 0027 && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin KESTRAN_ROOT=$ROOT \
   "${AS_KESTRAN[@]}" python3 "$SRC/scripts/syscall-filter.py" /usr/sbin/kestran -DEBUG \
   >"$WORK/receiver.txt" 2>&1 </dev/null) &
RECEIVER=$!
python3 - <<'PY' || status=1
import smtplib, sys, time
for _ in range(100):
    try:
        s = smtplib.SMTP("127.0.0.1", 25, timeout=10)
        break
    except OSError:
        time.sleep(0.1)
else:
    sys.exit("FAILED: the receiver does not answer on port 25")
s.helo("client.example")
s.sendmail("me@client.example", ["bob@example.test"], "Subject: package test\r\n\r\nHello Bob\r\n")
s.quit()
print("ok: one message delivered to 127.0.0.1:25")
PY
QUEUE=$ROOT/drive_c/kestran/mail/prein
MSG=$(ls "$QUEUE"/B*.MSG 2>/dev/null | head -n 1 || true)
check "the message's pair is queued" test -n "$MSG" -a -f "${MSG%.MSG}.RCP"
check "the pair holds the message and its recipient" \
  bash -c "grep -q 'Hello Bob' '$MSG' && grep -q 'bob@example.test' '${MSG%.MSG}.RCP'"
check "the pair is kestran:kestran 0640" \
  test "$(stat -c %U:%G:%a "$MSG" "${MSG%.MSG}.RCP" | sort -u)" = kestran:kestran:640
check "the counter was stored" bash -c "KESTRAN_ROOT=$ROOT kestran-reg query '$REGKEY' /v LastMsgId | grep -q 0x1"
kill -INT "$RECEIVER"
wait "$RECEIVER" || true
RECEIVER=""
tr -d '\r' <"$WORK/receiver.txt"

echo "=== package: -INSTALL and -REMOVE by root beside the package's unit"
# -INSTALL writes the same unit as the package's, and says so; both leave the data root's
# files to kestran.
mkdir "$WORK/units"
KESTRAN_UNIT_DIR="$WORK/units" /usr/sbin/kestran -INSTALL | tr -d '\r' | tee "$WORK/install.txt"
check "-INSTALL writes the package's unit" cmp /lib/systemd/system/KESTRAN.service "$WORK/units/KESTRAN.service"
check "-INSTALL tells of the package's unit" grep -q "^The package's unit /lib/systemd/system/KESTRAN.service stays" "$WORK/install.txt"
KESTRAN_UNIT_DIR="$WORK/units" /usr/sbin/kestran -REMOVE | tr -d '\r' | tee "$WORK/remove.txt"
check "-REMOVE leaves the package's unit in force" grep -q "is in force again" "$WORK/remove.txt"
KESTRAN_UNIT_DIR="$WORK/units" /usr/sbin/kestran -REMOVE | tr -d '\r' | tee "$WORK/remove2.txt"
check "-REMOVE of the package's service says how to remove it" grep -q "remove the package to remove it" "$WORK/remove2.txt"

check "after -REMOVE, $ROOT/registry.reg is still kestran:kestran 0640" \
  test "$(stat -c %U:%G:%a "$ROOT/registry.reg")" = kestran:kestran:640

echo "=== package: kestran-reg run by root keeps the registry file's owner and mode"
KESTRAN_ROOT=$ROOT kestran-reg add "$REGKEY" /v DelayMinutes /t REG_DWORD /d 30 /f
check "$ROOT/registry.reg is still kestran:kestran 0640" \
  test "$(stat -c %U:%G:%a "$ROOT/registry.reg")" = kestran:kestran:640

echo "=== package: links the account plants in the data root are never followed by root"
# The account removes the configuration, so that the next configure makes it again, and
# puts links where the maintainer script and -INSTALL work: to a directory and a file
# that only root may touch.
mkdir -m 0700 "$WORK/rootonly"
echo secret >"$WORK/rootonly/file"
chmod 0600 "$WORK/rootonly/file"
STATE_BEFORE=$(stat -c %U:%G:%a "$WORK/rootonly" "$WORK/rootonly/file")
MAIL=$ROOT/drive_c/kestran/mail
setpriv --reuid=kestran --regid=kestran --init-groups sh -c "
  rm '$ROOT/registry.reg' && rm -rf '$MAIL/inlog' '$MAIL/pop3log' &&
  ln -s '$WORK/rootonly' '$MAIL/inlog' && ln -s '$WORK/rootonly/file' '$MAIL/pop3log' &&
  ln -s '$WORK/rootonly/file' '$ROOT/planted'"
check "dpkg-reconfigure kestran makes the configuration again" \
  bash -c "dpkg-reconfigure -fnoninteractive kestran >'$WORK/reconfigure.log' 2>&1 &&
           test \"\$(stat -c %U:%G:%a '$ROOT/registry.reg')\" = kestran:kestran:640"
check "after dpkg-reconfigure, the links' targets keep owner and mode" \
  test "$(stat -c %U:%G:%a "$WORK/rootonly" "$WORK/rootonly/file")" = "$STATE_BEFORE"
mkdir "$WORK/units-links"
KESTRAN_UNIT_DIR="$WORK/units-links" /usr/sbin/kestran -INSTALL | tr -d '\r' >"$WORK/install-links.txt"
KESTRAN_UNIT_DIR="$WORK/units-links" /usr/sbin/kestran -REMOVE >/dev/null
check "-INSTALL hands the data root over" grep -q "belong to kestran:kestran now" "$WORK/install-links.txt"
check "after -INSTALL, the links' targets keep owner and mode" \
  test "$(stat -c %U:%G:%a "$WORK/rootonly" "$WORK/rootonly/file")" = "$STATE_BEFORE"
check "after -INSTALL, everything in $ROOT belongs to kestran" \
  test -z "$(find "$ROOT" ! -user kestran -o ! -group kestran)"

echo "=== package: kestran-deliver"
check "/usr/sbin/kestran-deliver" test -x /usr/sbin/kestran-deliver
for f in /lib/systemd/system/kestran-deliver.service /usr/share/man/man8/kestran-deliver.8.gz; do
  check "$f" test -f "$f"
done
check "starting registry names no transport" bash -c \
  "! KESTRAN_ROOT=$ROOT kestran-reg query '$REGKEY' /v DeliverTo >/dev/null 2>&1"
systemd-analyze security --offline=true /lib/systemd/system/kestran-deliver.service |
  tee "$WORK/security-deliver.txt" | grep -v '✓' || true
EXPOSURE=$(sed -n 's/.*Overall exposure level for kestran-deliver.service: \([0-9.]*\).*/\1/p' \
  "$WORK/security-deliver.txt")
check "kestran-deliver.service exposure $EXPOSURE is 2.0 or less" \
  awk -v e="$EXPOSURE" 'BEGIN { exit !(e != "" && e <= 2.0) }'
setpriv --reuid=kestran --regid=kestran --init-groups --no-new-privs \
  env KESTRAN_ROOT=$ROOT /usr/sbin/kestran-deliver -DEBUG >"$WORK/deliver.txt" 2>&1 && DST=0 || DST=$?
check "without DeliverTo, kestran-deliver ends with status 1 and one line" \
  bash -c "[ $DST = 1 ] && [ \$(wc -l <'$WORK/deliver.txt') = 1 ] && grep -q 'DeliverTo is empty' '$WORK/deliver.txt'"
check "kestran-deliver -QUEUE lists the queued pair" \
  bash -c "KESTRAN_ROOT=$ROOT /usr/sbin/kestran-deliver -QUEUE | grep -q '^B[0-9]\{10\}  age '"
# The queued pair taken on by the installed program as the account, under the unit's
# system-call filter, to a next hop of the test's own on a loopback port.
SINKPORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 - "$SINKPORT" "$WORK/next-hop.txt" <<'PY' &
import socket, sys
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", int(sys.argv[1])))
srv.listen(1)
srv.settimeout(120)
conn, _ = srv.accept()
f = conn.makefile("rb")
conn.sendall(b"220 next hop\r\n")
got = []
while True:
    line = f.readline()
    if not line:
        break
    if line.upper().startswith(b"DATA"):
        conn.sendall(b"354 go on\r\n")
        while True:
            l = f.readline()
            if not l or l == b".\r\n":
                break
            got.append(l)
        conn.sendall(b"250 2.0.0 taken\r\n")
    elif line.upper().startswith(b"QUIT"):
        conn.sendall(b"221 bye\r\n")
        break
    else:
        conn.sendall(b"250 ok\r\n")
open(sys.argv[2], "wb").write(b"".join(got))
PY
SINK=$!
"${AS_KESTRAN[@]}" env KESTRAN_ROOT=$ROOT kestran-reg add "$REGKEY" /v DeliverTo /d "smtp:[127.0.0.1]:$SINKPORT" /f
(umask 0027 && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin KESTRAN_ROOT=$ROOT \
   setpriv --reuid=kestran --regid=kestran --init-groups --no-new-privs \
   python3 "$SRC/scripts/syscall-filter.py" /usr/sbin/kestran-deliver -DEBUG \
   >"$WORK/deliver-run.txt" 2>&1 </dev/null) &
DELIVER=$!
for _ in $(seq 1200); do
  [ -z "$(ls "$QUEUE"/B*.RCP "$QUEUE"/B*.MSG 2>/dev/null)" ] && break
  sleep 0.1
done
kill -INT "$DELIVER" 2>/dev/null || true
wait "$DELIVER" 2>/dev/null || true
wait "$SINK" 2>/dev/null || true
check "kestran-deliver, confined, hands the pair on and leaves nothing of it at its stop" \
  bash -c "grep -q 'Hello Bob' '$WORK/next-hop.txt' && [ -z \"\$(ls '$QUEUE'/B* 2>/dev/null)\" ]"
check "kestran-deliver logs the delivery" grep -q 'status=sent (250 2.0.0 taken)' "$WORK/deliver-run.txt"

echo "=== package: purge"
apt-get purge -y kestran >"$WORK/purge.log" 2>&1 || { cat "$WORK/purge.log"; exit 1; }
for f in /usr/sbin/kestran /usr/sbin/kestran-reg /lib/systemd/system/KESTRAN.service \
         /usr/sbin/kestran-deliver /lib/systemd/system/kestran-deliver.service \
         /usr/share/doc/kestran /usr/share/kestran "$ROOT"; do
  check "$f is gone" test ! -e "$f"
done
check "the account kestran stays" bash -c 'getent passwd kestran >/dev/null'

echo "=== package: $(($(date +%s) - T0)) s"
exit $status
