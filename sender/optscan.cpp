// The program's own option scanner; see optscan.h for how it differs from the
// C library's.
#include "optscan.h"

#include <string.h>

int optind = 1;
char *optarg = nullptr;

// Next character to look at inside the current option cluster ("-pt..."),
// or null between arguments.
static char *ClusterNext = nullptr;

static int EndOfOptions(void)
{
    ClusterNext = nullptr;
    optarg = nullptr;
    return -1;
}

int getopt_reset(void)
{
    optind = 1;
    ClusterNext = nullptr;
    return 0;
}

int getopt(int argc, char *const argv[], const char *optstring) RUVADO_GETOPT_NOEXCEPT
{
    if (optind >= argc) {
        return EndOfOptions();
    }

    if (ClusterNext == nullptr) {
        char *argument = argv[optind];
        if (argument == nullptr || argument[0] != '-') {
            return EndOfOptions();
        }
        ClusterNext = argument + 1;
        if (*ClusterNext == '-') {
            optind++;
            return EndOfOptions();
        }
    }

    char option = *ClusterNext++;
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
        char *argument = ClusterNext;
        if (*argument == '\0') {
            if (optind >= argc) {
                optarg = nullptr;
                return '?';
            }
            argument = argv[optind++];
        }
        optarg = argument;
        ClusterNext = nullptr;
        return option;
    }

    if (*ClusterNext == '\0') {
        optind++;
        ClusterNext = nullptr;
    }
    optarg = nullptr;
    return option;
}
