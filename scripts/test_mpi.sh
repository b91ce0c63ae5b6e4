#!/usr/bin/env bash
# The DistributedState tests under mpirun with 1, 2 and 4 ranks (oversubscribed where the machine
# has fewer cores), each run time-boxed. Usage: scripts/test_mpi.sh [build-dir] [pytest args...];
# with a build folder the modules are taken from it (PYTHONPATH), else from the installed package.
# RANKS="1 2" picks the runs; TIMEOUT (seconds, default 240) bounds each.
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
exit $status
