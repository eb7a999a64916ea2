# The FreeRTOS application stopped while its scheduler runs: its tasks as
# threads, every task's stack, and each blocked task's stack after
# `thread N` (the task picked from `info threads` by its state).
info threads
thread apply all bt
python
import re
listing = gdb.execute("info threads", to_string=True)
for number, name in re.findall(r"^\*?\s+(\d+)\s+Thread \d+ \(Name: ([^,]+), State: Blocked", listing, re.M):
    gdb.execute("thread " + number)
    print("blocked task " + name + ":")
    gdb.execute("bt")
end
