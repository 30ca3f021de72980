#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <streambuf>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

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

// Standard output is lines for people or, with --json, one JSON object a line
// for scripts, each written whole and flushed.
extern bool jsonLines;
inline const std::string prefix = "[TORVEX] "; // starts the program's own lines
void say(const std::string &line);             // the line, or a message object that holds it
std::string dumped(const nlohmann::ordered_json &object); // one record's line

// What an update tells beside the lines it prints: a station runs each update
// in a process of its own and learns from these how it goes.
struct Event {
    enum class Kind { waiting, opened, switched, progress, said, failed, ended };
    Kind kind;
    std::string text;      // waiting, opened: the port; said: the line; failed: why
    int percent = 0;       // progress
    bool updated = false;  // ended
    bool noDongle = false; // failed: no dongle was met, and nothing more is known
    Sighting dongle = {};  // waiting, opened: as sysfs showed it then, before any switch
};
using Observer = std::function<void(const Event &event)>;

class Uploader
{
  public:
    explicit Uploader(bool verbose);

    void setVerbosity(bool verbose);
    bool patient = false; // waits for as long as other programs hold the port
    // The dongle to update; by default the first one found.
    void chooseDongle(const DongleChoice &choice);
    // Told of each Event of the update, as it happens.
    void reportTo(Observer events);
    bool openUsbDevice(std::string identifier, uint8_t attempts);
    bool perform();

    bool sendEnterBootloaderCmd();
    bool sendCheckBootloaderEntered();
    bool sendPage();
    bool sendPageWrite(const uint8_t *data, int32_t len);
    bool sendBoot();

  private:
    bool nameFitsOne();
    bool connectOnce(const std::string &identifier, std::vector<PortProblem> *problems);
    void setLowLatency();
    bool portFree(const Sighting &port);
    void note(const std::string &line);
    void sayObstacle(const std::string &line);
    bool fail(const std::string &reason, bool noDongle = false);
    bool handOverFromApplication();
    bool mayFollowWithoutPath();
    bool detectBootloader();
    bool transferPages();

    bool replyConfirms(uint8_t commandByte) const;
    bool failUnmet(const std::string &failure);
    void reportPortProblems(const std::vector<PortProblem> &problems);
    void log(const std::string &message, bool endLine = true); // to the log sink

    UsbDevice *port = nullptr; // the newest; the devices deliberately outlive the uploader
    bool verboseMode;
    int32_t pageCount = 0;
    int32_t pagesWritten = 0;
    std::set<std::string> problemsReported; // each said once per run
    DongleChoice userChoice;                // as the command line named it
    DongleChoice searchChoice;              // what the next search takes
    bool dongleSeen = false;                // a search met a port of the chosen dongle
    bool nameSettled = false;               // held to the USB port path it fitted first
    bool searchBlocked = false;             // by a name that fits two, or by a kept port
    bool switched = false;                  // the enter command went out
    Observer tell = [](const Event &) {};
    // Why no dongle could be reached, should none be: a port that could not
    // be used, as said; one that quiet mode did not say counts only alone.
    std::string obstacle;
    bool obstacleSaid = false;
};

} // namespace zel
