// A program run as a child with its standard output and standard error on
// pipes of their own, for tests that read either while it runs.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace pipedchild {

struct Child {
    pid_t pid = -1;
    int out = -1;   // read end of its standard output
    int err = -1;   // read end of its standard error
};

// Starts program with args. Descriptors above 2 are closed in the child, so
// it holds nothing of the test's (a pty, a socket) that could keep those open.
Child Spawn(const std::string &program, const std::vector<std::string> &args);
// Reads until the pipe closes or limit_ms pass without a byte; with `until`,
// stops after the first line that starts with it.
std::string ReadFrom(int fd, const std::string &until = "", int limit_ms = 10000);
// Reads one line (or up to the close), waiting at most limit_ms for each byte.
std::string ReadLine(int fd, int limit_ms = 10000);
// Waits for the child, closes both pipes; the wait status.
int Reap(Child &child);

} // namespace pipedchild
