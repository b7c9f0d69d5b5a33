#include "childprocess.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace childprocess {

Options InFolder(const std::string &cwd)
{
    Options options;
    options.cwd = cwd;
    options.err_path = cwd + "/stderr.txt";
    options.own_group = true;
    return options;
}

// In the child, between fork and exec: only calls that are safe there.
[[noreturn]] static void BecomeProgram(char *const *args, const Options &options, int out, int err)
{
    if (options.own_group) {
        setpgid(0, 0);
    }
    int in = open("/dev/null", O_RDONLY);
    if (!options.err_path.empty()) {
        err = open(options.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < 1024; fd++) {
            close(fd);
        }
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
        _exit(126);
    }
    execv(args[0], args);
    _exit(127);
}

Child Start(const std::vector<std::string> &argv, const Options &options)
{
    int out[2];
    int err[2] = {-1, -1};
    if (pipe(out) != 0) {
        throw std::runtime_error("pipe");
    }
    if (options.err_path.empty() && pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("pipe");
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);

    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        BecomeProgram(args.data(), options, out[1], err[1]);
    }
    close(out[1]);
    if (err[1] >= 0) {
        close(err[1]);
    }
    if (child.pid < 0) {
        close(out[0]);
        if (err[0] >= 0) {
            close(err[0]);
        }
        throw std::runtime_error("fork");
    }
    child.out = out[0];
    child.err = err[0];
    return child;
}

Result Wait(Child child, int limit_ms)
{
    Result result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timed_out = true;
            kill(-child.pid, SIGKILL);
            kill(child.pid, SIGKILL);
            break;
        }
        pollfd readable{child.out, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got = read(child.out, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        result.out.append(buffer, static_cast<size_t>(got));
    }
    // Closed before the wait, as a reader that stopped reading would.
    for (int fd : {child.out, child.err}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

Result Run(const std::vector<std::string> &argv, const std::string &cwd, int limit_ms)
{
    return Wait(Start(argv, InFolder(cwd)), limit_ms);
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
    for (int *fd : {&child.out, &child.err}) {
        if (*fd >= 0) {
            close(*fd);
        }
        *fd = -1;
    }
    child.pid = -1;
    return status;
}

std::string MakeTempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kit-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    return buffer.data();
}

void RemoveTree(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

}   // namespace childprocess
