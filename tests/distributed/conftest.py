"""The DistributedState tests are collective: every rank runs them in the same order with the same
data (every random draw is seeded). They run when started by mpirun/mpiexec (scripts/test_mpi.sh,
any power-of-two number of ranks) or with VELLORAN_MPI_TESTS=1 as one rank; a plain pytest run
skips them without touching MPI."""

import os
import sys

_LAUNCHED = any(v in os.environ for v in ("PMI_RANK", "PMI_SIZE", "OMPI_COMM_WORLD_SIZE", "PMIX_RANK"))
_WANTED = _LAUNCHED or os.environ.get("VELLORAN_MPI_TESTS") == "1"

try:
    if not _WANTED:
        raise ImportError("not started by mpirun")
    import mpi4py  # noqa: F401
except ImportError:
    collect_ignore_glob = ["test_*.py"]
else:
    here = os.path.dirname(os.path.abspath(__file__))
    # This folder's helpers, and the NumPy reference simulator of the single-device tests.
    sys.path.insert(0, here)
    sys.path.insert(0, os.path.join(here, "..", "ketsim"))
