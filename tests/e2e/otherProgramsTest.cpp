// Other programs on a dongle's port: a terminal program that holds it without
// a lock, and ModemManager, which probes new ports.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <set>
#include <sstream>

#include "rig.h"

namespace
{

using namespace nlohmann::literals;

using rig::at;

// What runs beside the program, and what the program may see of it.
struct Beside {
    std::string name;
    std::vector<std::string> holders; // programs that hold the dongle's port, by name
    bool modemManagerRuns = false;    // a process named ModemManager that holds nothing
    bool marked = false;              // udev's database tells ModemManager to leave the port alone
    bool verbose = false;             // the program runs with --verbose
    bool unprivileged = false; // the program runs as nobody, who cannot read root's processes
    bool onBootloader = false; // the holders take the bootloader's port, as soon as it appears
};

void PrintTo(const Beside &beside, std::ostream *out)
{
    *out << beside.name;
}

const std::string modemManagerLine =
    "[TORVEX] ModemManager is running and may probe the dongle's port during the update: install "
    "the udev rule 60-torvex.rules to keep it away (see 'man ZEL_USB_Flasher').\n";

using OtherPrograms = rig::Table<Beside>;

// A holder that stays is waited for, then named, and the dongle is not
// switched, or not written once in its bootloader; one that the program cannot
// see is not named at all. A ModemManager is pointed out, holding the port or
// not, unless udev's database keeps it away.
TEST_P(OtherPrograms, AreNamedBeforeTheDongleIsWritten)
{
    const Beside &beside = GetParam();
    sim::Dongle &dongle = plugIn(beside.unprivileged ? rig::bootloader : rig::application);
    ASSERT_EQ(dongle.hostPort(), "/dev/ttyACM0");
    if (beside.marked) {
        udevProperties("/dev/ttyACM0", "E:ID_VENDOR_ID=0069\nE:ID_MM_DEVICE_IGNORE=1\n");
    }
    std::vector<std::unique_ptr<rig::OtherProgram>> others;
    if (beside.modemManagerRuns) {
        others.push_back(runOther("ModemManager"));
    }
    const std::string port = beside.onBootloader ? "/dev/ttyACM1" : "/dev/ttyACM0";
    const auto holdPort = [&] {
        for (const std::string &name : beside.holders) {
            others.push_back(runOther(name, port));
        }
    };
    // udev marks the bootloader's port too, and the holders may take it,
    // before the program reads anything of it.
    bool bootloaderSeen = false;
    std::optional<rig::OnOpen> bootloaderAppears;
    if (!beside.unprivileged) {
        bootloaderAppears.emplace("/sys/devices", [&] {
            if (!bootloaderSeen && access("/dev/ttyACM1", F_OK) == 0) {
                bootloaderSeen = true;
                if (beside.marked) {
                    udevProperties("/dev/ttyACM1", "E:ID_MM_DEVICE_IGNORE=1\n");
                }
                if (beside.onBootloader) {
                    holdPort();
                }
            }
        });
    }
    if (!beside.onBootloader) {
        holdPort();
    }
    if (beside.unprivileged) {
        unprivileged = true;
        ASSERT_EQ(chmod(port.c_str(), 0666), 0);
    }
    const auto result =
        run(beside.verbose ? std::vector<std::string>{"--verbose"} : std::vector<std::string>{});
    bootloaderAppears.reset();
    const bool modemManager =
        !beside.marked &&
        (beside.modemManagerRuns || beside.holders == std::vector<std::string>{"ModemManager"});
    const std::string said = modemManager ? modemManagerLine : "";
    if (beside.holders.empty() || beside.unprivileged) {
        rig::expectUpdated(result, said + rig::fullProgress(15) + rig::success);
        EXPECT_EQ(dongle.flash(), rig::image());
        return;
    }
    std::string holders;
    for (std::size_t i = beside.modemManagerRuns ? 1 : 0; i < others.size(); ++i) {
        holders += (holders.empty() ? "" : ", ") + others[i]->named();
    }
    ASSERT_EQ(others.size(), beside.holders.size());
    rig::expectFailed(result, (beside.verbose ? "[TORVEX] Detecting Torvex...\n" : "") + said +
                                  "[TORVEX] Waiting for " + holders + " to close " + port +
                                  "...\n[TORVEX] " + port + " is open in " + holders + ": close " +
                                  (others.size() == 1 ? "it" : "them") + " and run again.\n");
    // Switched before its bootloader's port was taken, it waits there.
    EXPECT_EQ(dongle.frames().size(), beside.onBootloader ? 1U : 0U);
    EXPECT_EQ(dongle.mode(), beside.onBootloader ? rig::bootloader : rig::application);
}

INSTANTIATE_TEST_SUITE_P(
    SeveralDongles, OtherPrograms,
    ::testing::Values(Beside{"Cat", {"cat"}},
                      Beside{"TwoTerminalPrograms", {"cat", "screen"}, false, false, true},
                      Beside{"ModemManagerOnThePort", {"ModemManager"}},
                      Beside{"ModemManagerWithoutTheMark", {}, true},
                      Beside{"ModemManagerWithTheMark", {}, true, true},
                      Beside{"AHolderThatCannotBeSeen", {"cat"}, false, false, false, true},
                      Beside{"CatOnTheBootloadersPort", {"cat"}, false, false, false, false, true}),
    rig::rowName<Beside>);

using SeveralDongles = rig::Rig;

// The lines of a run's output, in any order.
std::multiset<std::string> linesOf(const std::string &out)
{
    std::multiset<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.insert(line);
    }
    return lines;
}

