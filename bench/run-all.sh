#!/usr/bin/env bash
# Runs every benchmark program of a build tree and prints its figures.
set -euo pipefail
build=${1:-build}
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  # Half an hour and some 50 GB of disk: run on its own (README, "A whole shift").
  [ "$(basename "$b")" = bench_shift ] && continue
  echo "=== $(basename "$b")"
  "$b"
done
