// Finding the dongle's port, the bootloader commands and their replies, and
// what a run prints in quiet and verbose mode.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <thread>

#include "rig.h"

namespace
{

using Kind = sim::Fault::Kind;

const std::string bootloaderNotEntered = "[TORVEX] Detecting bootloader mode...\n" + rig::retry +
                                         rig::retry + rig::retry +
                                         "[TORVEX] Bootloader mode could not be entered!\n";

class Discovery : public rig::Rig
{
};

// A dongle on ttyACM10 is beyond the ports that are searched: it is pointed
// out, never opened.
TEST_F(Discovery, NoDongleFailsAfterThreeAttemptsPerModeAboutASecondApart)
{
    for (int n = 0; n < 10; ++n) {
        ASSERT_TRUE(tree().addForeignPort(n, "usb:v1d50p60e1d0100dc02dsc00dp00ic02isc02ip01in00"));
    }
    sim::Dongle &beyond = plugInBootloader();
    ASSERT_EQ(beyond.hostPort(), "/dev/ttyACM10");
    const auto result = run();
    EXPECT_EQ(result.out, rig::noApplicationFound + bootloaderNotEntered +
                              "[TORVEX] A dongle is on /dev/ttyACM10, beyond the ports searched "
                              "without a name: name it with --path 1-1.\n" +
                              rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "");
    EXPECT_GE(result.elapsed.count(), 5900);
    EXPECT_TRUE(setserialCalls().empty());
    EXPECT_TRUE(beyond.frames().empty());
}

// A port that another program holds is passed over without a word, whether
// or not another port is found.
TEST_F(Discovery, QuietUpdateShowsOnlyTheProgressAndTheVerdict)
{
    sim::Dongle &held = plugInBootloader();
    const int holder = open(held.hostPort().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(run({}).out, rig::failure);
    sim::Dongle &dongle = plugInBootloader();
    const auto result = run({});
    close(holder);
    EXPECT_EQ(result.out, rig::fullProgress(15) + rig::success);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_TRUE(held.frames().empty());
}

TEST_F(Discovery, VerboseUpdateFromTheBootloaderTellsEachStep)
{
    sim::Dongle &dongle = plugInBootloader();
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromBootloader(15));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_EQ(setserialCalls(), std::vector<std::string>{"/dev/ttyACM0 low_latency"});
}

// Ports that are not the bootloader: another USB device, a node without a
// sysfs entry, and a modalias too short to hold an identifier; the
// bootloader is on the last port searched.
TEST_F(Discovery, FindsTheBootloaderBehindPortsThatAreNotIt)
{
    ASSERT_TRUE(tree().addForeignPort(0, "usb:v1d50p60e1d0100dc02dsc00dp00ic02isc02ip01in00\n"));
    ASSERT_TRUE(tree().addForeignPort(1, ""));
    ASSERT_TRUE(tree().addForeignPort(2, "usb:v0069p20"));
    for (int n = 3; n < 9; ++n) {
        ASSERT_TRUE(tree().addForeignPort(n, "usb:v1d50p60e1d0100dc02dsc00dp00ic02isc02ip01in00"));
    }
    sim::Dongle &dongle = plugInBootloader();
    ASSERT_EQ(dongle.hostPort(), "/dev/ttyACM9");
    const auto result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_EQ(setserialCalls(), std::vector<std::string>{"/dev/ttyACM9 low_latency"});
}

TEST_F(Discovery, OfTwoDonglesTheLowerPortIsUpdated)
{
    sim::Dongle &first = plugInBootloader();
    sim::Dongle &second = plugInBootloader();
    ASSERT_EQ(first.hostPort(), "/dev/ttyACM0");
    ASSERT_EQ(second.hostPort(), "/dev/ttyACM1");
    const auto result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(first.flash(), rig::image());
    EXPECT_TRUE(second.frames().empty());
}

// A port that another program holds locked (a second flasher, a terminal
// program) is passed over before anything is read, set or sent on it.
TEST_F(Discovery, APortHeldByAnotherProgramIsSkippedAndKeepsItsSettings)
{
    sim::Dongle &held = plugInBootloader();
    sim::Dongle &free = plugInBootloader();
    const int holder = open(held.hostPort().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    struct termios before {
    };
    ASSERT_EQ(tcgetattr(holder, &before), 0);
    const auto result = run();
    struct termios after {
    };
    ASSERT_EQ(tcgetattr(holder, &after), 0);
    close(holder);
    std::string expected = rig::verboseSuccessFromBootloader(15);
    const std::string detecting = "[TORVEX] Detecting bootloader mode...\n";
    expected.insert(expected.find(detecting) + detecting.size(),
                    "[TORVEX] Skipping /dev/ttyACM0: another program is using it.\n");
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(free.flash(), rig::image());
    EXPECT_TRUE(held.frames().empty());
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the held port's settings changed";
}

// Root is never refused, so the program runs as an ordinary user here.
// A port that is refused in every attempt is named once; one that is opened
// by a later attempt (udev had not yet given it its group) is not named.
TEST_F(Discovery, APortWithoutPermissionIsNamedWithItsRemedyInQuietModeToo)
{
    sim::Dongle &dongle = plugInBootloader();
    const auto result = runUnprivileged({});
    EXPECT_EQ(result.out,
              "[TORVEX] Cannot open /dev/ttyACM0: permission denied. Add your user to the dialout "
              "group or install the udev rule (see 'man ZEL_USB_Flasher'), then reconnect the "
              "dongle.\n" +
                  rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(dongle.frames().empty());

    // Three seconds looking for the application, then the bootloader's
    // attempts a second apart: the first is refused, the second is not.
    std::thread udev([&dongle] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        chmod(dongle.hostPort().c_str(), 0666);
    });
    const auto later = runUnprivileged({});
    udev.join();
    EXPECT_EQ(later.out, rig::fullProgress(15) + rig::success);
    EXPECT_EQ(later.status, 0);
    EXPECT_EQ(dongle.flash(), rig::image());
}

class Setserial : public rig::Rig
{
};

TEST_F(Setserial, AFailureIsShownEvenInQuietModeAndTheUpdateGoesOn)
{
    setserialExits(1);
    sim::Dongle &dongle = plugInBootloader();
    const auto result = run({});
    EXPECT_EQ(result.out,
              rig::setserialWarning("/dev/ttyACM0") + rig::fullProgress(15) + rig::success);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dongle.flash(), rig::image());
}

// Ctrl-C reaches the shell that runs setserial, which dies of it; the
// program, which ignores it meanwhile, must stop then as it would anywhere.
TEST_F(Setserial, ACtrlCThatEndsItsShellEndsTheProgram)
{
    setserialExits(0, "kill -INT $PPID");
    sim::Dongle &dongle = plugInApplication();
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
    useDebianSetserial();
    sim::Dongle &dongle = plugInBootloader();
    const auto result = run({});
    EXPECT_EQ(result.out,
              rig::setserialWarning("/dev/ttyACM0") + rig::fullProgress(15) + rig::success);
    EXPECT_NE(result.err.find("Cannot get serial info"), std::string::npos) << result.err;
    EXPECT_EQ(dongle.flash(), rig::image());
}

struct Reply {
    std::string name;
    std::vector<uint8_t> bytes; // instead of the dongle's own reply; none: its own
    bool accepted;
    int delayMs = 0;          // the dongle's own reply, this late
    int dongleFirstByte = -1; // first byte of all the dongle's replies; -1: the command's
};

void PrintTo(const Reply &reply, std::ostream *out)
{
    *out << reply.name;
}

class CheckReply : public rig::Rig, public ::testing::WithParamInterface<Reply>
{
};

// The check reply is judged by its text from byte 1 on; byte 0 only rules
// out a reply that starts with another command's byte.
TEST_P(CheckReply, IsJudgedByItsText)
{
    sim::DongleOptions options;
    options.startMode = sim::Mode::Bootloader;
    options.replyByte = GetParam().dongleFirstByte;
    if (!GetParam().bytes.empty()) {
        options.faults[rig::checkFrame(false)] = rig::fault(Kind::Replace, GetParam().bytes);
    } else if (GetParam().delayMs > 0) {
        options.faults[rig::checkFrame(false)] = rig::fault(Kind::Delay, {}, GetParam().delayMs);
    }
    sim::Dongle &dongle = plugIn(options);
    const auto result = run();
    if (GetParam().accepted) {
        EXPECT_EQ(result.out, rig::verboseSuccessFromBootloader(15));
        EXPECT_EQ(dongle.flash(), rig::image());
    } else {
        EXPECT_EQ(result.out, rig::noApplicationFound + "[TORVEX] Detecting bootloader mode...\n" +
                                  "[TORVEX] Bootloader mode could not be entered!\n" +
                                  rig::failure);
        EXPECT_EQ(dongle.frames().size(), 1U);
    }
    EXPECT_EQ(result.status, GetParam().accepted ? 0 : 255);
}

std::vector<uint8_t> okThenZeros(std::size_t total)
{
    std::vector<uint8_t> bytes(total, 0);
    bytes[0] = 'd';
    bytes[1] = 'O';
    bytes[2] = 'K';
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CheckReply,
    ::testing::Values(Reply{"ZeroThenOK", {0x00, 'O', 'K'}, true},
                      // "OK" after another command's byte answers an earlier frame.
                      Reply{"OtherCommandsOK", {'e', 'O', 'K'}, false},
                      Reply{"EnterBootloadersOK", {0x0A, 'O', 'K'}, false},
                      Reply{"UnknownFirstByte", {0xFF, 'O', 'K'}, true},
                      // A bootloader that never echoes the command is updated.
                      Reply{"EveryReplyStartsWith0x55", {}, true, 0, 0x55},
                      // Later than a data frame's timeout, well within the check's.
                      Reply{"AnsweredAfter400ms", {}, true, 400},
                      Reply{"OKWithTrailingZeros", {'d', 'O', 'K', 0, 0}, true},
                      Reply{"OKBang", {'d', 'O', 'K', '!'}, false}, Reply{"OneByte", {'d'}, false},
                      Reply{"OnlyO", {'d', 'O'}, false}, Reply{"LowerCase", {'d', 'o', 'k'}, false},
                      // Longer than the reply buffer: what is past it is dropped.
                      Reply{"OKThen600Zeros", okThenZeros(603), true},
                      Reply{"A thousand Os", std::vector<uint8_t>(1000, 'O'), false}),
    [](const ::testing::TestParamInfo<Reply> &info) {
        std::string name;
        for (char c : info.param.name) {
            name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
        }
        return name;
    });

class BootCommand : public rig::Rig
{
};

class UnconfirmedBoot : public rig::Rig, public ::testing::WithParamInterface<sim::Fault>
{
};

// Every page is in: the update counts as done even if the boot goes unconfirmed.
TEST_P(UnconfirmedBoot, IsReportedButTheUpdateSucceeds)
{
    sim::Dongle &dongle = plugInBootloader({{rig::bootFrame(false, 15), GetParam()}});
    const auto result = run();
    std::string expected = rig::verboseSuccessFromBootloader(15);
    const std::string confirmed = "[TORVEX] Booting to app successful!";
    expected.replace(expected.find(confirmed), confirmed.size(), "[TORVEX] Booting to app failed");
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dongle.flash(), rig::image());
}

