# gdb-multiarch on the FreeRTOS application on mps2-an385, from reset: the
# same script goes to QEMU's own stub and to the server (after load and
# monitor reset there; see QemuFreeRtos.SessionThroughTheServerAsOnQemusOwnStub). Up to the
# interrupt every stop is where the program's own order puts it, whatever the
# host's speed; after it only what holds at any stop is printed.
set pagination off
set confirm off
# Breakpoint 1 stays: no kernel assertion may fail during the session.
break vAssertCalled
# The producer makes item 1, the consumer (higher priority) takes it at once.
break produce_item
continue
bt
delete 2
break consume_item
continue
bt
finish
delete 3
# The producer writes its counter again only after its 1-tick sleep: a watch
# that keeps SysTick out never stops.
watch producer_count
continue
continue
bt 1
delete 4
# Its next send wakes the consumer: PendSV switches to it. Stepped, the
# handler reaches the kernel's choice of the next task; stepping further
# would meet the SysTick exceptions that the slow steps let pile up, which
# tail-chain onto every exception return, so `finish` runs the choice out.
break PendSV_Handler
continue
print/x $xpsr & 0x1ff
stepi
stepi
stepi
x/i $pc
python
path = []
for _ in range(50):
    name = gdb.selected_frame().name()
    if not path or path[-1] != name:
        path.append(name)
    if name == "vTaskSwitchContext":
        break
    gdb.execute("stepi", to_string=True)
print("PENDSV PATH " + " ".join(path))
end
bt
finish
print pxCurrentTCB->pcTaskName
delete 5
# The consumer goes on with the item just sent.
break consume_item
continue
delete 6
# Ctrl-C during a free run.
set $produced = producer_count
python
import threading
threading.Timer(1.5, lambda: gdb.post_event(lambda: gdb.execute("interrupt"))).start()
end
continue
print uxCurrentNumberOfTasks
print producer_count > $produced + 50
python
# The kernel's task lists, walked through their links: every list closes on
# its end marker after as many items as it counts, and each task is in one.
tcb_type = gdb.lookup_type("TCB_t").pointer()
ready = gdb.parse_and_eval("pxReadyTasksLists")
lists = [ready[p] for p in range(ready.type.range()[1] + 1)]
# (No task is ever deleted: the kernel is built without the list of tasks
# waiting for their clean-up.)
lists += [gdb.parse_and_eval(n) for n in ("xDelayedTaskList1", "xDelayedTaskList2", "xSuspendedTaskList")]
names = []
closed = True
for task_list in lists:
    end = int(task_list["xListEnd"].address)
    item = task_list["xListEnd"]["pxNext"]
    for _ in range(int(task_list["uxNumberOfItems"])):
        names.append(item["pvOwner"].cast(tcb_type)["pcTaskName"].string().rstrip("\0"))
        item = item["pxNext"]
    closed = closed and int(item) == end
print("TASK LISTS CLOSED %d" % closed)
print("TASKS IN LISTS " + ",".join(sorted(names)))
end
# Every task runs on.
tbreak produce_item
continue
tbreak consume_item
continue
tbreak log_line
continue
tbreak heartbeat
continue
bt 1
print producer_count > $produced + 50
print assert_line
detach
