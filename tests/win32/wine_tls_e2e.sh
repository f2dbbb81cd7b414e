#!/usr/bin/env bash
# STARTTLS of kestran.exe under Wine, in console mode (-DEBUG): first the Schannel probe
# (tests/win32/probe) against openssl s_client, which tells whether the system's Schannel
# can be the server side of a handshake. Then a certificate and key that do not match
# stop the start naming the file; a good pair is offered after EHLO and STARTTLS is
# answered "220 Ready to start TLS". Where the probe's handshake worked, the clients of
# the Linux build's STARTTLS tests follow (swaks --tls, smtplib starttls(), openssl
# s_client -starttls smtp, commands sent with the request); where it did not, the
# failed handshake ends only that connection and is reported. A thumbprint that names no
# certificate of the machine's store stops the start too.
#
#   tests/win32/wine_tls_e2e.sh BUILD_DIR
#
# Needs a booted prefix in WINEPREFIX with a persistent wineserver (scripts/wine-ci.sh).
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a booted prefix}"
EXE="$BUILD/kestran.exe"
PROBE="$BUILD/tests/win32/probe/schannel_probe.exe"
LOGS="$BUILD/wine-logs/tls"
WINE_TEST="wine tls"
# shellcheck source=tests/win32/wine_common.sh
. "$(dirname "$0")/wine_common.sh"
rm -rf "$LOGS"
mkdir -p "$LOGS"
ROOT="$WINEPREFIX/drive_c/kestran-tls"
rm -rf "$ROOT"
mkdir -p "$ROOT/tls"
pid=""

start=$(date +%s)
for n in cert other; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -keyout "$ROOT/tls/$n.key" -out "$ROOT/tls/$n.pem" >"$LOGS/openssl-$n.log" 2>&1 ||
    fail "openssl cannot make a certificate"
done
openssl pkcs12 -export -in "$ROOT/tls/cert.pem" -inkey "$ROOT/tls/cert.key" \
  -out "$ROOT/tls/probe.pfx" -passout pass: >"$LOGS/openssl-pfx.log" 2>&1 || fail "openssl pkcs12"

echo "wine tls: the Schannel probe"
PORT=$(free_port)
wine "$PROBE" "$PORT" 'C:\kestran-tls\tls\probe.pfx' >"$LOGS/probe.out" 2>"$LOGS/probe.err" </dev/null &
pid=$!
wait_for "$LOGS/probe.out" "listening" "$pid" || fail "the probe did not start"
{ printf 'EHLO probe\n'; sleep 3; } | timeout 20 openssl s_client -connect "127.0.0.1:$PORT" \
  -quiet >"$LOGS/probe-client.out" 2>&1 || true
rc=0
wait "$pid" || rc=$?
pid=""
tr -d '\r' <"$LOGS/probe.out" | sed 's/^/  /'
HANDSHAKE=0
if [ "$rc" = 0 ] && grep -q "250 probe heard 'EHLO probe'" "$LOGS/probe-client.out"; then
  HANDSHAKE=1
  echo "wine tls: Schannel completed a server handshake"
else
  echo "wine tls: Schannel cannot be the server side of a handshake here; the clients' checks" \
    "that need one are skipped"
fi

# config VALUES...: the receiver's registry with these extra lines.
config() { receiver_registry kestran-tls '"ESMTP"=dword:00000001' "$@"; }

PORT=$(free_port)
echo "wine tls: a key that does not match the certificate stops the start"
config '"TLSCertificateFile"="C:\\kestran-tls\\tls\\cert.pem"' \
  '"TLSKeyFile"="C:\\kestran-tls\\tls\\other.key"'
rc=0
timeout 60 wine "$EXE" -DEBUG >"$LOGS/bad.out" 2>"$LOGS/bad.err" </dev/null || rc=$?
[ "$rc" = 1 ] || fail "start with a mismatched key: exit status $rc"
grep -q "'C:\\\\kestran-tls\\\\tls\\\\other.key' in 'TLSKeyFile' does not match" "$LOGS/bad.out" ||
  fail "start with a mismatched key: message"

echo "wine tls: a thumbprint that names no certificate of the machine stops the start"
config "\"TLSCertificateThumbprint\"=\"$(printf '0%.0s' $(seq 1 40))\""
rc=0
timeout 60 wine "$EXE" -DEBUG >"$LOGS/thumb.out" 2>"$LOGS/thumb.err" </dev/null || rc=$?
[ "$rc" = 1 ] || fail "start with an unknown thumbprint: exit status $rc"
grep -q "No certificate '0\{40\}' in 'TLSCertificateThumbprint' in the local machine's store 'My'" \
  "$LOGS/thumb.out" || fail "start with an unknown thumbprint: message"

