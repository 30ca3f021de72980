#include "ptyBus.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

namespace sim
{

namespace
{

constexpr int maxPorts = 64;

// Ports that were pulled out, by number, with the pty that still backs them
// for any process that keeps it open. Shared by every bus in the process.
std::set<std::pair<int, std::string>> &retiredPorts()
{
    static std::set<std::pair<int, std::string>> ports;
    return ports;
}

// Like the kernel, buses that plug in at the same moment must never be given
// the same number: choosing one and publishing it is a single step.
std::mutex &numbering()
{
    static std::mutex lock;
    return lock;
}

std::string readLink(const std::string &path)
{
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool isDigits(const char *text)
{
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

bool pidHolds(const std::string &pid, const std::string &path)
{
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR *fds = opendir(fdDir.c_str());
    if (fds == nullptr) {
        return false;
    }
    bool held = false;
    while (dirent *entry = readdir(fds)) {
        const std::string target = readLink(fdDir + "/" + entry->d_name);
        if (target == path || target == path + " (deleted)") {
            held = true;
            break;
        }
    }
    closedir(fds);
    return held;
}

} // namespace

const char *modaliasOf(Mode mode)
{
    return mode == Mode::Application ? "usb:v0069p1000d0100dc02dsc00dp00ic02isc02ip01in00\n"
                                     : "usb:v0069p2000d0100dc02dsc00dp00ic02isc02ip01in00\n";
}

bool heldOpenElsewhere(const std::string &path)
{
    const std::string self = std::to_string(getpid());
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    bool held = false;
    while (dirent *entry = readdir(proc)) {
        if (isDigits(entry->d_name) && self != entry->d_name && pidHolds(entry->d_name, path)) {
            held = true;
            break;
        }
    }
    closedir(proc);
    return held;
}

PtyBus::PtyBus(std::string devDir, std::string ttyClassDir)
    : devDir_(std::move(devDir)), ttyClassDir_(std::move(ttyClassDir))
{
}

PtyBus::~PtyBus()
{
    PtyBus::unplug(); // no dynamic dispatch in a destructor
}

bool PtyBus::numberTaken(int n) const
{
    struct stat info {
    };
    if (lstat((devDir_ + "/ttyACM" + std::to_string(n)).c_str(), &info) == 0) {
        return true;
    }
    for (const auto &[number, slave] : retiredPorts()) {
        if (number == n && heldOpenElsewhere(slave)) {
            return true;
        }
    }
    return false;
}

int PtyBus::plugIn(Mode mode)
{
    unplug();
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0) {
            close(master);
        }
        return -1;
    }
    std::lock_guard<std::mutex> guard(numbering());
    int n = 0;
    while (n < maxPorts && numberTaken(n)) {
        ++n;
    }
    master_ = master;
    number_ = n;
    slavePath_ = ptsname(master);
    publish(n, mode);
    return master_;
}

void PtyBus::publish(int n, Mode mode)
{
    const std::string name = "ttyACM" + std::to_string(n);
    const std::string deviceDir = ttyClassDir_ + "/" + name + "/device";
    mkdir((ttyClassDir_ + "/" + name).c_str(), 0755);
    mkdir(deviceDir.c_str(), 0755);
    std::ofstream(deviceDir + "/modalias") << modaliasOf(mode);
    // The node comes last, as udev makes it after the kernel has the device.
    symlink(slavePath_.c_str(), (devDir_ + "/" + name).c_str());
}

void PtyBus::withdraw(int n)
{
    const std::string name = "ttyACM" + std::to_string(n);
    unlink((devDir_ + "/" + name).c_str());
    unlink((ttyClassDir_ + "/" + name + "/device/modalias").c_str());
    rmdir((ttyClassDir_ + "/" + name + "/device").c_str());
    rmdir((ttyClassDir_ + "/" + name).c_str());
}

void PtyBus::unplug()
{
    if (master_ < 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(numbering());
    withdraw(number_);
    retiredPorts().insert({number_, slavePath_});
    // Closing the master hangs up every open descriptor of the slave.
    close(master_);
    master_ = -1;
    number_ = -1;
    slavePath_.clear();
}

std::string PtyBus::hostPort() const
{
    return number_ < 0 ? std::string() : devDir_ + "/ttyACM" + std::to_string(number_);
}

} // namespace sim
