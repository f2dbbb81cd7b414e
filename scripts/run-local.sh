#!/usr/bin/env bash
# Builds KESTRAN and runs it in console mode on the ready local configuration
# (etc/kestran-local.reg, port 2525, data root ./run). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)" --target kestran kestran-reg
export KESTRAN_ROOT="${KESTRAN_ROOT:-$PWD/run}"
mkdir -p "$KESTRAN_ROOT"
if [ ! -f "$KESTRAN_ROOT/registry.reg" ]; then
  build/kestran-reg import etc/kestran-local.reg
  echo "Imported etc/kestran-local.reg into $KESTRAN_ROOT/registry.reg"
fi
mkdir -p "$KESTRAN_ROOT/drive_c/kestran/mail/inlog" "$KESTRAN_ROOT/drive_c/kestran/mail/pop3log"
exec build/kestran -DEBUG
