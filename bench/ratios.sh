#!/usr/bin/env bash
# ratios.sh BENCH_BINARY BASELINE [benchmark options...]: runs a benchmark
# binary once and prints each result's throughput as a ratio to the baseline
# benchmark with the same argument, measured in the same run.
set -euo pipefail
bin=$1 baseline=$2; shift 2
"$bin" --benchmark_format=csv "$@" 2>/dev/null | awk -F, -v base="$baseline" '
  /^name,/ { for (i = 1; i <= NF; i++) col[$i] = i; next }
  col["name"] {
    name = $col["name"]; gsub(/"/, "", name)
    split(name, part, "/"); fn = part[1]; arg = part[2]
    rate = $col["bytes_per_second"]; if (rate == "") rate = $col["items_per_second"]
    if (rate == "") rate = 1e9 / $col["cpu_time"]
    order[++n] = name; fnof[name] = fn; argof[name] = arg; rateof[name] = rate
    if (fn == base) baserate[arg] = rate
  }
  END {
    printf "%-40s %14s %10s\n", "benchmark", "per second", "vs " base
    for (i = 1; i <= n; i++) {
      name = order[i]; b = baserate[argof[name]]
      printf "%-40s %14.4g %10s\n", name, rateof[name], b ? sprintf("%.2f", rateof[name] / b) : "-"
    }
  }'
