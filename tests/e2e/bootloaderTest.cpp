// Finding the dongle's port, the bootloader commands and their replies, and
// what a run prints in quiet and verbose mode.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <optional>
#include <thread>

#include "rig.h"

namespace
{

using Kind = sim::Fault::Kind;

using Discovery = rig::Rig;

// A dongle on ttyACM10 is beyond the ports that are searched: it is pointed
// out, never opened.
TEST_F(Discovery, NoDongleFailsAfterThreeAttemptsPerModeAboutASecondApart)
{
    addOtherDevices(0, 10);
    sim::Dongle &beyond = plugIn(rig::bootloader);
    ASSERT_EQ(beyond.hostPort(), "/dev/ttyACM10");
    const auto result = run();
    rig::expectFailed(result, rig::noApplicationFound + "[TORVEX] Detecting bootloader mode...\n" +
                                  rig::retry + rig::retry + rig::retry +
                                  "[TORVEX] Bootloader mode could not be entered!\n" +
                                  "[TORVEX] A dongle is on /dev/ttyACM10, beyond the ports "
                                  "searched without a name: name it with --path 1-1.\n");
    EXPECT_GE(result.elapsed.count(), 5900);
    EXPECT_TRUE(setserialCalls().empty());
    EXPECT_TRUE(beyond.frames().empty());
}

// Ports that are not the bootloader: another USB device, a node without a
// sysfs entry, and a modalias too short to hold an identifier; the
// bootloader is on the last port searched.
TEST_F(Discovery, FindsTheBootloaderBehindPortsThatAreNotIt)
{
    ASSERT_TRUE(tree().addForeignPort(0, rig::otherDevice + "\n"));
    ASSERT_TRUE(tree().addForeignPort(1, ""));
    ASSERT_TRUE(tree().addForeignPort(2, "usb:v0069p20"));
    addOtherDevices(3, 9);
    sim::Dongle &dongle = plugIn(rig::bootloader);
    ASSERT_EQ(dongle.hostPort(), "/dev/ttyACM9");
    rig::expectUpdated(run({}), rig::fullProgress(15) + rig::success);
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_EQ(setserialCalls(), std::vector<std::string>{"/dev/ttyACM9 low_latency"});
}

// A port that another program holds locked (a second flasher, a terminal
// program) is passed over before anything is read, set or sent on it: in
// quiet mode without a word. Of two free ports the lower one is taken.
TEST_F(Discovery, APortHeldByAnotherProgramIsSkippedAndKeepsItsSettings)
{
    sim::Dongle &held = plugIn(rig::bootloader);
    const int holder = open(held.hostPort().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(run({}).out, rig::failure);
    sim::Dongle &free = plugIn(rig::bootloader);
    sim::Dongle &higher = plugIn(rig::bootloader);
    ASSERT_EQ(higher.hostPort(), "/dev/ttyACM2");
    termios before{};
    ASSERT_EQ(tcgetattr(holder, &before), 0);
    const auto result = run();
    termios after{};
    ASSERT_EQ(tcgetattr(holder, &after), 0);
    close(holder);
    std::string expected = rig::verboseSuccess(false, 15);
    const std::string detecting = "[TORVEX] Detecting bootloader mode...\n";
    expected.insert(expected.find(detecting) + detecting.size(),
                    "[TORVEX] Skipping /dev/ttyACM0: another program is using it.\n");
    rig::expectUpdated(result, expected);
    EXPECT_EQ(free.flash(), rig::image());
    EXPECT_TRUE(held.frames().empty() && higher.frames().empty());
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the held port's settings changed";
}

// Root is never refused, so the program runs as an ordinary user here.
// A port that is refused in every attempt is named once; one that is opened
// by a later attempt (udev had not yet given it its group) is not named.
TEST_F(Discovery, APortWithoutPermissionIsNamedWithItsRemedyInQuietModeToo)
{
    sim::Dongle &dongle = plugIn(rig::bootloader);
    unprivileged = true;
    rig::expectFailed(run({}),
                      "[TORVEX] Cannot open /dev/ttyACM0: permission denied. Add your user to the "
                      "dialout group or install the udev rule (see 'man ZEL_USB_Flasher'), then "
                      "reconnect the dongle.\n");
    EXPECT_TRUE(dongle.frames().empty());

    // Three searches for the application, then the bootloader's: the first
    // is refused, the second, as it begins, finds the port open to all.
    std::optional<rig::Searches> udev;
    udev.emplace(
        [port = dongle.hostPort()](int search) {
            if (search == 4) {
                chmod(port.c_str(), 0666);
            }
        },
        std::filesystem::read_symlink(dongle.hostPort()));
    const auto later = run({});
    const std::size_t searches = udev->starts().size();
    udev.reset();
    EXPECT_EQ(searches, 5U);
    EXPECT_EQ(later.out, rig::fullProgress(15) + rig::success);
    EXPECT_EQ(later.status, 0);
    EXPECT_EQ(dongle.flash(), rig::image());
}

using Setserial = rig::Rig;

// Ctrl-C reaches the shell that runs setserial, which dies of it; the
// program, which ignores it meanwhile, must stop then as it would anywhere.
TEST_F(Setserial, ACtrlCThatEndsItsShellEndsTheProgram)
{
    setserialExits(0, "kill -INT $PPID");
    sim::Dongle &dongle = plugIn(rig::application);
    const auto result = run({});
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_TRUE(dongle.frames().empty());
}

// Debian's setserial cannot set a pseudo-terminal's serial options, so this
// is the warning a user sees when the port is not a real serial driver.
TEST_F(Setserial, DebiansSetserialOnAPortWithoutSerialInfo)
{
    if (access("/bin/setserial", X_OK) != 0 && access("/usr/bin/setserial", X_OK) != 0) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << "setserial is not installed";
        }
        GTEST_SKIP() << "setserial is not installed (apt-get install setserial)";
    }
    debianSetserial = true;
    sim::Dongle &dongle = plugIn(rig::bootloader);
    const auto result = run({});
    EXPECT_EQ(result.out,
              rig::setserialWarning("/dev/ttyACM0") + rig::fullProgress(15) + rig::success);
    EXPECT_NE(result.err.find("Cannot get serial info"), std::string::npos) << result.err;
    EXPECT_EQ(dongle.flash(), rig::image());
}

