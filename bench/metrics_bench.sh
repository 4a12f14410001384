#!/usr/bin/env bash
# What the metrics endpoint costs: SIA frames and module events through a real ORV_Serv, once
# with [Metrics] off and once with it on and scraped every second, taking turns three
# times so that the machine's own drift falls on both. Run from the repository root after a
# build.
set -euo pipefail

bin=${ORV_BIN:-build/bin}
dir=$(mktemp -d)
server=
scraper=
trap '[ -n "$scraper" ] && kill "$scraper" 2>/dev/null; [ -n "$server" ] && kill "$server" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$dir"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
mport=$(free_port); sport=$(free_port); oport=$(free_port); xport=$(free_port)

start_server() {  # $1: metrics port, 0 = off
  cat > "$dir/ORV_Serv.ini" <<INI
[GPRS0]
Port=$mport
Line=1
[Out]
Port=$oport
[Client0]
Id=Bank
QSize=1000
[SiaIp]
Port=$sport
PerAddress=0
[Metrics]
Port=$1
INI
  "$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 50); do grep -q "^running" "$dir/server.log" && break; sleep 0.1; done
  if [ "$1" != 0 ]; then
    (while sleep 1; do curl -s "http://127.0.0.1:$1/metrics" >/dev/null || true; done) &
    scraper=$!
  fi
}
stop_server() {
  [ -n "$scraper" ] && kill "$scraper" 2>/dev/null && wait "$scraper" 2>/dev/null || true
  scraper=
  kill "$server" && wait "$server" || true
  server=
}

# The server's CPU time in ms (user + system): per frame it is steadier than throughput on a
# machine whose cores the senders share.
cpu_ms() { awk '{ print ($14 + $15) * 1000 / '"$(getconf CLK_TCK)"' }' "/proc/$server/stat"; }

sia() {
  "$bin/orv-siasend" --port "$sport" --connections 100 --frames 100000 --expect ACK |
    awk '/^frames/ { for (i = 1; i < NF; i++) if ($i == "frames-per-second") print $(i + 1) }'
}
modules() {
  "$bin/orv-modsim" --port "$mport" --connections 50 --poll-ms 0 --events 10000000 --seconds 5 --warmup 1 |
    awk '/^answers-per-second/ { n += $2 } END { print n }'
}

declare -A total cpu
for round in 1 2 3; do
  for metrics in off on; do
    start_server "$([ "$metrics" = on ] && echo "$xport" || echo 0)"
    before=$(cpu_ms)
    total[sia-$metrics]=$(( ${total[sia-$metrics]:-0} + $(sia | cut -d. -f1) ))
    after=$(cpu_ms)
    # 100,000 frames: server CPU microseconds per frame.
    cpu[sia-$metrics]=$(awk -v a="${cpu[sia-$metrics]:-0}" -v d="$(awk "BEGIN { print $after - $before }")" 'BEGIN { print a + d * 1000 / 100000 }')
    before=$(cpu_ms)
    rate=$(modules | cut -d. -f1)
    after=$(cpu_ms)
    total[mod-$metrics]=$(( ${total[mod-$metrics]:-0} + rate ))
    # 5 s at that rate: server CPU microseconds per event.
    cpu[mod-$metrics]=$(awk -v a="${cpu[mod-$metrics]:-0}" -v d="$(awk "BEGIN { print $after - $before }")" -v n="$rate" 'BEGIN { print a + d * 1000 / (n * 6) }')
    stop_server
  done
done
echo "== metrics endpoint cost (mean of 3 rounds; on = scraped every second, 15 times more often than Prometheus by default)"
echo "| traffic | metrics off /s | metrics on /s | change | server CPU us/event off | on | change |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for t in sia mod; do
  name=$([ "$t" = sia ] && echo "SIA frames, 100 connections" || echo "module events, ping-pong, 50 modules")
  awk -v n="$name" -v off="${total[$t-off]}" -v on="${total[$t-on]}" -v coff="${cpu[$t-off]}" -v con="${cpu[$t-on]}" \
    'BEGIN { printf "| %s | %.0f | %.0f | %+.1f%% | %.1f | %.1f | %+.1f%% |\n", n, off / 3, on / 3, (on - off) * 100 / off, coff / 3, con / 3, (con - coff) * 100 / coff }'
done
echo
echo "target: metrics on costs less than 5% of either"
