// From a dongle running its application into its bootloader, and back.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>
#include <sstream>

#include "rig.h"

namespace
{

using Kind = sim::Fault::Kind;
using std::chrono::milliseconds;

using HandOver = rig::Rig;

// Two seconds for the switch even when the bootloader is back sooner, and
// after the update the dongle runs its application again.
TEST_F(HandOver, VerboseUpdateFromTheApplication)
{
    sim::DongleOptions options;
    options.reenumerateMs = 100;
    sim::Dongle &dongle = plugIn(options);
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromApplication(15));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dongle.flash(), rig::image());
    const auto frames = dongle.frames();
    ASSERT_GE(frames.size(), 2U);
    EXPECT_EQ(frames[0].bytes, (std::vector<uint8_t>{0x0A, 0x00}));
    EXPECT_EQ(frames[0].reply, (std::vector<uint8_t>{0x0A, 0x01}));
    EXPECT_EQ(frames[0].mode, sim::Mode::Application);
    EXPECT_EQ(frames[1].mode, sim::Mode::Bootloader);
    EXPECT_GE(frames[1].received - frames[0].replied, milliseconds(2000));
    const auto running = [&dongle] {
        return dongle.plugged() && dongle.mode() == sim::Mode::Application;
    };
    for (int waited = 0; !running() && waited < 3000; waited += 20) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_TRUE(running());
}

// The old port is still held open when the bootloader appears, so it gets
// the next number, and each port opened gets its latency call. Where sysfs
// shows no USB device above the port, the bootloader is found all the same.
TEST_F(HandOver, BootloaderComesBackOnTheNextPortAndEachPortGetsSetserial)
{
    setserialExits(1);
    sim::UsbPlace plainSysfs;
    plainSysfs.plain = true;
    sim::Dongle &dongle = plugIn(sim::DongleOptions{}, plainSysfs);
    const auto result = run({});
    EXPECT_EQ(result.out, rig::setserialWarning("/dev/ttyACM0") +
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
    const auto result = run();
    EXPECT_EQ(result.out, "[TORVEX] Detecting Torvex...\n"
                          "[TORVEX] Torvex detected! Entering bootloader mode...\n"
                          "[TORVEX] Detecting bootloader mode...\n" +
                              rig::retry + rig::retry + rig::retry +
                              "[TORVEX] Bootloader mode could not be entered!\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(dongle.frames().size(), 1U);
}

// One flasher per dongle, started together. Every dongle gets the same
// image, so which flasher takes which bootloader after the hand-over does
// not matter; what matters is that each dongle is written by one of them.
using SeveralFlashers = rig::Rig;

int checkCommandsSeen(const sim::Dongle &dongle)
{
    int seen = 0;
    for (const auto &frame : dongle.frames()) {
        seen += !frame.bytes.empty() && frame.bytes[0] == 0x64 ? 1 : 0;
    }
    return seen;
}

TEST_F(SeveralFlashers, ThreeStartedTogetherUpdateThreeDongles)
{
    std::vector<sim::Dongle *> dongles;
    for (int i = 0; i < 3; ++i) {
        dongles.push_back(&plugInApplication());
    }
    for (const auto &result : runTogether(3, {})) {
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(result.err, "");
    }
    for (const sim::Dongle *dongle : dongles) {
        EXPECT_EQ(dongle->flash(), rig::image());
        EXPECT_EQ(checkCommandsSeen(*dongle), 1);
    }
}

TEST_F(SeveralFlashers, TwoAgainstOneDongleGiveOneUpdateAndOneCleanFailure)
{
    sim::Dongle &dongle = plugInApplication();
    int successes = 0;
    for (const auto &result : runTogether(2, {"--verbose"})) {
        successes += result.status == 0 ? 1 : 0;
        if (result.status != 0) {
            EXPECT_EQ(result.status, 255);
            EXPECT_EQ(result.out.substr(result.out.size() - rig::failure.size()), rig::failure);
        }
        EXPECT_EQ(result.err, "");
    }
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(dongle.flash(), rig::image());
    // Enter bootloader, check, three frames for each of 15 pages, boot.
    EXPECT_EQ(dongle.frames().size(), 48U);
}

// Several dongles on one machine: each flasher writes the dongle it
// switched, or the one it was told to, and opens no other.
class SeveralDongles : public rig::Rig
{
  protected:
    static sim::UsbPlace at(const std::string &path, const std::string &serial = "",
                            const std::string &bootloaderSerial = "")
    {
        sim::UsbPlace place;
        place.path = path;
        place.serial = serial;
        place.bootloaderSerial = bootloaderSerial;
        return place;
    }
    sim::Dongle &plugInAt(sim::Mode mode, const sim::UsbPlace &place)
    {
        sim::DongleOptions options;
        options.startMode = mode;
        return plugIn(options, place);
    }
    // Ports that are not dongles, so that the dongles come after ttyACM9.
    void fillLowPorts(int count)
    {
        for (int n = 0; n < count; ++n) {
            ASSERT_TRUE(
                tree().addForeignPort(n, "usb:v1d50p60e1d0100dc02dsc00dp00ic02isc02ip01in00"));
        }
    }
};

TEST_F(SeveralDongles, TheSwitchedDongleIsWrittenNotABootloaderOnALowerPort)
{
    sim::Dongle &waiting = plugInBootloader();
    sim::Dongle &running = plugInApplication();
    ASSERT_EQ(waiting.hostPort(), "/dev/ttyACM0");
    ASSERT_EQ(running.hostPort(), "/dev/ttyACM1");
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromApplication(15));
    EXPECT_EQ(running.flash(), rig::image());
    EXPECT_TRUE(waiting.frames().empty());
    EXPECT_EQ(setserialCalls(),
              (std::vector<std::string>{"/dev/ttyACM1 low_latency", "/dev/ttyACM2 low_latency"}));
}

// What ttyACM11 leads to: A; or its node to B's pty while sysfs shows A; or
// its node to B's pty and, once the program holds that pty open, its sysfs
// entry to B's too: the kernel gave A's number to B between the program's
// sysfs read and its open. A number keeps its device number whichever dongle
// takes it, so then A's `dev` is B's from the start.
enum class Ttyacm11 { IsA, NodeIsB, TurnsB };

struct Named {
    std::vector<std::string> args;
    char target;         // 'A', 'B', or 0 for none
    std::string refusal; // the line that says why none, after "[TORVEX] "
    std::string bSerial = "TVX-0077";
    Ttyacm11 ttyacm11 = Ttyacm11::IsA;
};

void PrintTo(const Named &named, std::ostream *out)
{
    for (const auto &arg : named.args) {
        *out << "'" << arg << "' ";
    }
    const char *const ttyacm11[] = {"", "with ttyACM11's node leading to B",
                                    "with ttyACM11 turning B once opened"};
    *out << ttyacm11[static_cast<int>(named.ttyacm11)];
}

// Makes the link `name` lead where the link `like` does.
void pointLike(const std::string &name, const std::string &like)
{
    std::error_code ignored;
    const auto target = std::filesystem::read_symlink(like, ignored);
    std::filesystem::remove(name, ignored);
    std::filesystem::create_symlink(target, name, ignored);
}

class NamedDongle : public SeveralDongles, public ::testing::WithParamInterface<Named>
{
};

// A runs its application on ttyACM11 and comes back in its bootloader on
// ttyACM13 with another serial number; B waits in its bootloader on ttyACM12.
TEST_P(NamedDongle, IsTheOnlyOneOpened)
{
    fillLowPorts(11);
    sim::Dongle &a = plugInAt(sim::Mode::Application, at("1-2", "TVX-0042", "TVX-BOOT"));
    sim::Dongle &b = plugInAt(sim::Mode::Bootloader, at("3-1.4", "", GetParam().bSerial));
    ASSERT_EQ(a.hostPort(), "/dev/ttyACM11");
    ASSERT_EQ(b.hostPort(), "/dev/ttyACM12");
    ASSERT_EQ(mkdir("/dev/serial", 0755) + mkdir("/dev/serial/by-path", 0755), 0);
    ASSERT_EQ(symlink("../../ttyACM11", "/dev/serial/by-path/platform-dummy_hcd.0-usb-0:2:1.0"), 0);

    const Named &named = GetParam();
    if (named.ttyacm11 != Ttyacm11::IsA) {
        pointLike("/dev/ttyACM11", "/dev/ttyACM12");
    }
    std::optional<rig::OnOpen> sysfsTurnsToB;
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
        EXPECT_EQ(result.out, "[TORVEX] " + named.refusal + "\n" + rig::failure);
        EXPECT_EQ(result.status, 255);
        EXPECT_TRUE(a.frames().empty() && b.frames().empty());
        EXPECT_TRUE(setserialCalls().empty());
        return;
    }
    sim::Dongle &chosen = named.target == 'A' ? a : b;
    sim::Dongle &other = named.target == 'A' ? b : a;
    EXPECT_EQ(result.out, rig::fullProgress(15) + rig::success);
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
        Named{{"--path", "3-1.4"}, 'B', ""}, Named{{"--path", "1-2"}, 'A', ""},
        Named{{"--serial-number", "TVX-0042"}, 'A', ""},
        Named{{"--serial-number", "TVX-0077"}, 'B', ""},
        Named{{"--port", "/dev/ttyACM12"}, 'B', ""},
        Named{{"--port", "/dev/serial/by-path/platform-dummy_hcd.0-usb-0:2:1.0"}, 'A', ""},
        Named{{"--serial-number", "TVX-0042", "--path", "1-2"}, 'A', ""},
        Named{{"--path", "3-9"}, 0, "No dongle matches --path 3-9."},
        Named{{"--serial-number", "TVX-0042", "--path", "3-1.4"},
              0,
              "No dongle matches --serial-number TVX-0042 --path 3-1.4."},
        // Another device, and a regular file: nothing is opened.
        Named{{"--port", "/dev/null"}, 0, "No dongle matches --port /dev/null."},
        Named{{"--port", "/dev/ttyACM0"}, 0, "No dongle matches --port /dev/ttyACM0."},
        // A serial number that two dongles carry, here A's application and
        // B's bootloader, names neither.
        Named{{"--serial-number", "TVX-0042"},
              0,
              "--serial-number TVX-0042 fits 2 dongles, at 1-2 and 3-1.4: name one with --path.",
              "TVX-0042"},
        // Each port is checked again once it is opened and locked.
        Named{{"--path", "1-2"}, 0, "No dongle matches --path 1-2.", "TVX-0077", Ttyacm11::NodeIsB},
        Named{
            {"--path", "1-2"}, 0, "No dongle matches --path 1-2.", "TVX-0077", Ttyacm11::TurnsB}));

