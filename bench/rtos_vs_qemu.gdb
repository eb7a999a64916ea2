# One timed gdb session on the FreeRTOS application (bench/rtos_vs_qemu.sh
# runs it against QEMU's own stub and against orxdbg gdbserver on the same
# QEMU board): prints "BENCH <phase> <seconds>" and "HITS <phase> <n>" lines.
# $bench_reset is 1 where the stub takes "monitor reset" (the server); QEMU's
# stub starts from the image -kernel loaded.
set pagination off
set confirm off
python
import time

def stops(phase, function, counter):
    """A breakpoint in a task whose condition on the task's counter is false
    999 times and true the 1,000th: 1,000 stops, one reported to the user."""
    gdb.execute("break %s" % function, to_string=True)
    gdb.execute("continue", to_string=True)
    gdb.execute("delete", to_string=True)
    start_count = int(gdb.parse_and_eval(counter))
    gdb.execute("break %s if %s == %d" % (function, counter, start_count + 1000), to_string=True)
    start = time.perf_counter()
    gdb.execute("continue", to_string=True)
    print("BENCH %s %.6f" % (phase, time.perf_counter() - start))
    print("HITS %s %d" % (phase, int(gdb.parse_and_eval(counter)) - start_count))
    gdb.execute("delete", to_string=True)

if int(gdb.parse_and_eval("$bench_reset")):
    gdb.execute("load", to_string=True)
    gdb.execute("monitor reset", to_string=True)
# The idle task's hook runs whenever nothing else is ready: the stops come as
# fast as the stub turns them round. The producer makes an item every tick
# of the 100 Hz SysTick: at least 10 s of the board's time for 1,000 stops.
stops("idle_task_x1000", "vApplicationIdleHook", "idle_count")
stops("producer_x1000", "produce_item", "producer_count")
end
detach
