#include "runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace sim
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr uid_t nobody = 65534;

[[noreturn]] void execChild(const RunOptions &options, int outPipe, int errPipe)
{
    // Detached from any terminal (setsid), a port opened without O_NOCTTY
    // would become the program's own, and a pulled dongle would kill it.
    setsid();
    if (options.unprivileged &&
        (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
        _exit(126);
    }
    if (options.capture) {
        dup2(outPipe, STDOUT_FILENO);
        dup2(errPipe, STDERR_FILENO);
    }
    // Started as a service manager starts it: with nothing else open, so that
    // any descriptor it passes on is its own.
    closefrom(STDERR_FILENO + 1);
    for (const auto &entry : options.env) {
        putenv(const_cast<char *>(entry.c_str()));
    }
    std::vector<char *> argv;
    for (const auto &arg : options.argv) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

void drain(int fd, std::string *into, bool *open)
{
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into->append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        *open = false;
    }
}

} // namespace

bool readBinaryFile(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

RunResult runProgram(const RunOptions &options)
{
    RunResult result;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (options.capture && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)) {
        return result;
    }
    const auto started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execChild(options, out[1], err[1]);
    }
    if (options.capture) {
        close(out[1]);
        close(err[1]);
    }
    bool outOpen = options.capture;
    bool errOpen = outOpen;
    const auto deadline = started + options.limit;
    int status = 0;
    for (;;) {
        if (!result.timedOut && Clock::now() > deadline) {
            kill(pid, SIGKILL);
            result.timedOut = true;
        }
        struct pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0},
                                {errOpen ? err[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, 20) > 0) {
            if (fds[0].revents != 0) {
                drain(out[0], &result.out, &outOpen);
            }
            if (fds[1].revents != 0) {
                drain(err[0], &result.err, &errOpen);
            }
            continue;
        }
        // Output still open after the kill belongs to a leftover grandchild.
        const bool outputDone = (!outOpen && !errOpen) || result.timedOut;
        if (outputDone && waitpid(pid, &status, WNOHANG) == pid) {
            break;
        }
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (options.capture) {
        close(out[0]);
        close(err[0]);
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

} // namespace sim
