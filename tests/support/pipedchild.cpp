#include "pipedchild.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pipedchild {

Child Spawn(const std::string &program, const std::vector<std::string> &args)
{
    int out[2], err[2];
    Child child;
    if (pipe(out) != 0 || pipe(err) != 0) {
        return child;
    }
    child.pid = fork();
    if (child.pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd = 3; fd < 1024; fd++) {
            close(fd);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &arg : args) {
            argv.push_back(const_cast<char *>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

static std::string Read(int fd, bool one_line, const std::string &until, int limit_ms)
{
    std::string got;
    char byte;
    pollfd wanted{fd, POLLIN, 0};
    while (poll(&wanted, 1, limit_ms) > 0 && read(fd, &byte, 1) == 1) {
        got += byte;
        if (byte != '\n') {
            continue;
        }
        if (one_line) {
            break;
        }
        if (!until.empty()) {
            size_t start = got.rfind('\n', got.size() - 2);
            start = start == std::string::npos ? 0 : start + 1;
            if (got.compare(start, until.size(), until) == 0) {
                break;
            }
        }
    }
    return got;
}

std::string ReadFrom(int fd, const std::string &until, int limit_ms)
{
    return Read(fd, false, until, limit_ms);
}

std::string ReadLine(int fd, int limit_ms)
{
    return Read(fd, true, "", limit_ms);
}

int Reap(Child &child)
{
    int status = -1;
    waitpid(child.pid, &status, 0);
    close(child.out);
    close(child.err);
    child.pid = -1;
    return status;
}

} // namespace pipedchild
