#!/usr/bin/env bash
# Static check of a built Windows module's binary contract (the 32-bit
# product and the 64-bit build alike): the file is the PE format asked for,
# the export directory names the module "diORX", every export of the .def
# file is there by name with its ordinal and nothing else is, no name is
# decorated, ordinal 1 stays free, and the module imports only libraries every
# Windows system has. Mirrors what the module contract test checks at run
# time; the build runs it after linking the module.
# Usage: check-pe-exports.sh diORX.dll diORX.def [pei-i386|pei-x86-64]
set -euo pipefail
dll=$1 def=$2 format=${3:-}
# The x86_64 objdump reads both formats.
objdump=${OBJDUMP:-}
if [ -z "$objdump" ]; then
  for tool in x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump objdump; do
    command -v "$tool" >/dev/null && { objdump=$tool; break; }
  done
fi
fail=0
problem() { echo "check-pe-exports: $*" >&2; fail=1; }

actual_format=$("$objdump" -f "$dll" | awk '/file format/ {print $NF; exit}')
if [ -n "$format" ] && [ "$actual_format" != "$format" ]; then
  problem "$dll is $actual_format, expected $format"
fi
dump=$("$objdump" -p "$dll")

name=$(awk '/^Name[ \t]/ && seen {print $NF; exit} /The Export Tables/ {seen=1}' <<<"$dump")
[ "$name" = diORX ] || problem "export directory names the module '$name', expected 'diORX'"

base=$(awk '/^Ordinal Base/ {print $NF; exit}' <<<"$dump")
[ -n "$base" ] || { problem "no export table in $dll"; exit 1; }

# "name ordinal" pairs, sorted, from the module and from the .def file.
actual=$(awk -v base="$base" '
  /\[Ordinal\/Name Pointer\] Table/ {t=1; next}
  t && /^[ \t]*$/ {t=0}
  t { gsub(/[][]/, " "); print $2, $1 + base }' <<<"$dump" | sort)
expected=$(awk '/^[ \t]+[A-Za-z_][A-Za-z0-9_]*[ \t]+@[0-9]+/ {sub("@", "", $2); print $1, $2}' "$def" | sort)
[ -n "$expected" ] || problem "no exports read from $def"

while read -r line; do
  [ -n "$line" ] && problem "missing or misnumbered export: $line (name ordinal)"
done < <(comm -23 <(echo "$expected") <(echo "$actual"))
while read -r line; do
  [ -n "$line" ] && problem "unexpected export: $line (name ordinal)"
done < <(comm -13 <(echo "$expected") <(echo "$actual"))
while read -r exp ord; do
  [ "$ord" = 1 ] && problem "$exp took ordinal 1"
  case $exp in *@*) problem "$exp is decorated (a stdcall name); exports use the C calling convention" ;; esac
done <<<"$actual"

imports=$(awk '/DLL Name:/ {print toupper($NF)}' <<<"$dump")
[ -n "$imports" ] || problem "no imports found"
for lib in $imports; do
  case $lib in
    KERNEL32.DLL|MSVCRT.DLL|OLEAUT32.DLL|USER32.DLL|ADVAPI32.DLL) ;;
    *) problem "imports $lib, which would have to ship beside the module" ;;
  esac
done

[ $fail = 0 ] && echo "check-pe-exports: $dll ($actual_format): $(wc -l <<<"$actual") exports, imports $(echo $imports)"
exit $fail
