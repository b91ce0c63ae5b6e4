#!/usr/bin/env bash
# ThreadSanitizer job for the shared-memory kernels: builds the host backend's C++ tests with
# -fsanitize=thread and runs them with every barrier block run by all its threads
# (VELLORAN_HOST_BARRIER_THREADS=block), failing on any report. It also proves that the job sees such
# races: each probe kernel of tests/cpp/barrier_race_probe.cpp, one barrier short, must be reported.
# Usage: scripts/tsan.sh [extra cmake configure arguments]
set -euo pipefail
source "$(dirname "$0")/venv.sh"
build=build/tsan
# Clang: under GCC the fused kernels are target_clones, whose resolvers run while the program is
# being relocated, before ThreadSanitizer's runtime is set up, and crash once instrumented.
cxx=${TSAN_CXX:-clang++}
# The system's packages: clang and GoogleTest, where missing.
if command -v apt-get >/dev/null && { ! command -v "$cxx" >/dev/null || [ ! -f /usr/include/gtest/gtest.h ]; }; then
  apt-get update -qq && apt-get install -y -qq clang libgtest-dev >/dev/null
fi
if ! command -v "$cxx" >/dev/null; then
  echo "scripts/tsan.sh needs clang++ with its ThreadSanitizer runtime (apt-get install clang), or TSAN_CXX" >&2
  exit 2
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DVELLORAN_BACKEND=host -DVELLORAN_BUILD_TESTS=ON \
  -DVELLORAN_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" \
  -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" "$@" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target velloran_common_tests ketsim_fusion_tests rhosim_launcher_tests \
  barrier_race_probe

tests="$build/tests/cpp"
logs="$build/tsan-logs"
rm -rf "$logs" && mkdir -p "$logs"
export VELLORAN_HOST_BARRIER_THREADS=block
export OPENBLAS_NUM_THREADS=1
# Every report is printed, and a run with any report exits 66.
export TSAN_OPTIONS="halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"

# Runs one test binary with a filter; its whole output lands in $logs/<name>.log.
run_logged() {
  local name=$1 binary=$2 filter=$3
  local start=$SECONDS rc=0
  "$binary" --gtest_filter="$filter" --gtest_brief=1 >"$logs/$name.log" 2>&1 || rc=$?
  echo "$name: exit $rc after $((SECONDS - start)) s" >&2
  return $rc
}

failed=0
# The C++ tests of the execution layer and both modules' launchers, barrier kernels with whole-thread
# blocks (and, where a test compares the two ways, with single-thread blocks too): no report may
# appear. Left out: the one test of 2^16 tiles, far too slow with 128 fibers per block.
clean() {
  local name=$1 rc=0
  run_logged "$@" || rc=$?
  if [ $rc -ne 0 ] || grep -q "ThreadSanitizer" "$logs/$name.log"; then
    echo "FAIL $name (see $logs/$name.log):" >&2
    if grep -q "WARNING: ThreadSanitizer" "$logs/$name.log"; then
      sed -n '/WARNING: ThreadSanitizer/,+30p' "$logs/$name.log" | sed -n 1,60p >&2
    else
      tail -n 30 "$logs/$name.log" >&2
    fi
    failed=1
  fi
}
clean execution_layer "$tests/velloran_common_tests" '*'
clean ketsim_fusion "$tests/fusion/ketsim_fusion_tests" '-SparseShareMem.MoreTilesThanBlocks'
clean rhosim_launchers "$tests/rhosim/rhosim_launcher_tests" '*'

# Each probe must end in a data-race report whose stacks pass through its own kernel.
probe() {
  local test=$1 kernel=$2 name="probe_${1}"
  run_logged "$name" "$tests/barrier_race_probe" "RaceProbe.$test" || true
  grep -A 40 "WARNING: ThreadSanitizer: data race" "$logs/$name.log" >"$logs/$name.races" || true
  if [ ! -s "$logs/$name.races" ]; then
    echo "FAIL $name: no data race reported for the kernel missing a barrier (see $logs/$name.log)" >&2
    failed=1
  elif ! grep -q "$kernel" "$logs/$name.races"; then
    echo "FAIL $name: the race reported is not in $kernel (see $logs/$name.log)" >&2
    failed=1
  else
    echo "$name: data race in $kernel reported, as it must be" >&2
  fi
}
probe ReadBeforeOtherThreadsWrote probe_reverse_without_barrier
probe NextTileLoadedWhileTheLastIsRead probe_tiles_without_trailing_barrier
probe TreeSumStepsOverlap probe_tree_sum_without_step_barriers

if [ $failed -ne 0 ]; then
  echo "ThreadSanitizer job failed" >&2
  exit 1
fi
echo "ThreadSanitizer job passed: no races in the barrier tests, every probe reported" >&2
