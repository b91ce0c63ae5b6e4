#!/usr/bin/env bash
# Static checks of the typed surface: mypy (settings in pyproject.toml) over velloran_gpu and examples/
# against this tree's ketsim/rhosim stubs, then mypy's stubtest holding those stubs to the built modules.
# PYTHON picks the environment whose packages are checked (default .venv); MYPY the mypy command (default
# that environment's `python -m mypy`).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
py=${PYTHON:-"$here/.venv/bin/python"}
read -r -a mypy <<<"${MYPY:-$py -m mypy}"

# mypy finds stub-only packages (ketsim-stubs) in site-packages only; a folder of links named after the
# modules puts the tree's stubs first on its path, ahead of any installed copy.
stub_path=$(mktemp -d)
trap 'rm -rf "$stub_path"' EXIT
for module in ketsim rhosim; do
  ln -s "$here/stubs/$module-stubs" "$stub_path/$module"
done
export MYPYPATH="$stub_path${MYPYPATH:+:$MYPYPATH}"

"${mypy[@]}" --python-executable "$py" velloran_gpu examples

# stubtest imports the modules, so it runs in the checked environment itself.
if ! "$py" -c "import mypy.stubtest" 2>/dev/null; then
  echo "typecheck: mypy is not installed for $py; stubtest skipped"
elif ! "$py" -c "import ketsim, rhosim" 2>/dev/null; then
  echo "typecheck: ketsim/rhosim do not import for $py (build them first); stubtest skipped"
else
  "$py" -m mypy.stubtest ketsim rhosim --mypy-config-file pyproject.toml \
    --allowlist stubs/stubtest-allowlist.txt
fi
echo "typecheck: passed"
