#!/usr/bin/env bash
# SIA DC-09 receiver benchmark: orv-siasend against the [SiaIp] input of a real ORV_Serv on
# loopback, every frame an ADM-CID event that is answered ACK and queued into one channel:
# unencrypted and AES-256 encrypted, over TCP and UDP. Each sender waits for its answer before
# the next frame (stop-and-wait). Run from the repository root after a build.
set -euo pipefail

bin=build/bin
dir=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$dir"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
sport=$(free_port); oport=$(free_port)
# Durable=1 (the default) answers a frame once its event is on disk; Durable=0 at once.
start_server() {
  cat > "$dir/ORV_Serv.ini" <<INI
[GPRS0]
Port=0
[Out]
Port=$oport
[Client0]
Id=Bank
QSize=1000
[SiaIp]
Port=$sport
Line=1
Udp=1
PerAddress=0
[Options]
Durable=$1
INI
  printf '[Keys]\n*=%s\n' "$key" > "$dir/Orv_SiaKeys.ini"
  chmod 600 "$dir/Orv_SiaKeys.ini"
  mkdir -p "$dir/Orv_Sia"  # every frame is logged, as in service
  "$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 50); do grep -q "^running" "$dir/server.log" && break; sleep 0.1; done
  grep -q "SIA receiver listening on port $sport" "$dir/server.log" || {
    echo "sia_bench: the SIA receiver did not start" >&2
    cat "$dir/server.log" >&2
    exit 1
  }
}
stop_server() {
  kill "$server" && wait "$server" || true
  server=
}

key=000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F
status=0
echo "== SIA DC-09 receiver (ADM-CID frames answered ACK and queued into one channel)"
echo "| scenario | ACK when | frames | frames/s | p50 ms | p99 ms |"
echo "|---|---|---:|---:|---:|---:|"
run() {
  local name=$1
  shift
  local out
  if ! out=$("$bin/orv-siasend" --port "$sport" --expect ACK "$@" 2>"$dir/send.err"); then
    echo "sia_bench: $name: orv-siasend reported errors" >&2
    head -5 "$dir/send.err" >&2
    status=1
  fi
  awk -v name="$name" -v when="$when" '
    /^frames/ { for (i = 1; i < NF; i++) v[$i] = $(i + 1) }
    /^answer-latency-us/ { p50 = $3; p99 = $5 }
    END { printf "| %s | %s | %s | %s | %.2f | %.2f |\n", name, when, v["sent"], v["frames-per-second"], p50 / 1000, p99 / 1000 }
  ' <<<"$out"
}
when="received"
start_server 0
run "4 persistent connections" --connections 4 --frames 100000
run "100 persistent connections" --connections 100 --frames 200000
# Flat out, 100 frames are always in flight, so their mean latency is 100 / throughput (Little's
# law): the rows at the target rate show the receiver's own latency under that load.
run "4 persistent connections at 20,000 frames/s" --connections 4 --frames 100000 --rate 20000
run "100 persistent connections at 20,000 frames/s" --connections 100 --frames 100000 --rate 20000
run "one connection per frame (4 senders)" --per-frame --connections 4 --frames 10000
run "one connection per frame (100 senders)" --per-frame --connections 100 --frames 10000
run "one connection per frame at 3,000 frames/s (100 senders)" --per-frame --connections 100 --frames 9000 --rate 3000
run "encrypted, 4 persistent connections" --key "$key" --connections 4 --frames 100000
run "encrypted, 100 persistent connections" --key "$key" --connections 100 --frames 200000
run "encrypted, 4 persistent connections at 20,000 frames/s" --key "$key" --connections 4 --frames 100000 --rate 20000
run "encrypted, 100 persistent connections at 20,000 frames/s" --key "$key" --connections 100 --frames 100000 --rate 20000
run "UDP, 4 senders" --udp --connections 4 --frames 100000
run "UDP, 100 senders" --udp --connections 100 --frames 200000
run "UDP encrypted, 4 senders" --udp --key "$key" --connections 4 --frames 100000
run "UDP encrypted, 100 senders" --udp --key "$key" --connections 100 --frames 200000
run "UDP encrypted, 100 senders at 20,000 frames/s" --udp --key "$key" --connections 100 --frames 100000 --rate 20000
stop_server
when="stored"
start_server 1
run "4 persistent connections" --connections 4 --frames 20000
run "100 persistent connections" --connections 100 --frames 100000
run "100 persistent connections at 20,000 frames/s" --connections 100 --frames 100000 --rate 20000
run "one connection per frame (4 senders)" --per-frame --connections 4 --frames 10000
run "encrypted, 100 persistent connections at 20,000 frames/s" --key "$key" --connections 100 --frames 100000 --rate 20000
run "UDP encrypted, 100 senders at 20,000 frames/s" --udp --key "$key" --connections 100 --frames 100000 --rate 20000
stop_server
echo
echo "targets: >= 20,000 frames/s in total over persistent connections; >= 3,000 frames/s with one connection per frame; p99 < 2 ms (answered when received), < 3 ms (when stored); encrypted >= 50% of the unencrypted rate, p99 < 2 ms at 20,000 frames/s"
exit "$status"