echo "wine tls: a usable pair is offered"
config '"TLSCertificateFile"="C:\\kestran-tls\\tls\\cert.pem"' \
  '"TLSKeyFile"="C:\\kestran-tls\\tls\\cert.key"'
wine "$EXE" -DEBUG >"$LOGS/debug.out" 2>"$LOGS/debug.err" </dev/null &
pid=$!
wait_for "$LOGS/debug.out" 'Press <Ctrl>-Break to terminate' "$pid" || fail "-DEBUG did not start"

python3 - "$PORT" >"$LOGS/offer.out" 2>&1 <<'PY' || fail "STARTTLS offer: $(cat "$LOGS/offer.out")"
import smtplib, sys
s = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=30)
s.ehlo("offer.example")
assert s.has_extn("starttls"), s.esmtp_features
assert s.docmd("STARTTLS", "now") == (501, b"5.5.4 Syntax error (no parameters allowed)")
PY

if [ "$HANDSHAKE" = 1 ]; then
  echo "wine tls: swaks --tls"
  swaks --tls --server 127.0.0.1 --port "$PORT" --ehlo sw.example --from s@x.example \
    --to bob@example.test --body 'over tls' --timeout 30 >"$LOGS/swaks.out" 2>&1 ||
    fail "swaks --tls"
  grep -q '<~  250 2.0.0 Message received OK' "$LOGS/swaks.out" || fail "swaks: no 250 inside TLS"
  grep -q 'with ESMTPS (TLSv1\.[23]' "$ROOT/mail/prein/B0000000001.MSG" || fail "with ESMTPS"

  echo "wine tls: smtplib starttls()"
  python3 - "$PORT" >"$LOGS/smtplib.out" 2>&1 <<'PY' || fail "smtplib: $(cat "$LOGS/smtplib.out")"
import smtplib, ssl, sys
s = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=30)
s.ehlo("py.example")
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
assert s.starttls(context=ctx)[0] == 220
assert s.sock.version() in ("TLSv1.2", "TLSv1.3"), s.sock.version()
s.ehlo("py.example")
assert not s.has_extn("starttls")
assert s.docmd("STARTTLS") == (503, b"5.5.1 TLS already active")
assert s.sendmail("py@x.example", ["bob@example.test"], "Subject: tls\r\n\r\nhello\r\n") == {}
s.quit()
PY

  echo "wine tls: openssl s_client -starttls smtp"
  printf 'EHLO s.example\nNOOP\nQUIT\n' | timeout 30 openssl s_client -starttls smtp -crlf -quiet \
    -connect "127.0.0.1:$PORT" >"$LOGS/s_client.out" 2>&1 || fail "openssl s_client"
  grep -q '250 2.0.0 NOOP Performed' "$LOGS/s_client.out" || fail "s_client: NOOP"

  echo "wine tls: commands sent with the request are never executed"
  python3 - "$PORT" >"$LOGS/inject.out" 2>&1 <<'PY' || fail "injection: $(cat "$LOGS/inject.out")"
import socket, ssl, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
f = s.makefile("rb")
f.readline()
s.sendall(b"EHLO i.example\r\n")
while f.readline()[3:4] == b"-":
    pass
s.sendall(b"STARTTLS\r\nRSET\r\n")
assert f.readline().strip() == b"220 2.0.0 Ready to start TLS"
s.settimeout(1)
try:
    raise AssertionError("clear text after 220: %r" % s.recv(100))
except socket.timeout:
    pass
s.settimeout(30)
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
t = ctx.wrap_socket(s)
t.sendall(b"NOOP\r\n")
assert t.makefile("rb").readline().strip() == b"250 NOOP Performed"
PY
else
  echo "wine tls: a handshake the system cannot make ends only its connection"
  python3 - "$PORT" >"$LOGS/nohandshake.out" 2>&1 <<'PY' || fail "STARTTLS: $(cat "$LOGS/nohandshake.out")"
import smtplib, ssl, sys
s = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=30)
s.ehlo("nh.example")
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
try:
    s.starttls(context=ctx)
    raise AssertionError("a handshake succeeded")
except (ssl.SSLError, OSError, smtplib.SMTPServerDisconnected):
    pass
t = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=30)
assert t.noop()[0] == 250
t.quit()
PY
  for _ in $(seq 1 20); do
    grep -q 'STARTTLS handshake with 127.0.0.1 failed: ' "$LOGS/debug.out" && break
    sleep 0.5
  done
  grep -q 'STARTTLS handshake with 127.0.0.1 failed: ' "$LOGS/debug.out" ||
    fail "the failed handshake was not reported"
fi

kill -INT "$pid"
for _ in $(seq 1 60); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.5
done
if kill -0 "$pid" 2>/dev/null; then
  fail "-DEBUG did not end after Ctrl-C"
fi
pid=""
rm -rf "$ROOT"
echo "wine tls: passed in $(($(date +%s) - start)) s"
