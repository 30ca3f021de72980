#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
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
std::string imageSha256();
std::string flasherPath();
std::string variantDir();

// Bounds that only catch a hang, in a test's own waits.
constexpr int hangMs = 40000;
constexpr sim::Mode application = sim::Mode::Application;
constexpr sim::Mode bootloader = sim::Mode::Bootloader;
// The modalias of a USB serial port that is not a dongle.
inline const std::string otherDevice = "usb:v1d50p60e1d0100dc02dsc00dp00ic02isc02ip01in00";

// What the program prints, composed independently of the program.
std::string progressLine(int pagesDone, int pageCount);
std::string fullProgress(int pageCount);
std::string verboseSuccess(bool fromApplication, int pageCount);
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

// A run that printed `out` and exited with the success verdict, or that
// printed `said` and then the failure verdict; neither writes to stderr.
void expectUpdated(const sim::RunResult &result, const std::string &out);
void expectFailed(const sim::RunResult &result, const std::string &said);

// The warning shown when `setserial` fails for a port.
inline std::string setserialWarning(const std::string &port)
{
    return "Could not execute command 'setserial " + port +
           " low_latency'. Communication in low-speed mode.\n";
}

// Frame numbers as the dongle counts them, for a dongle that starts in its
// bootloader (`fromApplication` false) or in its application: the check
// frame, then three for each page (`which` 0 and 1 its data, 2 its write),
// then the boot frame.
int dataFrame(bool fromApplication, int page, int which);
int bootFrame(bool fromApplication, int pageCount);

sim::Fault fault(sim::Fault::Kind kind, int delayMs = 0, int burst = 1);
sim::Fault replaced(std::vector<uint8_t> bytes);
// A reply (or, split, its rest after `burst` bytes; or a flood of `floodMs`)
// held until the program has shown that it gave up on the frame: it waits for
// the line to fall silent, sends its next frame or lets go of the port. Too
// late on any machine, however busy.
sim::Fault onceGivenUp(sim::Fault::Kind kind, int burst = 1, int floodMs = 0);
// A reply (or, split, its rest after `burst` bytes) held until the program
// has read the line `polls` times since the frame came: counted in the
// program's own polls, as it counts its timeouts, however long they take.
sim::Fault afterPolls(int polls, sim::Fault::Kind kind = sim::Fault::Kind::Delay, int burst = 1);
// How many frames starting with `command` the dongle received.
int framesSeen(const sim::Dongle &dongle, uint8_t command);

// Where a dongle sits: a USB port path and its serial numbers in either mode,
// or a port with no USB device above it in sysfs.
sim::UsbPlace at(const std::string &path, const std::string &serial = "",
                 const std::string &bootloaderSerial = "");
sim::UsbPlace offUsb();

// A process of another program, started by Rig::runOther, that ends with
// this object or at end(): as /proc/PID/comm shows it, `name`.
class OtherProgram
{
  public:
    OtherProgram(std::string name, pid_t pid) : name_(std::move(name)), pid_(pid) {}
    ~OtherProgram()
    {
        end();
    }
    OtherProgram(const OtherProgram &) = delete;
    OtherProgram &operator=(const OtherProgram &) = delete;

    void end(); // kills it and waits for its end: then it holds nothing
    pid_t pid() const
    {
        return pid_;
    }
    // As the program names a process: "cat (pid 4242)".
    std::string named() const
    {
        return name_ + " (pid " + std::to_string(pid_) + ")";
    }

  private:
    std::string name_;
    pid_t pid_;
    bool running_ = true;
};

