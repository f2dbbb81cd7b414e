#!/bin/sh
# The receiver's STARTTLS as an outside scanner sees it (not in CI; a few minutes):
# starts BUILD_DIR/kestran -DEBUG on a temporary data root with ESMTP on and a fresh
# self-signed certificate, runs testssl.sh --starttls smtp against it (protocols, cipher
# categories, forward secrecy, server preference, vulnerabilities), prints every finding
# that is not rated OK or INFO, and a summary. Exit status 1 when there are such findings.
#
#   bench/tls_scan.sh [BUILD_DIR=build]
# Needs Debian's testssl.sh and the openssl program.
set -eu
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
command -v testssl >/dev/null || { echo "testssl.sh is not installed (apt-get install testssl.sh)"; exit 2; }

ROOT=$(mktemp -d /tmp/kestran-tlsscan.XXXXXX)
PID=""
cleanup() {
  [ -n "$PID" ] && kill -INT "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  rm -rf "$ROOT"
}
trap cleanup EXIT INT TERM

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$ROOT/drive_c/tls" "$ROOT/drive_c/mail/prein"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -keyout "$ROOT/drive_c/tls/key.pem" -out "$ROOT/drive_c/tls/cert.pem" 2>/dev/null
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"Port"=dword:%08x\r\n"BoundIP"="127.0.0.1"\r\n"MailQueueDir"="C:\\\\mail\\\\prein\\\\"\r\n"UseNTUserDatabase"=dword:00000000\r\n"ESMTP"=dword:00000001\r\n"TLSCertificateFile"="C:\\\\tls\\\\cert.pem"\r\n"TLSKeyFile"="C:\\\\tls\\\\key.pem"\r\n' \
  "$PORT" >"$ROOT/registry.reg"
KESTRAN_ROOT=$ROOT "$BUILD/kestran" -DEBUG >"$ROOT/console.txt" 2>&1 &
PID=$!
for _ in $(seq 50); do
  python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$PORT),1)" 2>/dev/null && break
  sleep 0.2
done

echo "# testssl.sh $(testssl --version 2>/dev/null | grep -o '3\.[0-9.a-z-]*' | head -1) --starttls smtp 127.0.0.1:$PORT"
testssl --quiet --color 0 --warnings off --starttls smtp --protocols --std --fs \
  --server-preference --vulnerable --jsonfile "$ROOT/scan.json" "127.0.0.1:$PORT" \
  >"$ROOT/scan.txt" 2>&1 || true

python3 - "$ROOT/scan.json" <<'PY'
import json, sys
findings = json.load(open(sys.argv[1]))
proto = [f["id"] for f in findings if f["id"] in ("SSLv2", "SSLv3", "TLS1", "TLS1_1", "TLS1_2", "TLS1_3")
         and f["finding"].startswith("offered")]
print("protocols offered:", " ".join(proto) or "none")
bad = [f for f in findings if f.get("severity") not in ("OK", "INFO", "DEBUG")]
for f in bad:
    print("%-8s %-28s %s" % (f["severity"], f["id"], f["finding"]))
vulns = [f for f in findings if f["id"] in ("heartbleed", "CCS", "ticketbleed", "ROBOT",
         "secure_renego", "secure_client_renego", "CRIME_TLS", "BREACH", "POODLE_SSL",
         "fallback_SCSV", "SWEET32", "FREAK", "DROWN", "LOGJAM", "BEAST", "LUCKY13",
         "winshock", "RC4")]
print("vulnerability checks: %d, not OK: %d" % (len(vulns), sum(1 for f in vulns if f.get("severity") not in ("OK", "INFO"))))
weak = [f for f in findings if f["id"].startswith("cipherlist_") and f.get("severity") not in ("OK", "INFO")]
print("weak cipher categories offered:", ", ".join(f["id"] for f in weak) or "none")
print("findings rated above INFO:", len(bad))
sys.exit(1 if bad else 0)
PY
