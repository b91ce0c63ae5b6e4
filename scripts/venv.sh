# Sourced by the build scripts: goes to the repository root, creates the project's environment on
# first use (scripts/setup_env.sh) and puts its Python ($py) and tools on PATH.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
[ -x .venv/bin/python ] || bash scripts/setup_env.sh
py="$here/.venv/bin/python"
export PATH="$here/.venv/bin:$PATH"
