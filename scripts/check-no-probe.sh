#!/bin/bash
# Fails when a tool program carries the tests' probe on the simulated host.
# usage: check-no-probe.sh NM PROGRAM
# The program must show the host itself (else its symbol table is unreadable
# or stripped and the check would prove nothing) and no symbol of the probe.
set -u
nm_tool=$1
program=$2
symbols=$("$nm_tool" -C "$program") || { echo "cannot read the symbols of $program"; exit 1; }
if ! grep -q 'sim::Host::Instance' <<<"$symbols"; then
    echo "$program: no sim::Host symbol: the symbol table proves nothing"
    exit 1
fi
probe=$(grep -E 'sim::(TestProbe|CallLog)\b' <<<"$symbols")
if [ -n "$probe" ]; then
    echo "$program links the tests' probe:"
    head -5 <<<"$probe"
    exit 1
fi
echo "$program: the host without the probe"
