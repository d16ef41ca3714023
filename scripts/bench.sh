#!/usr/bin/env bash
# Measures the host-emulated device against a plain GMP loop (mpz_powm) at
# n = 36, 120, 300 and 600: the host kernels on one core beside GMP in the
# same benchmark binary, then the program end to end on every core, read
# from its own summary line. Prints one table.
#
#   scripts/bench.sh            # build-bench/, about 15 s per end-to-end run
#   KALVENOR_BENCH_SECONDS=5 scripts/bench.sh
#   KALVENOR_HOST_PATH=avx2 scripts/bench.sh   # a slower path this processor also runs
#                                              # (ifma52, avx2, w64); the table names it
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=${KALVENOR_BENCH_BUILD:-build-bench}
seconds=${KALVENOR_BENCH_SECONDS:-15}
cores=$(nproc)
sizes=(36 120 300 600)
# The benchmark's multipliers start here too, so both measure the same kernel.
kFirst=$((2 ** 34 + 1))

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKALVENOR_CUDA=OFF -DKALVENOR_BENCH=ON \
  -DKALVENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j "$cores" --target kalvenor kalvenor_bench >/dev/null

# Other work on the machine slows the end-to-end runs most, as they use
# every core: the load is printed with the table.
loadBefore=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bench/kalvenor_bench" --benchmark_filter='BM_HostOverGmp' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=json >"$work/kernels.json"
"$build/bench/kalvenor_bench" --benchmark_filter='BM_SegmentSieve' >&2

# n -> "host gmp" candidates per second on one core (medians of three)
python3 - "$work/kernels.json" >"$work/kernels.txt" <<'EOF'
import json, sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    n = b["run_name"].split("/")[1]
    path = b.get("label", "").split(" on ", 1)[-1].replace(" ", "_")
    print(n, b["host_cand/s"], b["gmp_cand/s"], path)
EOF

# End to end: one line per size, sized from the kernel's rate so that the run
# takes about $seconds (a few percent of the odd multipliers survive the sieve).
for n in "${sizes[@]}"; do
  read -r host _ < <(awk -v n="$n" '$1 == n {print $2, $3}' "$work/kernels.txt")
  span=$(python3 -c "print(int($seconds * $cores * $host / 0.04) * 2)")
  dir="$work/n$n"
  mkdir -p "$dir"
  echo "FermatFactor=$n,$n,$kFirst,$((kFirst + span))" >"$dir/worktodo.txt"
  # A finished work file ends the program with exit code 6.
  (cd "$dir" && "$root/$build/kalvenor" >/dev/null) || true
  if ! grep -E "^n=$n: tested" "$dir/results.txt" | tail -n 1 >"$work/e2e$n.txt"; then
    echo "no summary line for n=$n in results.txt" >&2
    exit 1
  fi
done

read -r _ _ _ path < <(head -n 1 "$work/kernels.txt")
echo "host kernels on ${path//_/ }"
echo "cores $cores; load average before ${loadBefore// /, }, after $(cut -d' ' -f1-3 /proc/loadavg | sed 's/ /, /g')"
printf '%-6s %16s %16s %7s %16s %9s\n' size "host cand/s/core" "GMP cand/s/core" ratio \
  "e2e cand/s/core" "e2e ratio"
for n in "${sizes[@]}"; do
  read -r host gmp < <(awk -v n="$n" '$1 == n {print $2, $3}' "$work/kernels.txt")
  # "n=36: tested 11351734 of 300000001 numbers ( 3.78%) in 2.50 seconds at ..."
  read -r tested secs < <(sed -E 's/.*tested ([0-9]+) of .* in ([0-9.]+) seconds.*/\1 \2/' "$work/e2e$n.txt")
  python3 - "$n" "$host" "$gmp" "$tested" "$secs" "$cores" <<'EOF'
import sys
n, host, gmp, tested, secs, cores = sys.argv[1], *map(float, sys.argv[2:])
e2e = tested / secs / cores
print(f"{n:<6} {host:16,.0f} {gmp:16,.0f} {host / gmp:7.2f} {e2e:16,.0f} {e2e / gmp:9.2f}")
EOF
done
