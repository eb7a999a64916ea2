# Watchpoints on the PowerPC interrupt program on virtex-ml507: ticks, which
# only the decrementer handler writes (a watch must let the interrupt and
# the time base run), and last_tick, which the main loop writes when ticks
# has moved on. The same script goes to QEMU's own stub and to the server
# (see QemuGdb.PowerPcWatchesOnADecrementerCounter).
set pagination off
set confirm off
break decrementer_tick
continue
delete
# The counts start from 0 on both stubs, whenever the first tick came.
set var ticks = 0
set var last_tick = 0
watch ticks
continue
bt 1
continue
bt 1
delete
# In the handler, after its store: the next read is the main loop's.
rwatch ticks
continue
bt 1
delete
watch last_tick
continue
bt 1
continue
bt 1
delete
# The next tick is a period away: the main loop's reads come first.
awatch ticks
continue
bt 1
continue
bt 1
delete
print ticks == last_tick
