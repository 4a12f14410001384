#!/usr/bin/env bash
# Module line benchmark: orv-modsim against one GPRS line of a real ORV_Serv.
# Prints connections held, answered lines per second, answer latency, and the server's CPU time
# and peak resident memory for each scenario. Run from the repository root after a build;
# ORV_BIN names another build's bin directory.
set -euo pipefail

bin=${ORV_BIN:-build/bin}
dir=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$dir"' EXIT

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
limit=$(ulimit -n)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$dir/ORV_Serv.ini" <<INI
[GPRS0]
Port=$port
Line=1
[Client0]
Id=Bank
QSize=1000
INI

"$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
server=$!
for _ in $(seq 50); do grep -q "listening on port" "$dir/server.log" && break; sleep 0.1; done

cpu_ms() { awk '{ print ($14 + $15) * 1000 / '"$(getconf CLK_TCK)"' }' "/proc/$server/stat"; }
peak_rss_mb() { awk '/VmHWM/ { printf "%.0f", $2 / 1024 }' "/proc/$server/status"; }

# The largest connection count both processes can hold under this machine's open-file limit.
many=$(( limit - 64 < 20000 ? limit - 64 : 20000 ))

echo "| scenario | connections | answered/s | p50 ms | p99 ms | max ms | server CPU s | server peak RSS MB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
run() {
  local name=$1; shift
  local before out
  before=$(cpu_ms)
  out=$("$bin/orv-modsim" --port "$port" "$@") || echo "bench: orv-modsim reported errors in: $name" >&2
  local after
  after=$(cpu_ms)
  report "$name" "$out" "$before" "$after"
}

# One row from the outputs of one or more orv-modsim runs: connections and rates add up; of the
# latencies the largest is shown (no more than 1% of all answers can be above the largest p99).
report() {
  local name=$1 out=$2 before=$3 after=$4
  local conns rate p50 p99 max
  conns=$(awk '/^connections/ { n += $4 } END { print n }' <<<"$out")
  rate=$(awk '/^answers-per-second/ { n += $2 } END { print n }' <<<"$out")
  read -r p50 p99 max < <(awk '/^latency-us/ { if ($3 > a) a = $3; if ($5 > b) b = $5; if ($7 > c) c = $7 }
    END { printf "%.2f %.2f %.2f\n", a / 1000, b / 1000, c / 1000 }' <<<"$out")
  printf '| %s | %s | %s | %s | %s | %s | %.1f | %s |\n' "$name" "$conns" "$rate" "$p50" "$p99" "$max" \
    "$(awk "BEGIN { print ($after - $before) / 1000 }")" "$(peak_rss_mb)"
}

# Many held connections come from two simulators, each to its own loopback address of the one
# port. Past about 14,000 connections to one address and port, every connect() has to search the
# ephemeral ports the others hold (milliseconds each): a single simulator then stops serving its
# modules for seconds while it connects the rest, their polls bunch into bursts of thousands, and
# the bursts recur every poll interval. That measured the simulator, not the server.
run_split() {
  local name=$1 total=$2; shift 2
  local half=$(( total / 2 )) before after pid
  before=$(cpu_ms)
  "$bin/orv-modsim" --host 127.0.0.1 --port "$port" --connections "$half" "$@" --id-prefix H \
    >"$dir/split.1" &
  pid=$!
  "$bin/orv-modsim" --host 127.0.0.2 --port "$port" --connections $(( total - half )) "$@" \
    --id-prefix K >"$dir/split.2" || echo "bench: orv-modsim reported errors in: $name" >&2
  wait "$pid" || echo "bench: orv-modsim reported errors in: $name" >&2
  after=$(cpu_ms)
  report "$name" "$(cat "$dir/split.1" "$dir/split.2")" "$before" "$after"
}

run "ping-pong, 50 modules" --connections 50 --poll-ms 0 --seconds 5 --warmup 1 --id-prefix P
run "10,000 polls/s" --connections 2000 --poll-ms 200 --seconds 5 --warmup 2 --id-prefix R
run "events 5,000/s + polls" --connections 2000 --poll-ms 400 --events 5000 --seconds 5 --warmup 2 --id-prefix E
run_split "$many held, 1 poll/10 s each" "$many" --poll-ms 10000 --seconds 10 --warmup 15 \
  --connect-rate 2000

# Every line an event: its "0" goes out once the event is stored (Durable=1, the default) or at
# once (Durable=0).
for durable in 0 1; do
  kill "$server" && wait "$server" || true
  # The worker's pass over every connection each second, as the server reports it on stopping.
  [ "$durable" = 0 ] && sweep=$(grep -m1 "deadline sweep" "$dir/server.log" | sed 's/^[^:]*: //' || true)
  sed -i '/^\[Options\]/,$d' "$dir/ORV_Serv.ini"
  printf '[Options]\nDurable=%s\n' "$durable" >> "$dir/ORV_Serv.ini"
  "$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 50); do grep -q "listening on port" "$dir/server.log" && break; sleep 0.1; done
  when=$([ "$durable" = 1 ] && echo "answered when stored" || echo "answered when received")
  run "event ping-pong, 50 modules, $when" --connections 50 --poll-ms 0 --events 10000000 \
    --seconds 5 --warmup 1 --id-prefix V
  run "events at 20,000/s, 50 modules, $when" --connections 50 --poll-ms 1000 --events 20000 \
    --seconds 5 --warmup 1 --id-prefix W
done

echo
echo "per-second pass over the connections, held-connections server: ${sweep:-not reported by this server}"
echo "(the status rows' passes over a list this long: orv-bench-status)"
echo "open-file limit: $limit (20,000 connections need more than 20,000 descriptors in each process)"
echo "targets: >= 50,000 answered lines/s (ping-pong); p99 < 5 ms at 10,000 polls/s; 20,000 held under 300 MB;"
echo "         events answered when stored: >= 20,000/s with p99 < 3 ms"
