// A station at work: which plug at a USB port path is a new dongle, one
// update per port at a time, and how a station stops. The operator's part
// (plugs, pulls, signals) runs beside the program and waits for what the
// program did: its frames, its hold of a port, its reads of sysfs.
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>

#include "rig.h"

namespace
{

using rig::at;
using rig::hangMs;
using std::chrono::milliseconds;

// The processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> found;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ignored)) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t nameEnd = text.rfind(')');
        std::istringstream fields(nameEnd == std::string::npos ? "" : text.substr(nameEnd + 2));
        char state = 0;
        pid_t itsParent = 0;
        if (fields >> state >> itsParent && itsParent == parent) {
            found.push_back(std::atoi(entry.path().filename().c_str()));
        }
    }
    return found;
}

// The program under test: the one process this test started.
pid_t theProgram()
{
    std::vector<pid_t> started;
    sim::waitUntil([&] { return !(started = childrenOf(getpid())).empty(); }, hangMs);
    return started.empty() ? 0 : started.front();
}

// Counts the files opened in the stage's sysfs: after a dongle appears,
// the station has looked at it once it has read a few of its files.
class SysfsReads
{
  public:
    // True once `count` more files have been opened.
    bool await(int count)
    {
        const int from = opened_;
        return sim::waitUntil([&] { return opened_ >= from + count; }, hangMs);
    }

  private:
    std::atomic<int> opened_{0};
    rig::OnOpen hook_{"/sys/devices", [this] { ++opened_; }};
};

// Looks enough for the station to have taken in what it sees, and a new dongle
// to have settled and begun its update: a look reads three to five files.
constexpr int severalLooks = 24;

// The pipes `pid` has open for reading (`0`) or writing (`1`), by inode.
std::set<std::string> pipesOf(pid_t pid, int direction)
{
    std::set<std::string> pipes;
    std::error_code ignored;
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    for (const auto &entry : std::filesystem::directory_iterator(proc / "fd", ignored)) {
        const std::string link = std::filesystem::read_symlink(entry.path(), ignored);
        std::ifstream info(proc / "fdinfo" / entry.path().filename());
        std::string field;
        std::string flags;
        while (info >> field >> flags && field != "flags:") {
        }
        if (link.rfind("pipe:", 0) == 0 && !flags.empty() &&
            (std::stoi(flags, nullptr, 8) & O_ACCMODE) == direction) {
            pipes.insert(link + " " + entry.path().filename().string());
        }
    }
    return pipes;
}

// A copy of the pipe an update writes its records into, which the station
// reads: while it is held open the station has not seen that update end,
// as on a machine too busy to give the station a turn.
class RecordsHeld
{
  public:
    RecordsHeld(pid_t station, pid_t update)
    {
        std::set<std::string> read;
        for (const std::string &pipe : pipesOf(station, O_RDONLY)) {
            read.insert(pipe.substr(0, pipe.find(' ')));
        }
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, update, 0));
        for (const std::string &pipe : pipesOf(update, O_WRONLY)) {
            if (pidfd >= 0 && fd_ < 0 && read.count(pipe.substr(0, pipe.find(' '))) != 0) {
                const int fd = std::stoi(pipe.substr(pipe.find(' ') + 1));
                fd_ = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
            }
        }
        close(pidfd);
    }
    ~RecordsHeld()
    {
        close(fd_);
    }
    RecordsHeld(const RecordsHeld &) = delete;
    RecordsHeld &operator=(const RecordsHeld &) = delete;

    bool held() const
    {
        return fd_ >= 0;
    }

  private:
    int fd_ = -1;
};

bool updatedAndBack(const sim::Dongle &dongle)
{
    return dongle.plugged() && dongle.mode() == sim::Mode::Application &&
           dongle.flash() == rig::image();
}

bool portLetGo(const sim::Dongle &dongle)
{
    const std::string port = dongle.hostPort();
    return !port.empty() && !sim::heldOpenElsewhere(std::filesystem::read_symlink(port));
}

