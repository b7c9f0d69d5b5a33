/* The far end of a pseudo-terminal for the serial benchmarks: opens a pty,
 * prints the slave's name as start_comm takes it ("pts/N") and then either
 * echoes every byte back (echo) or reads and drops everything (drain), until
 * killed. Every client of one run talks to the same pty.
 *   ptypeer echo|drain
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "ptypair.h"

int main(int argc, char **argv)
{
    int echo = argc > 1 && strcmp(argv[1], "echo") == 0;
    /* Both ends raw, so bytes pass untouched both ways; one slave descriptor
     * kept open so that clients coming and going never leave the pty
     * without a slave (the master would see a hang-up). */
    PtyPair pair;
    if (PtyPairOpen(PTYPAIR_RAW | PTYPAIR_KEEP_SLAVE, &pair) != 0) {
        perror("ptypeer");
        return 1;
    }
    int master = pair.master;
    printf("%s\n", pair.port_name);
    fflush(stdout);
    char bytes[4096];
    for (;;) {
        ssize_t got = read(master, bytes, sizeof bytes);
        if (got <= 0) {
            usleep(1000);
            continue;
        }
        if (echo && write(master, bytes, (size_t)got) != got)
            return 1;
    }
}
