#!/usr/bin/env bash
# One decisive run on a machine with an NVIDIA GPU and no network: builds the cuda backend, checks
# every kernel family, runs the tests, the sanitizers and the benchmarks, and writes everything as
# files with a one-line-per-stage SUMMARY. Every stage is time-boxed and independent of the others.
usage() {
  cat <<'EOF'
usage: scripts/gpu_check.sh [--help]

Environment:
  OUT=dir          where the logs, junit XML, tables and SUMMARY go (default build/gpu-check)
  ONLY="stage ..." run only these stages (the build stage is needed once per machine)
  WHEELS=dir       wheels to install anything the system Python lacks, without an index:
                   pybind11 (3), scikit-build-core, numpy, pytest; hypothesis is optional
                   (its tests skip without it); ninja optional (make is used without it)
  BUDGET=seconds   the whole run's time (default 540); a stage never runs past it
  BUILD_LIMIT=seconds  the build stage's own limit (default 300)
  VELLORAN_BACKEND=host rehearses the script on the host backend at small sizes (CI does this)

Stages, in order:
  env        driver, GPU, clocks, nvcc, Python packages
  build      the cuda modules with -lineinfo into a venv that sees the system packages
  smoke      every kernel family once against the NumPy references (scripts/gpu_smoke.py)
  cpp        the C++ tests built for the GPU (needs GoogleTest; skipped without it)
  pytest     the Python tests, one process per test file (junit XML per file)
  memcheck   compute-sanitizer memcheck on the smoke run
  racecheck  compute-sanitizer racecheck on the shared-memory kernels
  synccheck  compute-sanitizer synccheck on the shared-memory kernels
  initcheck  compute-sanitizer initcheck on the smoke run
  bandwidth  per-gate bandwidth against a device copy of the same bytes, both precisions
  fusion     fused against per-gate execution
  calibrate  the DenseMM cost table (written to OUT/densemm_cost_table.txt)
  rhosim     the density-matrix benchmark
  large      a 33-qubit complex64 state read back by sampling; measurement at 28 qubits
EOF
}
[ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ] && { usage; exit 0; }
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

ALL_STAGES="env build smoke cpp pytest memcheck racecheck synccheck initcheck bandwidth fusion calibrate rhosim large"
ONLY=${ONLY:-$ALL_STAGES}
OUT=${OUT:-$here/build/gpu-check}
BUDGET=${BUDGET:-540}
BACKEND=${VELLORAN_BACKEND:-cuda}
mkdir -p "$OUT"
summary="$OUT/SUMMARY"
: >"$summary"
start=$(date +%s)
venv="$here/build/gpu-venv"
py="$venv/bin/python"
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
export OPENBLAS_NUM_THREADS=1 PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1
[ -n "${WHEELS:-}" ] && export PIP_FIND_LINKS="$(cd "$WHEELS" && pwd)"

