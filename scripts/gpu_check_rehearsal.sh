#!/usr/bin/env bash
# Rehearses scripts/gpu_check.sh on the host backend, as on a GPU machine without network: the
# wheels it would carry are fetched first, then every stage runs at small sizes with no index, and
# the SUMMARY must list each stage without a failure. (The cpp stage builds the same C++ tests as
# scripts/test.sh and is left out here to save the build.)
set -euo pipefail
source "$(dirname "$0")/venv.sh"
wheels=build/wheels
mkdir -p "$wheels"
"$py" -m pip download -q -d "$wheels" "pybind11>=3" "scikit-build-core>=0.10" "numpy>=1.24" "scipy-openblas32>=0.3.27" pytest
out=build/gpu-check-rehearsal
rm -rf "$out" build/gpu-venv
stages="env build smoke pytest memcheck racecheck synccheck initcheck bandwidth fusion calibrate rhosim large"
# The host build on a 2-core CI machine takes longer than the cuda build on the GPU machine's 16
# cores: its stage gets 15 minutes, and the budget 10 minutes more than on the GPU.
VELLORAN_BACKEND=host WHEELS="$wheels" OUT="$out" ONLY="$stages" BUILD_LIMIT=900 BUDGET=1140 bash scripts/gpu_check.sh
for stage in $stages; do
  grep -qE "^$stage +(pass|skip) " "$out/SUMMARY" || { echo "gpu_check rehearsal: stage $stage did not pass"; exit 1; }
done
echo "gpu_check rehearsal: every stage ran"
