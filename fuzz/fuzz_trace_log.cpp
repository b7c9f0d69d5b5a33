// The driver's trace channel and ruvado's log with long and odd message
// texts. Message texts are data, never formats: they go in as "%s"
// arguments, the way every caller in the kit passes outside text. The first
// input byte picks the trace file path's length around the 399-character
// limit, so the refusal of a long path is exercised as well.
#include "log.h"
#include "tracelet.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>

static std::string WorkDir;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    char pattern[] = "/tmp/fuzz_trace_log.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        abort();
    }
    WorkDir = pattern;
    // "spooler.log" is written in the working directory.
    if (chdir(pattern) != 0) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::string message((const char *)data + 1, size - 1);

    // Paths of 380 to 435 characters: some fit, some are refused whole.
    std::string path = WorkDir + "/";
    size_t wanted = 380 + data[0] % 56;
    while (path.size() < wanted) {
        path += path.size() % 100 == 99 ? '/' : 't';
    }
    int set = set_debug_options(data[0] & 1, 1, path.c_str());
    if ((set == 0) != (path.size() <= 399)) {
        abort();
    }
    // A path that fits but leads nowhere: the message is dropped quietly.
    Tracelet("%s", message.c_str());

    set_debug_options(data[0] & 1, 1, (WorkDir + "/trace.log").c_str());
    Tracelet("%s", message.c_str());
    Tracelet("fiscald: comando [%s] (%d)", message.c_str(), (int)size);
    LogMessage(data[0] & 2, "%s", message.c_str());
    LogMessage(0, "Port local = %u %s\n", (unsigned)size, message.c_str());
    return 0;
}
