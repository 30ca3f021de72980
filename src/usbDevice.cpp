#include "usbDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

struct termios tty;
struct termios ti_prev;

namespace
{

constexpr int acmCandidates = 10;
constexpr std::size_t identifierLength = 14;

std::string ttyClassDir(int n)
{
    return "/sys/class/tty/ttyACM" + std::to_string(n);
}

std::string readIdentifierOf(int n)
{
    std::ifstream modalias(ttyClassDir(n) + "/device/modalias", std::ios::binary);
    if (!modalias.is_open()) {
        return {};
    }
    char text[identifierLength] = {};
    modalias.read(text, identifierLength);
    return std::string(text, static_cast<std::size_t>(modalias.gcount()));
}

// A sysfs attribute's text without the newline the kernel ends it with.
std::string readAttribute(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::string text;
    std::getline(file, text);
    return text;
}

// `device` links to the port's USB interface; the directory above that is
// the USB device, which keeps its port path when the dongle re-enumerates.
void readUsbDevice(int n, AcmPort *port)
{
    const std::string usbDevice = ttyClassDir(n) + "/device/../";
    const std::string bus = readAttribute(usbDevice + "busnum");
    const std::string devpath = readAttribute(usbDevice + "devpath");
    port->onUsb = !bus.empty() && !devpath.empty();
    port->portPath = port->onUsb ? bus + "-" + devpath : std::string();
    port->serialNumber = port->onUsb ? readAttribute(usbDevice + "serial") : std::string();
}

// The same character device, whichever name or link leads to it. Only
// stat: a node named by the user is never opened.
bool sameNode(const std::string &named, const std::string &devicePath)
{
    struct stat given {
    };
    struct stat port {
    };
    return stat(named.c_str(), &given) == 0 && S_ISCHR(given.st_mode) &&
           stat(devicePath.c_str(), &port) == 0 && S_ISCHR(port.st_mode) &&
           given.st_rdev == port.st_rdev;
}

void makeRaw(struct termios &t)
{
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHONL | ISIG);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP |
                                        INLCR | IGNCR | ICRNL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
    t.c_cc[VTIME] = 0;
    t.c_cc[VMIN] = 0;
}

void note(std::vector<PortProblem> *problems, const std::string &path, bool held, int error)
{
    if (problems != nullptr) {
        problems->push_back({path, held, error});
    }
}

// Takes the port's exclusive lock, so that a second flasher (or any program
// that locks its port) never gets our frames and flushes mixed into its own.
// A port whose lock cannot be had for another reason is used unlocked.
bool heldElsewhere(int fd)
{
    return flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

} // namespace

bool fileExists(const std::string &path)
{
    struct stat info {
    };
    return stat(path.c_str(), &info) == 0;
}

std::string DongleChoice::describe() const
{
    std::string options;
    const std::pair<const char *, const std::string *> given[] = {
        {"--path", &portPath}, {"--serial-number", &serialNumber}, {"--port", &node}};
    for (const auto &[option, value] : given) {
        if (!value->empty()) {
            options += (options.empty() ? "" : " ") + std::string(option) + " " + *value;
        }
    }
    return options;
}

bool describeAcmPort(int n, AcmPort *port)
{
    port->devicePath = "/dev/ttyACM" + std::to_string(n);
    if (!fileExists(port->devicePath)) {
        return false;
    }
    port->identifier = readIdentifierOf(n);
    readUsbDevice(n, port);
    return !port->identifier.empty();
}

bool choiceMatches(const DongleChoice &choice, const AcmPort &port)
{
    if (!choice.portPath.empty() && (!port.onUsb || port.portPath != choice.portPath)) {
        return false;
    }
    if (!choice.serialNumber.empty() && (!port.onUsb || port.serialNumber != choice.serialNumber)) {
        return false;
    }
    return choice.node.empty() || sameNode(choice.node, port.devicePath);
}

DongleChoice pinnedToPlace(const DongleChoice &choice)
{
    if (choice.node.empty()) {
        return choice;
    }
    for (int n = 0; n <= highestAcmPort; ++n) {
        AcmPort port;
        if (describeAcmPort(n, &port) && port.onUsb && sameNode(choice.node, port.devicePath)) {
            if (!choice.portPath.empty() && choice.portPath != port.portPath) {
                return choice; // names two places: nothing can match
            }
            DongleChoice pinned = choice;
            pinned.node.clear();
            pinned.portPath = port.portPath;
            return pinned;
        }
    }
    return choice;
}

