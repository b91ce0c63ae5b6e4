# The stage runner of the machine checks (scripts/gpu_check.sh, scripts/mgpu_check.sh), sourced by
# them. It reads the sourcing script's ONLY (the stages to run), BUDGET and start (the time budget),
# OUT and summary (where logs and the SUMMARY go) and STAGE_WIDTH (the width of the name column).

# run_stage NAME SECONDS COMMAND...: runs the command with its output in OUT/NAME.log, within its
# own limit and what is left of the budget; the SUMMARY line gets the status, the time and the
# log's last "summary:" line (or its last line). Exit 77 is a skip.
run_stage() {
  local name=$1 limit=$2
  shift 2
  case " $ONLY " in *" $name "*) ;; *) return 0 ;; esac
  local left=$(( BUDGET - ($(date +%s) - start) ))
  if [ "$left" -lt 10 ]; then
    printf "%-${STAGE_WIDTH}s skip     0 s  out of time budget\n" "$name" >>"$summary"
    return 0
  fi
  [ "$limit" -gt "$left" ] && limit=$left
  local log="$OUT/$name.log" t0=$(date +%s) rc status note
  echo "== $name (limit $limit s)"
  timeout --kill-after=10 "$limit" bash -c '"$@"' stage "$@" >"$log" 2>&1
  rc=$?
  case $rc in
    0) status=pass ;;
    124|137) status=timeout ;;
    77) status=skip ;;
    *) status="fail($rc)" ;;
  esac
  note=$(grep -a '^summary:' "$log" | tail -n 1 | cut -c 10-)
  [ -n "$note" ] || note=$(tail -n 1 "$log" | cut -c 1-150)
  printf "%-${STAGE_WIDTH}s %-8s %4d s  %s\n" "$name" "$status" "$(( $(date +%s) - t0 ))" "$note" | tee -a "$summary"
}
