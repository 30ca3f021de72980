#include "usbDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

struct termios tty;
struct termios ti_prev;

namespace
{

constexpr std::size_t identifierLength = 14;

std::string ttyClassDir(int n)
{
    return "/sys/class/tty/ttyACM" + std::to_string(n);
}

namespace fs = std::filesystem;

// A process that ends while its /proc files are read gives a short text, not an exception.
std::string wholeFile(const fs::path &path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A sysfs attribute's text without the newline the kernel ends it with.
std::string readAttribute(const fs::path &path)
{
    const std::string text = wholeFile(path);
    return text.substr(0, text.find('\n'));
}

// The number of the character device at a path, or 0. Only stat: a path the
// user named is never opened.
dev_t deviceAt(const std::string &path)
{
    struct stat info = {};
    return stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : 0;
}

// Whether sysfs gives ttyACM<n> the device number `device`.
bool sysfsNumbers(int n, dev_t device)
{
    return device != 0 && readAttribute(ttyClassDir(n) + "/dev") ==
                              std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The kernel may have given the number to another device since sysfs was read:
// what was opened must be what sysfs shows now, and that what the search chose.
bool stillAsSeen(int n, int fd, const Sighting &seen)
{
    struct stat opened = {};
    Sighting now;
    return fstat(fd, &opened) == 0 && sysfsNumbers(n, opened.st_rdev) && sight(n, &now) &&
           now.identifier == seen.identifier && now.usbPath == seen.usbPath &&
           now.serialNumber == seen.serialNumber && now.enumeration == seen.enumeration;
}

// Off USB, a port has no port path and no serial number, so a name of either
// never matches it.
bool choiceMatches(const DongleChoice &choice, const Sighting &seen)
{
    return (choice.usbPath.empty() || choice.usbPath == seen.usbPath) &&
           (choice.serialNumber.empty() || choice.serialNumber == seen.serialNumber) &&
           (choice.enumeration.empty() || choice.enumeration == seen.enumeration) &&
           (choice.devicePath.empty() ||
            (deviceAt(choice.devicePath) != 0 &&
             deviceAt(choice.devicePath) == deviceAt(seen.devicePath)));
}

using Clock = std::chrono::steady_clock;

// Whether the process has `device` open without a lock on it; never for
// another user's process, whose descriptors cannot be read. Only links into
// /dev are followed: stat on another file could hang on a network file system.
bool holdsUnlocked(const fs::path &process, dev_t device)
{
    std::error_code denied;
    std::error_code gone; // the process ended or closed the file meanwhile
    for (fs::directory_iterator fd(process / "fd", denied), end; !denied && fd != end;
         fd.increment(denied)) {
        if (fs::read_symlink(fd->path(), gone).string().rfind("/dev/", 0) == 0 &&
            deviceAt(fd->path()) == device) {
            return wholeFile(process / "fdinfo" / fd->path().filename()).find("\nlock:") ==
                   std::string::npos;
        }
    }
    return false;
}

// Waits until `until` for the port to be ready for `events`; false once the
// time is up or the port is gone, and nothing more will come or go.
bool portReady(int fd, short events, Clock::time_point until)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    struct pollfd line = {fd, events, 0};
    const int ready = left.count() > 0 ? poll(&line, 1, static_cast<int>(left.count())) : 0;
    return (ready > 0 && (line.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) ||
           (ready < 0 && errno == EINTR);
}

} // namespace

bool fileExists(const std::string &path)
{
    struct stat info = {};
    return stat(path.c_str(), &info) == 0;
}

bool sight(int n, Sighting *seen)
{
    seen->devicePath = "/dev/ttyACM" + std::to_string(n);
    if (!fileExists(seen->devicePath)) {
        return false;
    }
    seen->identifier =
        readAttribute(ttyClassDir(n) + "/device/modalias").substr(0, identifierLength);
    // `device` links to the port's USB interface; the directory above that is
    // the USB device, which keeps its port path when the dongle re-enumerates.
    const std::string usbDevice = ttyClassDir(n) + "/device/../";
    const std::string bus = readAttribute(usbDevice + "busnum");
    const std::string devpath = readAttribute(usbDevice + "devpath");
    seen->onUsb = !bus.empty() && !devpath.empty();
    seen->usbPath = seen->onUsb ? bus + "-" + devpath : std::string();
    seen->serialNumber = seen->onUsb ? readAttribute(usbDevice + "serial") : std::string();
    // The kernel numbers each enumeration anew, a switch of mode too.
    seen->enumeration = seen->onUsb ? bus + ":" + readAttribute(usbDevice + "devnum") : "";
    return !seen->identifier.empty();
}

std::vector<Sighting> donglesFitting(const DongleChoice &choice, int from, int to)
{
    std::vector<Sighting> fitting;
    for (int n = from; n <= to; ++n) {
        Sighting seen;
        if (!sight(n, &seen) || !choiceMatches(choice, seen) ||
            (seen.identifier != applicationIdentifier && seen.identifier != bootloaderIdentifier)) {
            continue;
        }
        // A device may have more than one port.
        if (std::none_of(fitting.begin(), fitting.end(), [&seen](const Sighting &other) {
                return seen.onUsb && other.usbPath == seen.usbPath;
            })) {
            fitting.push_back(seen);
        }
    }
    return fitting;
}

std::string nothingFits(const DongleChoice &choice)
{
    return choice.empty() ? "No Torvex dongle found." : "No dongle matches " + choice.asGiven + ".";
}

// A serial number is the device's own text: one field of a line, and nothing
// in it may move the terminal's cursor. UTF-8 letters stay; a space, a control
// character (C0, DEL, C1) and a byte that is not UTF-8 become '?'.
std::string printable(const std::string &serialNumber)
{
    std::string shown;
    for (std::size_t i = 0; i < serialNumber.size();) {
        const auto lead = static_cast<unsigned char>(serialNumber[i]);
        std::size_t len = lead < 0x80                   ? 1
                          : lead < 0xC2 || lead >= 0xF5 ? 0
                          : lead < 0xE0                 ? 2
                                                        : 3 + (lead >= 0xF0 ? 1 : 0);
        for (std::size_t k = 1; k < len; ++k) {
            len = i + k < serialNumber.size() && (serialNumber[i + k] & 0xC0) == 0x80 ? len : 0;
        }
        const bool control = lead <= 0x20 || lead == 0x7F ||
                             (lead == 0xC2 && len == 2 && (serialNumber[i + 1] & 0xE0) == 0x80);
        shown += len == 0 || control ? std::string("?") : serialNumber.substr(i, len);
        i += std::max<std::size_t>(len, 1);
    }
    return shown;
}

std::vector<Holder> holdersOf(const std::string &path)
{
    std::vector<Holder> holders;
    const dev_t device = deviceAt(path);
    // Copies of this program have its name, wherever they are and whatever
    // runs them (an emulator, say), which /proc/PID/exe would not tell.
    const std::string ownName = readAttribute("/proc/self/comm");
    std::error_code e;
    for (fs::directory_iterator process("/proc", e), end; device != 0 && !e && process != end;
         process.increment(e)) {
        const std::string pid = process->path().filename();
        const std::string name = readAttribute(process->path() / "comm");
        if (std::isdigit(pid[0]) != 0 && name != ownName &&
            holdsUnlocked(process->path(), device)) {
            holders.push_back({name, std::stoi(pid)});
        }
    }
    return holders;
}

std::string named(const std::vector<Holder> &holders)
{
    std::string text;
    for (const Holder &holder : holders) {
        text += (text.empty() ? "" : ", ") + printable(holder.command) + " (pid " +
                std::to_string(holder.pid) + ")";
    }
    return text;
}

// udev's database marks the ports that ModemManager must leave alone.
std::string modemManagerWarning(const std::string &path)
{
    static bool said = false;
    const dev_t device = deviceAt(path);
    const bool marked = ("\n" + wholeFile("/run/udev/data/c" + std::to_string(major(device)) + ":" +
                                          std::to_string(minor(device))))
                            .find("\nE:ID_MM_DEVICE_IGNORE=1\n") != std::string::npos;
    bool runs = false;
    std::error_code e;
    for (fs::directory_iterator process("/proc", e), end;
         !e && !said && !marked && !runs && process != end; process.increment(e)) {
        runs = readAttribute(process->path() / "comm") == "ModemManager";
    }
    said = said || runs;
    return runs ? "ModemManager is running and may probe the dongle's port during the update: "
                  "install the udev rule 60-torvex.rules to keep it away (see 'man "
                  "ZEL_USB_Flasher')."
                : "";
}

// The identifier is taken by value: each caller hands over a copy of its own.
// cppcheck-suppress passedByValue
std::string open_device(int32_t *fd, std::string identifier, std::vector<PortProblem> *problems,
                        const DongleChoice &choice, Sighting *found, const PortCheck &mayOpen)
{
    *fd = -1;
    const int lastCandidate = choice.empty() ? acmCandidates - 1 : highestAcmPort;
    for (int n = 0; n <= lastCandidate; ++n) {
        Sighting seen;
        // Opening a port raises DTR, which resets some boards: a node that
        // leads to another device than sysfs shows is not opened at all.
        if (!sight(n, &seen) || seen.identifier != identifier || !choiceMatches(choice, seen) ||
            !sysfsNumbers(n, deviceAt(seen.devicePath))) {
            continue;
        }
        if (mayOpen && !mayOpen(seen)) {
            return seen.devicePath;
        }
        const int opened = open(seen.devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (opened < 0) {
            problems->push_back({seen.devicePath, false, errno});
            return seen.devicePath;
        }
        // Locked before any setting is read or changed, so that no other program
        // that locks its port gets our frames mixed into its own. A port whose
        // lock cannot be had for another reason is used unlocked.
        if (flock(opened, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            problems->push_back({seen.devicePath, true, 0});
            close(opened);
            continue;
        }
        if (!stillAsSeen(n, opened, seen)) {
            close(opened); // as for a port that went away
            continue;
        }
        *fd = opened;
        *found = seen;
        return seen.devicePath;
    }
    return {};
}

UsbDevice::UsbDevice() : rxBuffer{}, rxLength(0), portFd(-1) {}

UsbDevice::~UsbDevice()
{
    if (portFd < 0) {
        return;
    }
    // Leave the modem control lines as they are when the port closes.
    ti_prev.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    tcsetattr(portFd, TCSANOW, &ti_prev);
    close(portFd);
}

bool UsbDevice::connect(std::string identifier, const DongleChoice &choice,
                        const PortCheck &mayOpen)
{
    int32_t fd = -1;
    portProblems.clear();
    dongle = {};
    serialDeviceName =
        open_device(&fd, std::move(identifier), &portProblems, choice, &dongle, mayOpen);
    if (fd < 0) {
        return false;
    }
    tcgetattr(fd, &ti_prev);
    tcgetattr(fd, &tty);
    // Raw: the speed and flow control stay as found; a read returns at once.
    tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    tty.c_cflag |= CS8 | CREAD | CLOCAL;
    tty.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHONL | ISIG);
    tty.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP |
                                          INLCR | IGNCR | ICRNL);
    tty.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
    tty.c_cc[VTIME] = 0;
    tty.c_cc[VMIN] = 0;
    tcsetattr(fd, TCSANOW, &tty);
    portFd = fd;
    return true;
}

bool UsbDevice::transmit(const uint8_t *data, int32_t len, bool replyWanted, int32_t timeout)
{
    // One timeout in two units: the frame's write is bounded in milliseconds,
    // the reply's wait in hundreds of empty polls.
    const int32_t writeBoundMs = timeout;
    const int32_t replyPollHundreds = timeout;
    // Whatever is waiting now (junk, or a reply that came too late) must not
    // be taken for the reply to this frame.
    tcflush(portFd, TCIFLUSH);
    return writeAll(data, len, writeBoundMs) && (!replyWanted || receive(replyPollHundreds));
}

// The port is non-blocking, so a frame may go out in pieces; a frame that
// cannot go out whole within the timeout, or a port that is gone, fails it.
bool UsbDevice::writeAll(const uint8_t *data, int32_t len, int32_t boundMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    int32_t written = 0;
    while (written < len) {
        const ssize_t n = write(portFd, data + written, static_cast<size_t>(len - written));
        if (n > 0) {
            written += static_cast<int32_t>(n);
            continue;
        }
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || !portReady(portFd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

// Nominally `pollHundreds` milliseconds: a hundred empty polls of 10 µs each.
bool UsbDevice::receive(int32_t pollHundreds)
{
    std::memset(rxBuffer, 0, sizeof rxBuffer);
    std::lock_guard<std::mutex> guard(rxLock);
    rxLength = 0;
    int64_t emptyPollsLeft = static_cast<int64_t>(pollHundreds) * 100;
    int silentPolls = 0; // since the first byte, however many came after it
    bool started = false;
    while (silentPolls < 10 && emptyPollsLeft > 0) {
        uint8_t byte = 0;
        ssize_t n = read(portFd, &byte, 1);
        if (n == 1) {
            started = true;
            rxBuffer[rxLength++] = byte;
            // A port that keeps talking would otherwise hold us here for as
            // long as it talks; the next frame's flush drops what follows.
            if (rxLength == rxCapacity) {
                break;
            }
            continue;
        }
        if (started && n == 0) {
            ++silentPolls;
        } else {
            --emptyPollsLeft;
        }
        usleep(10);
    }
    return rxLength > 0;
}

// Bounded, so that a port that never stops talking cannot hold the caller.
void UsbDevice::waitForSilence(int32_t quietMs, int32_t boundMs)
{
    const auto bound = Clock::now() + std::chrono::milliseconds(boundMs);
    auto silentUntil = Clock::now() + std::chrono::milliseconds(quietMs);
    uint8_t dropped[256];
    while (portReady(portFd, POLLIN, std::min(silentUntil, bound))) {
        const ssize_t n = read(portFd, dropped, sizeof dropped);
        // Readable with nothing to read, or an error: gone too.
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || n == 0) {
            return;
        }
        if (n > 0) {
            silentUntil = Clock::now() + std::chrono::milliseconds(quietMs);
        }
    }
}

std::string UsbDevice::getSerialDeviceName()
{
    return serialDeviceName;
}

bool UsbDevice::replyTextIs(const char *text) const
{
    const std::size_t len = std::strlen(text);
    return len + 1 < sizeof rxBuffer && std::memcmp(rxBuffer + 1, text, len) == 0 &&
           rxBuffer[1 + len] == 0;
}