// The identifier is taken by value: each caller hands over a copy of its own.
// cppcheck-suppress passedByValue
std::string open_device(int32_t *fd, std::string identifier, std::vector<PortProblem> *problems,
                        const DongleChoice &choice, std::string *portPath)
{
    *fd = -1;
    const int lastCandidate = choice.named() ? highestAcmPort : acmCandidates - 1;
    for (int n = 0; n <= lastCandidate; ++n) {
        std::string devicePath = "/dev/ttyACM" + std::to_string(n);
        if (!fileExists(devicePath) || readIdentifierOf(n) != identifier) {
            continue;
        }
        AcmPort found;
        found.devicePath = devicePath;
        readUsbDevice(n, &found);
        if (choice.named() && !choiceMatches(choice, found)) {
            continue;
        }
        if (portPath != nullptr) {
            *portPath = found.portPath; // a port passed over below is followed by the next
        }
        const int opened = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (opened < 0) {
            note(problems, devicePath, false, errno);
            return devicePath;
        }
        // Locked before any setting is read or changed.
        if (heldElsewhere(opened)) {
            note(problems, devicePath, true, 0);
            close(opened);
            continue;
        }
        *fd = opened;
        return devicePath;
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

bool UsbDevice::connect(std::string identifier, const DongleChoice &choice)
{
    int32_t fd = -1;
    portProblems_.clear();
    portPath_.clear();
    serialDeviceName = open_device(&fd, std::move(identifier), &portProblems_, choice, &portPath_);
    if (fd < 0) {
        return false;
    }
    tcgetattr(fd, &ti_prev);
    tcgetattr(fd, &tty);
    makeRaw(tty);
    tcsetattr(fd, TCSANOW, &tty);
    portFd = fd;
    return true;
}

bool UsbDevice::transmit(const uint8_t *data, int32_t len, bool replyWanted, int32_t timeout)
{
    // Whatever is waiting now (junk, or a reply that came too late) must not
    // be taken for the reply to this frame.
    tcflush(portFd, TCIFLUSH);
    if (!writeAll(data, len, timeout)) {
        return false;
    }
    if (!replyWanted) {
        return true;
    }
    return receive(timeout);
}

// The port is non-blocking, so a frame may go out in pieces; a frame that
// cannot go out whole within the timeout, or a port that is gone, fails it.
bool UsbDevice::writeAll(const uint8_t *data, int32_t len, int32_t timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    int32_t written = 0;
    while (written < len) {
        ssize_t n = write(portFd, data + written, static_cast<size_t>(len - written));
        if (n > 0) {
            written += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        struct pollfd room = {portFd, POLLOUT, 0};
        if (poll(&room, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            return false;
        }
        if ((room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
    }
    return true;
}

bool UsbDevice::receive(int32_t timeout)
{
    std::memset(rxBuffer, 0, sizeof rxBuffer);
    std::lock_guard<std::mutex> guard(rxLock);
    rxLength = 0;
    int64_t budget = static_cast<int64_t>(timeout) * 1000;
    int silence = 0;
    bool started = false;
    while (silence < 100 && budget > 0) {
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
            silence += 10;
        } else {
            budget -= 10;
        }
        usleep(10);
    }
    return rxLength > 0;
}

// Bounded, so that a port that never stops talking cannot hold the caller.
void UsbDevice::waitForSilence(int32_t quietMs, int32_t boundMs)
{
    using Clock = std::chrono::steady_clock;
    const auto bound = Clock::now() + std::chrono::milliseconds(boundMs);
    auto silentUntil = Clock::now() + std::chrono::milliseconds(quietMs);
    for (auto now = Clock::now(); now < std::min(silentUntil, bound); now = Clock::now()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(std::min(silentUntil, bound) - now);
        struct pollfd line = {portFd, POLLIN, 0};
        const int ready = poll(&line, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready <= 0) {
            continue;
        }
        if ((line.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return; // the port is gone: nothing more will come
        }
        uint8_t dropped[256];
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
    if (len + 1 >= sizeof rxBuffer) {
        return false;
    }
    return std::memcmp(rxBuffer + 1, text, len) == 0 && rxBuffer[1 + len] == 0;
}
