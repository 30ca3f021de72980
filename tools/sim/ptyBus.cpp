#include "ptyBus.h"

#include "usbSysfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

namespace sim
{

namespace
{

namespace fs = std::filesystem;

constexpr int maxPorts = 64;

// Ports that were pulled out, by number, with the pty that still backs them
// for any process that keeps it open. Shared by every bus in the process.
std::set<std::pair<int, std::string>> retiredPorts;
// Like the kernel, buses that plug in at the same moment must never be given
// the same number: choosing one and publishing it is a single step.
std::mutex numbering;
// Port paths of the buses alive in this process, so that a bus that is not
// told where it sits takes a port no other one has.
std::multiset<std::string> livePaths;
std::mutex placing;

std::string lowestFreePort()
{
    for (int k = 1;; ++k) {
        std::string port = "1-" + std::to_string(k);
        bool taken = false;
        for (const auto &live : livePaths) {
            taken = taken || onSamePort(live, port);
        }
        if (!taken) {
            return port;
        }
    }
}

bool isPortNumber(const std::string &text)
{
    return !text.empty() && text.size() <= 3 &&
           text.find_first_not_of("0123456789") == std::string::npos && text[0] != '0' &&
           std::stoi(text) <= 255;
}

// True when the process at /proc/PID has `path` open.
bool pidHolds(const fs::path &pid, const std::string &path)
{
    std::error_code e;
    std::error_code gone; // a file closed meanwhile
    for (fs::directory_iterator fd(pid / "fd", e), end; !e && fd != end; fd.increment(e)) {
        const std::string target = fs::read_symlink(fd->path(), gone).string();
        if (target == path || target == path + " (deleted)") {
            return true;
        }
    }
    return false;
}

} // namespace

const char *modaliasOf(Mode mode)
{
    return mode == Mode::Application ? "usb:v0069p1000d0100dc02dsc00dp00ic02isc02ip01in00\n"
                                     : "usb:v0069p2000d0100dc02dsc00dp00ic02isc02ip01in00\n";
}

const char *nameOf(Mode mode)
{
    return mode == Mode::Application ? "application" : "bootloader";
}

bool onSamePort(const std::string &a, const std::string &b)
{
    return a == b || a.rfind(b + ".", 0) == 0 || b.rfind(a + ".", 0) == 0;
}

bool isUsbPath(const std::string &path)
{
    const std::size_t dash = path.find('-');
    if (dash == std::string::npos || !isPortNumber(path.substr(0, dash))) {
        return false;
    }
    std::size_t start = dash + 1;
    for (std::size_t dot = path.find('.', start);; dot = path.find('.', start)) {
        if (!isPortNumber(path.substr(start, dot - start))) {
            return false;
        }
        if (dot == std::string::npos) {
            return true;
        }
        start = dot + 1;
    }
}

bool heldOpenElsewhere(const std::string &path)
{
    // The same /dev/pts/N in another mount namespace (another test's
    // sandbox) is another pseudo-terminal, and must not keep a number taken.
    std::error_code e;
    std::error_code gone; // a process ended meanwhile
    const fs::path ourNamespace = fs::read_symlink("/proc/self/ns/mnt", gone);
    const std::string self = std::to_string(getpid());
    for (fs::directory_iterator pid("/proc", e), end; !e && pid != end; pid.increment(e)) {
        const std::string name = pid->path().filename();
        if (name.find_first_not_of("0123456789") == std::string::npos && name != self &&
            fs::read_symlink(pid->path() / "ns/mnt", gone) == ourNamespace &&
            pidHolds(pid->path(), path)) {
            return true;
        }
    }
    return false;
}

PtyBus::PtyBus(UsbPlace place, std::string devDir, std::string sysDir)
    : place_(std::move(place)), devDir_(std::move(devDir)), sysDir_(std::move(sysDir))
{
    std::lock_guard<std::mutex> guard(placing);
    if (place_.path.empty() && !place_.plain) {
        place_.path = lowestFreePort();
    }
    livePaths.insert(place_.path);
}

PtyBus::~PtyBus()
{
    PtyBus::unplug(); // no dynamic dispatch in a destructor
    std::lock_guard<std::mutex> guard(placing);
    livePaths.erase(livePaths.find(place_.path));
}

bool PtyBus::numberTaken(int n) const
{
    struct stat info {
    };
    if (lstat((devDir_ + "/ttyACM" + std::to_string(n)).c_str(), &info) == 0) {
        return true;
    }
    for (const auto &[number, slave] : retiredPorts) {
        if (number == n && heldOpenElsewhere(slave)) {
            return true;
        }
    }
    return false;
}

int PtyBus::plugIn(Mode mode)
{
    unplug();
    if (!place_.plain && !isUsbPath(place_.path)) {
        return -1;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0) {
            close(master);
        }
        return -1;
    }
    std::lock_guard<std::mutex> guard(numbering);
    int n = 0;
    while (n < maxPorts && numberTaken(n)) {
        ++n;
    }
    master_ = master;
    number_ = n;
    slavePath_ = ptsname(master);
    mode_ = mode;
    publish(n, mode);
    return master_;
}

void PtyBus::publish(int n, Mode mode)
{
    const std::string name = "ttyACM" + std::to_string(n);
    if (place_.plain) {
        const std::string deviceDir = sysDir_ + "/class/tty/" + name + "/device";
        std::error_code ignored;
        fs::create_directories(deviceDir, ignored);
        std::ofstream(deviceDir + "/modalias") << modaliasOf(mode);
        std::ofstream(sysDir_ + "/class/tty/" + name + "/dev") << usbPort(n).dev << "\n";
    } else {
        publishUsbPort(sysDir_, usbPort(n));
    }
    // The node comes last, as udev makes it after the kernel has the device.
    symlink(slavePath_.c_str(), (devDir_ + "/" + name).c_str());
}

void PtyBus::withdraw(int n)
{
    const std::string name = "ttyACM" + std::to_string(n);
    unlink((devDir_ + "/" + name).c_str());
    if (!place_.plain) {
        withdrawUsbPort(sysDir_, usbPort(n));
        return;
    }
    std::error_code ignored;
    fs::remove_all(sysDir_ + "/class/tty/" + name, ignored);
}

UsbPort PtyBus::usbPort(int n) const
{
    UsbPort port;
    port.path = place_.path;
    port.mode = mode_;
    port.serial = mode_ == Mode::Application ? place_.serial : place_.bootloaderSerial;
    port.tty = n;
    // The node is a link to the pseudo-terminal: its numbers are the pty's.
    struct stat slave {
    };
    if (stat(slavePath_.c_str(), &slave) == 0) {
        port.dev =
            std::to_string(major(slave.st_rdev)) + ":" + std::to_string(minor(slave.st_rdev));
    }
    return port;
}

void PtyBus::unplug()
{
    if (master_ < 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(numbering);
    withdraw(number_);
    retiredPorts.insert({number_, slavePath_});
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
