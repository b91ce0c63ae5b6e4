#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: builds the cuda backend for the GPU at hand, runs the whole
# Python test suite on it, then the benchmarks. Pass a folder of wheels as $1 where the machine
# has no access to PyPI (the script then installs from that folder only).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
if [ $# -ge 1 ]; then
  export PIP_NO_INDEX=1 PIP_FIND_LINKS="$(cd "$1" && pwd)"
fi
export VELLORAN_BACKEND=cuda
export VELLORAN_CUDA_ARCHITECTURES=${VELLORAN_CUDA_ARCHITECTURES:-native}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
nvidia-smi -L
start=$(date +%s)
bash scripts/setup_env.sh
echo "== build: $(( $(date +%s) - start )) s"
.venv/bin/python -m pytest tests -q -x -p no:cacheprovider || status=$?
echo "== tests: $(( $(date +%s) - start )) s"
.venv/bin/python benchmarks/bench_gates.py --qubits 24 26 --repeats 5
for bench in bench_fusion.py bench_rhosim.py; do
  [ -f "benchmarks/$bench" ] && .venv/bin/python "benchmarks/$bench"
done
echo "== total: $(( $(date +%s) - start )) s"
exit "${status:-0}"
