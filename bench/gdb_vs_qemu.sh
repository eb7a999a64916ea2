#!/usr/bin/env bash
# The GDB server side by side with QEMU's gdb stub, in one run: the same gdb
# sessions against
#   qemu-system-arm -M lm3s6965evb -S -gdb tcp:127.0.0.1:PORT -kernel ELF
#   orxdbg gdbserver --port PORT --elf ELF
# bench/gdb_vs_qemu.gdb on demo_large.elf: 5 loads of the ~200 KiB image,
# 1,000 stepi, x/16384xw of RAM, 20 continues to a breakpoint in main's loop;
# bench/gdb_vs_qemu_stops.gdb on bench.elf: a conditional breakpoint that
# stops 1,001 times, next over 200 lines, finish x100, a run of 10^8
# instructions to a breakpoint, 50 hits of a watchpoint. Prints each phase's
# time, the rate where it counts stops, and the ratio server / QEMU. Not run
# by CI.
#
# On a busy machine the times wander: --repeat N runs the sessions N times,
# QEMU's and the server's in turn, and keeps each phase's shortest time.
#
# usage: bench/gdb_vs_qemu.sh [BUILD_DIR] [--poll-ms N] [--poll-fixed] [--repeat N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/native
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$1; shift; fi
poll_ms=10
poll_mode=()
repeat=1
while [ $# -gt 0 ]; do
  case $1 in
    --poll-ms) poll_ms=$2; shift 2 ;;
    --poll-fixed) poll_mode=(--poll-fixed); shift ;;
    --repeat) repeat=$2; shift 2 ;;
    *) echo "usage: $0 [BUILD_DIR] [--poll-ms N] [--poll-fixed] [--repeat N]" >&2; exit 2 ;;
  esac
done

cmake --build "$build" --target orxdbg firmware >/dev/null
elf=$build/firmware/demo_large.elf
stops_elf=$build/firmware/bench.elf
line=$(grep -n '++loop_count' firmware/main.c | head -1 | cut -d: -f1)
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_listening() {  # port: wait until something listens, without connecting
  local hex; hex=$(printf '%04X' "$1")
  for _ in $(seq 200); do
    awk '{print $2, $4}' /proc/net/tcp | grep -q ":$hex 0A" && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}
session() {  # port output-file
  gdb-multiarch -batch -nx -q "$elf" -ex "target remote 127.0.0.1:$1" -ex "set \$bench_line = $line" \
    -x "$root/bench/gdb_vs_qemu.gdb" >>"$2" 2>&1
}

start_qemu() {  # elf: sets qemu_pid, qemu_port
  qemu_port=$(free_port)
  qemu-system-arm -M lm3s6965evb -S -nographic -monitor none -serial none \
    -gdb "tcp:127.0.0.1:$qemu_port" -kernel "$1" >>"$work/qemu.log" 2>&1 &
  qemu_pid=$!
  pids+=($qemu_pid)
  wait_listening "$qemu_port"
}
start_server() {  # elf: sets server_pid, server_port
  : >"$work/server.log"
  "$build/bin/orxdbg" gdbserver --port 0 --elf "$1" --poll-ms "$poll_ms" "${poll_mode[@]}" >"$work/server.log" 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  for _ in $(seq 200); do grep -q 'listening on' "$work/server.log" && break; sleep 0.05; done
  server_port=$(grep -o 'listening on 127.0.0.1:[0-9]*' "$work/server.log" | cut -d: -f2)
}
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }
stops_session() {  # port output-file
  gdb-multiarch -batch -nx -q "$stops_elf" -ex "target remote 127.0.0.1:$1" \
    -x "$root/bench/gdb_vs_qemu_stops.gdb" >>"$2" 2>&1
}

