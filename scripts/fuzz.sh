#!/usr/bin/env bash
# Fuzzes the Python surface of both modules (tests/fuzz, hypothesis profile "fuzz") on the host
# build instrumented with AddressSanitizer and UndefinedBehaviorSanitizer, within a fixed time box.
# Fails on any sanitizer report, on a process killed by a signal, on a failing property, and when
# the run outlives the box (a hang). Reuses the sanitizer build of scripts/sanitize.sh.
#
#   BUILD_DIR         sanitizer build folder (default build/asan)
#   FUZZ_TIME_LIMIT   seconds the test run may take (default 240)
#   extra arguments go to pytest (for example --hypothesis-seed=N to replay a run)
set -euo pipefail
source "$(dirname "$0")/venv.sh"
build=${BUILD_DIR:-build/asan}
limit=${FUZZ_TIME_LIMIT:-240}
cmake -S . -B "$build" -G Ninja -DVELLORAN_BACKEND=host -DVELLORAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# PYTHONMALLOC=malloc puts Python's own objects (list item arrays, dicts) under ASan, so a read of
# an item the module no longer owns is reported too. --capture=sys leaves file descriptor 2 alone:
# a sanitizer report or fatal-signal traceback reaches the log even when it ends the process.
set +e
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc PYTHONFAULTHANDLER=1 \
  HYPOTHESIS_PROFILE=fuzz PYTHONPATH="$build" \
  timeout --kill-after=20 "$limit" "$py" -m pytest tests/fuzz -q -p no:cacheprovider --capture=sys "$@" 2>&1 |
  tee "$log"
status=${PIPESTATUS[0]}
set -e

if grep -qE 'ERROR: AddressSanitizer|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer' "$log"; then
  echo "fuzz: sanitizer report (see above)" >&2
  [ "$status" -eq 0 ] && status=1
fi
case $status in
  0) echo "fuzz: passed" ;;
  124 | 137) echo "fuzz: the run did not finish within ${limit}s" >&2 ;;
  *)
    [ "$status" -gt 128 ] && echo "fuzz: the test process died of signal $((status - 128))" >&2
    echo "fuzz: failed (exit status $status)" >&2
    ;;
esac
exit "$status"
