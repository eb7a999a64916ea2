/* A program on newlib with semihosting (--specs=rdimon.specs) that uses the
 * debugger's files: it prints the first line of input.txt, writes
 * output.txt, and tries a name that leads out of the directory. Each
 * outcome is one line on stdout; it exits with 0. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* Start-up: newlib_start.c. */

int main(void)
{
    char line[64];
    FILE *in = fopen("input.txt", "r");
    if (in && fgets(line, sizeof line, in)) {
        printf("input.txt: %s", line);
        fseek(in, 0, SEEK_END);
        printf("input.txt has %ld bytes\n", ftell(in));
    } else {
        printf("input.txt: cannot be read\n");
    }
    if (in) fclose(in);

    FILE *out = fopen("output.txt", "w");
    if (out) {
        fputs("written by the program\n", out);
        printf("output.txt: %s\n", fclose(out) == 0 ? "written" : "not closed");
    } else {
        printf("output.txt: cannot be written\n");
    }

    FILE *escape = fopen("../outside.txt", "r");
    printf("../outside.txt: %s\n", escape ? "opened" : "refused");
    if (escape) fclose(escape);
    return 0;
}