struct Reply {
    std::string name;
    sim::Fault fault; // on `frame`, by default "check bootloader", or "enter bootloader"
    bool accepted;
    sim::Mode startMode = rig::bootloader;
    int replyByte = -1; // first byte of all the bootloader's replies; -1: the command's
    int frame = 0;
    bool staleOnPlugIn = false; // junk waits in each new port before the program opens it
    bool applicationRestarts = true;
    bool bootConfirmed = true;
};

void PrintTo(const Reply &row, std::ostream *out)
{
    *out << row.name;
}

using CommandReply = rig::Table<Reply>;

// The check reply is judged by its text from byte 1 on; byte 0 only rules
// out a reply that starts with another command's byte. The reply to "enter
// bootloader" is judged by its first two bytes.
TEST_P(CommandReply, IsJudged)
{
    const Reply &row = GetParam();
    sim::DongleOptions options;
    options.startMode = row.startMode;
    options.replyByte = row.replyByte;
    options.staleOnPlugIn = row.staleOnPlugIn;
    options.applicationRestarts = row.applicationRestarts;
    options.faults[row.frame] = row.fault;
    sim::Dongle &dongle = plugIn(options);
    const auto result = run();
    const bool fromApplication = row.startMode == rig::application;
    if (row.accepted) {
        std::string expected = rig::verboseSuccess(fromApplication, 15);
        const std::string confirmed = "[TORVEX] Booting to app successful!";
        if (!row.bootConfirmed) {
            expected.replace(expected.find(confirmed), confirmed.size(),
                             "[TORVEX] Booting to app failed");
        }
        rig::expectUpdated(result, expected);
        EXPECT_EQ(dongle.flash(), rig::image());
    } else {
        rig::expectFailed(result, fromApplication
                                      ? "[TORVEX] Detecting Torvex...\n"
                                        "[TORVEX] Torvex detected! Entering bootloader mode...\n"
                                        "[TORVEX] Error while sendind bootloader enter command!\n"
                                      : rig::noApplicationFound +
                                            "[TORVEX] Detecting bootloader mode...\n"
                                            "[TORVEX] Bootloader mode could not be entered!\n");
        EXPECT_LE(dongle.frames().size(), 1U);
        EXPECT_TRUE(dongle.flash().empty());
    }
    // A held reply came when it was meant to: once the program had polled
    // so often, or once it had given up and let go of the port.
    if (row.fault.until != sim::Fault::Until::Time) {
        const auto held = static_cast<std::size_t>(row.frame);
        ASSERT_TRUE(sim::waitUntil([&] { return dongle.frames().size() > held; }, 3000));
        EXPECT_EQ(dongle.frames()[held].heldUntil, row.accepted ? "polls" : "port closed");
    }
}

std::vector<uint8_t> okThenZeros(std::size_t total)
{
    std::vector<uint8_t> bytes = {'d', 'O', 'K'};
    bytes.resize(total);
    return bytes;
}

using rig::application;
using rig::bootloader;
using rig::replaced;
const sim::Fault lost = rig::fault(Kind::Ignore);

INSTANTIATE_TEST_SUITE_P(
    Replies, CommandReply,
    ::testing::Values(
        Reply{"ZeroThenOK", replaced({0x00, 'O', 'K'}), true},
        // "OK" after another command's byte answers an earlier frame.
        Reply{"OtherCommandsOK", replaced({'e', 'O', 'K'}), false},
        Reply{"EnterBootloadersOK", replaced({0x0A, 'O', 'K'}), false},
        Reply{"UnknownFirstByte", replaced({0xFF, 'O', 'K'}), true},
        // A bootloader that never echoes the command is updated.
        Reply{"EveryReplyStartsWith0x55", {}, true, bootloader, 0x55},
        // Later than a data frame's timeout (1000 polls), well within the
        // check's (10000).
        Reply{"AnsweredAfter3000Polls", rig::afterPolls(3000), true},
        Reply{"AnsweredOnceGivenUp", rig::onceGivenUp(Kind::Delay), false},
        // Cut once the line has been quiet for ten polls: the rest, a
        // thousand polls after the frame, does not count.
        Reply{"SplitByAGap", rig::afterPolls(1000, Kind::Split, 2), false},
        Reply{"OKWithTrailingZeros", replaced({'d', 'O', 'K', 0, 0}), true},
        Reply{"OKBang", replaced({'d', 'O', 'K', '!'}), false},
        Reply{"OneByte", replaced({'d'}), false}, Reply{"OnlyO", replaced({'d', 'O'}), false},
        Reply{"LowerCase", replaced({'d', 'o', 'k'}), false},
        // Longer than the reply buffer: what is past it is dropped.
        Reply{"OKThen600Zeros", replaced(okThenZeros(603)), true},
        Reply{"AThousandOs", replaced(std::vector<uint8_t>(1000, 'O')), false},
        Reply{"EnterRefused", replaced({0x0A, 0x00}), false, application},
        Reply{"EnterOtherCommandByte", replaced({0x0B, 0x01}), false, application},
        Reply{"EnterOneByte", replaced({0x0A}), false, application},
        Reply{"EnterUnanswered", lost, false, application},
        Reply{"EnterAnsweredAfter3000Polls", rig::afterPolls(3000), true, application},
        Reply{"EnterAcceptedWithMoreBytes", replaced({0x0A, 0x01, 'O', 'K'}), true, application},
        // Every page is in: the update counts as done even if the boot goes unconfirmed.
        Reply{"BootUnanswered", lost, true, bootloader, -1, rig::bootFrame(false, 15), false, true,
              false},
        Reply{"BootRefused", replaced({'g', 'E', 'R'}), true, bootloader, -1,
              rig::bootFrame(false, 15), false, true, false},
        // Junk waits in the port before the program opens it: it is not the
        // start of the first reply. From the application, in both ports.
        Reply{"JunkInTheBootloadersPort", {}, true, bootloader, -1, 0, true},
        Reply{"JunkInEitherPort", {}, true, application, -1, 0, true},
        // Once every page is in, the update is done whether or not the new
        // application comes up.
        Reply{"ApplicationNeverRestarts", {}, true, application, -1, 0, false, false},
        // The last page is short enough for one frame: the repeat sends all of it.
        Reply{"ShortPagesFirstFrameLost", lost, true, bootloader, -1,
              rig::dataFrame(false, 14, 0)}),
    rig::rowName<Reply>);

} // namespace
