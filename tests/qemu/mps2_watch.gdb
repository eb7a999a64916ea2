# Watchpoints on the SysTick counter of the interrupt firmware on mps2-an385:
# only the interrupt handler writes it, so a watch must let interrupts and
# timers run. The same script goes to QEMU's own stub and to the server (see
# QemuGdb.WatchesOnAnInterruptWrittenCounter).
set pagination off
set confirm off
break task_a_work
continue
delete
# Whether SysTick has ticked before task A first runs depends on how fast the
# host started QEMU: the count starts from 0 here on both stubs.
set var ticks = 0
watch ticks
continue
bt 1
continue
bt 1
delete
rwatch ticks
continue
bt 1
delete
awatch ticks
continue
bt 1
continue
bt 1
delete
# gdb's own steps stay on the program's instructions, SysTick running or not:
# none of 300 stepi ends in a handler.
break task_a_work
continue
delete
set $steps = 0
set $in_handler = 0
while $steps < 300
  stepi
  if ($xpsr & 0x1ff) != 0
    set $in_handler = $in_handler + 1
  end
  set $steps = $steps + 1
end
print $in_handler
