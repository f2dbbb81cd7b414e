#!/usr/bin/env bash
# The Windows build under Wine: installs the cross compiler and Wine when missing, boots
# a fresh prefix in a temporary directory, cross-builds kestran.exe and the tests of the
# Win32 backends into build-win32/ (or $1), runs the tests, the end-to-end test of the
# service, its STARTTLS test and the test of its metrics file, back-pressure and PROXY
# protocol under Wine, and ends every Wine process again. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-win32}
T0=$(date +%s)

PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 wine wine64
          googletest cmake ninja-build python3 openssl swaks)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

echo "=== Win32 cross-build ($BUILD)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
LOGS="$BUILD/wine-logs"
mkdir -p "$LOGS"

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/kestran-wine.XXXXXX)
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "=== Wine prefix $WINEPREFIX"
T1=$(date +%s)
timeout 180 wineboot -i >"$LOGS/wineboot.log" 2>&1 </dev/null
# The first boot's services are ended, then one persistent server keeps the prefix's
# service manager alive for every following command.
wineserver -k >/dev/null 2>&1 </dev/null || true
wineserver -w >/dev/null 2>&1 </dev/null || true
wineserver -p >/dev/null 2>&1 </dev/null

echo "=== Win32 backend tests under Wine"
status=0
for t in "$BUILD"/tests/win32/*.exe; do
  [ -e "$t" ] || continue
  name=$(basename "$t" .exe)
  if timeout 120 wine "$t" >"$LOGS/$name.log" 2>&1 </dev/null; then
    echo "$name: passed ($(tr -d '\r' <"$LOGS/$name.log" | grep -c '^\[       OK \]') tests)"
  else
    echo "$name: FAILED"
    tr -d '\r' <"$LOGS/$name.log" | tail -n 60
    status=1
  fi
done

echo "=== end-to-end test of the service under Wine"
tests/win32/wine_e2e.sh "$BUILD" || status=1

echo "=== STARTTLS under Wine (Schannel)"
tests/win32/wine_tls_e2e.sh "$BUILD" || status=1

echo "=== metrics, back-pressure and the PROXY protocol under Wine"
tests/win32/wine_ops_e2e.sh "$BUILD" || status=1

T2=$(date +%s)
echo "=== Wine job: $((T2 - T0)) s in all, $((T2 - T1)) s under Wine"
exit $status
