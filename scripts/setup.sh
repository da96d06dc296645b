#!/usr/bin/env bash
# Installs everything the build, the tests and the main job need. Safe to run again:
# it only calls apt-get or pip when something is missing.
set -euo pipefail

DEB_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libzstd-dev libxxhash-dev libtbb-dev libsimdjson-dev
  libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for pkg in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

PY=${PYTHON:-python3}
PY_TOOLS=(pytest scikit-build-core)
need_pip=()
for mod in "${PY_TOOLS[@]}"; do
  "$PY" -m pip show "$mod" >/dev/null 2>&1 || need_pip+=("$mod")
done
if ((${#need_pip[@]})); then
  "$PY" -m pip install -q "${need_pip[@]}"
fi
