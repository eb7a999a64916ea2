# The first gdb: load, break, look around, step, change state, interrupt a
# run, detach. Run after "target remote HOST:PORT".
set pagination off
set confirm off
load
break sum_table
continue
print table
print table[15]
print count
print *values@4
bt
finish
stepi
info line *$pc
set var loop_count = 41
print loop_count
set $r12 = 0x5eedc0de
maintenance flush register-cache
print/x $r12
x/4xw &table
delete
python
import threading
threading.Timer(1.5, lambda: gdb.post_event(lambda: gdb.execute("interrupt"))).start()
end
continue
print loop_count > 41
bt 1
# The second client sees whether the core ran on after the detach.
set var loop_count = 0
detach
