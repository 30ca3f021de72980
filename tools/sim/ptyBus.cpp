#include "ptyBus.h"

#include "usbSysfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <string>

namespace sim
{

namespace
{

namespace fs = std::filesystem;

// As many as the kernel's CDC-ACM driver numbers: a rack of dongles, each
// holding a second number while its host keeps its old port open, needs them.
constexpr int maxPorts = 256;

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
        if (std::none_of(livePaths.begin(), livePaths.end(),
                         [&](const std::string &live) { return onSamePort(live, port); })) {
            return port;
        }
    }
}

// Hands `held` each file that a process other than this one, in our
// sandbox (its /proc shows no other), has open (a removed one without its
// " (deleted)"), until it returns true; that process's id, or 0.
pid_t scanHolders(const std::function<bool(const std::string &file)> &held)
{
    std::error_code e;
    std::error_code gone; // a process ended or a file closed meanwhile
    const std::string self = std::to_string(getpid());
    for (fs::directory_iterator pid("/proc", e), end; !e && pid != end; pid.increment(e)) {
        const std::string name = pid->path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos || name == self) {
            continue;
        }
        std::error_code closed; // the process ended meanwhile
        for (fs::directory_iterator fd(pid->path() / "fd", closed), last; !closed && fd != last;
             fd.increment(closed)) {
            const std::string file = fs::read_symlink(fd->path(), gone).string();
            if (held(file.substr(0, file.rfind(" (deleted)")))) {
                return static_cast<pid_t>(std::stol(name));
            }
        }
    }
    return 0;
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
    static const std::string number = "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9][0-9]?)";
    static const std::regex usbPath(number + "-" + number + "(\\." + number + ")*");
    return std::regex_match(path, usbPath);
}

pid_t holderElsewhere(const std::string &path)
{
    return scanHolders([&path](const std::string &file) { return file == path; });
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
    std::error_code e;
    return fs::exists(fs::symlink_status(devDir_ + "/ttyACM" + std::to_string(n), e)) ||
           std::any_of(retiredPorts.begin(), retiredPorts.end(),
                       [n](const auto &port) { return port.first == n; });
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
    // One look through /proc for all retired ports, not one per number: a rack
    // of dongles switching together waits on this lock. A pty no one holds is
    // gone for good (its name may come back for a new one): it is forgotten.
    std::set<std::string> held;
    if (!retiredPorts.empty()) {
        scanHolders([&held](const std::string &file) { return held.insert(file), false; });
    }
    for (auto port = retiredPorts.begin(); port != retiredPorts.end();) {
        port = held.count(port->second) != 0 ? std::next(port) : retiredPorts.erase(port);
    }
    int n = 0;
    while (n < maxPorts && numberTaken(n)) {
        ++n;
    }
    if (n == maxPorts) {
        close(master);
        return -1;
    }
    master_ = master;
    number_ = n;
    slavePath_ = ptsname(master);
    mode_ = mode;
    publishUsbPort(sysDir_, usbPort(n));
    // The node comes last, as udev makes it after the kernel has the device.
    symlink(slavePath_.c_str(), hostPort().c_str());
    return master_;
}

UsbPort PtyBus::usbPort(int n) const
{
    const std::string &serial =
        mode_ == Mode::Application ? place_.serial : place_.bootloaderSerial;
    UsbPort port{place_.plain, place_.path, mode_, serial, n, ""};
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
    unlink(PtyBus::hostPort().c_str()); // no dynamic dispatch: unplug() runs in the destructor
    withdrawUsbPort(sysDir_, usbPort(number_));
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
