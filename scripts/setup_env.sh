#!/usr/bin/env bash
# Creates .venv (once) and installs the package into it with the test tools. The backend is
# VELLORAN_BACKEND (cuda, host or auto; default auto: cuda when nvcc and a GPU are present).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
py=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$py" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "pybind11>=3" "scikit-build-core>=0.10" "numpy>=1.24" "scipy-openblas32>=0.3.27" \
  "pytest>=8" "hypothesis>=6.100" "mypy>=2.4" ninja
.venv/bin/python -m pip install -q --no-build-isolation ".[test,qiskit,cirq]"
# A reference for the tests of Qiskit Aer noise models (which are Aer objects); never a dependency.
.venv/bin/python -m pip install -q "qiskit-aer>=0.17"
.venv/bin/python -c "import ketsim; print('ketsim backend:', ketsim.__backend__)"
