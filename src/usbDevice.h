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
std::string open_device(int32_t *fd, std::string identifier,
                        std::vector<PortProblem> *problems = nullptr);

class UsbDevice
{
  public:
    static constexpr int32_t rxCapacity = 512;

    UsbDevice();
    ~UsbDevice();
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    bool connect(std::string identifier);
    bool transmit(const uint8_t *data, int32_t len, bool replyWanted, int32_t timeout);
    bool receive(int32_t timeout);
    std::string getSerialDeviceName();
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
};
