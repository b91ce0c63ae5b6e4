#!/usr/bin/env bash
# Installs what DistributedState needs into the project's environment (.venv): mpi4py and an MPI
# library, both from PyPI (the `mpich` wheel brings mpiexec/mpirun into .venv/bin). On a cluster,
# use the site's MPI instead: build mpi4py against it (pip install --no-binary mpi4py mpi4py with
# the site's mpicc on PATH) so that srun/mpirun and the interconnect are the site's own.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
"$py" -m pip install -q "mpi4py>=4" mpich
"$py" - <<'PY'
from mpi4py import MPI
print("mpi4py", __import__("mpi4py").__version__, "on", MPI.Get_library_version().splitlines()[0].strip())
PY
