#!/usr/bin/env bash
# Runs every benchmark of a bench build, one after the other (never in parallel, so that the
# figures do not disturb each other), keeps their full output in <build>/bench.log and prints one
# table from the REPORT lines they emit (see bench/report.h): Kestovar's median time and peak
# memory beside its peer's, and the time ratio Kestovar / peer (below 1: Kestovar is faster).
#
#   bench/run.sh [build-folder]      default build-bench
#   BENCH_QUICK=1 bench/run.sh ...   smaller generated meshes and fewer runs (a few minutes)
set -uo pipefail
build=${1:-build-bench}
src=$(cd "$(dirname "$0")/.." && pwd)
log="$build/bench.log"
quick=${BENCH_QUICK:-0}
[ "$quick" = "0" ] && quick=
export BENCH_QUICK=${quick:+1}

# Arguments each benchmark takes in quick mode (sizes and run counts it reads from its command line).
quick_args() {
  case "$1" in
    bench_multires) echo "300 3" ;;
    bench_simplify) echo "$src/data/bunny00.obj 3 small" ;;
    bench_scene_optimizer) echo "--runs 1" ;;
    bench_obj) echo "3" ;;
  esac
}

: >"$log"
failed=0
for bin in "$build"/bench/bench_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  args=()
  [ -n "$quick" ] && read -r -a args <<<"$(quick_args "$name")"
  echo "== $name ${args[*]:-}" | tee -a "$log" >&2
  "$bin" "${args[@]}" >>"$log" 2>&1
  rc=$?
  if [ $rc -ne 0 ]; then
    echo "   $name failed (exit $rc), see $log" >&2
    failed=1
  fi
done

table="$build/bench-table.txt"
{
echo
echo "Kestovar beside its peers (${quick:+quick mode, }median times; memory is peak, where measured)"
echo
awk -F'\t' '
  function ms(s) { return s == "-" ? "-" : sprintf("%.2f", s * 1000) }
  function mb(b) { return b == "-" ? "-" : sprintf("%.1f", b / 1048576) }
  # Names (columns 1 and 4) left-aligned, figures right-aligned.
  function cell(c, v) { return sprintf("%" (c == 1 || c == 4 ? "-" : "") w[c] "s  ", v) }
  $1 == "REPORT" {
    n++
    op[n] = $2; kt[n] = ms($3); km[n] = mb($4); pn[n] = $5; pt[n] = ms($6); pm[n] = mb($7)
    ratio[n] = ($3 != "-" && $6 != "-" && $6 > 0) ? sprintf("%.2f", $3 / $6) : "-"
  }
  END {
    h[1] = "operation"; h[2] = "kestovar ms"; h[3] = "kestovar MB"; h[4] = "peer"
    h[5] = "peer ms"; h[6] = "peer MB"; h[7] = "ratio"
    for (c = 1; c <= 7; c++) w[c] = length(h[c])
    for (i = 1; i <= n; i++) {
      row[i, 1] = op[i]; row[i, 2] = kt[i]; row[i, 3] = km[i]; row[i, 4] = pn[i]
      row[i, 5] = pt[i]; row[i, 6] = pm[i]; row[i, 7] = ratio[i]
      for (c = 1; c <= 7; c++) if (length(row[i, c]) > w[c]) w[c] = length(row[i, c])
    }
    line = ""
    for (c = 1; c <= 7; c++) line = line cell(c, h[c])
    sub(/ +$/, "", line); print line
    line = ""
    for (c = 1; c <= 7; c++) { d = ""; for (k = 0; k < w[c]; k++) d = d "-"; line = line d "  " }
    sub(/ +$/, "", line); print line
    for (i = 1; i <= n; i++) {
      line = ""
      for (c = 1; c <= 7; c++) line = line cell(c, row[i, c])
      sub(/ +$/, "", line); print line
    }
    if (n == 0) print "(no REPORT lines: did the benchmarks build?)"
  }' "$log"
} | tee "$table"
echo
echo "full output: $log, table alone: $table"
exit $failed
