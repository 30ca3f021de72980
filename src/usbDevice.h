#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Settings of the port connected most recently: as found, and as applied.
extern struct termios tty;
extern struct termios ti_prev;

// The Torvex's USB identifiers, as the start of a port's modalias.
inline const std::string applicationIdentifier = "usb:v0069p1000";
inline const std::string bootloaderIdentifier = "usb:v0069p2000";
constexpr int acmCandidates = 10;   // searched for a dongle no one named: ttyACM0 to ttyACM9
constexpr int highestAcmPort = 255; // the kernel numbers them from 0 to 255

bool fileExists(const std::string &path);

// One dongle among several; an empty field matches every dongle. The values are
// only compared with what the search finds: they must never lead to a file.
struct DongleChoice {
    std::string usbPath;      // USB port path, "<bus>-<port>[.<port>...]"
    std::string serialNumber; // the USB device's serial number
    std::string devicePath;   // a /dev/ttyACM<n>, or a link to one
    std::string asGiven;      // the options that named it, for messages
    std::string enumeration;  // of a USB device, when only that plug of it will do

    bool empty() const
    {
        return usbPath.empty() && serialNumber.empty() && devicePath.empty();
    }
};

// What /dev and sysfs show of /dev/ttyACM<n>.
struct Sighting {
    std::string devicePath;
    std::string identifier;   // the start of its modalias
    bool onUsb = false;       // sysfs shows the USB device above the port
    std::string usbPath;      // empty when not on USB
    std::string serialNumber; // empty when the device has none
    std::string enumeration;  // "<busnum>:<devnum>", one plug of the USB device; off USB empty
};

bool sight(int n, Sighting *seen); // false without a node and a modalias
// The dongles that the choice fits, in either mode, on ttyACM<from> to
// ttyACM<to>, one for each USB device; no port is opened.
std::vector<Sighting> donglesFitting(const DongleChoice &choice, int from = 0,
                                     int to = highestAcmPort);
std::string nothingFits(const DongleChoice &choice); // the line that says none does
std::string printable(const std::string &serialNumber);

struct Holder {
    std::string command; // its name, as /proc/PID/comm gives it
    int pid;
};

// The processes that have the port at `path` open, of those whose files the
// user may read. Copies of this program and holders of a lock on the port are
// left out: the lock keeps them apart.
std::vector<Holder> holdersOf(const std::string &path);
std::string named(const std::vector<Holder> &holders); // "cat (pid 4242), ..."
// The line that says ModemManager may probe the port, or an empty one; the
// line comes once in a run.
std::string modemManagerWarning(const std::string &path);

// A port with the wanted identifier that could not be used: another program
// holds it locked, or its open failed with `error`.
struct PortProblem {
    std::string devicePath;
    bool held;
    int error;
};

// Finds the first /dev/ttyACM<n> (n = 0..9) whose USB modalias starts with
// `identifier` and that no other program holds locked, opens and locks it,
// and stores the descriptor (or -1) through `fd`, and what sysfs showed of
// it through `found`. Ports passed over are added to `problems`. With a
// choice, the one dongle named or followed is looked for on every ttyACM
// port, wherever the kernel put it, and no other device's port is opened.
// A port that `mayOpen` refuses ends the search unopened.
using PortCheck = std::function<bool(const Sighting &port)>;
std::string open_device(int32_t *fd, std::string identifier, std::vector<PortProblem> *problems,
                        const DongleChoice &choice, Sighting *found, const PortCheck &mayOpen);

class UsbDevice
{
  public:
    static constexpr int32_t rxCapacity = 512;

    UsbDevice();
    ~UsbDevice();
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    bool connect(std::string identifier, const DongleChoice &choice = {},
                 const PortCheck &mayOpen = nullptr);
    bool transmit(const uint8_t *data, int32_t len, bool replyWanted, int32_t timeout);
    bool receive(int32_t pollHundreds);
    std::string getSerialDeviceName();
    // Reads and drops what comes until the port has been silent for
    // `quietMs`, or for `boundMs` in all, or until the port is gone.
    void waitForSilence(int32_t quietMs, int32_t boundMs);

    // True when the reply's text (from byte 1 up to the first zero) equals `text`.
    bool replyTextIs(const char *text) const;

    uint8_t rxBuffer[rxCapacity];
    int32_t rxLength;
    // Of the last connect: what sysfs showed of the port it opened, and why it
    // passed over ports with the identifier.
    Sighting dongle;
    std::vector<PortProblem> portProblems;

  private:
    bool writeAll(const uint8_t *data, int32_t len, int32_t boundMs);

    int32_t portFd;
    std::string serialDeviceName;
    std::mutex rxLock;
};