// --list names the holders of a port; --all skips a held dongle with its
// reason and updates the others, and says what its updates say once.
TEST_F(SeveralDongles, AllSkipsADongleWhosePortAnotherProgramHolds)
{
    sim::Dongle &free = plugIn(rig::application, at("1-1"));
    sim::Dongle &held = plugIn(rig::application, at("1-2"));
    ASSERT_EQ(held.hostPort(), "/dev/ttyACM1");
    const auto cat = runOther("cat", "/dev/ttyACM1");
    EXPECT_EQ(run({"--list"}).out, "/dev/ttyACM0 application path=1-1\n"
                                   "/dev/ttyACM1 application path=1-2 held by " +
                                       cat->named() + "\n");
    EXPECT_EQ(
        rig::records(run({"--list", "--json"}).out),
        std::vector<nlohmann::json>(
            {R"({"type":"dongle","device":"/dev/ttyACM0","mode":"application","path":"1-1","serial":null})"_json,
             nlohmann::json::parse(
                 R"({"type":"dongle","device":"/dev/ttyACM1","mode":"application","path":"1-2",)"
                 R"("serial":null,"heldBy":[{"command":"cat","pid":)" +
                 std::to_string(cat->pid()) + "}]}"),
             R"({"type":"summary","schema":1,"success":true,"dongles":2})"_json}));
    const std::string refusal =
        "/dev/ttyACM1 is open in " + cat->named() + ": close it and run again.";
    const auto modemManager = runOther("ModemManager"); // said once for both updates
    const auto all = run({"--all"});
    EXPECT_EQ(
        linesOf(all.out),
        (std::multiset<std::string>{
            modemManagerLine.substr(0, modemManagerLine.size() - 1),
            "[TORVEX] Waiting for " + cat->named() + " to close /dev/ttyACM1...",
            "[TORVEX] /dev/ttyACM0 path=1-1 Update successful!",
            "[TORVEX] /dev/ttyACM1 path=1-2 " + refusal + " Update Failed.",
            "[TORVEX] 1 of 2 dongles updated.", rig::failure.substr(0, rig::failure.size() - 1)}));
    EXPECT_EQ(all.status, 255);
    EXPECT_EQ(free.flash(), rig::image());
    EXPECT_TRUE(held.frames().empty());
    bool skipped = false;
    for (const nlohmann::json &record :
         rig::records(run({"--all", "--json", "--path", "1-2"}).out)) {
        skipped = skipped || (record["type"] == "result" && record["device"] == "/dev/ttyACM1" &&
                              record["result"] == "skipped" && record["reason"] == refusal);
    }
    EXPECT_TRUE(skipped);
    EXPECT_TRUE(held.frames().empty());
}

// --watch waits for as long as a holder stays, saying so once, and takes the
// dongle once its port is free; a stop leaves a waiting dongle untouched.
TEST_F(SeveralDongles, WatchWaitsForAHeldPortAndTakesTheDongleOnceItIsFree)
{
    sim::Dongle &dongle = plugIn(rig::application, at("1-1"));
    for (const bool stopWhileWaiting : {false, true}) {
        ASSERT_TRUE(sim::waitUntil(
            [&] { return dongle.plugged() && dongle.mode() == sim::Mode::Application; }, 3000));
        const std::string port = dongle.hostPort();
        auto cat = runOther("cat", port);
        const std::string waiting =
            "[TORVEX] Waiting for " + cat->named() + " to close " + port + "...\n";
        // Ctrl-C once, when the dongle waits or once it is updated.
        bool stopped = false;
        onOutput = [&](const std::string &out, pid_t program) {
            const bool waits = out.find(waiting) != std::string::npos;
            if (waits && !stopWhileWaiting) {
                cat->end();
            }
            if (!stopped && ((waits && stopWhileWaiting) ||
                             out.find(" Update successful!\n") != std::string::npos)) {
                stopped = true;
                kill(-program, SIGINT);
            }
        };
        auto result = run({"--watch"});
        // Whether a dongle left by a stop is told to be plugged in again is
        // not this test's matter.
        const std::string replug = " Pull it out and plug it in again to retry.";
        if (const auto at = result.out.find(replug); at != std::string::npos) {
            result.out.erase(at, replug.size());
        }
        const std::string watching =
            "[TORVEX] Watching for every dongle to update each once; Ctrl-C stops.\n";
        if (stopWhileWaiting) {
            rig::expectFailed(result, watching + waiting + "[TORVEX] " + port +
                                          " path=1-1 Left untouched: stopped before its update "
                                          "began. Update Failed.\n"
                                          "[TORVEX] 0 of 1 dongle updated.\n");
        } else {
            rig::expectUpdated(result, watching + waiting + "[TORVEX] " + port +
                                           " path=1-1 Update successful!\n"
                                           "[TORVEX] 1 of 1 dongle updated.\n" +
                                           rig::success);
        }
    }
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_EQ(rig::framesSeen(dongle, 0x0A), 1);
}

} // namespace
