# One timed gdb session (bench/gdb_vs_qemu.sh runs it against each stub):
# prints "BENCH <phase> <seconds>" lines. $bench_line is the source line of
# main's loop, where the continue phase stops.
set pagination off
set confirm off
python
import time

def timed(name, action):
    start = time.perf_counter()
    action()
    print("BENCH %s %.6f" % (name, time.perf_counter() - start))

def loads():
    for _ in range(5):
        gdb.execute("load", to_string=True)

def steps():
    for _ in range(1000):
        gdb.execute("stepi", to_string=True)

def reads():
    gdb.execute("x/16384xw 0x20000000", to_string=True)

def continues():
    for _ in range(20):
        gdb.execute("continue", to_string=True)

timed("load_x5", loads)
timed("stepi_x1000", steps)
timed("x_16384xw", reads)
gdb.execute("break main.c:%d" % int(gdb.parse_and_eval("$bench_line")), to_string=True)
timed("continue_x20", continues)
end
detach
