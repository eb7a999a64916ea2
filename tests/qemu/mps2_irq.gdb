# gdb-multiarch on the interrupt firmware, through orxdbg gdbserver on QEMU's
# mps2-an385 board.
set pagination off
set confirm off
# The server's memory map is the board's: its code and data as RAM.
info mem
load
# The reset takes SP and PC from the vector table just written.
monitor reset
break HardFault_Handler
continue
print/x $xpsr & 0x1ff
delete
break SysTick_Handler
continue
bt
x/1dw &ticks
continue
x/1dw &ticks
continue
x/1dw &ticks
delete
break task_a_work
continue
bt 1
delete
break task_b_work
continue
bt 1
print fault_count
print/x fault_address
print switches > 0
detach
