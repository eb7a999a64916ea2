// gdb-multiarch sessions through the GDB server on QEMU boards.
#include <gtest/gtest.h>
