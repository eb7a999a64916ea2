#!/usr/bin/env bash
# gdb through orxdbg gdbserver on a QEMU board side by side with gdb on that
# board's own QEMU gdb stub, in one run: the same gdb session against
#   qemu-system-arm -M mps2-an385 -S -gdb tcp:127.0.0.1:PORT -kernel ELF
#     (the other options as sim/qemu/QemuCore.cpp starts QEMU)
#   orxdbg gdbserver --target qemu:mps2-an385 --elf ELF --port 0
# bench/boards_vs_qemu.gdb on mps2_irq.elf: 3 loads of the image, 1,000
# stepi, x/16384xw of RAM (all 64 KiB of it), and a conditional breakpoint on
# task A's work function hit 1,000 times (its condition on the task's counter
# false 999 times, then true). Prints each phase's time and the ratio
# server / QEMU. Then the time orxdbg takes from its start to the end of a
# trivial session (-c open: the module opened, the processor answering,
# closed) for each board it knows and for the default in-process target.
# Not run by CI.
#
# On a busy machine the times wander: --repeat N runs the sessions N times,
# QEMU's and the server's in turn, and keeps each phase's shortest time.
#
# usage: bench/boards_vs_qemu.sh [BUILD_DIR] [--repeat N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/native
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$1; shift; fi
repeat=1
usage() { echo "usage: $0 [BUILD_DIR] [--repeat N]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --repeat) [ $# -ge 2 ] || usage; repeat=$2; shift 2 ;;
    *) usage ;;
  esac
done

cmake --build "$build" --target orxdbg firmware -j1 >/dev/null
elf=$build/firmware/mps2_irq.elf
orxdbg=$build/bin/orxdbg
work=$(mktemp -d)
# shellcheck source=bench/bench_lib.sh
source "$root/bench/bench_lib.sh"
session() {  # port reset output-file
  gdb-multiarch -batch -nx -q "$elf" -ex "target remote 127.0.0.1:$1" -ex "set \$bench_reset = $2" \
    -x "$root/bench/boards_vs_qemu.gdb" >>"$3" 2>&1
}
for round in $(seq "$repeat"); do
  start_qemu mps2-an385 "$elf" -display none -nodefaults -serial null
  session "$qemu_port" 0 "$work/qemu.out"
  stop "$qemu_pid"
  # The server starts QEMU itself.
  start_server --target qemu:mps2-an385 --elf "$elf"
  session "$server_port" 1 "$work/server.out"
  stop "$server_pid"
done

for f in qemu server; do
  if [ "$(grep -c '^BENCH ' "$work/$f.out")" -ne $((4 * repeat)) ] ||
     [ "$(grep -c '^HITS 1000$' "$work/$f.out")" -ne "$repeat" ]; then
    echo "the sessions against $f did not complete:" >&2
    cat "$work/$f.out" >&2
    exit 1
  fi
done

echo "gdb-multiarch on mps2_irq.elf ($(arm-none-eabi-size "$elf" | awk 'NR==2{print $1+$2}') byte image): QEMU mps2-an385's own stub and orxdbg gdbserver --target qemu:mps2-an385, best of $repeat"
printf '%-18s %10s %10s %8s\n' phase "direct s" "server s" ratio
join <(best "$work/qemu.out") <(best "$work/server.out") |
  awk '{printf "%-18s %10.4f %10.4f %8.2f\n", $1, $2, $3, $3 / $2}'

# orxdbg from its start to the end of a trivial session, each target.
echo
echo "orxdbg --target BOARD -c open, start to exit, best of $repeat"
printf '%-26s %10s\n' target seconds
targets=$("$orxdbg" --help 2>&1 | awk '/--target BOARD/ {on = 1; next} on && /^  --/ {on = 0} on && $1 ~ /^(cortexm|qemu:)/ {print $1}')
for target in $targets; do
  t_best=
  for _ in $(seq "$repeat"); do
    start=$(date +%s.%N)
    if ! "$orxdbg" --target "$target" -c open >"$work/open.out" 2>&1; then
      echo "orxdbg --target $target -c open failed:" >&2
      cat "$work/open.out" >&2
      exit 1
    fi
    t=$(echo "$(date +%s.%N) - $start" | bc)
    if [ -z "$t_best" ] || [ "$(echo "$t < $t_best" | bc)" = 1 ]; then t_best=$t; fi
  done
  printf '%-26s %10.3f\n' "$target" "$t_best"
done
