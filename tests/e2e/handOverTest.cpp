// From a dongle running its application into its bootloader, and back.
#include "rig.h"

namespace
{

using Kind = sim::Fault::Kind;
using std::chrono::milliseconds;

constexpr int enterFrame = 0;

milliseconds between(std::chrono::steady_clock::time_point from,
                     std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration_cast<milliseconds>(to - from);
}

template <typename Condition> bool waitFor(Condition condition)
{
    for (int waited = 0; waited < 3000; waited += 20) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return condition();
}

class HandOver : public rig::Rig
{
};

TEST_F(HandOver, VerboseUpdateFromTheApplication)
{
    sim::Dongle &dongle = plugInApplication();
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
}

// The old port is still held open when the bootloader appears, so it gets
// the next number, and each port opened gets its latency call.
TEST_F(HandOver, BootloaderComesBackOnTheNextPortAndEachPortGetsSetserial)
{
    setserialExits(1);
    sim::Dongle &dongle = plugInApplication();
    const auto result = run({});
    EXPECT_EQ(result.out, rig::setserialWarning("/dev/ttyACM0") +
                              rig::setserialWarning("/dev/ttyACM1") + rig::fullProgress(15) +
                              rig::success);
    EXPECT_EQ(setserialCalls(),
              (std::vector<std::string>{"/dev/ttyACM0 low_latency", "/dev/ttyACM1 low_latency"}));
    EXPECT_EQ(dongle.flash(), rig::image());
}

// Junk waits in the application's port and again in the bootloader's.
TEST_F(HandOver, BytesWaitingInEitherPortAreNotTakenForReplies)
{
    sim::DongleOptions options;
    options.staleOnPlugIn = true;
    sim::Dongle &dongle = plugIn(options);
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromApplication(15));
    EXPECT_EQ(dongle.flash(), rig::image());
}

TEST_F(HandOver, WaitsTwoSecondsForTheBootloaderEvenWhenItIsBackSooner)
{
    sim::DongleOptions options;
    options.reenumerateMs = 100;
    sim::Dongle &dongle = plugIn(options);
    ASSERT_EQ(run({}).status, 0);
    const auto frames = dongle.frames();
    ASSERT_GE(frames.size(), 2U);
    EXPECT_GE(between(frames[0].replied, frames[1].received), milliseconds(2000));
}

TEST_F(HandOver, DongleAlreadyInItsBootloaderIsFoundWithoutTheTwoSecondWait)
{
    sim::Dongle &dongle = plugInBootloader();
    const auto started = std::chrono::steady_clock::now();
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromBootloader(15));
    const auto frames = dongle.frames();
    ASSERT_FALSE(frames.empty());
    // Three one-second attempts in application mode, and no pause after them.
    const auto untilCheck = between(started, frames[0].received);
    EXPECT_GE(untilCheck, milliseconds(3000));
    EXPECT_LT(untilCheck, milliseconds(4800));
}

struct EnterReply {
    std::string name;
    sim::Fault fault;
    bool accepted;
};

void PrintTo(const EnterReply &reply, std::ostream *out)
{
    *out << reply.name;
}

class EnterBootloaderReply : public rig::Rig, public ::testing::WithParamInterface<EnterReply>
{
};

TEST_P(EnterBootloaderReply, IsJudgedByItsFirstTwoBytes)
{
    sim::Dongle &dongle = plugInApplication({{enterFrame, GetParam().fault}});
    const auto result = run();
    if (GetParam().accepted) {
        EXPECT_EQ(result.out, rig::verboseSuccessFromApplication(15));
        EXPECT_EQ(dongle.flash(), rig::image());
    } else {
        EXPECT_EQ(result.out, "[TORVEX] Detecting Torvex...\n"
                              "[TORVEX] Torvex detected! Entering bootloader mode...\n"
                              "[TORVEX] Error while sendind bootloader enter command!\n" +
                                  rig::failure);
    }
    EXPECT_EQ(result.status, GetParam().accepted ? 0 : 255);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, EnterBootloaderReply,
    ::testing::Values(EnterReply{"Refused", rig::fault(Kind::Replace, {0x0A, 0x00}), false},
                      EnterReply{"OtherCommandByte", rig::fault(Kind::Replace, {0x0B, 0x01}),
                                 false},
                      EnterReply{"OneByte", rig::fault(Kind::Replace, {0x0A}), false},
                      EnterReply{"Unanswered", rig::fault(Kind::Ignore), false},
                      // Later than a data frame's timeout, well within this one's.
                      EnterReply{"AnsweredAfter400ms", rig::fault(Kind::Delay, {}, 400), true},
                      EnterReply{"AcceptedWithMoreBytes",
                                 rig::fault(Kind::Replace, {0x0A, 0x01, 'O', 'K'}), true}),
    [](const ::testing::TestParamInfo<EnterReply> &info) { return info.param.name; });

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

// Once every page is in, the update is done whether or not the new
// application comes up.
TEST_F(HandOver, ApplicationThatNeverRestartsStillLeavesAnUpdatedDongle)
{
    sim::DongleOptions options;
    options.applicationRestarts = false;
    sim::Dongle &dongle = plugIn(options);
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromApplication(15));
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_TRUE(waitFor([&] { return !dongle.plugged(); }));
}

TEST_F(HandOver, AfterTheUpdateTheDongleRunsItsApplicationAgain)
{
    sim::Dongle &dongle = plugInApplication();
    ASSERT_EQ(run({}).status, 0);
    EXPECT_TRUE(
        waitFor([&] { return dongle.plugged() && dongle.mode() == sim::Mode::Application; }));
}

// One flasher per dongle, started together. Every dongle gets the same
// image, so which flasher takes which bootloader after the hand-over does
// not matter; what matters is that each dongle is written by one of them.
class SeveralFlashers : public rig::Rig
{
};

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

} // namespace
