#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/child.h"
#include "sim/stage.h"

namespace sim
{
// The tests' names for the one runner the tools use.
using RunOptions = harness::ChildOptions;
using RunResult = harness::ChildResult;
inline RunResult runProgram(const RunOptions &options)
{
    return harness::runChild(options);
}
} // namespace sim

namespace rig
{

// Called by main before anything else: moves the test process into a mount
// namespace of its own, so that each test can give the program a private
// /dev and /sys/class/tty.
void enterNamespace();

std::vector<uint8_t> readImage(const std::string &path);

// The carried test image and the program built with it. The environment can
// name other builds of the programs, for example a static or a cross build:
// TORVEX_FLASHER the program, TORVEX_VARIANT_DIR the directory with the
// programs built around other images, and TORVEX_EMULATOR a program that runs
// them (such as qemu-aarch64-static).
const std::vector<uint8_t> &image();
std::string flasherPath();
std::string variantDir();

// What the program prints, composed independently of the program.
std::string progressLine(int pagesDone, int pageCount);
std::string fullProgress(int pageCount);
std::string verboseSuccessFromApplication(int pageCount);
std::string verboseSuccessFromBootloader(int pageCount);
inline const std::string retry = "[TORVEX] Could not connect to the device... Retrying...\n";
inline const std::string noApplicationFound =
    "[TORVEX] Detecting Torvex...\n" + retry + retry + retry +
    "[TORVEX] Looks like Torvex cannot be detected, checking if it's in bootloader mode "
    "already...\n";
// Standard output as a script reads it with --json: one object a line.
inline std::vector<nlohmann::json> records(const std::string &out)
{
    std::vector<nlohmann::json> objects;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line));
    }
    return objects;
}
inline const std::string success = "[TORVEX] Update successful!\n";
inline const std::string failure =
    "[TORVEX] Update Failed. Please reconnect the dongle and try again!\n";

// The warning shown when `setserial` fails for a port.
inline std::string setserialWarning(const std::string &port)
{
    return "Could not execute command 'setserial " + port +
           " low_latency'. Communication in low-speed mode.\n";
}

// Frame numbers as the dongle counts them, for a dongle that starts in its
// bootloader (`fromApplication` false) or in its application.
int checkFrame(bool fromApplication);
int dataFrame(bool fromApplication, int page, int which);
int writeFrame(bool fromApplication, int page);
int bootFrame(bool fromApplication, int pageCount);

// One test's world: a stage (an empty device tree, dongles plugged into it)
// and a `setserial` stand-in that records its command lines.
class Rig : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    sim::Dongle &plugIn(sim::DongleOptions options, sim::UsbPlace place = {});
    sim::Dongle &plugInBootloader(sim::FaultPlan faults = {});
    sim::Dongle &plugInApplication(sim::FaultPlan faults = {});

    sim::RunResult run(std::vector<std::string> args = {"--verbose"},
                       const std::string &program = flasherPath());
    // Several copies of the program started together, one result each.
    std::vector<sim::RunResult> runTogether(int copies, std::vector<std::string> args);
    // The program as an ordinary user, from a copy that user may run.
    sim::RunResult runUnprivileged(std::vector<std::string> args);

    // `command`, if any, is run by the stand-in first.
    void setserialExits(int status, const std::string &command = "");
    void useDebianSetserial();
    std::vector<std::string> setserialCalls() const;

    sim::FakeDeviceTree &tree()
    {
        return stage_->tree();
    }

  private:
    sim::RunOptions runOptions(std::vector<std::string> args, const std::string &program) const;

    std::unique_ptr<sim::Stage> stage_;
    std::string workDir_;
    bool realSetserial_ = false;
};

// Runs `action` at each open of a file in the mount at `mountPoint`, before
// that open returns: how a test changes what a program reads at a chosen step,
// as the kernel may between any two of its reads. Linux gives these fanotify
// permission events (root only) for regular files, not for device nodes
// such as a pty.
class OnOpen
{
  public:
    OnOpen(const std::string &mountPoint, std::function<void()> action);
    ~OnOpen();

  private:
    void answer();

    int fd_;
    std::function<void()> action_;
    std::atomic<bool> done_{false};
    std::thread answering_;
};

sim::Fault fault(sim::Fault::Kind kind, std::vector<uint8_t> bytes = {}, int delayMs = 0,
                 int burst = 1);

} // namespace rig

namespace sim
{
// Names a fault in test listings.
inline void PrintTo(const Fault &fault, std::ostream *out)
{
    *out << describe(fault) << ":" << toHex(fault.bytes);
}
} // namespace sim
