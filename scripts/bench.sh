#!/usr/bin/env bash
# Builds the RelWithDebInfo preset and runs every benchmark, printing their tables.
# Not part of the test run: the numbers depend on the machine and on what else it is doing.
#   scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Every benchmark program in bench/; each prints its own table.
benches=(orv-bench-push orv-bench-status)

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target "${benches[@]}" orv-bench-store orv-bench-accept ORV_Serv orv-modsim orv-outcat orv-tcpdrv-send orv-siasend orv-gsmdev orv-comsink orv-bench-output Comlan orv-bench-window

status=0
# What one flush to disk costs here bounds the latency of every acknowledgement that waits for it.
echo "== fdatasync of a 64-byte append on this disk: $(build/bin/orv-bench-store --fdatasync-us) us"
for b in "${benches[@]}"; do
  echo
  echo "== $b"
  if ! "build/bin/$b"; then
    echo "bench: $b failed" >&2
    status=1
  fi
done
echo
echo "== module line (orv-modsim against ORV_Serv)"
bench/module_line_bench.sh || status=1
echo
bench/inputs_bench.sh || status=1
echo
bench/sia_bench.sh || status=1
echo
bench/device_line_bench.sh || status=1
echo
bench/serial_output_bench.sh || status=1
echo
bench/comlan_bench.sh || status=1
echo
bench/accept_bench.sh || status=1
echo
bench/metrics_bench.sh || status=1
echo
bench/window_bench.sh || status=1
# Last: it writes gigabytes, whose write-back would slow the flushes the input benchmarks wait on.
echo
echo "== orv-bench-store"
build/bin/orv-bench-store 2>/dev/null || status=1
exit "$status"
