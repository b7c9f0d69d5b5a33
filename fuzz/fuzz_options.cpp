// ruvado's option scanner over random argument vectors. The input is split
// into arguments at NUL bytes; the scanner must stay inside argv, return only
// option letters of its option string, '?' or -1, and end the scan.
#include "optscan.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

static const char OPTION_STRING[] = "p:t:u";
static const int MAX_ARGUMENTS = 64;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Each argument its own allocation, so that reading past one is caught.
    std::vector<std::string> words(1, "ruvado");
    std::string current;
    for (size_t i = 0; i < size && (int)words.size() < MAX_ARGUMENTS; i++) {
        if (data[i] == '\0') {
            words.push_back(current);
            current.clear();
        } else {
            current += (char)data[i];
        }
    }
    if ((int)words.size() < MAX_ARGUMENTS) {
        words.push_back(current);
    }

    std::vector<char *> argv;
    for (auto &word : words) {
        char *copy = (char *)malloc(word.size() + 1);
        memcpy(copy, word.c_str(), word.size() + 1);
        argv.push_back(copy);
    }
    argv.push_back(nullptr);
    int argc = (int)words.size();

    getopt_reset();
    int steps = 0;
    int option;
    while ((option = getopt(argc, argv.data(), OPTION_STRING)) != -1) {
        if (option != '?' && (option == ':' || strchr(OPTION_STRING, option) == nullptr)) {
            abort();
        }
        if (optind < 1 || optind > argc) {
            abort();
        }
        if ((option == 'p' || option == 't') && optarg == nullptr) {
            abort();
        }
        if (optarg != nullptr) {
            (void)atoi(optarg);   // what ruvado does with -p
        }
        // Every step consumes a character or an argument: a scan longer than
        // the input is a loop that never ends.
        if (++steps > (int)size + argc + 1) {
            abort();
        }
    }
    if (optind < 1 || optind > argc) {
        abort();
    }
    for (char *copy : argv) {
        free(copy);
    }
    return 0;
}
