#!/usr/bin/env bash
# Compiler launcher of the cuda compile check: runs one nvcc compile with ptxas's resource report
# and keeps the PTX of every architecture, leaving <object>.ptxas.log and <object>.ptx/ beside the
# object for scripts/kernel_resources.py. Other launches (no -o) run unchanged.
set -uo pipefail
obj="" prev=""
for arg in "$@"; do
  [ "$prev" = "-o" ] && obj=$arg
  prev=$arg
done
case "$obj" in *.o) ;; *) exec "$@" ;; esac
keep="$obj.ptx"
rm -rf "$keep" "$obj.ptxas.log"
mkdir -p "$keep"
"$@" -Xptxas -v -keep -keep-dir "$keep" 2>"$obj.ptxas.log.tmp"
rc=$?
# The report goes to the log; everything else the compiler said goes on to the build's output.
grep -v -e '^ptxas info' -e '^    [0-9]* bytes stack frame' "$obj.ptxas.log.tmp" >&2
mv "$obj.ptxas.log.tmp" "$obj.ptxas.log"
find "$keep" -type f ! -name '*.ptx' -delete
exit $rc