// One test's world: a stage (an empty device tree, dongles plugged into it)
// and a `setserial` stand-in that records its command lines.
class Rig : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    sim::Dongle &plugIn(sim::DongleOptions options, sim::UsbPlace place = {});
    sim::Dongle &plugIn(sim::Mode mode, sim::UsbPlace place = {}, sim::FaultPlan faults = {});
    // Ports from ttyACM<from> up to ttyACM<to - 1> taken by other devices.
    void addOtherDevices(int from, int to);

    sim::RunResult run(std::vector<std::string> args = {"--verbose"},
                       const std::string &program = flasherPath());
    // Several copies of the program started together, one result each.
    std::vector<sim::RunResult> runTogether(int copies, std::vector<std::string> args);

    // Another program, run as root under `name` (a copy of sleep) that, with
    // a port, holds it open as a terminal program does: without a lock, and
    // reading nothing.
    std::unique_ptr<OtherProgram> runOther(const std::string &name, const std::string &port = "");
    // Writes udev's database entry of the port, as udev does for a device that
    // its rules gave `properties` ("E:KEY=VALUE" lines). The sandbox's
    // /run/udev/data is empty otherwise.
    void udevProperties(const std::string &port, const std::string &properties);

    // The setserial stand-in's exit status; `command`, if any, is run by it first.
    void setserialExits(int status, const std::string &command = "");
    std::vector<std::string> setserialCalls() const;

    sim::FakeDeviceTree &tree()
    {
        return stage_->tree();
    }

    // Called by run() whenever the program has said more (see RunOptions).
    std::function<void(const std::string &out, pid_t program)> onOutput;
    bool debianSetserial = false; // instead of the stand-in
    bool unprivileged = false;    // the program as an ordinary user, from a copy that user may run
    // Signals the program starts with ignored, as nohup or a service wrapper
    // leaves them, for `env --ignore-signal`: e.g. "HUP,CHLD".
    std::string ignoredAtStart;
    bool onTerminal = false;           // its standard output a terminal, as an operator's is
    std::chrono::seconds runLimit{60}; // then it is killed as hung

  private:
    sim::RunOptions runOptions(std::vector<std::string> args, const std::string &program) const;

    std::unique_ptr<sim::Stage> stage_;
    std::string workDir_;
    std::string setserialDir_;
    int setserialStatus_ = 0;
    std::string setserialCommand_;
    bool runMounted_ = false;
};

// Runs `action` at each open of a file in the mount at `mountPoint`, before
// that open returns: how a test changes what a program reads at a chosen step,
// as the kernel may between any two of its reads. Linux gives these fanotify
// permission events (root only) for regular files, not for device nodes
// such as a pty.
class OnOpen
{
  public:
    // `opened`, if given, is told who opens which file.
    using Opened = std::function<void(pid_t opener, const std::string &path)>;
    OnOpen(const std::string &mountPoint, std::function<void()> action, Opened opened = {});
    ~OnOpen();

  private:
    void answer();

    int fd_;
    std::function<void()> action_;
    Opened opened_;
    std::atomic<bool> done_{false};
    std::thread answering_;
};

// The program's searches for a dongle, seen as the sysfs files each one
// opens under /sys/devices in a burst; the pause between two attempts, a
// second at least, parts them. `onSearch`, if any, runs with the search's
// index (from 0) at its first open, before that open returns. Once the
// program holds `port` (a dongle's pseudo-terminal) open, what it opens in
// sysfs is its check of the port it opened, however late that comes on a
// busy machine, not a search.
class Searches
{
  public:
    using Clock = std::chrono::steady_clock;
    explicit Searches(std::function<void(int search)> onSearch = {}, std::string port = {});

    std::vector<Clock::time_point> starts() const;

  private:
    void opened();

    std::function<void(int)> onSearch_;
    std::string port_;
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> starts_;
    Clock::time_point last_;
    OnOpen watch_; // last: it calls opened() as soon as it is made
};

// Whether the program has said `line` `times` times so far, as its output
// comes: `heard` is what a test's onOutput calls.
class Said
{
  public:
    Said(std::string line, int times);
    void heard(const std::string &out);
    bool operator()() const;

  private:
    std::string line_;
    int times_;
    std::atomic<bool> said_{false};
};

// A test run once for each row of a table.
template <typename Row> class Table : public Rig, public ::testing::WithParamInterface<Row>
{
};

// A table row's name, for its test's name.
template <typename Row> std::string rowName(const ::testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

} // namespace rig