INSTANTIATE_TEST_SUITE_P(NoReplyOrRefused, UnconfirmedBoot,
                         ::testing::Values(rig::fault(Kind::Ignore),
                                           rig::fault(Kind::Replace, {'g', 'E', 'R'})));

TEST_F(BootCommand, FrameIsExact)
{
    sim::Dongle &dongle = plugInBootloader();
    run();
    const auto frames = dongle.frames();
    ASSERT_EQ(frames.size(), 47U);
    EXPECT_EQ(frames[0].bytes, (std::vector<uint8_t>{0x64, 0xAA, 0xAA}));
    EXPECT_EQ(frames[46].bytes, (std::vector<uint8_t>{0x67, 0xAA, 0xAA}));
}

class LineFaults : public rig::Rig
{
};

// Junk that waits in the port before the program opens it is discarded, not
// taken for the start of the first reply.
TEST_F(LineFaults, BytesWaitingInThePortAreNotTakenForAReply)
{
    sim::DongleOptions options;
    options.startMode = sim::Mode::Bootloader;
    options.staleOnPlugIn = true;
    sim::Dongle &dongle = plugIn(options);
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromBootloader(15));
    EXPECT_EQ(dongle.flash(), rig::image());
}

// A reply that comes in bursts is cut once the line has been quiet for a
// while, so the burst after the gap does not count.
TEST_F(LineFaults, AReplySplitByAGapIsCutAtTheGap)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::checkFrame(false), rig::fault(Kind::Split, {}, 30, 2)}});
    const auto result = run({});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, rig::failure);
    EXPECT_TRUE(dongle.flash().empty());
}

TEST_F(LineFaults, AReplyLaterThanTheTimeoutFailsTheCheck)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::checkFrame(false), rig::fault(Kind::Delay, {}, 1500)}});
    const auto result = run();
    EXPECT_EQ(result.out, rig::noApplicationFound + "[TORVEX] Detecting bootloader mode...\n" +
                              "[TORVEX] Bootloader mode could not be entered!\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(dongle.flash().empty());
}

} // namespace
