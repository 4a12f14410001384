#!/usr/bin/env bash
# Comlan benchmark: a real ORV_Serv channel through Comlan --headless to a receiver-output device
# on a pseudo-terminal that answers every frame with ACK at once.
#  - throughput: lines queued in the channel beforehand, then drained through Comlan into
#    orv-comsink (lines per second as the device sees them);
#  - latency: one event at a time into an idle bridge, from the module's push to the frame's DC4
#    on the pseudo-terminal (p50/p99).
# Run from the repository root after a build.
set -euo pipefail

bin=build/bin
lines=${COMLAN_BENCH_LINES:-20000}
samples=${COMLAN_BENCH_SAMPLES:-500}
dir=$(mktemp -d)
server=; comlan=; sink=
cleanup() {
  for p in $comlan $sink $server; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
gport=$(free_port); oport=$(free_port)
mkdir -p "$dir/serv" "$dir/comlan"

cat > "$dir/serv/ORV_Serv.ini" <<INI
[Options]
U_Fl=0
Durable=0
[GPRS0]
Port=$gport
Line=1
[Out]
Port=$oport
[Client0]
Id=Bank
QSize=$((lines + 1000))
INI
"$bin/ORV_Serv" --headless --dir "$dir/serv" 2>"$dir/server.log" &
server=$!
for _ in $(seq 100); do grep -q "^running" "$dir/server.log" && break; sleep 0.1; done

# A module on the GPRS line: pushes events, one answer each. $1: mode (fill N | latency N).
pusher() {
  python3 - "$gport" "$@" <<'PY'
import os, socket, sys, time, pty, subprocess, select, tty
port, mode, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
s = socket.create_connection(("127.0.0.1", port))
f = s.makefile("rb")
f.readline()  # banner
def say(line):
    s.sendall(line.encode() + b"\r\n")
    return f.readline().strip()
say("a1234,1234")
if mode == "fill":
    for n in range(count):
        if say("M06,1234,13%06d:081226 101112" % (n % 1000000)) != b"0":
            sys.exit("event not taken")
    sys.exit(0)

# latency: this process is the device; Comlan opens the other end of its pseudo-terminal.
comlan_dir, comlan_bin, oport = sys.argv[4], sys.argv[5], sys.argv[6]
master, slave = pty.openpty()
tty.setraw(master)
with open(os.path.join(comlan_dir, "Comlan.ini"), "w") as ini:
    ini.write("[Com]\nPort=3\nBaudRate=115200\n[TCP]\nHost=127.0.0.1\nPort=%s\nId=Bank\n"
              "[Ports]\nCOM3=%s\n" % (oport, os.ttyname(slave)))
proc = subprocess.Popen([comlan_bin, "--headless", "--dir", comlan_dir],
                        stderr=open(os.path.join(comlan_dir, "comlan.log"), "w"))
buf = b""
def frame(limit=10.0):
    global buf
    end = time.monotonic() + limit
    while b"\x14" not in buf:
        left = end - time.monotonic()
        if left <= 0 or not select.select([master], [], [], left)[0]:
            return None
        buf += os.read(master, 4096)
    i = buf.index(b"\x14")
    f_, buf = buf[:i], buf[i + 1:]
    return f_
try:
    # Whatever the channel holds first (its answer, the link line, earlier events) is drained.
    while frame(3.0) is not None:
        os.write(master, b"\x06")
    lat = []
    for n in range(count):
        time.sleep(0.02)  # idle: the bridge waits in its receive
        t0 = time.monotonic()
        s.sendall(b"M06,1234,14%06d\r\n" % n)
        got = frame()
        t1 = time.monotonic()
        if got is None:
            sys.exit("no frame for event %d" % n)
        os.write(master, b"\x06")
        lat.append((t1 - t0) * 1e6)
        if f.readline().strip() != b"0":
            sys.exit("event not taken")
    lat.sort()
    q = lambda p: lat[min(len(lat) - 1, int(p * len(lat)))]
    print("latency-us p50 %.0f p99 %.0f max %.0f samples %d" % (q(0.5), q(0.99), lat[-1], len(lat)))
finally:
    proc.terminate()
    proc.wait()
PY
}

status=0
echo "== Comlan bridge (ORV_Serv channel -> Comlan -> device on a pseudo-terminal, ACK at once)"

# Throughput: fill the channel first, then let Comlan drain it into orv-comsink.
pusher fill "$lines"
# The channel answer and the module's link line come before the events.
"$bin/orv-comsink" --pty --quiet --count $((lines + 2)) --seconds 120 >"$dir/sink.out" 2>"$dir/sink.err" &
sink=$!
for _ in $(seq 50); do grep -q "^pty: " "$dir/sink.out" && break; sleep 0.1; done
pty=$(awk '/^pty: / { print $2; exit }' "$dir/sink.out")
cat > "$dir/comlan/Comlan.ini" <<INI
[Com]
Port=3
BaudRate=115200
[TCP]
Host=127.0.0.1
Port=$oport
Id=Bank
[Ports]
COM3=$pty
INI
"$bin/Comlan" --headless --dir "$dir/comlan" 2>"$dir/comlan.log" &
comlan=$!
if ! wait "$sink"; then
  echo "comlan_bench: orv-comsink reported errors" >&2
  head -5 "$dir/sink.err" >&2
  status=1
fi
sink=
kill "$comlan" && wait "$comlan" || true
comlan=
summary=$(grep '^frames' "$dir/sink.out" || true)
rate=$(awk '{ for (i = 1; i < NF; i++) v[$i] = $(i + 1) } END { print v["frames-per-second"] }' <<<"$summary")

# Latency, one event at a time into the idle bridge.
lat=$(pusher latency "$samples" "$dir/comlan" "$bin/Comlan" "$oport") || status=1
read -r p50 p99 max < <(awk '/^latency-us/ { printf "%.2f %.2f %.2f\n", $3/1000, $5/1000, $7/1000 }' <<<"$lat")

echo "| lines drained | lines/s | idle push->frame p50 ms | p99 ms | max ms |"
echo "|---:|---:|---:|---:|---:|"
echo "| $lines | ${rate:-?} | ${p50:-?} | ${p99:-?} | ${max:-?} |"
echo
echo "targets: >= 2,000 lines/s; push->frame p99 < 2 ms when idle"
exit "$status"
