// Finding the dongle's port, the bootloader commands and their replies, and
// what a run prints in quiet and verbose mode.
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

TEST_F(Discovery, NoDongleFailsAfterThreeAttemptsPerModeAboutASecondApart)
{
    const auto result = run();
    EXPECT_EQ(result.out, rig::noApplicationFound + bootloaderNotEntered + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "");
    EXPECT_GE(result.elapsed.count(), 5900);
    EXPECT_TRUE(setserialCalls().empty());
}

TEST_F(Discovery, QuietUpdateShowsOnlyTheProgressAndTheVerdict)
{
    sim::Dongle &dongle = plugInBootloader();
    const auto result = run({});
    EXPECT_EQ(result.out, rig::fullProgress(15) + rig::success);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dongle.flash(), rig::image());
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
// sysfs entry, and a modalias too short to hold an identifier.
TEST_F(Discovery, FindsTheBootloaderBehindPortsThatAreNotIt)
{
    ASSERT_TRUE(tree().addForeignPort(0, "usb:v1d50p60e1d0100dc02dsc00dp00ic02isc02ip01in00\n"));
    ASSERT_TRUE(tree().addForeignPort(1, ""));
    ASSERT_TRUE(tree().addForeignPort(2, "usb:v0069p20"));
    sim::Dongle &dongle = plugInBootloader();
    ASSERT_EQ(dongle.hostPort(), "/dev/ttyACM3");
    const auto result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_EQ(setserialCalls(), std::vector<std::string>{"/dev/ttyACM3 low_latency"});
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
    std::vector<uint8_t> bytes;
    bool accepted;
};

void PrintTo(const Reply &reply, std::ostream *out)
{
    *out << reply.name;
}

class CheckReply : public rig::Rig, public ::testing::WithParamInterface<Reply>
{
};

// The check reply is judged by its text from byte 1 on; byte 0 is not looked at.
TEST_P(CheckReply, IsJudgedByItsText)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::checkFrame(false), rig::fault(Kind::Replace, GetParam().bytes)}});
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
                      Reply{"UnknownFirstByte", {0xFF, 'O', 'K'}, false},
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
