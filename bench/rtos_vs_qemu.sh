#!/usr/bin/env bash
# gdb on the FreeRTOS application (firmware/freertos) through orxdbg
# gdbserver on QEMU's mps2-an385 side by side with gdb on QEMU's own stub, in
# one run: 1,000 breakpoint stops in the idle task (its hook) and 1,000 in the
# producer task, each a conditional breakpoint false 999 times, then true.
#   qemu-system-arm -M mps2-an385 -S -gdb tcp:127.0.0.1:PORT -kernel freertos.elf
#   orxdbg gdbserver --target qemu:mps2-an385 --port 0   (load, monitor reset)
# Prints each phase's time and the ratio server / QEMU. Not run by CI.
# --poll-ms N goes to the server (how often, at most, it looks whether the
# running core has stopped).
#
# usage: bench/rtos_vs_qemu.sh [BUILD_DIR] [--repeat N] [--poll-ms N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/native
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$1; shift; fi
repeat=1
server_options=()
usage() { echo "usage: $0 [BUILD_DIR] [--repeat N] [--poll-ms N]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --repeat) [ $# -ge 2 ] || usage; repeat=$2; shift 2 ;;
    --poll-ms) [ $# -ge 2 ] || usage; server_options=(--poll-ms "$2"); shift 2 ;;
    *) usage ;;
  esac
done

cmake --build "$build" --target orxdbg firmware_freertos -j1 >/dev/null
elf=$build/firmware/freertos.elf
orxdbg=$build/bin/orxdbg
work=$(mktemp -d)
# shellcheck source=bench/bench_lib.sh
source "$root/bench/bench_lib.sh"
session() {  # port reset output-file
  gdb-multiarch -batch -nx -q "$elf" -ex "target remote 127.0.0.1:$1" -ex "set \$bench_reset = $2" \
    -x "$root/bench/rtos_vs_qemu.gdb" >>"$3" 2>&1
}

for round in $(seq "$repeat"); do
  start_qemu mps2-an385 "$elf" -display none -nodefaults -serial null
  session "$qemu_port" 0 "$work/qemu.out"
  stop "$qemu_pid"
  start_server --target qemu:mps2-an385 "${server_options[@]}"
  session "$server_port" 1 "$work/server.out"
  stop "$server_pid"
done

for f in qemu server; do
  if [ "$(grep -c '^BENCH ' "$work/$f.out")" -ne $((2 * repeat)) ] ||
     [ "$(grep -c '^HITS [a-z_0-9]* 1000$' "$work/$f.out")" -ne $((2 * repeat)) ]; then
    echo "the sessions against $f did not complete:" >&2
    cat "$work/$f.out" >&2
    exit 1
  fi
done

echo "gdb-multiarch on freertos.elf: QEMU mps2-an385's own stub and orxdbg gdbserver --target qemu:mps2-an385 ${server_options[*]}, best of $repeat"
printf '%-18s %10s %10s %8s\n' phase "direct s" "server s" ratio
join <(best "$work/qemu.out") <(best "$work/server.out") |
  awk '{printf "%-18s %10.4f %10.4f %8.2f\n", $1, $2, $3, $3 / $2}'
