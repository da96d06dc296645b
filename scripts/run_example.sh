#!/usr/bin/env bash
# The main job: installs everything, builds the module, and trains a small model that
# checkpoints into ./tarnwick-demo-store (run it again to resume from the latest snapshot).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
PY=${PYTHON:-python3}
"$PY" -m pip install -q "$here"
"$PY" "$here/examples/train.py" "$@"
