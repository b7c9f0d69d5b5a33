// Programs run as child processes for tests: the one fork-and-exec of the
// tests, with standard output on a pipe the test reads, and the temporary
// folders and files such runs use.
//
//   Start(argv, options)       the child, its standard output on a pipe
//   Run(argv, cwd, limit_ms)   started in cwd and waited for: output and status
//   Wait(child, limit_ms)      all of its standard output, then its status
//   ReadFrom / ReadLine        what a running child has written so far
//   Reap(child)                its wait status once it has ended
//   MakeTempDir, RemoveTree, ReadFile, WriteFile
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace childprocess {

struct Child {
    pid_t pid = -1;
    int out = -1;   // read end of its standard output
    int err = -1;   // read end of its standard error; -1 when it goes to a file
};

struct Options {
    std::string cwd;          // where it runs; "": the test's own folder
    std::string err_path;     // its standard error into this file; "": on a pipe
    bool own_group = false;   // a process group of its own, which Wait ends whole
};

// A program under test in a folder of its own: it runs there, its standard
// error goes to cwd/stderr.txt, and its group is its own, so that a time
// limit also ends the children of a runner such as wine.
Options InFolder(const std::string &cwd);

struct Result {
    std::string out;   // everything written to standard output
    int status = -1;   // exit status, when it exited
    int signal = 0;    // the signal that ended it, if any
    bool timed_out = false;
};

// argv[0] is the program's path. Standard input is /dev/null, and every
// descriptor above 2 is closed in the child, so that it holds nothing of the
// test's (a pty, a socket) that could keep those open. Throws when no child
// could be made.
Child Start(const std::vector<std::string> &argv, const Options &options = {});
// Collects standard output until the child exits; past limit_ms the child
// (and its group, when it has one) is killed. Closes the pipes.
Result Wait(Child child, int limit_ms);
Result Run(const std::vector<std::string> &argv, const std::string &cwd, int limit_ms);

// Reads until the pipe closes or limit_ms pass without a byte; with `until`,
// stops after the first line that starts with it.
std::string ReadFrom(int fd, const std::string &until = "", int limit_ms = 10000);
// Reads one line (or up to the close), waiting at most limit_ms for each byte.
std::string ReadLine(int fd, int limit_ms = 10000);
// Waits for the child and closes its pipes; the wait status.
int Reap(Child &child);

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it by
// RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string &path);
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);

}   // namespace childprocess
