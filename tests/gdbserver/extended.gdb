# run, start, detach and attach in extended-remote mode; run after
# "target extended-remote HOST:PORT".
set pagination off
set confirm off
break sum_table
run
print count
start
info line *$pc
detach
attach 1
bt 1
monitor reset run
monitor halt
monitor status
# An unknown monitor command is an error: the script ends here.
monitor frobnicate
print 424242
