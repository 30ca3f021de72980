#pragma once

#include <termios.h>

#include <cstdint>
#include <mutex>
#include <string>

// Settings of the port connected most recently: as found, and as applied.
extern struct termios tty;
extern struct termios ti_prev;

bool fileExists(const std::string &path);

// Finds the first /dev/ttyACM<n> (n = 0..9) whose USB modalias starts with
// `identifier`, opens it and stores the descriptor (or -1) through `fd`.
std::string open_device(int32_t *fd, std::string identifier);

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

    // True when the reply's text (from byte 1 up to the first zero) equals `text`.
    bool replyTextIs(const char *text) const;

    uint8_t rxBuffer[rxCapacity];
    int32_t rxLength;

  private:
    bool writeAll(const uint8_t *data, int32_t len, int32_t timeout);

    int32_t portFd;
    std::string serialDeviceName;
    std::mutex rxLock;
};
