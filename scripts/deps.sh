#!/usr/bin/env bash
# Installs the Debian packages that building and testing KESTRAN needs.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libc-ares-dev libidn2-dev
  libssl-dev openssl dnsmasq-base haproxy python3 swaks libnet-ssleay-perl passwd procps locales-all
  prometheus
  clang-14 libclang-rt-14-dev iproute2
  # The real next hops of kestran-deliver's tests, run as private instances by the tests.
  dovecot-core dovecot-lmtpd postfix
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  # Postfix installs without a configuration of its own: no system instance starts, the
  # tests run theirs.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi
