// From a dongle running its application into its bootloader, and back.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "rig.h"

namespace
{

using namespace nlohmann::literals;

using std::chrono::milliseconds;

using rig::at;
using rig::hangMs;

using HandOver = rig::Rig;

// Two seconds for the switch even when the bootloader is back sooner, and
// after the update the dongle runs its application again. The switched
// dongle is written, not a bootloader that waits on a lower port.
TEST_F(HandOver, VerboseUpdateFromTheApplication)
{
    sim::Dongle &waiting = plugIn(rig::bootloader);
    sim::DongleOptions options;
    options.reenumerateMs = 100;
    sim::Dongle &dongle = plugIn(options);
    ASSERT_EQ(dongle.hostPort(), "/dev/ttyACM1");
    rig::expectUpdated(run(), rig::verboseSuccess(true, 15));
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_TRUE(waiting.frames().empty());
    EXPECT_EQ(setserialCalls(),
              (std::vector<std::string>{"/dev/ttyACM1 low_latency", "/dev/ttyACM2 low_latency"}));
    const auto frames = dongle.frames();
    ASSERT_GE(frames.size(), 2U);
    EXPECT_EQ(frames[0].bytes, (std::vector<uint8_t>{0x0A, 0x00}));
    EXPECT_EQ(frames[1].mode, sim::Mode::Bootloader);
    EXPECT_GE(frames[1].received - frames[0].replied, milliseconds(2000));
    EXPECT_TRUE(sim::waitUntil(
        [&] { return dongle.plugged() && dongle.mode() == sim::Mode::Application; }, 3000));
}

// The old port is still held open when the bootloader appears, so it gets
// the next number, and each port opened gets its latency call. Where sysfs
// shows no USB device above the port, the bootloader is found all the same.
TEST_F(HandOver, BootloaderComesBackOnTheNextPortAndEachPortGetsSetserial)
{
    setserialExits(1);
    sim::Dongle &dongle = plugIn(rig::application, rig::offUsb());
    rig::expectUpdated(run({}), rig::setserialWarning("/dev/ttyACM0") +
                                    rig::setserialWarning("/dev/ttyACM1") + rig::fullProgress(15) +
                                    rig::success);
    EXPECT_EQ(setserialCalls(),
              (std::vector<std::string>{"/dev/ttyACM0 low_latency", "/dev/ttyACM1 low_latency"}));
    EXPECT_EQ(dongle.flash(), rig::image());
}

TEST_F(HandOver, BootloaderThatAppearsTooLateFailsTheUpdate)
{
    sim::DongleOptions options;
    options.reenumerateMs = 6500;
    sim::Dongle &dongle = plugIn(options);
    rig::expectFailed(run(), "[TORVEX] Detecting Torvex...\n"
                             "[TORVEX] Torvex detected! Entering bootloader mode...\n"
                             "[TORVEX] Detecting bootloader mode...\n" +
                                 rig::retry + rig::retry + rig::retry +
                                 "[TORVEX] Bootloader mode could not be entered!\n");
    EXPECT_EQ(dongle.frames().size(), 1U);
}

// One flasher per dongle, started together. Every dongle gets the same
// image, so which flasher takes which bootloader after the hand-over does
// not matter; what matters is that each dongle is written by one of them.
using SeveralFlashers = rig::Table<std::pair<int, int>>;

// Dongles, then flashers: each dongle gets its whole update (enter
// bootloader, check, three frames for each of 15 pages, boot) from one
// flasher and no frame from another; a flasher left without one fails cleanly.
// The updated dongles do not come back: a flasher that a busy machine started
// after another's whole update would rightly update a dongle back in its
// application again.
TEST_P(SeveralFlashers, StartedTogetherWriteEachDongleOnce)
{
    const auto [dongleCount, flashers] = GetParam();
    sim::DongleOptions goneOnceUpdated;
    goneOnceUpdated.startMode = rig::application;
    goneOnceUpdated.applicationRestarts = false;
    std::vector<sim::Dongle *> dongles;
    for (int i = 0; i < dongleCount; ++i) {
        dongles.push_back(&plugIn(goneOnceUpdated));
    }
    int successes = 0;
    for (const auto &result : runTogether(flashers, {"--verbose"})) {
        successes += result.status == 0 ? 1 : 0;
        if (result.status != 0) {
            EXPECT_EQ(result.status, 255) << "signal " << result.signal << "\n" << result.err;
            EXPECT_TRUE(result.out.size() >= rig::failure.size() &&
                        result.out.compare(result.out.size() - rig::failure.size(),
                                           rig::failure.size(), rig::failure) == 0)
                << result.out;
        }
        EXPECT_EQ(result.err, "");
    }
    EXPECT_EQ(successes, dongleCount);
    for (const sim::Dongle *dongle : dongles) {
        EXPECT_EQ(dongle->flash(), rig::image());
        EXPECT_EQ(dongle->frames().size(), 48U);
    }
}

INSTANTIATE_TEST_SUITE_P(DonglesAndFlashers, SeveralFlashers,
                         ::testing::Values(std::pair{3, 3}, std::pair{1, 2}),
                         [](const ::testing::TestParamInfo<std::pair<int, int>> &info) {
                             return std::to_string(info.param.first) + "Dongles" +
                                    std::to_string(info.param.second) + "Flashers";
                         });

// Several dongles on one machine: each flasher writes the dongle it
// switched, or the one it was told to, and opens no other.
using SeveralDongles = rig::Rig;

// What ttyACM11 leads to: A; or its node to B's pty while sysfs shows A; or
// its node to B's pty and, once the program holds that pty open, its sysfs
// entry to B's too: the kernel gave A's number to B between the program's
// sysfs read and its open. A number keeps its device number whichever dongle
// takes it, so then A's `dev` is B's from the start. Or, once A's pty is held
// open, another dongle with another serial number takes A's USB port path.
enum class Ttyacm11 { IsA, NodeIsB, TurnsB, PathTaken };

struct Named {
    std::vector<std::string> args;
    char target;              // 'A', 'B', or 0 for none
    std::string refusal = ""; // why none, after "[TORVEX] "; empty: no dongle matches the name
    std::string bSerial = "TVX-0077";
    Ttyacm11 ttyacm11 = Ttyacm11::IsA;
};

void PrintTo(const Named &named, std::ostream *out)
{
    for (const auto &arg : named.args) {
        *out << "'" << arg << "' ";
    }
    const char *const ttyacm11[] = {"", "with ttyACM11's node leading to B",
                                    "with ttyACM11 turning B once opened",
                                    "with A's port path taken once opened"};
    *out << ttyacm11[static_cast<int>(named.ttyacm11)];
}

// Makes the link `name` lead where the link `like` does.
void pointLike(const std::string &name, const std::string &like)
{
    std::error_code ignored;
    std::filesystem::remove(name, ignored);
    std::filesystem::copy_symlink(like, name, ignored);
}

using NamedDongle = rig::Table<Named>;

// A runs its application on ttyACM11 and comes back in its bootloader on
// ttyACM13 with another serial number; B waits in its bootloader on ttyACM12.
TEST_P(NamedDongle, IsTheOnlyOneOpened)
{
    addOtherDevices(0, 11); // the dongles come after ttyACM9
    sim::Dongle &a = plugIn(rig::application, at("1-2", "TVX-0042", "TVX-BOOT"));
    sim::Dongle &b = plugIn(rig::bootloader, at("3-1.4", "", GetParam().bSerial));
    ASSERT_EQ(a.hostPort(), "/dev/ttyACM11");
    ASSERT_EQ(b.hostPort(), "/dev/ttyACM12");
    ASSERT_EQ(mkdir("/dev/serial", 0755) + mkdir("/dev/serial/by-path", 0755), 0);
    ASSERT_EQ(symlink("../../ttyACM11", "/dev/serial/by-path/platform-dummy_hcd.0-usb-0:2:1.0"), 0);

    const Named &named = GetParam();
    if (named.ttyacm11 == Ttyacm11::NodeIsB || named.ttyacm11 == Ttyacm11::TurnsB) {
        pointLike("/dev/ttyACM11", "/dev/ttyACM12");
    }
    std::optional<rig::OnOpen> sysfsTurnsToB;
    if (named.ttyacm11 == Ttyacm11::PathTaken) {
        // Renamed into place: the hook must not open a file it watches.
        const auto usbDevice = std::filesystem::canonical("/sys/class/tty/ttyACM11/device/..");
        std::ofstream(usbDevice / "serial.next") << "TVX-0099\n";
        sysfsTurnsToB.emplace("/sys/devices",
                              [usbDevice, ptyOfA = std::filesystem::read_symlink("/dev/ttyACM11")] {
                                  if (sim::heldOpenElsewhere(ptyOfA)) {
                                      std::error_code ignored;
                                      std::filesystem::rename(usbDevice / "serial.next",
                                                              usbDevice / "serial", ignored);
                                  }
                              });
    }
    if (named.ttyacm11 == Ttyacm11::TurnsB) {
        std::filesystem::copy_file("/sys/class/tty/ttyACM12/dev", "/sys/class/tty/ttyACM11/dev",
                                   std::filesystem::copy_options::overwrite_existing);
        sysfsTurnsToB.emplace(
            "/sys/devices", [ptyOfB = std::filesystem::read_symlink("/dev/ttyACM12")] {
                if (sim::heldOpenElsewhere(ptyOfB)) {
                    pointLike("/sys/class/tty/ttyACM11", "/sys/class/tty/ttyACM12");
                }
            });
    }
    const auto result = run(named.args);
    if (named.target == 0) {
        std::string name;
        for (const auto &arg : named.args) {
            name += (name.empty() ? "" : " ") + arg;
        }
        rig::expectFailed(
            result,
            "[TORVEX] " +
                (named.refusal.empty() ? "No dongle matches " + name + "." : named.refusal) + "\n");
        EXPECT_TRUE(a.frames().empty() && b.frames().empty());
        EXPECT_TRUE(setserialCalls().empty());
        return;
    }
    sim::Dongle &chosen = named.target == 'A' ? a : b;
    sim::Dongle &other = named.target == 'A' ? b : a;
    rig::expectUpdated(result, rig::fullProgress(15) + rig::success);
    EXPECT_EQ(chosen.flash(), rig::image());
    EXPECT_TRUE(other.frames().empty());
    const std::vector<std::string> ports =
        named.target == 'A'
            ? std::vector<std::string>{"/dev/ttyACM11 low_latency", "/dev/ttyACM13 low_latency"}
            : std::vector<std::string>{"/dev/ttyACM12 low_latency"};
    EXPECT_EQ(setserialCalls(), ports);
}

INSTANTIATE_TEST_SUITE_P(
    ByPathSerialOrPort, NamedDongle,
    ::testing::Values(
        Named{{"--path", "3-1.4"}, 'B'}, Named{{"--path", "1-2"}, 'A'},
        Named{{"--serial-number", "TVX-0042"}, 'A'}, Named{{"--serial-number", "TVX-0077"}, 'B'},
        Named{{"--port", "/dev/ttyACM12"}, 'B'}, Named{{"--port", "ttyACM12"}, 'B'},
        Named{{"--port", "/dev/serial/by-path/platform-dummy_hcd.0-usb-0:2:1.0"}, 'A'},
        Named{{"--serial-number", "TVX-0042", "--path", "1-2"}, 'A'}, Named{{"--path", "3-9"}, 0},
        Named{{"--serial-number", "TVX-0042", "--path", "3-1.4"}, 0},
        // Another device, and a regular file: nothing is opened.
        Named{{"--port", "/dev/null"}, 0}, Named{{"--port", "/dev/ttyACM0"}, 0},
        // A serial number that two dongles carry, here A's application and
        // B's bootloader, names neither.
        Named{{"--serial-number", "TVX-0042"},
              0,
              "--serial-number TVX-0042 fits 2 dongles, at 1-2 and 3-1.4: name one with --path.",
              "TVX-0042"},
        // Each port is checked again once it is opened and locked.
        Named{{"--path", "1-2"}, 0, "", "TVX-0077", Ttyacm11::NodeIsB},
        Named{{"--path", "1-2"}, 0, "", "TVX-0077", Ttyacm11::TurnsB},
        Named{{"--serial-number", "TVX-0042"}, 0, "", "TVX-0077", Ttyacm11::PathTaken}));

// Without a USB device above its port, nothing tells a switched dongle from
// another that takes its number, or whose bootloader is there already: it is
// left as it is.
TEST_F(SeveralDongles, ADongleThatCannotBeFollowedIsNotSwitched)
{
    sim::Dongle &waiting = plugIn(rig::bootloader, at("1-1"));
    sim::Dongle &plain = plugIn(rig::application, rig::offUsb());
    ASSERT_EQ(plain.hostPort(), "/dev/ttyACM1");
    rig::expectFailed(run({}), "[TORVEX] Cannot switch the dongle on /dev/ttyACM1: without its "
                               "USB port path, its bootloader could not be told from the one on "
                               "/dev/ttyACM0. Update that one first with --port /dev/ttyACM0, "
                               "or unplug it.\n");
    rig::expectFailed(run({"--port", "/dev/ttyACM1"}),
                      "[TORVEX] Cannot follow the dongle on /dev/ttyACM1 into its bootloader "
                      "without its USB port path: it was not switched.\n");
    EXPECT_TRUE(waiting.frames().empty() && plain.frames().empty());
    EXPECT_EQ(setserialCalls(), std::vector<std::string>(2, "/dev/ttyACM1 low_latency"));
}

// A name that fits nothing at first and two dongles later, while the
// program retries, names neither.
TEST_F(SeveralDongles, ANameThatComesToFitTwoDonglesIsRefusedThen)
{
    sim::Dongle &a = plugIn(rig::application, at("1-2", "TVX-A"));
    sim::Dongle &b = plugIn(rig::application, at("3-1.4", "TVX-B"));
    std::vector<std::filesystem::path> serials;
    for (const char *port : {"ttyACM0", "ttyACM1"}) {
        serials.push_back(
            std::filesystem::canonical(std::string("/sys/class/tty/") + port + "/device/..") /
            "serial");
        std::ofstream(serials.back().string() + ".next") << "TVX-SAME\n";
    }
    // Between two attempts, both at once as far as a search can tell: as the
    // second search begins. Renamed into place: the hook must not open a file
    // it watches.
    std::optional<rig::Searches> searches;
    searches.emplace([&serials](int search) {
        for (const auto &serial : serials) {
            std::error_code ignored;
            if (search == 1) {
                std::filesystem::rename(serial.string() + ".next", serial, ignored);
            }
        }
    });
    const auto result = run({"--serial-number", "TVX-SAME"});
    const auto searched = searches->starts();
    searches.reset();
    EXPECT_EQ(searched.size(), 2U) << "the name fitted two dongles from the second search on";
    rig::expectFailed(result, "[TORVEX] --serial-number TVX-SAME fits 2 dongles, at 1-2 and "
                              "3-1.4: name one with --path.\n");
    EXPECT_TRUE(a.frames().empty() && b.frames().empty());
}

// The named dongle leaves while the program looks for its application, and
// another dongle comes back on its number: the name meant the first one.
TEST_F(SeveralDongles, APortNamesTheDongleOnItWhenTheProgramStarts)
{
    sim::DongleOptions leaves;
    leaves.startMode = sim::Mode::Bootloader;
    leaves.pull = {500, -1, false};
    sim::DongleOptions comesBack = leaves;
    comesBack.pull = {900, 100, false};
    sim::Dongle &named = plugIn(leaves, at("1-2"));
    sim::Dongle &other = plugIn(comesBack, at("3-1.4"));
    named.armPull();
    other.armPull();
    const auto result = run({"--port", "/dev/ttyACM0"});
    ASSERT_EQ(other.pullRecord().portAfter, "/dev/ttyACM0");
    rig::expectFailed(result, "[TORVEX] No dongle matches --port /dev/ttyACM0.\n");
    EXPECT_TRUE(other.frames().empty());
}

// Every dongle at once, each written as by a single update of it, wherever
// its port is; one that fails does not stop the others, and says why. A dongle
// without a USB port path is not started: nothing would follow it.
TEST_F(SeveralDongles, AllUpdatesEveryDongleAndSaysWhatHappenedToEach)
{
    std::vector<sim::Dongle *> dongles = {
        &plugIn(rig::application, at("1-1")), &plugIn(rig::bootloader, at("1-2")),
        &plugIn(rig::bootloader, rig::offUsb()), &plugIn(rig::application, at("1-4"))};
    addOtherDevices(4, 12);
    sim::DongleOptions failing;
    failing.faults = {{rig::dataFrame(true, 2, 2), rig::replaced({'f', 'N', 'O'})}};
    dongles.push_back(&plugIn(failing, at("1-3")));
    ASSERT_EQ(dongles[4]->hostPort(), "/dev/ttyACM12");
    const int held = open("/dev/ttyACM3", O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const auto result = run({"--all", "--verbose"});
    close(held);
    std::multiset<std::string> lines;
    std::istringstream out(result.out);
    for (std::string line; std::getline(out, line);) {
        lines.insert(line);
    }
    EXPECT_EQ(lines, (std::multiset<std::string>{
                         "[TORVEX] /dev/ttyACM0 path=1-1 Update successful!",
                         "[TORVEX] /dev/ttyACM1 path=1-2 Update successful!",
                         "[TORVEX] /dev/ttyACM2 No USB port path to follow it by. Update Failed.",
                         "[TORVEX] /dev/ttyACM3 path=1-4 Skipping /dev/ttyACM3: another program "
                         "is using it. Update Failed.",
                         "[TORVEX] /dev/ttyACM12 path=1-3 Page 3 of 15 was not written. Update "
                         "Failed.",
                         "[TORVEX] 2 of 5 dongles updated.",
                         rig::failure.substr(0, rig::failure.size() - 1)}));
    EXPECT_EQ(result.out.substr(result.out.find("[TORVEX] 2 of 5")),
              "[TORVEX] 2 of 5 dongles updated.\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(dongles[0]->flash(), rig::image());
    EXPECT_EQ(dongles[1]->flash(), rig::image());
    EXPECT_TRUE(dongles[2]->frames().empty() && dongles[3]->frames().empty());
    EXPECT_NE(dongles[4]->flash(), rig::image());
    EXPECT_EQ(rig::framesSeen(*dongles[4], 0x64), 1);
    for (const std::string &call : setserialCalls()) {
        EXPECT_EQ(call.find("pipe"), std::string::npos) << call;
    }
}

// Ctrl-C, as a terminal sends it to the whole process group, once an update
// holds the port open: one press for each of `presses`, once it comes true.
std::thread pressCtrlC(const std::string &port, std::vector<std::function<bool()>> presses)
{
    return std::thread([port, presses] {
        pid_t child = 0;
        const auto pty = std::filesystem::read_symlink(port);
        ASSERT_TRUE(
            sim::waitUntil([&] { return (child = sim::holderElsewhere(pty)) != 0; }, hangMs));
        const pid_t group = getpgid(child);
        for (const auto &press : presses) {
            ASSERT_TRUE(sim::waitUntil(press, hangMs));
            if (group > 1) {
                kill(-group, SIGINT);
            }
        }
    });
}

// The first Ctrl-C lets the updates that have begun end and begins no other,
// the second stops them.
TEST_F(SeveralDongles, AllStopsOnCtrlCAsItIsAsked)
{
    sim::Dongle &running = plugIn(rig::application, at("1-1"));
    sim::Dongle &waiting = plugIn(rig::application, at("1-2"));
    const int held = open("/dev/ttyACM1", O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    for (int presses : {1, 2}) {
        // Back in its application after the first run's boot command.
        ASSERT_TRUE(sim::waitUntil(
            [&] { return running.plugged() && running.mode() == sim::Mode::Application; }, 3000));
        const std::string port = running.hostPort();
        const std::size_t framesBefore = running.frames().size();
        rig::Said stopping("[TORVEX] Stopping:", 1);
        onOutput = [&stopping](const std::string &out, pid_t) { stopping.heard(out); };
        // The first press once the dongle is told to switch: the parent has
        // heard by then that its update began. The second once the first is
        // taken and the dongle is in its bootloader: the update told the
        // parent of its switch before that, and waits two seconds for it.
        std::vector<std::function<bool()>> when{
            [&running, framesBefore] { return running.frames().size() > framesBefore; }};
        if (presses == 2) {
            when.emplace_back(
                [&] { return stopping() && running.mode() == sim::Mode::Bootloader; });
        }
        std::thread ctrlC = pressCtrlC(port, when);
        const auto result = run({"--all"});
        ctrlC.join();
        const std::string ending =
            presses == 1 ? "[TORVEX] " + port +
                               " path=1-1 Update successful!\n"
                               "[TORVEX] 1 of 2 dongles updated.\n"
                         : "[TORVEX] " + port +
                               " path=1-1 Stopped during its update: it waits "
                               "in its bootloader, and the next run updates it. Update Failed.\n"
                               "[TORVEX] 0 of 2 dongles updated.\n";
        rig::expectFailed(result, "[TORVEX] Stopping: waiting for 1 running update to end; Ctrl-C "
                                  "again stops it at once.\n"
                                  "[TORVEX] /dev/ttyACM1 path=1-2 Left untouched: stopped before "
                                  "its update began. Update Failed.\n" +
                                      ending);
        if (presses == 1) {
            EXPECT_EQ(running.flash(), rig::image());
        } else {
            EXPECT_TRUE(
                sim::waitUntil([&] { return running.mode() == sim::Mode::Bootloader; }, 3000));
        }
    }
    close(held);
    EXPECT_TRUE(waiting.frames().empty());
}

pid_t parentOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    pid_t parent = 0;
    std::istringstream(line.substr(line.rfind(')') + 2)) >> line >> parent;
    return parent;
}

// With --json a script gets one record for each dongle, a skipped one too,
// and the summary last; nothing else of an update reaches it.
TEST_F(SeveralDongles, JsonGivesScriptsOneRecordForEachDongle)
{
    sim::Dongle &onUsb = plugIn(rig::application, at("1-1", "TVX-J"));
    plugIn(rig::bootloader, rig::offUsb());
    // What changes from run to run is checked, then left out.
    const auto stable = [firmware = rig::imageSha256()](const std::string &out) {
        std::vector<nlohmann::json> objects = rig::records(out);
        for (nlohmann::json &object : objects) {
            if (object["type"] == "result") {
                EXPECT_LT(object["seconds"].get<double>(), 60.0);
                EXPECT_TRUE(std::regex_match(object["time"].get<std::string>(),
                                             std::regex("20[0-9-]{8}T[0-9:]{8}Z")));
                EXPECT_EQ(object["firmware"], firmware);
                object.erase("seconds");
                object.erase("time");
                object.erase("firmware");
            }
        }
        return objects;
    };
    const auto all = run({"--all", "--json"});
    EXPECT_EQ(
        stable(all.out),
        std::vector<nlohmann::json>(
            {R"({"type":"result","device":"/dev/ttyACM1","path":null,"serial":null,"result":"skipped","reason":"No USB port path to follow it by."})"_json,
             R"({"type":"result","device":"/dev/ttyACM0","path":"1-1","serial":"TVX-J","result":"updated","reason":null})"_json,
             R"({"type":"message","text":"[TORVEX] 1 of 2 dongles updated."})"_json,
             R"({"type":"summary","schema":1,"success":false,"updated":1,"dongles":2})"_json}));
    EXPECT_EQ(all.status, 255);
    // However late the program reads what its update did, the record names
    // the dongle as the update opened it, not as its port shows it by then:
    // the program is stopped from the update's check of the port it opened
    // (in sysfs) until the dongle is in its bootloader.
    std::atomic<pid_t> program{0};
    rig::OnOpen stopTheProgram("/sys/devices", [&] {
        std::error_code none;
        const pid_t update =
            sim::holderElsewhere(std::filesystem::read_symlink(onUsb.hostPort(), none));
        if (update != 0 && program == 0 && (program = parentOf(update)) > 1) {
            kill(program, SIGSTOP);
        }
    });
    std::thread resume([&] {
        sim::waitUntil([&] { return program != 0 && onUsb.mode() == sim::Mode::Bootloader; },
                       30000);
        if (program > 1) {
            kill(program, SIGCONT);
        }
    });
    const auto one = run({"--json", "--path", "1-1"});
    resume.join();
    EXPECT_NE(program, 0);
    EXPECT_EQ(
        stable(one.out),
        std::vector<nlohmann::json>(
            {R"({"type":"result","device":"/dev/ttyACM0","path":"1-1","serial":"TVX-J","result":"updated","reason":null})"_json,
             R"({"type":"summary","schema":1,"success":true,"updated":1,"dongles":1})"_json}));
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(rig::framesSeen(onUsb, 0x64), 2);
}

// A station: each dongle is updated once, whether there at the start or
// plugged in later, and not again when its new firmware comes back; another
// dongle put on a port that an updated one left is updated too.
TEST_F(SeveralDongles, WatchUpdatesEachDongleOnceAsItComes)
{
    sim::DongleOptions later;
    later.pull = {0, 9500, false};
    sim::Dongle &swappedIn = plugIn(later, at("1-1", "TVX-B"));
    swappedIn.armPull();
    ASSERT_TRUE(sim::waitUntil([] { return access("/dev/ttyACM0", F_OK) != 0; }, 3000));
    sim::DongleOptions first;
    first.pull = {8000, -1, false};
    sim::Dongle &there = plugIn(first, at("1-1", "TVX-A"));
    later.pull = {0, 2500, false};
    sim::Dongle &pluggedIn = plugIn(later, at("1-2", "TVX-C"));
    there.armPull();
    pluggedIn.armPull();
    // Once the station has said that the last update ended.
    rig::Said allUpdated(" Update successful!\n", 3);
    onOutput = [&allUpdated](const std::string &out, pid_t) { allUpdated.heard(out); };
    std::thread ctrlC = pressCtrlC(there.hostPort(), {[&allUpdated] { return allUpdated(); }});
    const auto result = run({"--watch"});
    ctrlC.join();
    // Which number a port gets depends on what is plugged in at that moment.
    auto portless = result;
    portless.out = std::regex_replace(result.out, std::regex("/dev/ttyACM[0-9]+ "), "");
    rig::expectUpdated(portless, "[TORVEX] Watching for every dongle to update each once; Ctrl-C "
                                 "stops.\n"
                                 "[TORVEX] path=1-1 serial=TVX-A Update successful!\n"
                                 "[TORVEX] path=1-2 serial=TVX-C Update successful!\n"
                                 "[TORVEX] path=1-1 serial=TVX-B Update successful!\n"
                                 "[TORVEX] 3 of 3 dongles updated.\n" +
                                     rig::success);
    for (const sim::Dongle *dongle : {&there, &pluggedIn, &swappedIn}) {
        EXPECT_EQ(dongle->flash(), rig::image());
        EXPECT_EQ(rig::framesSeen(*dongle, 0x64), 1);
    }
}

// Ctrl-C stops the watch: the update under way ends, and a dongle plugged in
// afterwards is neither touched nor counted.
TEST_F(SeveralDongles, WatchStopsOnCtrlCAndLetsTheUpdateEnd)
{
    sim::Dongle &there = plugIn(rig::application, at("1-1"));
    // Plugged in once Ctrl-C is taken, while the update under way goes on;
    // pressed once the update has told the station that it began, before its
    // first frame.
    sim::Dongle *tooLate = nullptr;
    rig::Said stopping("[TORVEX] Stopping:", 1);
    onOutput = [&stopping](const std::string &out, pid_t) { stopping.heard(out); };
    std::thread ctrlC([this, &there, &tooLate, &stopping] {
        pressCtrlC(there.hostPort(), {[&there] { return !there.frames().empty(); }}).join();
        ASSERT_TRUE(sim::waitUntil([&stopping] { return stopping(); }, hangMs));
        tooLate = &plugIn(rig::application, at("1-2"));
    });
    const auto result = run({"--watch", "--verbose"});
    ctrlC.join();
    rig::expectUpdated(result, "[TORVEX] Watching for every dongle to update each once; Ctrl-C "
                               "stops.\n"
                               "[TORVEX] Stopping: waiting for 1 running update to end; Ctrl-C "
                               "again stops it at once.\n"
                               "[TORVEX] /dev/ttyACM0 path=1-1 Update successful!\n"
                               "[TORVEX] 1 of 1 dongle updated.\n" +
                                   rig::success);
    EXPECT_EQ(there.flash(), rig::image());
    ASSERT_NE(tooLate, nullptr);
    EXPECT_TRUE(tooLate->frames().empty());
}

TEST_F(SeveralDongles, ListShowsEachDongleInEitherModeAndOpensNone)
{
    const auto none = run({"--list"});
    EXPECT_EQ(none.out, "No Torvex dongle found.\n");
    EXPECT_EQ(none.status, 1);
    rig::expectFailed(run({"--all"}), "[TORVEX] No Torvex dongle found.\n");

    addOtherDevices(0, 10);
    const std::vector<sim::Dongle *> dongles = {
        &plugIn(rig::application, at("1-2", "TVX-0042")), &plugIn(rig::bootloader, at("3-1.4")),
        &plugIn(rig::bootloader, rig::offUsb()),
        // A serial number may hold anything: an escape sequence, a space, a
        // C1 control, a letter beyond ASCII.
        &plugIn(rig::application, at("3-2", "TVX\x1b[2J 1\"\\\t\xc2\x9b\xc3\xa9\x9b"))};
    const auto all = run({"--list"});
    EXPECT_EQ(all.out, "/dev/ttyACM10 application path=1-2 serial=TVX-0042\n"
                       "/dev/ttyACM11 bootloader path=3-1.4\n"
                       "/dev/ttyACM12 bootloader\n"
                       "/dev/ttyACM13 application path=3-2 serial=TVX?[2J?1\"\\??\xc3\xa9?\n");
    EXPECT_EQ(all.status, 0);
    // A script reads the serial number as the dongle gives it, but for the
    // byte that is not UTF-8.
    EXPECT_EQ(
        rig::records(run({"--list", "--json"}).out),
        std::vector<nlohmann::json>(
            {R"({"type":"dongle","device":"/dev/ttyACM10","mode":"application","path":"1-2","serial":"TVX-0042"})"_json,
             R"({"type":"dongle","device":"/dev/ttyACM11","mode":"bootloader","path":"3-1.4","serial":null})"_json,
             R"({"type":"dongle","device":"/dev/ttyACM12","mode":"bootloader","path":null,"serial":null})"_json,
             R"({"type":"dongle","device":"/dev/ttyACM13","mode":"application","path":"3-2",)"
             R"("serial":"TVX\u001b[2J 1\"\\\t\u009b\u00e9\ufffd"})"_json,
             R"({"type":"summary","schema":1,"success":true,"dongles":4})"_json}));
    const auto unmatched = run({"--list", "--path", "9-9"});
    EXPECT_EQ(unmatched.out, "No dongle matches --path 9-9.\n");
    EXPECT_EQ(unmatched.status, 1);
    EXPECT_EQ(run({"--list", "--path", "3-1.4"}).out, "/dev/ttyACM11 bootloader path=3-1.4\n");
    for (const sim::Dongle *dongle : dongles) {
        EXPECT_TRUE(dongle->frames().empty());
    }
    EXPECT_TRUE(setserialCalls().empty());
}

} // namespace