# Sizes: the GPU's, or small ones for the host rehearsal.
if [ "$BACKEND" = cuda ]; then
  BW_QUBITS="24 28 30"; FUSION_QUBITS="24 28"; CAL_QUBITS="14 16 18 20 22 24"; RHO_QUBITS="10 11 12 13"
  LARGE_QUBITS=33; MEASURE_QUBITS=28; PYTEST_FILES=$(ls tests/*/test_*.py tests/test_*.py 2>/dev/null)
else
  BW_QUBITS="12 14"; FUSION_QUBITS="12"; CAL_QUBITS="12"; RHO_QUBITS="6"
  LARGE_QUBITS=18; MEASURE_QUBITS=14; PYTEST_FILES="tests/ketsim/test_gates.py tests/rhosim/test_rho_state.py"
fi

STAGE_WIDTH=10
# shellcheck source=scripts/check_stages.sh
source "$(dirname "$0")/check_stages.sh"

stage_env() {
  echo "backend: $BACKEND"
  if command -v nvidia-smi >/dev/null; then
    nvidia-smi
    nvidia-smi --query-gpu=name,driver_version,memory.total,clocks.sm,clocks.max.sm,clocks.mem,power.limit \
      --format=csv
  else
    echo "nvidia-smi: not found"
  fi
  command -v nvcc >/dev/null && nvcc --version || echo "nvcc: not found"
  command -v compute-sanitizer >/dev/null && compute-sanitizer --version | head -n 2 || echo "compute-sanitizer: not found"
  python3 --version
  python3 -m pip list 2>/dev/null | grep -Ei '^(numpy|pybind11|pytest|hypothesis|scikit.build.core|ninja|cmake) '
  echo "summary: $(nvidia-smi --query-gpu=name,driver_version --format=csv,noheader 2>/dev/null | head -n 1)" \
       "$(nvcc --version 2>/dev/null | grep -o 'release [0-9.]*')"
}

stage_build() {
  [ -x "$py" ] || python3 -m venv --system-site-packages "$venv" || return 1
  local missing
  missing=$("$py" - "$BACKEND" <<'EOF'
import importlib.util, sys
need = {"pybind11": "pybind11>=3", "scikit_build_core": "scikit-build-core", "numpy": "numpy", "pytest": "pytest"}
if sys.argv[1] == "host":
    need["scipy_openblas32"] = "scipy-openblas32"  # the host backend's BLAS
print(" ".join(spec for module, spec in need.items() if importlib.util.find_spec(module) is None))
EOF
)
  if [ -n "$missing" ]; then
    echo "installing from ${PIP_FIND_LINKS:-<no WHEELS folder>}: $missing"
    # shellcheck disable=SC2086
    "$py" -m pip install $missing || { echo "summary: missing $missing (pass WHEELS=dir)"; return 1; }
  fi
  local archs=${VELLORAN_CUDA_ARCHITECTURES:-native}
  VELLORAN_BACKEND=$BACKEND VELLORAN_CUDA_ARCHITECTURES=$archs CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) \
    "$py" -m pip install -v --no-build-isolation --no-deps \
    -C cmake.define.VELLORAN_CUDA_LINEINFO=ON -C build-dir="$here/build/gpu-build" . || return 1
  "$py" -c "import ketsim, rhosim; print('summary: built', ketsim.__backend__, 'modules')"
}

stage_cpp() {
  if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -d /usr/src/googletest ]; then
    echo "summary: GoogleTest not installed; C++ tests not built"
    return 77
  fi
  local build="$here/build/gpu-cpp-tests"
  cmake -S . -B "$build" -DVELLORAN_BACKEND="$BACKEND" -DVELLORAN_BUILD_TESTS=ON -DVELLORAN_CUDA_LINEINFO=ON \
    -DVELLORAN_CUDA_ARCHITECTURES="${VELLORAN_CUDA_ARCHITECTURES:-native}" \
    -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" || return 1
  cmake --build "$build" -j "$(nproc)" --target velloran_cpp_tests || return 1
  ctest --test-dir "$build" --output-on-failure --output-junit "$OUT/cpp-junit.xml"
}

stage_pytest() {
  # One process per file: a sticky device fault in one file cannot fail the others.
  local failed=0 total=0 file name
  mkdir -p "$OUT/junit"
  for file in $PYTEST_FILES; do
    total=$((total + 1))
    name=$(echo "$file" | tr '/' '_')
    if "$py" -m pytest "$file" -q -p no:cacheprovider --junitxml="$OUT/junit/$name.xml" >"$OUT/junit/$name.log" 2>&1; then
      echo "ok   $file: $(tail -n 1 "$OUT/junit/$name.log")"
    else
      failed=$((failed + 1))
      echo "FAIL $file: $(tail -n 1 "$OUT/junit/$name.log")"
    fi
  done
  echo "summary: $failed of $total test files failed"
  [ "$failed" -eq 0 ]
}

sanitizer() {
  local tool=$1
  shift
  if [ "$BACKEND" != cuda ] || ! command -v compute-sanitizer >/dev/null; then
    echo "summary: compute-sanitizer needs the cuda backend and the toolkit's compute-sanitizer"
    return 77
  fi
  compute-sanitizer --tool "$tool" --error-exitcode 9 --print-limit 20 "$py" scripts/gpu_smoke.py "$@"
  local rc=$?
  echo "summary: $tool exit $rc"
  return $rc
}

bench() {
  "$py" "$@"
}

stage_bandwidth() {
  local dtype
  for dtype in complex64 complex128; do
    "$py" benchmarks/bench_gates.py --dtype "$dtype" --qubits $BW_QUBITS --gates 8 --repeats 3 || return 1
  done
}

stage_large() {
  "$py" - "$LARGE_QUBITS" "$MEASURE_QUBITS" <<'EOF'
import sys, time
import ketsim
n, m = int(sys.argv[1]), int(sys.argv[2])
t = time.perf_counter()
state = ketsim.DeviceState.zero_state(n, "complex64")
gates = [{"id": "h", "target": [n - 1], "control": [], "control_state": [], "parameter": []},
         {"id": "x", "target": [0], "control": [n - 1], "control_state": [1], "parameter": []},
         {"id": "h", "target": [n // 2], "control": [], "control_state": [], "parameter": []}]
ketsim.run_circuit_device(state, gates)
counts, _ = ketsim.sample_measure_device(state, [0, n // 2, n - 1], 20000, seed=11, collapse_last=False)
print(f"{n} qubits complex64: counts {counts} in {time.perf_counter() - t:.2f} s")
# Qubits 0 and n - 1 are entangled (equal bits, first and last in the string), qubit n/2 is free.
assert len(counts) == 4 and all(key[0] == key[2] for key in counts), counts
assert all(abs(c - 5000) < 500 for c in counts.values()), counts
del state
state = ketsim.DeviceState.zero_state(m)
ketsim.run_circuit_device(state, [dict(gates[0], target=[q]) for q in range(m)])
t = time.perf_counter()
outcome = ketsim.measure_device(state, list(range(m)), seed=3)
elapsed = time.perf_counter() - t
after = abs(state.to_numpy())
print(f"summary: {n}-qubit sampling ok; {m}-qubit measurement in {elapsed:.2f} s, collapsed to one amplitude")
assert abs(after.max() - 1) < 1e-6 and (after > 1e-6).sum() == 1, "the measured state is not one basis state"
EOF
}

# The stages run in child shells (so that timeout can stop them): they see these.
export here OUT BACKEND py venv PYTEST_FILES BW_QUBITS LARGE_QUBITS MEASURE_QUBITS
export -f stage_env stage_build stage_cpp stage_pytest sanitizer bench stage_bandwidth stage_large

echo "gpu_check: backend $BACKEND, stages: $ONLY, output in $OUT, budget $BUDGET s"
run_stage env 30 stage_env
run_stage build "${BUILD_LIMIT:-300}" stage_build
run_stage smoke 120 "$py" scripts/gpu_smoke.py
run_stage cpp 240 stage_cpp
run_stage pytest 300 stage_pytest
run_stage memcheck 150 sanitizer memcheck
run_stage racecheck 120 sanitizer racecheck --only barrier
run_stage synccheck 90 sanitizer synccheck --only barrier
run_stage initcheck 150 sanitizer initcheck
run_stage bandwidth 150 stage_bandwidth
run_stage fusion 90 bench benchmarks/bench_fusion.py --qubits $FUSION_QUBITS --repeats 2
run_stage calibrate 120 bench benchmarks/calibrate_densemm.py --qubits $CAL_QUBITS --out "$OUT/densemm_cost_table.txt"
run_stage rhosim 90 bench benchmarks/bench_rhosim.py --qubits $RHO_QUBITS --layers 1 --repeats 2
run_stage large 90 stage_large
echo "== SUMMARY ($(( $(date +%s) - start )) s)"
cat "$summary"
! grep -qE '^\S+ +(fail|timeout)' "$summary"
