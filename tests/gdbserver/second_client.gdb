# The second gdb, after the first detached: the core it finds has run on.
set pagination off
print table_sum
print loop_count > 0
bt 1
monitor status
monitor reset
monitor help
detach
