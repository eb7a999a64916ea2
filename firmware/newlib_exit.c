/* A program on newlib with semihosting (--specs=rdimon.specs): the C
 * library's start-up asks the debugger for its heap, opens ":tt" and reads
 * ":semihosting-features"; printf writes through SYS_WRITE, and exit(3)
 * passes its code with SYS_EXIT_EXTENDED when the features say the debugger
 * takes one (SYS_EXIT otherwise, which carries none). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* Start-up: newlib_start.c. */

int counter = 40;

int main(void)
{
    counter += 2;
    printf("newlib says %d\n", counter);
    fprintf(stderr, "and exits with 3\n");
    exit(3);
}