class Station : public rig::Rig
{
  protected:
    // Runs the program with the operator's part beside it. A station
    // (`watching`) is stopped with Ctrl-C once that part is done.
    sim::RunResult runBeside(std::vector<std::string> args, const std::function<void()> &acts,
                             bool watching = true)
    {
        std::thread operatorPart([&] {
            program = theProgram();
            acts();
            if (watching && program > 0) {
                kill(-program, SIGINT);
            }
        });
        const sim::RunResult result = run(std::move(args));
        operatorPart.join();
        return result;
    }

    std::atomic<pid_t> program{0};
};

template <typename Row> class Rows : public Station, public ::testing::WithParamInterface<Row>
{
};

// What a script reads of each dongle: its serial number and its result.
std::vector<std::string> results(const std::string &out)
{
    std::vector<std::string> said;
    for (const nlohmann::json &record : rig::records(out)) {
        if (record["type"] == "result") {
            said.push_back(record["serial"].dump() + " " + record["result"].get<std::string>());
        }
    }
    return said;
}

struct Swap {
    std::string name;
    int gapMs;
    std::string serialA;
    std::string serialB;
};

void PrintTo(const Swap &row, std::ostream *out)
{
    *out << row.name;
}

using Swaps = Rows<Swap>;

// Dongle A is updated and its new firmware is back; it is pulled, and after
// the gap B is plugged in at the same USB port path: B is a new dongle
// whatever the serial numbers say, and each is updated once.
TEST_P(Swaps, TheDongleSwappedInIsUpdated)
{
    const Swap &row = GetParam();
    sim::DongleOptions pulled;
    pulled.pull = {0, -1, false};
    sim::Dongle &a = plugIn(pulled, at("1-1", row.serialA));
    sim::Dongle *b = nullptr;
    SysfsReads reads;
    const auto result = this->runBeside({"--watch", "--json"}, [&] {
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(a); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
        a.armPull();
        ASSERT_TRUE(sim::waitUntil([&] { return !a.plugged(); }, hangMs));
        std::this_thread::sleep_for(milliseconds(row.gapMs));
        b = &plugIn(rig::application, at("1-1", row.serialB));
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(*b); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
    });
    ASSERT_NE(b, nullptr) << result.out;
    const auto serial = [](const std::string &text) {
        return text.empty() ? std::string("null") : "\"" + text + "\"";
    };
    EXPECT_EQ(results(result.out), (std::vector<std::string>{serial(row.serialA) + " updated",
                                                             serial(row.serialB) + " updated"}))
        << result.out;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(rig::framesSeen(a, 0x64), 1);
    EXPECT_EQ(rig::framesSeen(*b, 0x64), 1);
}

