#!/usr/bin/env bash
# Runs the 32-bit Windows suites of a win32 build under 32-bit Wine, here or
# (through scripts/run32.sh) inside the test guest. Prints how long each step
# took.
#
#   scripts/win32-suites.sh BUILD_DIR quick|all|prefix
#
# quick: the binary contract of the built module, loaded the way a front-end
#        loads it: the export directory (name, ordinals, imports), the C
#        calling convention with the caller cleaning the stack (fixed answers
#        called with any number of arguments), the records passed by value,
#        and one session from open through a download, a breakpoint and a
#        continue to close (module_tests: ModuleContract.*, ModuleSession.*).
# all:   every suite of the build (ctest).
# prefix: only make sure the Wine prefix exists.
#
# The Wine prefix is $WINEPREFIX (default: build/wineprefix32 beside the
# build folder); it is made once, as a 32-bit prefix, and kept.
set -euo pipefail
build=$(cd "$1" && pwd)
set_name=$2
export WINEPREFIX=${WINEPREFIX:-$(dirname "$build")/wineprefix32}
export WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
quick_filter='ModuleContract.*:ModuleSession.*'

step_start=0
step() { step_start=$(date +%s); echo "---- win32: $1"; }
took() { echo "---- win32: $1 took $(( $(date +%s) - step_start )) s"; }

# A prefix is whole only once wineboot has finished: a run cut short leaves
# one behind that is made again from scratch.
if [ ! -f "$WINEPREFIX/.diorx-complete" ]; then
  step "creating the 32-bit Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  # The first start may give up waiting (slowly emulated, it can take minutes)
  # while wineboot goes on making the prefix; wineserver -w waits for all.
  wine cmd /c exit >/dev/null 2>&1 || true
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
    echo "win32-suites: the Wine prefix was not made" >&2
    exit 1
  fi
  touch "$WINEPREFIX/.diorx-complete"
  took "prefix"
fi
[ "$set_name" = prefix ] && exit 0

# One wineserver for the whole series: each Wine start then finds the
# registry loaded instead of loading it again.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit >/dev/null 2>&1 || true

# In the test guest, Wine loads programs from the 9p share with pages of
# zeros in them; it runs them from a copy in guest memory, at the same path.
if [ -n "${DIORX_GUEST:-}" ]; then
  mkdir -p /tmp/win32-bin
  cp -a "$build/bin/." /tmp/win32-bin/
  mount --bind /tmp/win32-bin "$build/bin"
fi

cd "$build"
case $set_name in
  quick)
    step "quick set (module_tests: $quick_filter)"
    GTEST_FILTER=$quick_filter ctest --output-on-failure -j 1 -R '^module_tests$' --timeout "${DIORX_WIN32_TIMEOUT:-1500}"
    took "quick set"
    ;;
  all)
    step "all suites"
    ctest --output-on-failure -j 1 --timeout "${DIORX_WIN32_TIMEOUT:-1500}"
    took "all suites"
    ;;
  *) echo "win32-suites: unknown set $set_name (quick, all or prefix)" >&2; exit 2 ;;
esac
