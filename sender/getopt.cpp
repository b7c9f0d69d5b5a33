// The program's own option scanner; see getopt.h for how it differs from the
// C library's.
#include "getopt.h"

#include <string.h>

int optind = 1;
char *optarg = nullptr;

// Next character to look at inside the current option cluster ("-pt..."),
// or null between arguments.
static char *cluster_next = nullptr;

static int EndOfOptions(void)
{
    cluster_next = nullptr;
    optarg = nullptr;
    return -1;
}

int getopt_reset(void)
{
    optind = 1;
    cluster_next = nullptr;
    return 0;
}

int getopt(int argc, char *const argv[], const char *optstring) RUVADO_GETOPT_NOEXCEPT
{
    if (optind >= argc)
        return EndOfOptions();

    if (cluster_next == nullptr) {
        char *argument = argv[optind];
        if (argument == nullptr || argument[0] != '-')
            return EndOfOptions();
        cluster_next = argument + 1;
        if (*cluster_next == '-') {
            optind++;
            return EndOfOptions();
        }
    }

    char option = *cluster_next++;
    if (option == '\0') {
        // A lone "-" ends the options and is not an operand.
        optind++;
        return EndOfOptions();
    }

    const char *known = strchr(optstring, option);
    if (option == ':' || known == nullptr) {
        optarg = nullptr;
        return '?';
    }

    if (known[1] == ':') {
        optind++;
        char *argument = cluster_next;
        if (*argument == '\0') {
            if (optind >= argc) {
                optarg = nullptr;
                return '?';
            }
            argument = argv[optind++];
        }
        optarg = argument;
        cluster_next = nullptr;
        return option;
    }

    if (*cluster_next == '\0') {
        optind++;
        cluster_next = nullptr;
    }
    optarg = nullptr;
    return option;
}
