#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, from its seed corpus.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -uo pipefail
dir=$1; seconds=$2
here=$(cd "$(dirname "$0")/.." && pwd)
status=0
shopt -s nullglob
for target in "$dir"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds="$here/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "--- $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/$name-" "$work" \
       >"$dir/$name.log" 2>&1; then
    tail -n 40 "$dir/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$dir/$name.log" | tail -n 2
  fi
  rm -rf "$work"
done
exit $status
