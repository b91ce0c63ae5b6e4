#!/usr/bin/env bash
# The DistributedState tests under mpirun with 1, 2 and 4 ranks (oversubscribed where the machine
# has fewer cores), each run time-boxed. Usage: scripts/test_mpi.sh [build-dir] [pytest args...];
# with a build folder the modules are taken from it (PYTHONPATH), else from the installed package.
# RANKS="1 2" picks the runs; TIMEOUT (seconds, default 240) bounds each. STAGED_RANKS (default 2;
# empty to skip) runs the exchange-heavy tests once more with VELLORAN_MPI_DEVICE_BUFFERS=0, every
# message through host staging buffers (the host backend otherwise sends from its memory directly).
# Last, scripts/mgpu_check.sh is rehearsed on the host backend (MGPU_REHEARSAL=0 skips that).
set -euo pipefail
source "$(dirname "$0")/venv.sh"
if ! "$py" -c "import mpi4py" 2>/dev/null; then bash scripts/setup_mpi.sh; fi
if [ $# -gt 0 ] && [ -d "$1" ]; then
  export PYTHONPATH="$(cd "$1" && pwd)${PYTHONPATH:+:$PYTHONPATH}"
  shift
fi
# One worker thread per rank: the ranks already share the cores.
export VELLORAN_HOST_THREADS=${VELLORAN_HOST_THREADS:-1}
mpirun="$here/.venv/bin/mpirun"
status=0
for n in ${RANKS:-1 2 4}; do
  echo "== mpirun -n $n"
  # -p no:cacheprovider: the ranks would write the same cache files.
  if ! timeout --kill-after=10 "${TIMEOUT:-240}" "$mpirun" -n "$n" "$py" -m pytest tests/distributed -q \
      -p no:cacheprovider "$@"; then
    echo "mpirun -n $n failed or timed out" >&2
    status=1
  fi
done
for n in ${STAGED_RANKS-2}; do
  echo "== mpirun -n $n, VELLORAN_MPI_DEVICE_BUFFERS=0"
  if ! VELLORAN_MPI_DEVICE_BUFFERS=0 timeout --kill-after=10 "${TIMEOUT:-240}" "$mpirun" -n "$n" "$py" -m pytest \
      tests/distributed/test_distributed_circuits.py tests/distributed/test_distributed_pauli.py -q \
      -p no:cacheprovider "$@"; then
    echo "mpirun -n $n with staged exchanges failed or timed out" >&2
    status=1
  fi
done
# scripts/mgpu_check.sh rehearsed on this backend with four stand-in GPUs, the exchange tests only
# and a small benchmark (MGPU_REHEARSAL=0 skips it): every stage must pass or skip.
if [ "${MGPU_REHEARSAL:-1}" != 0 ]; then
  echo "== scripts/mgpu_check.sh rehearsal"
  rehearsal=build/mgpu-check-rehearsal
  rm -rf "$rehearsal"
  stages="env build mpi2 mpigpus paths bench"
  VELLORAN_BACKEND=host PYTHON="$py" GPUS=4 OUT="$rehearsal" ONLY="$stages" BUDGET=120 BENCH_LOCAL=12 \
    MPI_TESTS=tests/distributed/test_distributed_exchange.py bash scripts/mgpu_check.sh >/dev/null || true
  cat "$rehearsal/SUMMARY"
  for stage in $stages; do
    grep -qE "^$stage +(pass|skip) " "$rehearsal/SUMMARY" || { echo "mgpu_check rehearsal: stage $stage did not pass" >&2; status=1; }
  done
fi
exit $status
