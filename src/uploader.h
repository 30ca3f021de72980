#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <streambuf>
#include <string>
#include <vector>

#include "usbDevice.h"

extern const unsigned char CAN_bin[];
extern const uint32_t CAN_bin_len;
extern const char CAN_bin_name[];   // the firmware file's name
extern const char CAN_bin_sha256[]; // its SHA-256, in lowercase hex
extern const bool CAN_bin_is_test_image;

namespace zel
{

// A stream buffer with no buffer: every character written to it is refused.
class mystreambuf : public std::streambuf
{
  public:
    ~mystreambuf() override;
};

extern mystreambuf nostreambuf;
extern std::ostream nocout;

uint32_t CalcCRC(const uint8_t *data, uint32_t len);
void printProgress(double fraction);

class Uploader
{
  public:
    explicit Uploader(bool verbose);
    // The device objects deliberately outlive the uploader.
    ~Uploader() = default;
    Uploader(const Uploader &) = delete;
    Uploader &operator=(const Uploader &) = delete;

    void setVerbosity(bool verbose);
    bool patient = false; // waits for as long as other programs hold the port
    // The dongle to update; by default the first one found.
    void chooseDongle(const DongleChoice &choice);
    // Told how the update goes, a record at a time: "waiting PORT" when other
    // programs hold it, "say LINE" for each line that tells what goes on,
    // "opened PORT" once a port is opened, "switched" once the enter command
    // goes out, "progress PERCENT" after each page.
    void reportTo(std::function<void(const std::string &record)> records);
    bool openUsbDevice(std::string identifier, uint8_t attempts);
    bool perform();
    // Why the last perform failed, as one line; empty when nothing said why.
    std::string failureReason() const;

    bool sendEnterBootloaderCmd();
    bool sendCheckBootloaderEntered();
    bool sendPage();
    bool sendPageWrite(const uint8_t *data, int32_t len);
    bool sendBoot();

  private:
    bool nameFitsOne();
    bool portFree(const std::string &devicePath);
    void note(const std::string &line);
    bool handOverFromApplication();
    bool mayFollowWithoutPath();
    bool detectBootloader();
    bool transferPages();

    bool command(const uint8_t *frame, int32_t len, int32_t timeout);
    bool commandConfirmed(const uint8_t *frame, int32_t len, int32_t timeout);
    bool replyConfirms(uint8_t commandByte) const;
    void reportNothingFound();
    void say(const std::string &line);
    void reportPortProblems(const std::vector<PortProblem> &problems);
    std::ostream &log();
    void logLine(const std::string &message);

    UsbDevice *port = nullptr;
    bool verboseMode;
    int32_t pageCount = 0;
    int32_t pagesWritten = 0;
    std::set<std::string> problemsReported; // each said once per run
    DongleChoice userChoice;                // as the command line named it
    DongleChoice searchChoice;              // what the next search takes
    bool dongleSeen = false;                // a search met a port of the chosen dongle
    bool nameSettled = false;               // held to the USB port path it fitted first
    bool nameRefused = false;               // it fitted two dongles
    bool heldOff = false;                   // another process kept its port
    bool switched = false;                  // the enter command went out
    bool transferBegan = false;
    std::function<void(const std::string &)> recorder = [](const std::string &) {};
    std::string heldPort;   // the last port another program held, as said
    std::string lastSaid;   // the last line printed in quiet mode too
    std::string lastLogged; // the last line of the log
};

} // namespace zel
