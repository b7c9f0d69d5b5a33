// The simulator as a program: print the port name, serve until a signal.
#include "fiscalsim.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char Usage[] =
    "usage: fiscalsim [-r rate] [-b busy_ms] [-l link]\n"
    "  -r rate     line rate answered at, in bits per second (default 9600)\n"
    "  -b busy_ms  work time of the slow commands S and P (default 3000)\n"
    "  -l link     keep a symbolic link at this path to the pty's device\n"
    "Prints the port name for start_comm (such as pts/4) and runs until\n"
    "SIGINT or SIGTERM.\n";

static void OnSignal(int)
{
    fiscalsim_stop();
}

static int BadOption(const char *message, const char *value)
{
    fprintf(stderr, "fiscalsim: %s: %s\n%s", message, value, Usage);
    return 2;
}

// Whole decimal number within 0..limit, or -1.
static long ParseNumber(const char *text, long limit)
{
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value > limit)
        return -1;
    return value;
}

int main(int argc, char **argv)
{
    long rate = FISCALSIM_DEFAULT_BAUD;
    long busy = FISCALSIM_DEFAULT_BUSY_MS;
    const char *link = NULL;
    for (int i = 1; i < argc; i++) {
        const char *option = argv[i];
        if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
            fputs(Usage, stdout);
            return 0;
        }
        if (strcmp(option, "-r") != 0 && strcmp(option, "-b") != 0 && strcmp(option, "-l") != 0)
            return BadOption("unknown option", option);
        if (i + 1 >= argc)
            return BadOption("missing value for", option);
        const char *value = argv[++i];
        if (option[1] == 'r') {
            rate = ParseNumber(value, 4000000);
            if (rate <= 0 || fiscalsim_speed_code(rate) == 0)
                return BadOption("unsupported rate", value);
        } else if (option[1] == 'b') {
            busy = ParseNumber(value, 600000);
            if (busy < 0)
                return BadOption("busy time must be 0 to 600000 ms", value);
        } else {
            if (strlen(value) >= 256)
                return BadOption("link path too long", value);
            link = value;
        }
    }
    if (fiscalsim_open(rate, (int)busy, link) != 0) {
        fprintf(stderr, "fiscalsim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    printf("%s\n", fiscalsim_port_name());
    fflush(stdout);
    fiscalsim_run();
    fiscalsim_close();
    return 0;
}
