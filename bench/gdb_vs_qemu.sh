#!/usr/bin/env bash
# The GDB server side by side with QEMU's gdb stub, in one run: the same gdb
# sessions against
#   qemu-system-arm -M lm3s6965evb -S -gdb tcp:127.0.0.1:PORT -kernel ELF
#   orxdbg gdbserver --port PORT --elf ELF
# bench/gdb_vs_qemu.gdb on demo_large.elf: 5 loads of the ~200 KiB image,
# 1,000 stepi, x/16384xw of RAM, 20 continues to a breakpoint in main's loop;
# bench/gdb_vs_qemu_stops.gdb on bench.elf: a conditional breakpoint that
# stops 1,001 times, next over 200 lines, finish x100, a run of 10^8
# instructions to a breakpoint, 50 hits of a watchpoint (the best kind each
# stub has, and software on both). Prints each phase's time, the rate where
# it counts stops, and the ratio server / QEMU; then each packet of those
# sessions timed alone against each stub. Not run by CI.
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
usage() { echo "usage: $0 [BUILD_DIR] [--poll-ms N] [--poll-fixed] [--repeat N]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --poll-ms) [ $# -ge 2 ] || usage; poll_ms=$2; shift 2 ;;
    --poll-fixed) poll_mode=(--poll-fixed); shift ;;
    --repeat) [ $# -ge 2 ] || usage; repeat=$2; shift 2 ;;
    *) usage ;;
  esac
done

cmake --build "$build" --target orxdbg firmware >/dev/null
elf=$build/firmware/demo_large.elf
stops_elf=$build/firmware/bench.elf
line=$(grep -n '++loop_count' firmware/main.c | head -1 | cut -d: -f1)
orxdbg=$build/bin/orxdbg
work=$(mktemp -d)
# shellcheck source=bench/bench_lib.sh
source "$root/bench/bench_lib.sh"
session() {  # port output-file
  gdb-multiarch -batch -nx -q "$elf" -ex "target remote 127.0.0.1:$1" -ex "set \$bench_line = $line" \
    -x "$root/bench/gdb_vs_qemu.gdb" >>"$2" 2>&1
}

stops_session() {  # port output-file
  gdb-multiarch -batch -nx -q "$stops_elf" -ex "target remote 127.0.0.1:$1" \
    -x "$root/bench/gdb_vs_qemu_stops.gdb" >>"$2" 2>&1
}

for round in $(seq "$repeat"); do
  start_qemu lm3s6965evb "$elf" -serial none
  session "$qemu_port" "$work/qemu.out"
  stop "$qemu_pid"
  start_server --elf "$elf" --poll-ms "$poll_ms" "${poll_mode[@]}"
  session "$server_port" "$work/server.out"
  stop "$server_pid"
  start_qemu lm3s6965evb "$stops_elf" -serial none
  stops_session "$qemu_port" "$work/qemu.out"
  stop "$qemu_pid"
  start_server --elf "$stops_elf" --poll-ms "$poll_ms" "${poll_mode[@]}"
  stops_session "$server_port" "$work/server.out"
  stop "$server_pid"
done

for f in qemu server; do
  if [ "$(grep -c '^BENCH ' "$work/$f.out")" -ne $((10 * repeat)) ]; then
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
join <(best "$work/qemu.out") <(best "$work/server.out") |
  awk '{ n = 0; if (match($1, /_x[0-9]+$/)) n = substr($1, RSTART + 2) + 0
         if (n > 0) printf "%-18s %10.4f %10.4f %12.1f %12.1f %8.2f\n", $1, $2, $3, n / $2, n / $3, $3 / $2
         else printf "%-18s %10.4f %10.4f %12s %12s %8.2f\n", $1, $2, $3, "-", "-", $3 / $2 }'

# Where the time goes: each packet gdb sends around a stop, timed alone on a
# raw connection to each stub (demo_large.elf, the breakpoint in main's
# loop): the stubs' own cost per packet, without gdb's work around it.
loop=$(gdb-multiarch -batch -nx "$elf" -ex "info line main.c:$line" | grep -o 'starts at address 0x[0-9a-f]*' | awk '{print $4}')
probe() {  # port
  python3 - "$1" "$loop" <<'PY'
import socket, sys, time
port, loop = int(sys.argv[1]), int(sys.argv[2], 16)
s = socket.create_connection(("127.0.0.1", port))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
pending = b""
def packet(payload):
    global pending
    s.sendall(b"$%s#%02x" % (payload.encode(), sum(payload.encode()) & 0xFF))
    while True:
        pending = pending.lstrip(b"+")
        start, end = pending.find(b"$"), pending.find(b"#")
        if 0 <= start < end and len(pending) >= end + 3:
            reply, pending = pending[start + 1:end], pending[end + 3:]
            return reply
        pending += s.recv(65536)
def each(name, n, action):
    start = time.perf_counter()
    for _ in range(n):
        action()
    print("PACKET %s %.1f" % (name, (time.perf_counter() - start) / n * 1e6))
packet("QStartNoAckMode")
each("m_4_bytes", 300, lambda: packet("m%x,4" % loop))
each("g", 300, lambda: packet("g"))
each("vCont;s", 300, lambda: packet("vCont;s"))
each("Z1+z1", 100, lambda: (packet("Z1,%x,2" % loop), packet("z1,%x,2" % loop)))
packet("Z1,%x,2" % loop)
def step_and_continue():
    packet("vCont;s")
    assert packet("vCont;c").startswith(b"T05")
packet("vCont;c")
each("vCont;s+vCont;c_to_bp", 30, step_and_continue)
packet("z1,%x,2" % loop)
packet("D")
PY
}
start_qemu lm3s6965evb "$elf" -serial none
probe "$qemu_port" >"$work/qemu.packets"
stop "$qemu_pid"
start_server --elf "$elf" --poll-ms "$poll_ms" "${poll_mode[@]}"
probe "$server_port" >"$work/server.packets"
stop "$server_pid"
echo
echo "each packet alone on a raw connection, microseconds"
printf '%-24s %10s %10s %8s\n' packet "QEMU us" "server us" ratio
join <(awk '{print $2, $3}' "$work/qemu.packets" | sort) <(awk '{print $2, $3}' "$work/server.packets" | sort) |
  awk '{printf "%-24s %10.1f %10.1f %8.2f\n", $1, $2, $3, $3 / $2}'
