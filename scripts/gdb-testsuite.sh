#!/usr/bin/env bash
# Runs a selection of gdb's own testsuite (gdb.base, from Debian's gdb-source)
# with gdb-multiarch against bare-metal Cortex-M programs built on newlib's
# semihosting library, prints runtest's summary and checks the failures:
#
#   --board cortexm          the in-process Cortex-M behind orxdbg gdbserver (default)
#   --board qemu:mps2-an385  QEMU's mps2-an385 behind orxdbg gdbserver
#   --board qemu-stub        QEMU's mps2-an385 through QEMU's own gdb stub: the
#                            reference to compare with, not checked
#   --build DIR              the build tree with bin/orxdbg (default build/native)
#   --tests "a.exp b.exp"    run these gdb.base tests instead of the selection
#
# The testsuite is unpacked and configured once under DIR/gdbtestsuite; each
# board's results (gdb.sum, gdb.log, the servers' log) are in
# DIR/gdbtestsuite/<board>/. On our boards the run fails on any FAIL or
# UNRESOLVED that tests/gdbtestsuite/known-failures/<board>.txt does not list.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() { echo "usage: scripts/gdb-testsuite.sh [--board cortexm|qemu:mps2-an385|qemu-stub] [--build DIR] [--tests \"a.exp ...\"]" >&2; exit 2; }
board=cortexm
build=$root/build/native
tests=""
while [ $# -gt 0 ]; do
  case $1 in
    --board) [ $# -ge 2 ] || usage; board=$2; shift 2 ;;
    --build) [ $# -ge 2 ] || usage; build=$(cd "$2" && pwd); shift 2 ;;
    --tests) [ $# -ge 2 ] || usage; tests=$2; shift 2 ;;
    *) usage ;;
  esac
done
case $board in
  cortexm) board_file=diorx-cortexm; name=cortexm ;;
  qemu:mps2-an385) board_file=diorx-mps2-an385; name=mps2-an385 ;;
  qemu-stub) board_file=qemu-stub-mps2-an385; name=qemu-stub ;;
  *) usage ;;
esac

# The selection: tests that fit a bare-metal program on a stub. Left out:
# the tests of signals, processes, shared libraries, program arguments and
# the program's input, which a bare-metal target has none of.
selection=(break.exp step-test.exp finish.exp return.exp until.exp advance.exp display.exp
           watchpoint.exp recurse.exp callfuncs.exp setvar.exp printcmds.exp funcargs.exp
           store.exp condbreak.exp ending-run.exp)
[ -n "$tests" ] && read -r -a selection <<<"$tests"

tarball=/usr/src/gdb.tar.xz
for need in runtest gdb-multiarch arm-none-eabi-gcc; do
  command -v "$need" >/dev/null || { echo "gdb-testsuite: $need missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
[ -f "$tarball" ] || { echo "gdb-testsuite: $tarball missing (package gdb-source)" >&2; exit 2; }
if [ "$board" != qemu-stub ]; then
  export ORXDBG=$build/bin/orxdbg
  [ -x "$ORXDBG" ] || { echo "gdb-testsuite: $ORXDBG not built" >&2; exit 2; }
fi

# The testsuite's sources: gdb/testsuite and the configure helpers two
# levels up, unpacked once (under a lock: CTest runs the boards side by side).
top=$build/gdbtestsuite
src=$top/src
mkdir -p "$top"
(
  flock 9
  if [ ! -f "$src/gdb/testsuite/configure" ]; then
    rm -rf "$src" "$src.part"
    mkdir -p "$src.part"
    tar xJf "$tarball" -C "$src.part" --strip-components=1 \
        gdb/gdb/testsuite gdb/gdb/silent-rules.mk gdb/gdb/disable-implicit-rules.mk gdb/config.guess gdb/config.sub gdb/install-sh
    mv "$src.part" "$src"
  fi
) 9>"$top/.unpack.lock"

# One configured build directory per board, so that the boards' results
# stay apart.
obj=$top/$name
mkdir -p "$obj"
if [ ! -f "$obj/site.exp" ]; then
  (cd "$obj" && "$src/gdb/testsuite/configure" --target=arm-none-eabi >configure.log 2>&1 &&
     make site.exp >>configure.log 2>&1) || { cat "$obj/configure.log" >&2; exit 1; }
  # Our boards come first; the testsuite's own follow.
  echo "lappend boards_dir $root/tests/gdbtestsuite/boards" >>"$obj/site.exp"
fi

rm -f "$obj/gdb.sum" "$obj/gdb.log" "$obj/diorx-server.log"
start=$SECONDS
(cd "$obj" && runtest --tool gdb --target_board="$board_file" GDB=gdb-multiarch \
     "${selection[@]/#/gdb.base/}" >runtest.out 2>&1) || true
seconds=$((SECONDS - start))
[ -f "$obj/gdb.sum" ] || { tail -20 "$obj/runtest.out" >&2; echo "gdb-testsuite: runtest wrote no gdb.sum" >&2; exit 1; }

echo "gdb's testsuite on $board: ${#selection[@]} files in $seconds s (results in $obj)"
sed -n '/=== gdb Summary ===/,$p' "$obj/gdb.sum"

[ "$board" = qemu-stub ] && exit 0

# Any FAIL or UNRESOLVED not in the board's list of known failures fails the
# run; a listed one that passed now is shown so that the list shrinks.
known=$root/tests/gdbtestsuite/known-failures/$name.txt
seen=$(grep -E '^(FAIL|UNRESOLVED|ERROR): ' "$obj/gdb.sum" | sort -u || true)
listed=$(grep -vE '^[[:space:]]*(#|$)' "$known" 2>/dev/null | sort -u || true)
new=$(comm -23 <(printf '%s\n' "$seen" | sed '/^$/d') <(printf '%s\n' "$listed" | sed '/^$/d'))
gone=$(comm -13 <(printf '%s\n' "$seen" | sed '/^$/d') <(printf '%s\n' "$listed" | sed '/^$/d'))
if [ -z "$tests" ] && [ -n "$gone" ]; then
  echo "known failures that did not happen (remove them from ${known#$root/}):"
  sed 's/^/  /' <<<"$gone"
fi
if [ -n "$new" ]; then
  echo "gdb-testsuite: failures on $board that ${known#$root/} does not list:" >&2
  sed 's/^/  /' <<<"$new" >&2
  exit 1
fi
echo "gdb-testsuite: no failures on $board beyond the known ones"
