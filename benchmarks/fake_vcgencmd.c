/* A stand-in for the firmware tool that answers at once, so that a
 * benchmark measures the cost of starting and reading it, not the tool. */
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "get_throttled") == 0) {
        fputs("throttled=0x0\n", stdout);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "measure_clock") == 0 && strcmp(argv[2], "arm") == 0) {
        fputs("frequency(48)=1500000000\n", stdout);
        return 0;
    }
    fputs("error=1 error_msg=\"Command not registered\"\n", stderr);
    return 1;
}
