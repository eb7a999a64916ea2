# The stop-heavy gdb session (bench/gdb_vs_qemu.sh runs it against each stub
# on firmware/bench.c): prints "BENCH <phase> <seconds>" lines, and
# "WATCH hardware|software" for the kind of watchpoint the stub gave
# (watch_x50; watch_sw_x50 is gdb's software watchpoint on both).
set pagination off
set confirm off
python
import time

def run(command):
    return gdb.execute(command, to_string=True)

def timed(name, action):
    start = time.perf_counter()
    action()
    print("BENCH %s %.6f" % (name, time.perf_counter() - start))

def run_to(symbol):
    run("tbreak %s" % symbol)
    run("continue")

# 1,000 stops at f that gdb evaluates and resumes, the 1,001st stays.
run("break f if i == 1000")
timed("cond_break_x1000", lambda: run("continue"))
assert int(gdb.parse_and_eval("i")) == 1000, "stopped at the wrong call"
run("delete")

run_to("lines200")
def nexts():
    for _ in range(200):
        run("next")
timed("next_x200", nexts)

# finish out of leaf, 100 times; only the finishes are timed.
run("break leaf")
spent = 0.0
for _ in range(100):
    run("continue")
    start = time.perf_counter()
    run("finish")
    spent += time.perf_counter() - start
print("BENCH finish_x100 %.6f" % spent)
run("delete")

run_to("compute")
run("break compute_done")
timed("compute_1e8", lambda: run("continue"))
run("delete")

# A hardware watchpoint where the stub has them (Z2), else gdb's software
# watchpoint, which single-steps.
run_to("watch_loop")
run("watch watched")
kind = "hardware"
try:
    run("continue")
except gdb.error:
    run("delete")
    run("set can-use-hw-watchpoints 0")
    run("watch watched")
    run("continue")
    kind = "software"
print("WATCH %s" % kind)
first = int(gdb.parse_and_eval("watched"))
def watches():
    for _ in range(50):
        run("continue")
timed("watch_x50", watches)
assert int(gdb.parse_and_eval("watched")) == first + 50, "the watchpoint missed writes"
run("delete")

# The same with gdb's software watchpoint on every stub: like for like.
run("set can-use-hw-watchpoints 0")
run("watch watched")
run("continue")
first = int(gdb.parse_and_eval("watched"))
timed("watch_sw_x50", watches)
assert int(gdb.parse_and_eval("watched")) == first + 50, "the watchpoint missed writes"
run("delete")
end
detach
