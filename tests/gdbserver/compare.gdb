# The same session against the GDB server and against QEMU: what gdb shows
# must agree line for line (see GdbVsQemu in GdbSessionTest.cpp).
set pagination off
set confirm off
load
break compute_table
break sum_table
continue
bt
info registers sp lr pc
continue
print table
print *values@16
print count
bt
finish
stepi
stepi
info line *$pc
x/8xw &table
print table_sum
set var table[0] = 99
print table[0]@2
next
print loop_count
