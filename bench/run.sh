#!/usr/bin/env bash
# Runs every benchmark of a bench build, one after the other (never in parallel, so that the
# figures do not disturb each other).
set -euo pipefail
build=${1:-build-bench}
for bin in "$build"/bench/bench_*; do
  [ -x "$bin" ] || continue
  echo "== $(basename "$bin")"
  "$bin"
done
