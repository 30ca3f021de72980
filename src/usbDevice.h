#pragma once

#include <termios.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Settings of the port connected most recently: as found, and as applied.
extern struct termios tty;
extern struct termios ti_prev;

bool fileExists(const std::string &path);

// Picks one dongle among several; a field left empty matches every dongle.
// The values are only ever compared with what the search finds: the
// program may run as root, and a value must not lead it to any other file.
struct DongleChoice {
    std::string portPath;     // USB port path, "<bus>-<port>[.<port>...]"
    std::string serialNumber; // the USB device's serial number
    std::string node;         // the port's /dev node, or a link to it

    bool named() const
    {
        return !portPath.empty() || !serialNumber.empty() || !node.empty();
    }
    // The options that name it, as given: "--path 1-2 --serial-number X".
    std::string describe() const;
};

// What /dev and sysfs show of one ttyACM port.
struct AcmPort {
    std::string devicePath; // /dev/ttyACM<n>
    std::string identifier; // the start of its modalias
    bool onUsb = false;     // sysfs shows the USB device above the port
    std::string portPath;
    std::string serialNumber; // empty when the device has none
};

// The port /dev/ttyACM<n>, if it has a node and a modalias.
bool describeAcmPort(int n, AcmPort *port);
bool choiceMatches(const DongleChoice &choice, const AcmPort &port);
// A node names the dongle on it now. The kernel hands a freed number to the
// next device, so a later search by the node could meet another dongle:
// where sysfs shows the USB device on the node, the choice becomes its port
// path instead.
DongleChoice pinnedToPlace(const DongleChoice &choice);
constexpr int highestAcmPort = 255; // the kernel numbers them from 0 to 255

// A port with the wanted identifier that could not be used: another program
// holds it locked, or its open failed with `error`.
struct PortProblem {
    std::string path;
    bool held;
    int error;
};

// Finds the first /dev/ttyACM<n> (n = 0..9) whose USB modalias starts with
// `identifier` and that no other program holds locked, opens and locks it,
// and stores the descriptor (or -1) through `fd`. Ports skipped on the way,
// and a port that could not be opened, are added to `problems` if given.
// With a dongle chosen, every ttyACM port is searched, and a port of any
// other device is never opened. The port path of the port found (empty
// when sysfs shows no USB device above it) is stored through `portPath`.
std::string open_device(int32_t *fd, std::string identifier,
                        std::vector<PortProblem> *problems = nullptr,
                        const DongleChoice &choice = {}, std::string *portPath = nullptr);

class UsbDevice
{
  public:
    static constexpr int32_t rxCapacity = 512;

    UsbDevice();
    ~UsbDevice();
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    bool connect(std::string identifier, const DongleChoice &choice = {});
    bool transmit(const uint8_t *data, int32_t len, bool replyWanted, int32_t timeout);
    bool receive(int32_t timeout);
    std::string getSerialDeviceName();
    // The USB port path of the port found by the last connect; empty when
    // sysfs shows no USB device above it.
    const std::string &portPath() const
    {
        return portPath_;
    }
    // Reads and drops what comes until the port has been silent for
    // `quietMs`, or for `boundMs` in all, or until the port is gone.
    void waitForSilence(int32_t quietMs, int32_t boundMs);
    // Why ports with the identifier were passed over by the last connect.
    const std::vector<PortProblem> &portProblems() const
    {
        return portProblems_;
    }

    // True when the reply's text (from byte 1 up to the first zero) equals `text`.
    bool replyTextIs(const char *text) const;

    uint8_t rxBuffer[rxCapacity];
    int32_t rxLength;

  private:
    bool writeAll(const uint8_t *data, int32_t len, int32_t timeout);

    int32_t portFd;
    std::string serialDeviceName;
    std::mutex rxLock;
    std::vector<PortProblem> portProblems_;
    std::string portPath_;
};
