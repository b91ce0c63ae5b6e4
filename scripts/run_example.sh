#!/usr/bin/env bash
# Builds the package into .venv (backend from VELLORAN_BACKEND, default auto) and runs the example
# simulation: a GHZ state and a QFT on 20 qubits, sampled, with timings.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup_env.sh
.venv/bin/python examples/main_job.py "$@"