for round in $(seq "$repeat"); do
  start_qemu "$elf"
  session "$qemu_port" "$work/qemu.out"
  stop "$qemu_pid"
  start_server "$elf"
  session "$server_port" "$work/server.out"
  stop "$server_pid"
  start_qemu "$stops_elf"
  stops_session "$qemu_port" "$work/qemu.out"
  stop "$qemu_pid"
  start_server "$stops_elf"
  stops_session "$server_port" "$work/server.out"
  stop "$server_pid"
done
# The raw continue below needs the server on demo_large.elf.
start_server "$elf"

for f in qemu server; do
  if [ "$(grep -c '^BENCH ' "$work/$f.out")" -ne $((9 * repeat)) ]; then
    echo "the sessions against $f did not complete:" >&2
    cat "$work/$f.out" >&2
    exit 1
  fi
done

mode="adaptive wait, ceiling $poll_ms ms"
[ ${#poll_mode[@]} -eq 0 ] || mode="fixed period $poll_ms ms"
echo "gdb-multiarch against QEMU lm3s6965evb and orxdbg gdbserver ($mode), $(arm-none-eabi-size "$elf" | awk 'NR==2{print $1+$2}') byte image, best of $repeat"
echo "watchpoints: QEMU $(awk '/^WATCH /{print $2; exit}' "$work/qemu.out"), server $(awk '/^WATCH /{print $2; exit}' "$work/server.out")"
printf '%-18s %10s %10s %12s %12s %8s\n' phase "QEMU s" "server s" "QEMU /s" "server /s" ratio
best() {  # file: each phase's shortest time
  grep '^BENCH ' "$1" | awk '!($2 in t) || $3 < t[$2] {t[$2] = $3} END {for (p in t) print p, t[p]}' | sort
}
join <(best "$work/qemu.out") <(best "$work/server.out") |
  awk '{ n = 0; if (match($1, /_x[0-9]+$/)) n = substr($1, RSTART + 2) + 0
         if (n > 0) printf "%-18s %10.4f %10.4f %12.1f %12.1f %8.2f\n", $1, $2, $3, n / $2, n / $3, $3 / $2
         else printf "%-18s %10.4f %10.4f %12s %12s %8.2f\n", $1, $2, $3, "-", "-", $3 / $2 }'
cont=$(best "$work/server.out" | awk '$1 == "continue_x20" {print $2}')
awk -v t="$cont" -v p="$poll_ms" 'BEGIN{printf "gdb continue to a breakpoint through the server: %.2f ms each, %.2f poll periods\n", t / 20 * 1000, t / 20 * 1000 / p}'

# The server's own part of a continue: vCont;c to the stop reply, without
# gdb's work around it, on a raw connection (the detached core runs on).
loop=$(gdb-multiarch -batch -nx "$elf" -ex "info line main.c:$line" | grep -o 'starts at address 0x[0-9a-f]*' | awk '{print $4}')
python3 - "$server_port" "$loop" "$poll_ms" <<'PY'
import socket, sys, time
port, loop, poll_ms = int(sys.argv[1]), int(sys.argv[2], 16), float(sys.argv[3])
s = socket.create_connection(("127.0.0.1", port))
pending = b""
def packet(payload):
    global pending
    s.sendall(b"$%s#%02x" % (payload.encode(), sum(payload.encode()) & 0xFF))
    while True:
        start, end = pending.find(b"$"), pending.find(b"#")
        if 0 <= start < end and len(pending) >= end + 3:
            reply, pending = pending[start + 1:end], pending[end + 3:]
            return reply
        pending += s.recv(65536)
packet("QStartNoAckMode")
packet("Z1,%x,2" % loop)
packet("vCont;c")
begin = time.perf_counter()
for _ in range(20):
    assert packet("vCont;c").startswith(b"T05")
each = (time.perf_counter() - begin) / 20 * 1000
print("vCont;c to a breakpoint, server alone: %.2f ms each, %.2f poll periods" % (each, each / poll_ms))
packet("z1,%x,2" % loop)
packet("D")
PY
