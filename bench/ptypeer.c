/* The far end of a pseudo-terminal for the serial benchmarks: opens a pty,
 * prints the slave's name as start_comm takes it ("pts/N") and then either
 * echoes every byte back (echo) or reads and drops everything (drain), until
 * killed. Every client of one run talks to the same pty.
 *   ptypeer echo|drain
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    int echo = argc > 1 && strcmp(argv[1], "echo") == 0;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("ptypeer");
        return 1;
    }
    /* The master side raw too, so bytes pass untouched both ways. */
    struct termios raw;
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    const char *name = ptsname(master);
    /* Keep one slave descriptor open so that clients coming and going never
     * leave the pty without a slave (the master would see a hang-up). */
    int keep = open(name, O_RDWR | O_NOCTTY);
    tcgetattr(keep, &raw);
    cfmakeraw(&raw);
    tcsetattr(keep, TCSANOW, &raw);
    printf("%s\n", name + strlen("/dev/"));
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
