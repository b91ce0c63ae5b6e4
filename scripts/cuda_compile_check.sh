#!/usr/bin/env bash
# Compiles and links the cuda build without running it (no GPU needed), then holds every kernel to
# its budget (scripts/kernel_resources.py): no register spills or stack frames, two blocks of its
# launch size per SM, and amplitudes moved as one vector access each in the PTX. CUDA_ARCHS picks
# the architectures (default 90-real); CI uses `CUDA_ARCHS=all`, the six of the product.
# CUDA_CHECK_BUILD names the build folder (default build/cuda-check).
set -euo pipefail
source "$(dirname "$0")/venv.sh"
archs=${CUDA_ARCHS:-90-real}
[ "$archs" = all ] && archs="75-real;80-real;86-real;89-real;90-real;120"
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
build=${CUDA_CHECK_BUILD:-build/cuda-check}
start=$(date +%s)
# The launcher keeps ptxas's report and the PTX of each object beside it for the resource check.
cmake -S . -B "$build" -G Ninja -DVELLORAN_BACKEND=cuda -DVELLORAN_CUDA_ARCHITECTURES="$archs" \
  -DCMAKE_CUDA_COMPILER_LAUNCHER="$PWD/scripts/nvcc_capture.sh" \
  -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
echo "cuda build for $archs compiled and linked in $(( $(date +%s) - start )) s"
"$py" scripts/kernel_resources.py "$build"
