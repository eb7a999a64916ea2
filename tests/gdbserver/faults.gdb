# Steps and runs that meet a fault (faults.elf): each ends with a signal,
# and the script goes on to its last line.
set pagination off
set confirm off
break main
continue
next
next
# The line of the bkpt: its step cannot happen.
next
info registers pc
# A run that reaches the bkpt stops with SIGTRAP.
monitor reset halt
maintenance flush register-cache
delete
continue
info registers pc
set var $pc = $pc + 2
next
step
# The load from unmapped memory.
next
info registers pc
print 424242
