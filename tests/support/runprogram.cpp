#include "runprogram.h"

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

namespace runprogram {

Child Start(const std::vector<std::string> &argv, const std::string &cwd)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        throw std::runtime_error("pipe");
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::string err_path = cwd + "/stderr.txt";

    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork");
    }
    if (pid == 0) {
        // Own process group, so a timeout can end a runner and its children.
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(pipe_fds[1], 1);
        dup2(err, 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    return {pid, pipe_fds[0]};
}

Result Wait(Child child, int timeout_ms)
{
    Result result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timed_out = true;
            kill(-child.pid, SIGKILL);
            kill(child.pid, SIGKILL);
            break;
        }
        pollfd readable{child.out_fd, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got = read(child.out_fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        result.out.append(buffer, static_cast<size_t>(got));
    }
    close(child.out_fd);
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

Result Run(const std::vector<std::string> &argv, const std::string &cwd, int timeout_ms)
{
    return Wait(Start(argv, cwd), timeout_ms);
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

} // namespace runprogram
