// Runs a program (possibly through a runner such as wine) as a child process
// in a given working directory, capturing its standard output exactly.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace runprogram {

struct Result {
    std::string out;      // everything written to standard output
    int status = -1;      // exit status, when it exited
    int signal = 0;       // the signal that ended it, if any
    bool timed_out = false;
};

struct Child {
    pid_t pid = -1;
    int out_fd = -1;
};

// Starts argv in cwd with standard input from /dev/null and standard error
// into cwd/stderr.txt.
Child Start(const std::vector<std::string> &argv, const std::string &cwd);
// Collects output until the child exits; kills it after timeout_ms.
Result Wait(Child child, int timeout_ms);
Result Run(const std::vector<std::string> &argv, const std::string &cwd, int timeout_ms);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// by RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string &path);
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);

} // namespace runprogram
