#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace sim
{

namespace
{

const char *const carriedNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};

std::string failure(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

bool bindFrom(int oldDev, const std::string &name, std::string *error)
{
    const std::string source = "/proc/self/fd/" + std::to_string(oldDev) + "/" + name;
    const std::string target = "/dev/" + name;
    struct stat info {
    };
    if (stat(source.c_str(), &info) != 0) {
        return true; // not on this machine: nothing to carry over
    }
    if (close(open(target.c_str(), O_CREAT | O_WRONLY, 0644)) != 0 ||
        mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        *error = failure("bind " + target);
        return false;
    }
    return true;
}

// The process outside the sandbox lives on only to end as its first process
// does, so that whoever started it sees that status or signal.
[[noreturn]] void endAs(pid_t first)
{
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

} // namespace

bool enterSandbox(std::string *why)
{
    if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = failure("unshare(CLONE_NEWNS | CLONE_NEWPID)");
        return false;
    }
    std::fflush(nullptr); // what is buffered is printed once, by the first process
    const pid_t first = fork();
    if (first > 0) {
        endAs(first);
    }
    // Only a process inside the PID namespace can mount its /proc. Should
    // whoever started us kill the process outside, everything in here dies.
    const bool inside =
        first == 0 && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 &&
        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
    if (!inside) {
        *why = failure(first < 0 ? "fork" : "mount /proc");
    }
    return inside;
}

// /dev/pts, the carried nodes and the links in /dev go with /dev; the CPUs
// and memory under /sys/devices/system stay reachable for whatever asks how
// many processors there are, while USB devices appear under /sys/devices as
// the buses publish them.
FakeDeviceTree::FakeDeviceTree()
{
    const int oldDev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int system = open("/sys/devices/system", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (oldDev < 0 || system < 0) {
        error_ = failure(oldDev < 0 ? "open /dev" : "open /sys/devices/system");
    } else if (mountTmpfs("torvex-dev", "/dev", MS_NOSUID, "mode=755") && fillDev(oldDev) &&
               mountTmpfs("torvex-sys", "/sys/class/tty", MS_NOSUID | MS_NODEV, "mode=755") &&
               mountTmpfs("torvex-devices", "/sys/devices", MS_NOSUID | MS_NODEV, "mode=755")) {
        const std::string source = "/proc/self/fd/" + std::to_string(system);
        if (mkdir("/sys/devices/system", 0755) != 0 ||
            mount(source.c_str(), "/sys/devices/system", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            error_ = failure("bind /sys/devices/system");
        } else {
            mounted_.emplace_back("/sys/devices/system");
        }
    }
    for (const int fd : {oldDev, system}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

FakeDeviceTree::~FakeDeviceTree()
{
    for (auto point = mounted_.rbegin(); point != mounted_.rend(); ++point) {
        umount2(point->c_str(), MNT_DETACH);
    }
}

bool FakeDeviceTree::mountTmpfs(const char *name, const char *target, unsigned long flags,
                                const char *options)
{
    if (mount(name, target, "tmpfs", flags, options) != 0) {
        error_ = failure(std::string("mount tmpfs on ") + target);
        return false;
    }
    mounted_.emplace_back(target);
    return true;
}

bool FakeDeviceTree::fillDev(int oldDev)
{
    // Pseudo-terminals come from an instance of devpts of our own, so their
    // numbers are ours alone; /dev/ptmx must lead into that instance.
    bool ok = mkdir("/dev/pts", 0755) == 0 &&
              mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                    "newinstance,ptmxmode=0666,mode=0620") == 0 &&
              symlink("pts/ptmx", "/dev/ptmx") == 0;
    if (!ok) {
        error_ = failure("mount devpts on /dev/pts");
    }
    for (const char *node : carriedNodes) {
        ok = ok && bindFrom(oldDev, node, &error_);
    }
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    return ok;
}

bool FakeDeviceTree::addForeignPort(int n, const std::string &modalias)
{
    const std::string name = "ttyACM" + std::to_string(n);
    if (close(open(("/dev/" + name).c_str(), O_CREAT | O_WRONLY, 0644)) != 0) {
        return false;
    }
    if (modalias.empty()) {
        return true;
    }
    const std::string dir = "/sys/class/tty/" + name;
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/device").c_str(), 0755);
    std::ofstream(dir + "/device/modalias") << modalias;
    return true;
}

} // namespace sim
