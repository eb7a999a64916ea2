#!/usr/bin/env python3
"""Z80 instructions per second in the sample program's counting loop, through
orxdbg: the time from orxdbg's `continue` to its stop at `done` after ROUNDS
rounds of the loop, each round's instructions counted by stepping 65536 of
them. Prints one table row.

usage: bench/eightbit_ips.py ORXDBG Z80_HEX [ROUNDS]"""
import subprocess
import sys
import time

orxdbg, image = sys.argv[1], sys.argv[2]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2_000_000
steps = 65536
commands = ["load " + image, "reset", "break done", "continue", "delete",
            "write mem rounds " + " ".join(str(b) for b in rounds.to_bytes(4, "little")),
            "step %d" % steps, "x/1uw counter", "break done", "continue", "x/1uw counter"]
argv = [orxdbg, "--target", "z80", "--timeout", "120"]
for c in commands:
    argv += ["-c", c]
tool = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0)
lines = []  # (time, text)
for raw in iter(tool.stdout.readline, b""):
    lines.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))
if tool.wait() != 0:
    sys.exit("orxdbg failed:\n" + "\n".join(text for _, text in lines))
texts = [text for _, text in lines]
counters = [int(t.split()[-1]) for t in texts if "<counter>:" in t]
after_step = counters[0]
continues = [i for i, t in enumerate(texts) if t == "> continue"]
start = lines[continues[-1]][0]
stop = next(when for when, text in lines[continues[-1]:] if text.startswith("status: breakpoint"))
per_round = steps / after_step
instructions = (rounds - after_step) * per_round
seconds = stop - start
print("| Z80: instructions per second in the counting loop, through orxdbg (goal >= 20 M) | %10.1f M/s |"
      % (instructions / seconds / 1e6))
print("|   (%d rounds of %.1f instructions in %.3f s) | |" % (rounds - after_step, per_round, seconds))
