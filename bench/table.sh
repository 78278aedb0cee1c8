#!/usr/bin/env bash
# Runs every benchmark of BUILD/bench (default build), passes their output
# through and gathers the BENCH|figure|value|baseline|ratio|target|result
# rows they print into one table, printed at the end and written to
# BUILD/bench.md together with the machine it ran on.
set -u
build=${1:-build}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
status=0
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  echo "== $name"
  "$b" 2>&1 | while IFS= read -r line; do
    case "$line" in
      'BENCH|'*) printf '%s|%s\n' "$name" "${line#BENCH|}" >>"$rows" ;;
      *) printf '%s\n' "$line" ;;
    esac
  done
  rc=${PIPESTATUS[0]}
  if [ "$rc" -ne 0 ]; then
    echo "$name ended with status $rc"
    status=1
  fi
done
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
{
  echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}; $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "| benchmark | figure | value | baseline | ratio | target | result |"
  echo "|---|---|---|---|---|---|---|"
  while IFS='|' read -r name figure value baseline ratio target result; do
    echo "| $name | $figure | $value | $baseline | $ratio | $target | $result |"
  done <"$rows"
} >"$build/bench.md"
echo
cat "$build/bench.md"
exit $status
