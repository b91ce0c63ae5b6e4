#!/usr/bin/env bash
# Makes .venv-peers, the environment benchmarks/bench_peers.py runs in: the CPU simulators it compares
# this build with (qsimcirq, qulacs, qiskit-aer, with cirq-core and qiskit) from PyPI, beside this
# package built for the host backend. It is an environment of its own; none of these simulators is a
# dependency of the package.
#
# By default the package is built into it by pip (--no-build-isolation, its build tools installed there
# first; CMake's folder is build/peers-<wheel tag>, never the one .venv's install uses). That needs only
# Python 3.10+ and a C++20 compiler, so it is what a fresh machine gets; a rerun rebuilds incrementally,
# picking up source changes. PEERS_MODULES=<folder> instead puts an existing developer build
# (scripts/dev_build.sh <folder>, built by a Python of the same version) on the environment's path with a
# .pth file: no compile, and the folder's later rebuilds are seen at once.
# A simulator whose install fails (no wheel for this platform or Python) is left out with a warning; the
# benchmark reports it as not installed. The environment's own .gitignore keeps it out of git.
#
# Usage: scripts/setup_peers.sh            (JOBS=<n> compile jobs, default 2; VELLORAN_BACKEND, default host)
#        PEERS_MODULES=/tmp/build scripts/setup_peers.sh
# then:  .venv-peers/bin/python benchmarks/bench_peers.py --qubits 22
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
venv="$here/.venv-peers"
py=${PYTHON:-python3}
if [ -n "${PEERS_MODULES:-}" ]; then
  modules=$(cd "$PEERS_MODULES" 2>/dev/null && pwd || true)
  if [ -z "$modules" ] || ! ls "$modules"/ketsim*.so >/dev/null 2>&1; then
    echo "PEERS_MODULES=$PEERS_MODULES holds no built ketsim module (run scripts/dev_build.sh $PEERS_MODULES)" >&2
    exit 1
  fi
fi

[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
echo '*' >"$venv/.gitignore"
vpy="$venv/bin/python"
pip() { "$vpy" -m pip "$@"; }
site=$("$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')

# The simulators, each on its own so that one without a wheel here does not stop the others.
pip install -q "numpy>=1.24,<3" "cirq-core>=1.4" "qiskit>=2.0"
for spec in "qsimcirq:qsimcirq" "qulacs:qulacs" "qiskit_aer:qiskit-aer"; do
  module=${spec%%:*} dist=${spec#*:}
  if "$vpy" -c "import $module" 2>/dev/null; then
    continue
  fi
  pip install -q "$dist" || echo "warning: $dist did not install; bench_peers.py will report it as not installed" >&2
done

# This package's modules.
pth="$site/velloran_dev_build.pth"
if [ -n "${PEERS_MODULES:-}" ]; then
  pip uninstall -q -y velloran-gpu 2>/dev/null || true  # an installed copy would shadow the folder
  echo "$modules" >"$pth"
else
  rm -f "$pth"
  pip install -q "pybind11>=3" "scikit-build-core>=0.10" "scipy-openblas32>=0.3.27" "cmake>=3.24" ninja
  VELLORAN_BACKEND=${VELLORAN_BACKEND:-host} CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} \
    pip install -q --no-build-isolation --no-deps -C "build-dir=build/peers-{wheel_tag}" .
fi

cd /  # import the modules as installed, not from the checkout
"$vpy" - <<'EOF'
from importlib import metadata
import ketsim
print(f"ketsim: {ketsim.__file__} ({ketsim.__backend__} backend)")
for dist in ("qsimcirq", "qulacs", "qiskit-aer", "cirq-core", "qiskit", "numpy"):
    try:
        print(f"{dist}: {metadata.version(dist)}")
    except metadata.PackageNotFoundError:
        print(f"{dist}: not installed")
EOF
