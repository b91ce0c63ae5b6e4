#!/usr/bin/env bash
# Incremental developer build into a build folder, without pip: the modules land in that folder,
# ready for `PYTHONPATH=<folder> python -m pytest`. Usage: scripts/dev_build.sh [build-dir] [cmake args...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build-dev"}
shift || true
cmake -S "$here" -B "$build" -G Ninja -DVELLORAN_BACKEND="${VELLORAN_BACKEND:-host}" \
  -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
