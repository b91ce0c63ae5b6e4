#!/usr/bin/env bash
# The whole test suite: installs the package (host backend unless VELLORAN_BACKEND says otherwise),
# runs the C++ tests of the host layer and the fusion planner, the type check (scripts/typecheck.sh), then
# the Python tests.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
export VELLORAN_BACKEND=${VELLORAN_BACKEND:-host}
bash scripts/setup_env.sh
py="$here/.venv/bin/python"
export PATH="$here/.venv/bin:$PATH"

if [ "$VELLORAN_BACKEND" = "host" ]; then
  # The C++ tests use GoogleTest from the system's packages.
  if [ ! -f /usr/include/gtest/gtest.h ] && command -v apt-get >/dev/null; then
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  fi
  cmake -S . -B build/cpp-tests -G Ninja -DVELLORAN_BACKEND=host -DVELLORAN_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
  cmake --build build/cpp-tests -j "${JOBS:-2}" --target velloran_cpp_tests
  ctest --test-dir build/cpp-tests --output-on-failure
fi

bash scripts/typecheck.sh
"$py" -m pytest tests -q "$@"
