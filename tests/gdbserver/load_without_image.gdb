# A server started without --elf: gdb's load alone makes the program
# runnable (the stack pointer comes from the vector table).
set pagination off
set confirm off
load
break sum_table
continue
print count
print/x $sp
