#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

bool bindFrom(int oldDev, const std::string &name, bool directory, std::string *error)
{
    const std::string source = "/proc/self/fd/" + std::to_string(oldDev) + "/" + name;
    const std::string target = "/dev/" + name;
    struct stat info {
    };
    if (stat(source.c_str(), &info) != 0) {
        return true; // not on this machine: nothing to carry over
    }
    const bool made = directory ? mkdir(target.c_str(), 0755) == 0
                                : close(open(target.c_str(), O_CREAT | O_WRONLY, 0644)) == 0;
    if (!made || mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        *error = failure("bind " + target);
        return false;
    }
    return true;
}

} // namespace

bool enterPrivateMountNamespace(std::string *why)
{
    if (unshare(CLONE_NEWNS) != 0) {
        *why = failure("unshare(CLONE_NEWNS)");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = failure("making / private");
        return false;
    }
    return true;
}

FakeDeviceTree::FakeDeviceTree()
{
    if (mountDev() && mountTtyClass()) {
        mountDevices();
    }
}

FakeDeviceTree::~FakeDeviceTree()
{
    if (systemBound_) {
        umount2("/sys/devices/system", MNT_DETACH);
    }
    if (devicesMounted_) {
        umount2("/sys/devices", MNT_DETACH);
    }
    if (ttyClassMounted_) {
        umount2("/sys/class/tty", MNT_DETACH);
    }
    if (devMounted_) {
        umount2("/dev", MNT_DETACH);
    }
}

bool FakeDeviceTree::mountDev()
{
    const int oldDev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (oldDev < 0) {
        error_ = failure("open /dev");
        return false;
    }
    if (mount("torvex-dev", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0) {
        error_ = failure("mount tmpfs on /dev");
        close(oldDev);
        return false;
    }
    devMounted_ = true;
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
        ok = ok && bindFrom(oldDev, node, false, &error_);
    }
    close(oldDev);
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    return ok;
}

bool FakeDeviceTree::mountTtyClass()
{
    if (mount("torvex-sys", "/sys/class/tty", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0) {
        error_ = failure("mount tmpfs on /sys/class/tty");
        return false;
    }
    ttyClassMounted_ = true;
    return true;
}

// USB devices appear under /sys/devices as the buses publish them; the CPUs
// and memory under /sys/devices/system stay reachable for whatever asks how
// many processors there are.
bool FakeDeviceTree::mountDevices()
{
    const int system = open("/sys/devices/system", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (system < 0) {
        error_ = failure("open /sys/devices/system");
        return false;
    }
    if (mount("torvex-devices", "/sys/devices", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0) {
        error_ = failure("mount tmpfs on /sys/devices");
        close(system);
        return false;
    }
    devicesMounted_ = true;
    const std::string source = "/proc/self/fd/" + std::to_string(system);
    if (mkdir("/sys/devices/system", 0755) != 0 ||
        mount(source.c_str(), "/sys/devices/system", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        error_ = failure("bind /sys/devices/system");
        close(system);
        return false;
    }
    systemBound_ = true;
    close(system);
    return true;
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