std::vector<Swap> swapRows()
{
    std::vector<Swap> rows;
    for (int gapMs : {500, 1000, 2000, 4000}) {
        const std::string after = "After" + std::to_string(gapMs) + "ms";
        rows.push_back({"SameSerial" + after, gapMs, "TVX-1", "TVX-1"});
        rows.push_back({"OtherSerial" + after, gapMs, "TVX-1", "TVX-2"});
        rows.push_back({"NoSerial" + after, gapMs, "", ""});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Gaps, Swaps, ::testing::ValuesIn(swapRows()), rig::rowName<Swap>);

using OneDongle = Rows<Swap>;

// The new firmware takes its time to start: its return is the same dongle,
// not updated again.
TEST_P(OneDongle, ASlowBootIsNotUpdatedAgain)
{
    sim::DongleOptions slow;
    slow.bootMs = GetParam().gapMs;
    sim::Dongle &a = plugIn(slow, at("1-1", GetParam().serialA));
    SysfsReads reads;
    const auto result = this->runBeside({"--watch", "--json"}, [&] {
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(a); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
    });
    EXPECT_EQ(results(result.out), std::vector<std::string>{"\"TVX-1\" updated"}) << result.out;
    EXPECT_EQ(rig::framesSeen(a, 0x64), 1);
}

INSTANTIATE_TEST_SUITE_P(Boots, OneDongle,
                         ::testing::Values(Swap{"In5s", 5000, "TVX-1", ""},
                                           Swap{"In10s", 10000, "TVX-1", ""}),
                         rig::rowName<Swap>);

// A's update is over and its new firmware is back before the station has
// taken in that end: that was its return all the same. A is pulled, and B,
// with the same serial number, plugged in at its port path: a new dongle.
TEST_F(Station, AReturnBeforeTheUpdateIsSeenToEndEndsItsReturns)
{
    sim::DongleOptions pulled;
    pulled.pull = {0, -1, false};
    sim::Dongle &a = plugIn(pulled, at("1-1", "TVX-1"));
    sim::Dongle *b = nullptr;
    SysfsReads reads;
    const auto result = this->runBeside({"--watch", "--json"}, [&] {
        ASSERT_TRUE(sim::waitUntil([&] { return !a.frames().empty(); }, hangMs));
        const std::vector<pid_t> updates = childrenOf(program);
        ASSERT_EQ(updates.size(), 1U);
        std::optional<RecordsHeld> records(std::in_place, program, updates.front());
        ASSERT_TRUE(records->held()) << std::strerror(errno);
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(a); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
        a.armPull();
        ASSERT_TRUE(sim::waitUntil([&] { return !a.plugged(); }, hangMs));
        b = &plugIn(rig::application, at("1-1", "TVX-1"));
        ASSERT_TRUE(reads.await(severalLooks));
        records.reset();
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(*b); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
    });
    ASSERT_NE(b, nullptr) << result.out;
    EXPECT_EQ(results(result.out),
              (std::vector<std::string>{"\"TVX-1\" updated", "\"TVX-1\" updated"}))
        << result.out;
    EXPECT_EQ(rig::framesSeen(*b, 0x64), 1);
}

// The station is stopped in a look at B, once it has opened B's serial
// number, until the switch has taken B's application away: that look mixes
// B's application and the gap after it. It is no return: B's update has not
// switched it back yet, and B is updated once.
TEST_F(Station, ALookThatStraddlesTheSwitchIsNoReturn)
{
    sim::Dongle &b = plugIn(rig::application, at("1-1", "TVX-1"));
    std::atomic<bool> stopped{false};
    const auto inALook = [&](pid_t opener, const std::string &path) {
        const std::string file = "/serial";
        if (opener == program && !stopped && path.size() > file.size() &&
            path.compare(path.size() - file.size(), file.size(), file) == 0 &&
            !childrenOf(program).empty() && b.mode() == sim::Mode::Application) {
            stopped = kill(program, SIGSTOP) == 0;
        }
    };
    rig::OnOpen stopInALook("/sys/devices", {}, inALook);
    SysfsReads reads;
    const auto result = runBeside({"--watch", "--json"}, [&] {
        ASSERT_TRUE(sim::waitUntil([&] { return stopped.load(); }, hangMs));
        const bool switched = sim::waitUntil(
            [&] { return b.mode() != sim::Mode::Application || !b.plugged(); }, hangMs);
        kill(program, SIGCONT);
        ASSERT_TRUE(switched);
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(b); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
    });
    EXPECT_EQ(results(result.out), std::vector<std::string>{"\"TVX-1\" updated"}) << result.out;
    EXPECT_EQ(rig::framesSeen(b, 0x64), 1);
}

using Replugs = Rows<Swap>;

// A dongle whose update failed is pulled and plugged in again, as its line
// asks: it is updated again, however soon it is back.
TEST_P(Replugs, AFailedDonglePluggedBackIsUpdatedAgain)
{
    sim::DongleOptions failing;
    failing.faults = {{rig::dataFrame(true, 2, 2), rig::replaced({'f', 'N', 'O'})}};
    failing.pull = {0, GetParam().gapMs, false};
    sim::Dongle &a = plugIn(failing, at("1-1", "TVX-1"));
    SysfsReads reads;
    const auto result = this->runBeside({"--watch", "--json"}, [&] {
        ASSERT_TRUE(
            sim::waitUntil([&] { return rig::framesSeen(a, 0x66) >= 3 && portLetGo(a); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
        a.armPull();
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(a); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
    });
    EXPECT_EQ(results(result.out), (std::vector<std::string>{"\"TVX-1\" failed", "null updated"}))
        << result.out;
    EXPECT_EQ(rig::framesSeen(a, 0x64), 2);
}

INSTANTIATE_TEST_SUITE_P(Gaps, Replugs,
                         ::testing::Values(Swap{"After500ms", 500, "", ""},
                                           Swap{"After1500ms", 1500, "", ""}),
                         rig::rowName<Swap>);

using OneUpdatePerPort = Station;

// A is switched and its bootloader is slow to come; meanwhile B is plugged
// in at A's port. B waits for A's update to end, which writes nothing, and
// is then updated: each result names the dongle its update wrote, or none.
TEST_F(OneUpdatePerPort, ADongleSwappedInDuringTheSwitchWaitsItsTurn)
{
    sim::DongleOptions slowSwitch;
    slowSwitch.reenumerateMs = 120000;
    sim::Dongle &a = plugIn(slowSwitch, at("1-1", "TVX-A"));
    sim::Dongle *b = nullptr;
    SysfsReads reads;
    const auto result = this->runBeside({"--watch", "--json"}, [&] {
        ASSERT_TRUE(sim::waitUntil([&] { return !a.frames().empty() && !a.plugged(); }, hangMs));
        b = &plugIn(rig::application, at("1-1", "TVX-B"));
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(*b); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
    });
    ASSERT_NE(b, nullptr) << result.out;
    EXPECT_EQ(results(result.out),
              (std::vector<std::string>{"\"TVX-A\" failed", "\"TVX-B\" updated"}))
        << result.out;
    EXPECT_EQ(a.frames().size(), 1U);
    EXPECT_EQ(rig::framesSeen(*b, 0x64), 1);
}

// An updated dongle whose application never comes back: a minute after its
// update one line says so, once, and its verdict stays. Dongle C, plugged in
// once A's update is over (two updates at once under an emulator may starve a
// simulated dongle), idles beside it, so that the station's looks can be counted.
TEST_F(Station, AnApplicationThatDoesNotComeBackIsSaidOnce)
{
    sim::DongleOptions noRestart;
    noRestart.applicationRestarts = false;
    sim::Dongle &a = plugIn(noRestart, at("1-1", "TVX-A"));
    sim::Dongle *c = nullptr;
    SysfsReads reads;
    runLimit = std::chrono::seconds(100);
    const auto result = runBeside({"--watch", "--json"}, [&] {
        ASSERT_TRUE(
            sim::waitUntil([&] { return rig::framesSeen(a, 0x67) > 0 && !a.plugged(); }, hangMs));
        c = &plugIn(rig::application, at("1-3", "TVX-C"));
        ASSERT_TRUE(sim::waitUntil([&] { return updatedAndBack(*c); }, hangMs));
        // Both updates have ended, and the station has taken that in.
        ASSERT_TRUE(sim::waitUntil([&] { return childrenOf(program).empty(); }, hangMs));
        ASSERT_TRUE(reads.await(severalLooks));
        std::this_thread::sleep_for(std::chrono::seconds(60));
        ASSERT_TRUE(reads.await(severalLooks));
    });
    std::vector<std::string> ends = results(result.out);
    std::sort(ends.begin(), ends.end());
    EXPECT_EQ(ends, (std::vector<std::string>{"\"TVX-A\" updated", "\"TVX-C\" updated"}));
    int said = 0;
    for (const nlohmann::json &record : rig::records(result.out)) {
        said += record.value("text", "") ==
                        "[TORVEX] /dev/ttyACM0 path=1-1 serial=TVX-A Updated, but its "
                        "application has not come back within 60 s."
                    ? 1
                    : 0;
    }
    EXPECT_EQ(said, 1) << result.out;
    EXPECT_EQ(result.status, 0);
}

struct Stop {
    std::string name;
    std::string ignoredAtStart;
    std::vector<int> signals; // sent together once the update holds its port
    std::string said;         // before the dongle's line
};

void PrintTo(const Stop &row, std::ostream *out)
{
    *out << row.name;
}

using Stops = rig::Table<Stop>;

// --all with one dongle, started as a service manager or nohup may start
// it, and sent what they send while the update runs: the update ends well.
TEST_P(Stops, TheRunningUpdateEndsWell)
{
    sim::Dongle &dongle = plugIn(rig::application, at("1-1"));
    ignoredAtStart = GetParam().ignoredAtStart;
    pid_t program = 0;
    std::thread signals([&] {
        program = theProgram();
        // Its update tells the station that it began before its first frame.
        ASSERT_TRUE(sim::waitUntil([&] { return !dongle.frames().empty(); }, hangMs));
        for (int signal : GetParam().signals) {
            kill(-program, signal);
        }
    });
    const auto result = run({"--all"});
    signals.join();
    rig::expectUpdated(result, GetParam().said +
                                   "[TORVEX] /dev/ttyACM0 path=1-1 Update successful!\n"
                                   "[TORVEX] 1 of 1 dongle updated.\n" +
                                   rig::success);
    EXPECT_EQ(dongle.flash(), rig::image());
}

const std::string waiting = "[TORVEX] Stopping: waiting for 1 running update to end; Ctrl-C "
                            "again stops it at once.\n";

INSTANTIATE_TEST_SUITE_P(Signals, Stops,
                         ::testing::Values(Stop{"SigchldIgnored", "CHLD", {}, ""},
                                           Stop{
                                               "SigtermWithSighup", "", {SIGTERM, SIGHUP}, waiting},
                                           Stop{"NohupThenSighup", "HUP", {SIGHUP}, ""}),
                         rig::rowName<Stop>);

using AllStopped = Station;

// Ctrl-C while --all begins its updates one by one: those not begun yet
// are left untouched, and their lines say so.
TEST_F(AllStopped, CtrlCDuringTheLaunchLeavesTheRestUntouched)
{
    std::vector<sim::Dongle *> dongles;
    for (int i = 1; i <= 16; ++i) {
        dongles.push_back(&plugIn(rig::application, at("1-" + std::to_string(i))));
    }
    const auto result = this->runBeside(
        {"--all"},
        [&] {
            ASSERT_TRUE(sim::waitUntil([&] { return !childrenOf(program).empty(); }, hangMs));
            kill(-program, SIGINT);
        },
        false);
    int untouched = 0;
    for (const sim::Dongle *dongle : dongles) {
        const bool left = dongle->frames().empty();
        untouched += left ? 1 : 0;
        EXPECT_TRUE(left || dongle->flash() == rig::image());
    }
    EXPECT_GE(untouched, 1);
    const std::string leftLine =
        " Left untouched: stopped before its update began. Update Failed.\n";
    std::size_t linesLeft = 0;
    for (std::size_t at = 0; (at = result.out.find(leftLine, at)) != std::string::npos; ++at) {
        ++linesLeft;
    }
    EXPECT_EQ(linesLeft, static_cast<std::size_t>(untouched)) << result.out;
    EXPECT_NE(result.out.find("[TORVEX] " + std::to_string(16 - untouched) +
                              " of 16 dongles updated.\n" + rig::failure),
              std::string::npos)
        << result.out;
}

struct Start {
    std::string name;
    sim::Mode mode;
};

void PrintTo(const Start &row, std::ostream *out)
{
    *out << row.name;
}

using SecondCtrlC = Rows<Start>;

// A Ctrl-C after the "Stopping:" line stops the running update at once, and
// a dongle the station stopped is not told to be plugged in again, whether
// its update switched it to its bootloader or found it there. Its pages are
// answered a little late, so that its update is still running then.
TEST_P(SecondCtrlC, StopsTheUpdateAndAsksForNoReplug)
{
    const bool fromApplication = GetParam().mode == rig::application;
    sim::DongleOptions slowPages;
    slowPages.startMode = GetParam().mode;
    for (int frame = rig::dataFrame(fromApplication, 0, 0);
         frame < rig::bootFrame(fromApplication, 15); ++frame) {
        slowPages.faults[frame] = rig::fault(sim::Fault::Kind::Delay, 30);
    }
    sim::Dongle &dongle = plugIn(slowPages, at("1-1"));
    rig::Said stopping(waiting, 1);
    onOutput = [&stopping](const std::string &out, pid_t) { stopping.heard(out); };
    const auto result = runBeside({"--watch"}, [&] {
        // Its update tells the station that it began before its first frame.
        ASSERT_TRUE(sim::waitUntil([&] { return !dongle.frames().empty(); }, hangMs));
        kill(-program, SIGINT);
        // The second press once the first is taken: two at once would be one.
        ASSERT_TRUE(sim::waitUntil([&] { return stopping(); }, hangMs));
        // Its bootloader is checked two seconds after the switch at the earliest.
        ASSERT_TRUE(sim::waitUntil([&] { return rig::framesSeen(dongle, 0x64) > 0; }, hangMs));
    });
    rig::expectFailed(result, "[TORVEX] Watching for every dongle to update each once; Ctrl-C "
                              "stops.\n" +
                                  waiting +
                                  "[TORVEX] /dev/ttyACM0 path=1-1 Stopped during its update: it "
                                  "waits in its bootloader, and the next run updates it. Update "
                                  "Failed.\n[TORVEX] 0 of 1 dongle updated.\n");
    EXPECT_NE(dongle.flash(), rig::image());
}

INSTANTIATE_TEST_SUITE_P(Station, SecondCtrlC,
                         ::testing::Values(Start{"SwitchedToItsBootloader", rig::application},
                                           Start{"FoundInItsBootloader", rig::bootloader}),
                         rig::rowName<Start>);

// On a terminal no line is written onto the progress bar: the bar is cleared
// first. Here the line of a dongle that cannot be followed comes while the
// other dongle's update runs.
TEST_F(Station, NoLineLandsOnTheProgressBar)
{
    sim::Dongle &dongle = plugIn(rig::application, at("1-1"));
    plugIn(rig::bootloader, rig::offUsb());
    onTerminal = true;
    const auto result = run({"--all"});
    EXPECT_FALSE(std::regex_search(result.out, std::regex("[^\r\n]\\[TORVEX\\] "))) << result.out;
    EXPECT_NE(result.out.find("\r[TORVEX] /dev/ttyACM1 No USB port path to follow it by. Update "
                              "Failed.\r\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("\r[TORVEX]  50% ["), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("[TORVEX] 1 of 2 dongles updated.\r\n"), std::string::npos);
    EXPECT_EQ(dongle.flash(), rig::image());
}

// A single update for scripts that finds no dongle says so, as --all does.
TEST_F(Station, JsonUpdateThatFindsNoDongleSaysSo)
{
    for (const auto &[args, said] :
         {std::pair{std::vector<std::string>{"--json"}, "[TORVEX] No Torvex dongle found."},
          std::pair{std::vector<std::string>{"--json", "--path", "9-9"},
                    "[TORVEX] No dongle matches --path 9-9."}}) {
        const auto records = rig::records(run(args).out);
        ASSERT_EQ(records.size(), 2U);
        EXPECT_EQ(records[0], (nlohmann::json{{"type", "message"}, {"text", said}}));
        EXPECT_EQ(records[1]["success"], false);
    }
}

// One that finds a dongle only beyond the ports searched without a name says
// where it is, as the update said it, and touches it not.
TEST_F(Station, JsonUpdateSaysWhereADongleBeyondTheSearchIs)
{
    addOtherDevices(0, 10);
    sim::Dongle &beyond = plugIn(rig::bootloader, at("1-1"));
    ASSERT_EQ(beyond.hostPort(), "/dev/ttyACM10");
    const auto records = rig::records(run({"--json"}).out);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0], (nlohmann::json{{"type", "message"},
                                          {"text", "A dongle is on /dev/ttyACM10, beyond the ports "
                                                   "searched without a name: name it with --path "
                                                   "1-1."}}));
    EXPECT_EQ(records[1]["success"], false);
    EXPECT_TRUE(beyond.frames().empty());
}

} // namespace
