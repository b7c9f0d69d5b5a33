// The simulator as a program: print the port name, serve until a signal.
#include "fiscalsim.h"
#include "kitversion.h"
#include "wholenumber.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char USAGE_TEXT[] =
    "usage: fiscalsim [-r rate] [-b busy_ms] [-l link] [-c fifo] [-j journal] [-W]\n"
    "       fiscalsim -h | --help | --version\n"
    "  -r rate     line rate answered at, in bits per second (default 9600)\n"
    "  -b busy_ms  work time of the slow commands S and P (default 3000)\n"
    "  -l link     keep a symbolic link at this path to the pty's device\n"
    "  -c fifo     make a FIFO at this new path and take control lines from it\n"
    "  -j journal  append a line to this file for each command run\n"
    "  -W, --wire  take the line's time: ten bit times a byte each way\n"
    "Prints the port name for start_comm (such as pts/4) and runs until\n"
    "SIGINT or SIGTERM.\n";

static const long RATE_MAX = 4000000;
static const long BUSY_MAX = 600000;

typedef struct Options {
    long rate;
    long busy;
    const char *link;      // nullptr: none
    const char *control;   // nullptr: no control FIFO
    const char *journal;   // nullptr: no journal
    int wire;              // 1: paced at the line rate
} Options;

static void OnSignal(int)
{
    fiscalsim_stop();
}

static int BadOption(const char *message, const char *value)
{
    fprintf(stderr, "fiscalsim: %s: %s\n%s", message, value, USAGE_TEXT);
    return 2;
}

// 0 to run, -1 to end at once with status 0 (help, version), or the exit
// status of a refusal, the reason already printed.
static int ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        const char *option = argv[i];
        if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
            fputs(USAGE_TEXT, stdout);
            return -1;
        }
        if (strcmp(option, "--version") == 0) {
            fputs("fiscalsim " KIT_VERSION "\n", stdout);
            return -1;
        }
        if (strcmp(option, "-W") == 0 || strcmp(option, "--wire") == 0) {
            options->wire = 1;
            continue;
        }
        if (strlen(option) != 2 || option[0] != '-' || strchr("rblcj", option[1]) == nullptr) {
            return BadOption("unknown option", option);
        }
        if (i + 1 >= argc) {
            return BadOption("missing value for", option);
        }
        const char *value = argv[++i];
        if (option[1] == 'r') {
            options->rate = ParseWholeNumber(value, 1, RATE_MAX);
            if (options->rate < 0 || fiscalsim_speed_code(options->rate) == 0) {
                return BadOption("unsupported rate", value);
            }
        } else if (option[1] == 'b') {
            options->busy = ParseWholeNumber(value, 0, BUSY_MAX);
            if (options->busy < 0) {
                return BadOption("busy time must be 0 to 600000 ms", value);
            }
        } else if (option[1] == 'j') {
            options->journal = value;
        } else if (strlen(value) >= FISCALSIM_PATH_MAX) {
            return BadOption(option[1] == 'l' ? "link path too long" : "control path too long",
                             value);
        } else if (option[1] == 'l') {
            options->link = value;
        } else {
            options->control = value;
        }
    }
    return 0;
}

// The journal and the FIFO once the pty is open; 0, or 1 with the reason printed.
static int OpenExtras(const Options *options)
{
    if (options->journal != nullptr && fiscalsim_journal(options->journal) != 0) {
        fprintf(stderr, "fiscalsim: cannot open the journal %s: %s\n", options->journal,
                strerror(errno));
        return 1;
    }
    if (options->control != nullptr && fiscalsim_control_fifo(options->control) != 0) {
        if (errno == EEXIST) {
            fprintf(stderr, "fiscalsim: %s already exists: the control FIFO needs a new path\n",
                    options->control);
        } else {
            fprintf(stderr, "fiscalsim: cannot make the control FIFO %s: %s\n", options->control,
                    strerror(errno));
        }
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    Options options = {
        FISCALSIM_DEFAULT_BAUD, FISCALSIM_DEFAULT_BUSY_MS, nullptr, nullptr, nullptr, 0};
    int status = ParseOptions(argc, argv, &options);
    if (status != 0) {
        return status < 0 ? 0 : status;
    }
    if (fiscalsim_open(options.rate, (int)options.busy, options.link) != 0) {
        fprintf(stderr, "fiscalsim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    fiscalsim_set_wire(options.wire);
    status = OpenExtras(&options);
    if (status == 0) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        printf("%s\n", fiscalsim_port_name());
        fflush(stdout);
        fiscalsim_run();
    }
    fiscalsim_close();
    return status;
}
