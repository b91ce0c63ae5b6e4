#!/usr/bin/env bash
# One run of the distributed state on a machine with several NVIDIA GPUs, MPI and no network: the
# environment and whether the MPI library reads GPU memory, the cuda build, the DistributedState
# tests with one rank per GPU, and the distributed benchmark over 1, 2 and 4 ranks on each exchange
# path the library allows. Every stage is time-boxed and independent; logs and a one-line-per-stage
# SUMMARY go under $OUT.
usage() {
  cat <<'EOF'
usage: scripts/mgpu_check.sh [--help]

Needs: NVIDIA GPUs (two or more to mean anything; one rank per GPU), their driver and the CUDA
toolkit for the build; an MPI library with its launcher (mpirun/mpiexec) and mpi4py built for it.
Without a network, carry what scripts/gpu_check.sh --help lists plus mpi4py (and, without a system
MPI, the `mpich` wheel, which brings mpiexec) in WHEELS. A CUDA-aware MPI (one that answers
MPIX_Query_cuda_support) lets the exchanges send from GPU memory; the others stage through host
memory.

Environment:
  OUT=dir          logs, junit XML, benchmark tables and SUMMARY (default build/mgpu-check)
  ONLY="stage ..." run only these stages (the build stage is needed once per machine)
  WHEELS=dir       wheels for anything missing, installed without an index
  BUDGET=seconds   the whole run's time (default 540); a stage never runs past it
  MPIRUN=command   the launcher (default: the build venv's mpirun, else mpirun on PATH)
  GPUS=count       ranks for the one-rank-per-GPU run (default: the GPUs nvidia-smi lists)
  MODULES=dir      use ketsim from this folder (a developer build, run by .venv's Python when there
                   is one) and skip the build stage
  PYTHON=exe       a Python that already has ketsim and mpi4py (skips the build stage too)
  BENCH_LOCAL=q    amplitudes per rank in the benchmark: 2**q (default 26)
  MPI_TESTS="..."  the test files run under mpirun (default tests/distributed)
  VELLORAN_BACKEND=host rehearses the script on the host backend at small sizes (CI does this)

Stages, in order:
  env        GPUs, driver, nvcc, MPI library and launcher, CUDA-aware or not, mpi4py
  build      the cuda modules (scripts/gpu_check.sh's build stage) and mpi4py in its venv
  mpi2       the distributed tests under mpirun -n 2
  mpigpus    the distributed tests with one rank per GPU (the largest power of two <= GPUS)
  paths      the exchange tests with VELLORAN_MPI_DEVICE_BUFFERS=0 (staged) where the default
             path sends from GPU memory (CUDA-aware MPI); skipped otherwise
  bench      benchmarks/bench_distributed.py at 4 ranks (or fewer GPUs): exchanges per circuit,
             both exchange paths against plain Sendrecv, local gates, weak scaling 1-2-4 ranks
EOF
}
[ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ] && { usage; exit 0; }
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here" || exit 1

ALL_STAGES="env build mpi2 mpigpus paths bench"
ONLY=${ONLY:-$ALL_STAGES}
OUT=${OUT:-$here/build/mgpu-check}
BUDGET=${BUDGET:-540}
BACKEND=${VELLORAN_BACKEND:-cuda}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
summary="$OUT/SUMMARY"
: >"$summary"
start=$(date +%s)
venv="$here/build/gpu-venv"
py="$venv/bin/python"
MODULES=${MODULES:-}
PYTHON=${PYTHON:-}
if [ -n "${MODULES:-}" ]; then
  # A developer build: the project's environment (or the system Python) runs it.
  export PYTHONPATH="$(cd "$MODULES" && pwd)${PYTHONPATH:+:$PYTHONPATH}"
  if [ -x "$here/.venv/bin/python" ]; then py="$here/.venv/bin/python"; else py=$(command -v python3); fi
fi
[ -n "${PYTHON:-}" ] && py=$PYTHON
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
export OPENBLAS_NUM_THREADS=1 PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1
# Open MPI's mpirun refuses to start as root (these machines often run us as root) without these.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
[ -n "${WHEELS:-}" ] && export PIP_FIND_LINKS="$(cd "$WHEELS" && pwd)"

if [ -z "${GPUS:-}" ]; then
  GPUS=$(nvidia-smi -L 2>/dev/null | grep -c '^GPU ' || true)
fi
GPUS=${GPUS:-0}
# One rank per GPU: the largest power of two not above the GPU count (2 at least).
RANKS=2
while [ $((RANKS * 2)) -le "$GPUS" ]; do RANKS=$((RANKS * 2)); done
BENCH_RANKS=$(( RANKS < 4 ? RANKS : 4 ))
MPI_TESTS=${MPI_TESTS:-tests/distributed}
if [ "$BACKEND" = cuda ]; then
  BENCH_LOCAL=${BENCH_LOCAL:-26}; REPEATS=3
else
  BENCH_LOCAL=${BENCH_LOCAL:-12}; REPEATS=1
  # The host ranks share the cores.
  export VELLORAN_HOST_THREADS=${VELLORAN_HOST_THREADS:-1}
fi

# The launcher that belongs to the MPI library mpi4py loads.
launcher() {
  if [ -n "${MPIRUN:-}" ]; then echo "$MPIRUN"; return; fi
  local dir
  dir=$(dirname "$py")
  for candidate in "$dir/mpirun" "$dir/mpiexec"; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  command -v mpirun || command -v mpiexec || echo mpirun
}

STAGE_WIDTH=8
# shellcheck source=scripts/check_stages.sh
source "$(dirname "$0")/check_stages.sh"

# Prints "yes" when the MPI library mpi4py loads answers MPIX_Query_cuda_support() with 1, "no"
# when it answers 0 or lacks the function.
cuda_aware() {
  "$py" - <<'EOF'
import ctypes, os
from mpi4py import MPI  # noqa: F401  (loads and initialises the library)
answer = "no"
with open("/proc/self/maps") as maps:
    paths = sorted({line.split()[-1] for line in maps if "/" in line and ".so" in line})
for path in paths:
    if "mpi" not in os.path.basename(path):
        continue
    try:
        query = getattr(ctypes.CDLL(path, mode=os.RTLD_NOLOAD), "MPIX_Query_cuda_support", None)
    except OSError:
        continue
    if query is not None:
        answer = "yes" if query() == 1 else "no"
        break
print(answer)
EOF
}

stage_env() {
  echo "backend: $BACKEND, GPUs: $GPUS, ranks per run: $RANKS, python: $py"
  if command -v nvidia-smi >/dev/null; then
    nvidia-smi
    nvidia-smi topo -m 2>/dev/null
    nvidia-smi --query-gpu=index,name,driver_version,memory.total,pci.bus_id --format=csv
  else
    echo "nvidia-smi: not found"
  fi
  command -v nvcc >/dev/null && nvcc --version || echo "nvcc: not found"
  local run
  run=$(launcher)
  echo "launcher: $run"
  "$run" --version 2>&1 | head -n 3
  command -v ompi_info >/dev/null && ompi_info --parsable --all 2>/dev/null | grep -i 'cuda_support' | head -n 4
  "$py" -c "import mpi4py; from mpi4py import MPI; print('mpi4py', mpi4py.__version__); print(MPI.Get_library_version())" \
    || { echo "summary: mpi4py is missing (install it from WHEELS in the build stage)"; return 1; }
  local aware
  aware=$(cuda_aware)
  echo "summary: $GPUS GPUs, $("$py" -c 'from mpi4py import MPI; print(MPI.Get_library_version().splitlines()[0].strip())'), CUDA-aware: $aware"
}

stage_build() {
  if [ -n "${MODULES:-}${PYTHON:-}" ]; then
    echo "summary: no build: ketsim from ${MODULES:-the environment of $PYTHON}"
    return 77
  fi
  ONLY=build OUT="$OUT/gpu-check-build" VELLORAN_BACKEND=$BACKEND bash scripts/gpu_check.sh || return 1
  if ! "$py" -c "import mpi4py" 2>/dev/null; then
    echo "installing mpi4py from ${PIP_FIND_LINKS:-<no WHEELS folder>}"
    local extra=""
    command -v mpicc >/dev/null || command -v mpirun >/dev/null || extra=mpich
    # shellcheck disable=SC2086
    "$py" -m pip install mpi4py $extra || { echo "summary: mpi4py missing (pass WHEELS=dir)"; return 1; }
  fi
  "$py" -c "import ketsim, mpi4py; print('summary: built', ketsim.__backend__, 'modules; mpi4py', mpi4py.__version__)"
}

# mpi_tests RANKS NAME [pytest args...]: the distributed tests under mpirun, one junit file per rank.
mpi_tests() {
  local ranks=$1 name=$2
  shift 2
  local run
  run=$(launcher)
  mkdir -p "$OUT/junit"
  # Each rank writes its own junit file (PMI_RANK: MPICH, OMPI_COMM_WORLD_RANK: Open MPI), its rank
  # read by the shell mpirun starts; MPI_TESTS is a list of paths.
  # shellcheck disable=SC2016,SC2086
  "$run" -n "$ranks" bash -c 'exec "$0" -m pytest "$@" --junitxml="'"$OUT"'/junit/'"$name"'-rank${PMI_RANK:-${OMPI_COMM_WORLD_RANK:-0}}.xml"' \
    "$py" $MPI_TESTS -q -p no:cacheprovider "$@"
  local rc=$?
  echo "summary: mpirun -n $ranks: $(grep -h -o 'tests="[0-9]*"\|failures="[0-9]*"\|errors="[0-9]*"' "$OUT/junit/$name"-rank0.xml 2>/dev/null | tr '\n' ' ')exit $rc"
  return $rc
}

stage_mpigpus() {
  if [ "$RANKS" -le 2 ]; then
    echo "summary: $GPUS GPUs: the two-rank run (mpi2) is the one-rank-per-GPU run"
    return 77
  fi
  mpi_tests "$RANKS" mpigpus
}

stage_paths() {
  if [ "$BACKEND" = cuda ] && [ "$(cuda_aware)" != yes ]; then
    echo "summary: the MPI library is not CUDA-aware: every exchange is staged already (mpi2, mpigpus)"
    return 77
  fi
  VELLORAN_MPI_DEVICE_BUFFERS=0 MPI_TESTS="tests/distributed/test_distributed_exchange.py tests/distributed/test_distributed_circuits.py" \
    mpi_tests 2 paths-staged
}

stage_bench() {
  local run
  run=$(launcher)
  "$run" -n "$BENCH_RANKS" "$py" benchmarks/bench_distributed.py --local-qubits "$BENCH_LOCAL" --repeats "$REPEATS" \
    | tee "$OUT/bench_distributed.txt"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E '^(device|staged) ' "$OUT/bench_distributed.txt" | awk '{printf "%s %s GB/s (%s of plain); ", $1, $(NF-1), $NF}')
  echo "summary: $BENCH_RANKS ranks, $BENCH_LOCAL local qubits: ${line:-no exchange figures}exit $rc"
  return "$rc"
}

# The stages run in child shells (so that timeout can stop them): they see these.
export here OUT BACKEND py venv MODULES PYTHON GPUS RANKS BENCH_RANKS BENCH_LOCAL REPEATS MPI_TESTS
export -f launcher cuda_aware stage_env stage_build mpi_tests stage_mpigpus stage_paths stage_bench

echo "mgpu_check: backend $BACKEND, $GPUS GPUs, stages: $ONLY, output in $OUT, budget $BUDGET s"
run_stage env 30 stage_env
run_stage build 300 stage_build
run_stage mpi2 240 mpi_tests 2 mpi2
run_stage mpigpus 300 stage_mpigpus
run_stage paths 180 stage_paths
run_stage bench 240 stage_bench
echo "== SUMMARY ($(( $(date +%s) - start )) s)"
cat "$summary"
! grep -qE '^\S+ +(fail|timeout)' "$summary"
