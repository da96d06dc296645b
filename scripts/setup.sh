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
# Build and test tools for the Python module. An entry may pin an exact version (NAME==VERSION);
# it then counts as installed only at that version (a local suffix such as +cpu is ignored).
PY_TOOLS=(pytest mypy numpy scikit-build-core torch==2.13.0)
need_pip=()
for spec in "${PY_TOOLS[@]}"; do
  name=${spec%%==*}
  installed=$("$PY" -m pip show "$name" 2>/dev/null | sed -n 's/^Version: //p')
  if [ -z "$installed" ]; then
    need_pip+=("$spec")
  elif [ "$spec" != "$name" ] && [ "${installed%%+*}" != "${spec#*==}" ]; then
    need_pip+=("$spec")
  fi
done
if ((${#need_pip[@]})); then
  "$PY" -m pip install -q "${need_pip[@]}"
fi
