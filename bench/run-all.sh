#!/usr/bin/env bash
# Runs every benchmark program of a build tree and prints its figures.
set -euo pipefail
build=${1:-build}
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  # Half an hour and some 50 GB of disk: run on its own (README, "A whole shift").
  [ "$(basename "$b")" = bench_shift ] && continue
  # Needs the depot tests' object store (OpenStack Swift) and boto3; some 3 minutes and 6 GB of disk.
  if [ "$(basename "$b")" = bench_depot_upload ] &&
     ! { command -v swift-proxy-server >/dev/null && python3 -c 'import boto3' 2>/dev/null; }; then
    echo "=== bench_depot_upload skipped: no swift-proxy-server or boto3"
    continue
  fi
  echo "=== $(basename "$b")"
  "$b"
done
