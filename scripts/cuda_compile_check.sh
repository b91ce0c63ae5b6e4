#!/usr/bin/env bash
# Compiles and links the cuda build without running it (no GPU needed). CUDA_ARCHS picks the
# architectures (default 90-real); CI uses `CUDA_ARCHS=all`, the six of the product.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
archs=${CUDA_ARCHS:-90-real}
[ "$archs" = all ] && archs="75-real;80-real;86-real;89-real;90-real;120"
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
build=build/cuda-check
start=$(date +%s)
cmake -S . -B "$build" -G Ninja -DVELLORAN_BACKEND=cuda -DVELLORAN_CUDA_ARCHITECTURES="$archs" \
  -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
echo "cuda build for $archs compiled and linked in $(( $(date +%s) - start )) s"
