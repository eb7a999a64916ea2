# One timed gdb session on mps2_irq.elf (bench/boards_vs_qemu.sh runs it
# against QEMU's own stub and against orxdbg gdbserver on the same QEMU
# board): prints "BENCH <phase> <seconds>" lines. $bench_reset is 1 where the
# stub takes "monitor reset" (the server); QEMU's stub starts from the image
# -kernel loaded, which the loads write again unchanged.
set pagination off
set confirm off
python
import time

def timed(name, action):
    start = time.perf_counter()
    action()
    print("BENCH %s %.6f" % (name, time.perf_counter() - start))

def loads():
    for _ in range(3):
        gdb.execute("load", to_string=True)

def steps():
    for _ in range(1000):
        gdb.execute("stepi", to_string=True)

def reads():
    gdb.execute("x/16384xw 0x20000000", to_string=True)

def hits():
    gdb.execute("continue", to_string=True)

timed("load_x3", loads)
if int(gdb.parse_and_eval("$bench_reset")):
    gdb.execute("monitor reset", to_string=True)
timed("stepi_x1000", steps)
timed("x_16384xw", reads)
# Into task A's loop first, untimed; then a breakpoint on its work function
# whose condition on the task's counter is false 999 times, true the 1,000th.
gdb.execute("break task_a_work", to_string=True)
gdb.execute("continue", to_string=True)
gdb.execute("delete", to_string=True)
start_count = int(gdb.parse_and_eval("task_a_count"))
gdb.execute("break task_a_work if task_a_count == %d" % (start_count + 1000), to_string=True)
timed("cond_break_x1000", hits)
count = int(gdb.parse_and_eval("task_a_count"))
print("HITS %d" % (count - start_count))
end
detach
