#!/usr/bin/env bash
# Builds the package into .venv (backend from VELLORAN_BACKEND, default auto) and runs the example
# simulation (examples/main_job.py; arguments pass through, --help lists them): a 24-qubit Qiskit circuit
# through the Sampler and Estimator, and a noisy GHZ state on the density matrix, checked, with timings.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup_env.sh
.venv/bin/python examples/main_job.py "$@"
