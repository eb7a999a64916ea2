# gdb-multiarch on the PowerPC sample program, through orxdbg gdbserver on
# QEMU's virtex-ml507 board (big-endian).
set pagination off
set confirm off
# The architecture comes from the server's target description.
show architecture
info mem
# The load writes the image to RAM and sets the pc to its entry point.
load
print $pc == _start
break square_plus
continue
continue
print $r3
bt
stepi
print $pc == square_plus + 4
print/x *(unsigned char (*)[4]) &marker
print/x marker
set var marker = 0xa1b2c3d4
x/4xb &marker
set $saved = $r30
set $r30 = 0x11223344
print/x $r30
set $r30 = $saved
finish
delete
next
next
next
x/3dw table
print/x $msr
# A watched run: the main loop's count, then the program's own trap
# instruction (tw 31,0,0, gdb's breakpoint), which stops it as a breakpoint.
watch counter
continue
set var *(unsigned int *) square_plus = 0x7fe00008
continue
print $pc == square_plus
detach
