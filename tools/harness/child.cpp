#include "child.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char **environ;

namespace harness
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr uid_t nobody = 65534;

// Built before fork: the child may only exec.
std::vector<std::string> environmentWith(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const auto nameOf = [](const std::string &text) { return text.substr(0, text.find('=')); };
        if (std::none_of(extra.begin(), extra.end(),
                         [&](const std::string &add) { return nameOf(add) == nameOf(*entry); })) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> pointersTo(std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    pointers.reserve(texts.size() + 1);
    for (auto &text : texts) {
        pointers.push_back(&text[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Reads what is there; false once the pipe is closed or broken.
bool drain(int fd, std::string *into)
{
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into->append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

struct Pipes {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
};

void closeFd(int *fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// Kills the program at the bound, and sends each Ctrl-C when it is due.
void act(pid_t pid, bool exited, const ChildOptions &options, ChildResult *result)
{
    if (!result->timedOut && Clock::now() > result->begin + options.limit) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL); // before its setsid, not yet a group of its own
        result->timedOut = true;
    }
    const std::size_t sent = result->interrupted.size();
    if (!exited && sent < options.interrupts.size() &&
        Clock::now() >= result->begin + options.interrupts[sent]) {
        kill(-pid, SIGINT);
        result->interrupted.push_back(Clock::now());
    }
}

// Reads what has come on the program's pipes within `ms`, closing each at
// its end.
void collect(pid_t pid, Pipes *pipes, int ms, const ChildOptions &options, ChildResult *result)
{
    struct pollfd fds[2] = {{pipes->out[0], POLLIN, 0}, {pipes->err[0], POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) {
        return;
    }
    const std::size_t before = result->out.size();
    if (fds[0].revents != 0 && !drain(pipes->out[0], &result->out)) {
        closeFd(&pipes->out[0]);
    }
    for (std::size_t i = before; i < result->out.size(); ++i) {
        if (result->out[i] == '\n') {
            result->lineEnds.push_back(Clock::now());
        }
    }
    if (options.onOutput && result->out.size() > before) {
        options.onOutput(result->out, pid);
    }
    if (fds[1].revents != 0 && !drain(pipes->err[0], &result->err)) {
        closeFd(&pipes->err[0]);
    }
}

// Collects output until the program has ended and its pipes are closed, or
// the bound has passed and the program's group has been killed.
void supervise(pid_t pid, Pipes *pipes, const ChildOptions &options, ChildResult *result)
{
    int status = 0;
    bool exited = false;
    while (!exited || pipes->out[0] >= 0 || pipes->err[0] >= 0) {
        act(pid, exited, options, result);
        if (options.closeStdoutAfter >= 0 &&
            static_cast<long>(result->out.size()) >= options.closeStdoutAfter) {
            closeFd(&pipes->out[0]);
        }
        collect(pid, pipes, exited ? 100 : 20, options, result);
        if (!exited && wait4(pid, &status, WNOHANG, &result->usage) == pid) {
            exited = true;
            result->end = Clock::now();
            result->elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(result->end - result->begin);
        }
        if (exited && (result->timedOut || Clock::now() > result->begin + options.limit)) {
            break; // output held open by a leftover grandchild
        }
    }
    closeFd(&pipes->out[0]);
    closeFd(&pipes->err[0]);
    if (WIFEXITED(status)) {
        result->status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result->signal = WTERMSIG(status);
    }
}

// Only calls that are safe between fork and exec: the parent may have threads.
[[noreturn]] void execChild(const ChildOptions &options, const Pipes &pipes, char **argv,
                            char **envp)
{
    // Detached from any terminal, a port opened without O_NOCTTY would
    // become the program's own, and a pulled dongle would kill it.
    setsid();
    if (options.timerSlackNs > 0) {
        prctl(PR_SET_TIMERSLACK, options.timerSlackNs);
    }
    if (options.unprivileged &&
        (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
        _exit(126);
    }
    if (options.capture) {
        dup2(pipes.out[1], STDOUT_FILENO);
        dup2(pipes.err[1], STDERR_FILENO);
    }
    // Started as a service manager starts it: with nothing else open, so that
    // any descriptor it passes on is its own.
    closefrom(STDERR_FILENO + 1);
    environ = envp; // so that the PATH searched is the program's own
    execvp(argv[0], argv);
    _exit(127);
}

} // namespace

ChildResult runChild(const ChildOptions &options)
{
    ChildResult result;
    std::vector<std::string> args = options.argv;
    std::vector<std::string> env = environmentWith(options.env);
    std::vector<char *> argv = pointersTo(args);
    std::vector<char *> envp = pointersTo(env);
    Pipes pipes;
    const bool piped =
        !options.capture || (pipe2(pipes.out, O_CLOEXEC) == 0 && pipe2(pipes.err, O_CLOEXEC) == 0);
    result.begin = Clock::now();
    const pid_t pid = args.empty() || !piped ? -1 : fork();
    if (pid == 0) {
        execChild(options, pipes, argv.data(), envp.data());
    }
    closeFd(&pipes.out[1]);
    closeFd(&pipes.err[1]);
    if (pid < 0) {
        closeFd(&pipes.out[0]);
        closeFd(&pipes.err[0]);
        return result;
    }
    result.started = true;
    supervise(pid, &pipes, options, &result);
    return result;
}

namespace
{

// A plain shell, as light as the real setserial: the benchmark counts the
// memory of what the program runs.
const char setserialScript[] = R"sh(#!/bin/sh
log=${TORVEX_SETSERIAL_LOG:-}
pipes() {
    n=0
    for fd in /proc/$1/fd/*; do
        case ${fd##*/} in [0-2]) ;; *) [ ! -p "$fd" ] || n=$((n + 1)) ;; esac
    done
}
if [ -n "$log" ]; then
    now=$(date +%s.%N)
    caller=$PPID
    [ "$(readlink /proc/$caller/exe)" != "$(readlink -f /bin/sh)" ] ||
        read -r _ _ _ caller _ </proc/$caller/stat
    said="$now $caller $(readlink -f -- "$1") $*"
    echo "$said" >>"$log"
    pipes $$
    [ $n -eq 0 ] || echo "$said inherited a pipe" >>"$log"
    pipes $caller
    [ $n -le 1 ] || echo "$said beside $n pipes" >>"$log"
fi
[ -z "${TORVEX_SETSERIAL_ERR:-}" ] || PATH=${PATH#*:} exec setserial "$@" 2>>"$TORVEX_SETSERIAL_ERR"
eval "${TORVEX_SETSERIAL_RUN:-}"
exit "${TORVEX_SETSERIAL_EXIT:-0}"
)sh";

} // namespace

std::string makeSetserial()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/torvex-setserial-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        return {};
    }
    const std::string tool = pattern + "/setserial";
    std::ofstream(tool) << setserialScript;
    if (chmod(tool.c_str(), 0755) != 0 || chmod(pattern.c_str(), 0755) != 0) {
        removeSetserial(pattern);
        return {};
    }
    return pattern;
}

void removeSetserial(const std::string &dir)
{
    std::error_code error;
    std::filesystem::remove_all(dir, error);
}

std::string pathWith(const std::string &dir)
{
    const char *path = std::getenv("PATH");
    return "PATH=" + dir + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

} // namespace harness
