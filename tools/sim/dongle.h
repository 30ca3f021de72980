#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "faults.h"
#include "hostWatch.h"

namespace sim
{

// CRC-32/MPEG-2, computed bit by bit: the dongle's own check of a page.
uint32_t crc32Mpeg2(const uint8_t *data, std::size_t len);

// The page write frame a host sends for these page bytes.
std::vector<uint8_t> pageWriteFrame(const uint8_t *page, std::size_t len);

// True for the first byte of one of the bootloader protocol's commands.
bool isCommandByte(uint8_t byte);

// The cable pulled at a moment in wall time, whatever the dongle is doing
// then, as only a real bus can be: it may stay out, come back after a while,
// or come back once the host has let go of its old port (so that the port
// keeps its number).
struct Pull {
    int atMs = -1;        // after armPull(); negative: no pull
    int backAfterMs = -1; // negative: stays out
    bool afterRelease = false;
};

// What the pull met, once it happened.
struct PullRecord {
    bool happened = false;
    std::string phase;    // what the host was doing: open, settings, pause, detection, frame,
                          // transfer, handover; or switch, between the dongle's two ports
    int framesBefore = 0; // frames received before it
    std::string portBefore;
    std::string portAfter; // empty when it did not come back
    std::chrono::steady_clock::time_point at;
};

// One stay of the dongle on the bus, under one port.
struct Plug {
    std::string port;
    std::string pts; // what the port's name leads to
    Mode mode = Mode::Application;
    using Time = std::chrono::steady_clock::time_point;
    Time on;                // taken before the port appears
    Time up;                // taken once it is there
    Time off = Time::max(); // taken before it goes
    Time gone = Time::max();
};

struct DongleOptions {
    Mode startMode = Mode::Application;
    // From the reply to "enter bootloader" (or "boot") until the new port is there.
    int reenumerateMs = 500;
    // From the reply to "boot" until the application's port is there, when
    // its new firmware starts slower or faster than the switch; negative: as
    // reenumerateMs.
    int bootMs = -1;
    bool applicationRestarts = true; // after "boot", come back as the application
    bool staleOnPlugIn = false;      // junk waits in each new port before the host opens it
    // First byte of the bootloader's replies; negative: the command's own byte.
    int replyByte = -1;
    FaultPlan faults;
    Pull pull;
};

// One frame the dongle received, and what became of it.
struct FrameRecord {
    int index = 0;
    Mode mode = Mode::Application;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> reply; // empty when none was sent
    std::string fault;          // name of the fault applied, or "none"
    std::chrono::steady_clock::time_point received;
    std::chrono::steady_clock::time_point replied;
    // For a reply held until the host did something: what it did ("waiting
    // for silence", "next frame", "port closed", "host gone", "polls").
    std::string heldUntil;
};

// The simulated Torvex: its application answers "enter bootloader", its
// bootloader takes pages into flash when their checksum matches, and it
// re-enumerates on the bus as a real dongle does when it switches.
// Lets the calling thread, which plays the dongle or the kernel, run before
// the programs under test.
void goBeforeThePrograms();

class Dongle
{
  public:
    // The program met at the other end of the port when a frame came, for a
    // fault that waits for what it does next.
    struct HostAtFrame {
        HostWatch watch;
        long reads;
    };

    Dongle(Bus &bus, DongleOptions options);
    ~Dongle();
    Dongle(const Dongle &) = delete;
    Dongle &operator=(const Dongle &) = delete;

    // Plugs the dongle in and starts answering frames.
    bool start();
    // Stops answering and pulls the dongle out.
    void stop();

    std::vector<uint8_t> flash() const;
    std::vector<FrameRecord> frames() const;
    Mode mode() const;
    bool plugged() const;
    std::string hostPort() const;
    int pagesRejected() const;
    // Counts the pull's moment from now.
    void armPull();
    PullRecord pullRecord() const;
    std::vector<Plug> plugs() const;
    // When the dongle last left the bus other than to re-enumerate, if ever.
    bool disconnectedAt(std::chrono::steady_clock::time_point *when) const;

    static const std::vector<uint8_t> staleBytes;

  private:
    void run();
    bool readFrame(std::vector<uint8_t> *frame);
    void handle(const std::vector<uint8_t> &frame);
    std::vector<uint8_t> answer(const std::vector<uint8_t> &frame);
    std::vector<uint8_t> answerBootloader(const std::vector<uint8_t> &frame);
    std::vector<uint8_t> reply(uint8_t command, bool accepted) const;
    void sendReply(const std::vector<uint8_t> &reply, const Fault &fault, const HostAtFrame *host);
    bool faultPause(const Fault &fault, int ms, const HostAtFrame *host);
    bool waitForHost(const Fault &fault, const HostAtFrame &host);
    void noteReplyBeforeReset(std::size_t length);
    bool awaitReplyTaken();
    std::string hostEvent(const Fault &fault, const HostAtFrame &host) const;
    void writeAll(const uint8_t *data, std::size_t len);
    void floodFor(int ms);
    void switchTo(Mode mode);
    void plugInAs(Mode mode);
    void unplugNow();
    bool pauseMs(int ms);                    // false when stopped meanwhile
    bool replyPauseMs(int ms);               // false also when the cable is due to be pulled
    bool pullDue(bool plugged = true) const; // with `plugged`, only while on the bus
    void pullNow();
    std::string pullPhase() const;
    void disconnectNow();
    std::string waitForHostPort();
    void record(FrameRecord frame);

    Bus &bus_;
    DongleOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    int fd_ = -1;
    Mode mode_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> pageBuffer_;
    std::vector<uint8_t> pending_;
    std::vector<FrameRecord> frames_;
    int frameCount_ = 0;
    int framesAtPlugIn_ = 0;
    int pagesRejected_ = 0;
    // The program's count of bytes read once it has taken the reply that
    // comes before a reset.
    struct ReplyTaken {
        HostWatch watch;
        long bytes;
    };
    std::optional<ReplyTaken> replyTaken_;
    // Set by a frame whose answer makes the dongle restart.
    bool restartPending_ = false;
    Mode restartInto_ = Mode::Application;
    std::chrono::steady_clock::time_point pullAt_;
    bool pullArmed_ = false;
    PullRecord pullRecord_;
    std::vector<Plug> plugs_;
    bool disconnected_ = false;
    std::chrono::steady_clock::time_point disconnectedAt_;
    std::string heldUntil_; // what ended the last wait for the host
};

} // namespace sim
