#!/usr/bin/env bash
# Runs one command inside a full-system x86-64 guest (QEMU, software
# emulation) whose kernel executes 32-bit programs, for machines whose own
# kernel refuses them. The guest sees this machine's root read-only (its
# writes go to a layer in guest memory that is thrown away) and the build
# tree writable at the same path, so that the command works on the same
# files as here. The command runs in the current folder, with the WINE* and
# GTEST_* variables of this environment; its output streams here, and its
# exit status is this script's.
#
#   scripts/run32.sh [--timeout SECONDS] [--cpus N] [--memory MIB] [--] COMMAND [ARG...]
#
# The current folder must be visible in the guest (anything under / is).
# Exit status: the command's; 124 when the timeout ended the guest, 125 when
# the guest failed before the command finished (its console log is shown).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
share=${DIORX_GUEST_SHARE:-$root/build}
timeout_s=3600
cpus=2
memory=4096
while [ $# -gt 0 ]; do
  case $1 in
    --timeout) timeout_s=$2; shift 2 ;;
    --cpus) cpus=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "run32: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: run32.sh [--timeout SECONDS] [--cpus N] [--memory MIB] [--] COMMAND [ARG...]" >&2; exit 2; }

mkdir -p "$share"
share=$(cd "$share" && pwd)
guest=$share/guest32
bash "$root/scripts/setup-guest32.sh" "$guest"

run=$(mktemp -d "$guest/run.XXXXXX")
{
  echo "# written by run32.sh"
  echo "set -o pipefail"
  while IFS='=' read -r name _; do
    case $name in WINE*|GTEST_*|CTEST_*|DIORX_*) printf 'export %s=%q\n' "$name" "${!name}" ;; esac
  done < <(env)
  printf 'cd %q || exit 126\n' "$PWD"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$run/cmd.sh"
: >"$run/out"

qemu_pid=""
tail_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null && wait "$qemu_pid" 2>/dev/null
  [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
  rm -rf "$run"
}
trap cleanup EXIT
trap 'echo "run32: interrupted" >&2; exit 130' INT TERM HUP

# SMAP off: with it, every Wine process dies with an oops in this guest.
# No network card, no reboot: a panic or a power-off ends QEMU.
timeout -s TERM "$timeout_s" qemu-system-x86_64 \
  -accel tcg,thread=multi -cpu max,-smap -smp "$cpus" -m "$memory" \
  -kernel "$guest/vmlinuz" -initrd "$guest/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1 diorx.share=$share diorx.run=$run" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$share,mount_tag=share,security_model=none,multidevs=remap" \
  -nic none -display none -monitor none -serial "file:$run/console.log" -no-reboot \
  </dev/null &
qemu_pid=$!
tail -n +1 -f --pid="$qemu_pid" "$run/out" &
tail_pid=$!
status=0
wait "$qemu_pid" || status=$?
qemu_pid=""
wait "$tail_pid" 2>/dev/null || true
tail_pid=""

if [ "$status" = 124 ]; then
  echo "run32: the guest was stopped after ${timeout_s}s" >&2
  exit 124
fi
if [ ! -f "$run/rc" ]; then
  echo "run32: the guest ended (QEMU status $status) before the command finished; its console:" >&2
  tail -n 40 "$run/console.log" >&2 || true
  exit 125
fi
exit "$(cat "$run/rc")"
