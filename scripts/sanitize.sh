#!/usr/bin/env bash
# Runs the Python test suite on a host build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer, so kernel memory errors in either module fail the run.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
build=build/asan
cmake -S . -B "$build" -G Ninja -DVELLORAN_BACKEND=host -DVELLORAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  HYPOTHESIS_PROFILE=sanitize PYTHONPATH="$build" "$py" -m pytest tests -q -p no:cacheprovider "$@"
