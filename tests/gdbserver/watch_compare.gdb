# Watchpoints on the sample firmware, against the GDB server and against
# QEMU: gdb must stop at the same lines with the same old and new values
# (see GdbVsQemu in GdbSessionTest.cpp).
set pagination off
set confirm off
load
break compute_table
continue
watch table[3]
continue
bt
delete
rwatch table[5]
continue
print $pc
bt
delete
watch table_sum
continue
print table_sum
delete
awatch loop_count
continue
continue
print loop_count
delete
watch loop_count
continue
info watchpoints