// Without a USB device above its port, nothing tells the named dongle from
// another that takes its number while it switches: it is left as it is.
TEST_F(SeveralDongles, ANamedDongleThatCannotBeFollowedIsNotSwitched)
{
    sim::UsbPlace plainSysfs;
    plainSysfs.plain = true;
    sim::Dongle &waiting = plugInAt(sim::Mode::Bootloader, plainSysfs);
    sim::Dongle &named = plugInAt(sim::Mode::Application, plainSysfs);
    ASSERT_EQ(named.hostPort(), "/dev/ttyACM1");
    const auto result = run({"--port", "/dev/ttyACM1"});
    EXPECT_EQ(result.out, "[TORVEX] Cannot follow the dongle on /dev/ttyACM1 into its bootloader "
                          "without its USB port path: it was not switched.\n" +
                              rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(waiting.frames().empty() && named.frames().empty());
    EXPECT_EQ(setserialCalls(), std::vector<std::string>{"/dev/ttyACM1 low_latency"});
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
    EXPECT_EQ(result.out, "[TORVEX] No dongle matches --port /dev/ttyACM0.\n" + rig::failure);
    EXPECT_TRUE(other.frames().empty());
}

// Every dongle at once, each written as by a single update of it; one that
// fails does not stop the others, and says why.
TEST_F(SeveralDongles, AllUpdatesEveryDongleAndSaysWhatHappenedToEach)
{
    std::vector<sim::Dongle *> dongles = {&plugInAt(sim::Mode::Application, at("1-1")),
                                          &plugInAt(sim::Mode::Bootloader, at("1-2"))};
    sim::DongleOptions failing;
    failing.faults = {{rig::writeFrame(true, 2), rig::fault(Kind::Replace, {'f', 'N', 'O'})}};
    dongles.push_back(&plugIn(failing, at("1-3")));
    const auto result = run({"--all", "--verbose"});
    std::multiset<std::string> lines;
    std::istringstream out(result.out);
    for (std::string line; std::getline(out, line);) {
        lines.insert(line);
    }
    EXPECT_EQ(
        lines,
        (std::multiset<std::string>{
            "[TORVEX] /dev/ttyACM0 path=1-1 Update successful!",
            "[TORVEX] /dev/ttyACM1 path=1-2 Update successful!",
            "[TORVEX] /dev/ttyACM2 path=1-3 Page 3 of 15 was not written. Update Failed.",
            "[TORVEX] 2 of 3 dongles updated.", rig::failure.substr(0, rig::failure.size() - 1)}));
    EXPECT_EQ(result.out.substr(result.out.find("[TORVEX] 2 of 3")),
              "[TORVEX] 2 of 3 dongles updated.\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(dongles[0]->flash(), rig::image());
    EXPECT_EQ(dongles[1]->flash(), rig::image());
    EXPECT_NE(dongles[2]->flash(), rig::image());
    for (const sim::Dongle *dongle : dongles) {
        EXPECT_EQ(checkCommandsSeen(*dongle), 1);
    }
}

TEST_F(SeveralDongles, ListShowsEachDongleInEitherModeAndOpensNone)
{
    const auto none = run({"--list"});
    EXPECT_EQ(none.out, "No Torvex dongle found.\n");
    EXPECT_EQ(none.status, 1);

    fillLowPorts(10);
    sim::UsbPlace plainSysfs;
    plainSysfs.plain = true;
    const std::vector<sim::Dongle *> dongles = {
        &plugInAt(sim::Mode::Application, at("1-2", "TVX-0042")),
        &plugInAt(sim::Mode::Bootloader, at("3-1.4")), &plugInAt(sim::Mode::Bootloader, plainSysfs),
        // A serial number may hold anything: an escape sequence, a space, a
        // C1 control, a letter beyond ASCII.
        &plugInAt(sim::Mode::Application, at("3-2", "TVX\x1b[2J 1\xc2\x9b\xc3\xa9\x9b"))};
    const auto all = run({"--list"});
    EXPECT_EQ(all.out, "/dev/ttyACM10 application path=1-2 serial=TVX-0042\n"
                       "/dev/ttyACM11 bootloader path=3-1.4\n"
                       "/dev/ttyACM12 bootloader\n"
                       "/dev/ttyACM13 application path=3-2 serial=TVX?[2J?1?\xc3\xa9?\n");
    EXPECT_EQ(all.status, 0);
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
