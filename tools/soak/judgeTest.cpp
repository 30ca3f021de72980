// The soak's judge: a made-up run that breaks an invariant is caught, and a
// clean one is not.
#include <gtest/gtest.h>

#include <functional>

#include "soak/judge.h"

namespace
{

using soak::Clock;

const Clock::time_point t0 = Clock::now();

Clock::time_point at(int ms)
{
    return t0 + std::chrono::milliseconds(ms);
}

sim::FrameRecord frame(uint8_t command, sim::Mode mode, int ms)
{
    sim::FrameRecord f;
    f.bytes = {command, 0xAA, 0xAA};
    f.mode = mode;
    f.received = at(ms);
    return f;
}

soak::DongleDraw dongleAt(const std::string &path, int number, sim::Mode mode)
{
    soak::DongleDraw d;
    d.place.path = path;
    d.number = number;
    d.options.startMode = mode;
    return d;
}

// A dongle that ran its application on `app`, then its bootloader on `boot`,
// switched at 50 ms and written at 400 ms.
soak::DongleSeen updatedDongle(const std::string &port, const std::string &app,
                               const std::string &boot)
{
    soak::DongleSeen d;
    d.plugs.push_back({port, app, sim::Mode::Application, at(0), at(1), at(100), at(101)});
    d.plugs.push_back({port, boot, sim::Mode::Bootloader, at(200), at(201)});
    d.frames = {frame(0x0A, sim::Mode::Application, 50), frame(0x64, sim::Mode::Bootloader, 300),
                frame(0x66, sim::Mode::Bootloader, 400)};
    d.updated = true;
    return d;
}

soak::FlasherSeen flasherSeen(int status, const std::string &out, int endMs = 1000)
{
    soak::FlasherSeen f;
    f.result.started = true;
    f.result.status = status;
    f.result.out = out;
    f.result.begin = at(0);
    f.result.end = at(endMs);
    return f;
}

const std::string success = "[TORVEX] Update successful!\n";
const std::string failure = "[TORVEX] Update Failed. Please reconnect the dongle and try again!\n";

// One dongle at port path 1-1, updated by one flasher naming none.
struct OneDongle : ::testing::Test {
    OneDongle()
    {
        run.dongles.push_back(dongleAt("1-1", 0, sim::Mode::Application));
        run.flashers.emplace_back();
        seen.dongles.push_back(updatedDongle("/dev/ttyACM0", "/dev/pts/0", "/dev/pts/1"));
        seen.flashers.push_back(flasherSeen(0, success));
        seen.flashers[0].opens = {{at(10), 7, "/dev/ttyACM0", "/dev/pts/0"},
                                  {at(250), 7, "/dev/ttyACM0", "/dev/pts/1"}};
    }

    // Whether the judge names the breach in those words.
    bool caught(const std::string &words) const
    {
        for (const auto &breach : soak::judge(run, seen).breaches) {
            if (breach.find(words) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    soak::Run run;
    soak::Seen seen;
};

// cppcheck-suppress syntaxError
TEST_F(OneDongle, ACleanUpdateBreaksNothing)
{
    const soak::Outcome outcome = soak::judge(run, seen);
    EXPECT_TRUE(outcome.breaches.empty()) << outcome.breaches.front();
    EXPECT_EQ(outcome.counts.at("flashers: succeeded"), 1);
}

TEST_F(OneDongle, AHangACrashAndStandardErrorAreCaught)
{
    seen.flashers[0].result.timedOut = true;
    EXPECT_TRUE(caught("HANG"));
    seen.flashers[0].result.timedOut = false;
    seen.flashers[0].result.signal = 11;
    EXPECT_TRUE(caught("CRASH"));
    seen.flashers[0].result.signal = 0;
    seen.flashers[0].result.err = "oops\n";
    EXPECT_TRUE(caught("standard error"));
}

TEST_F(OneDongle, AWrongVerdictOrStatusIsCaughtUnlessItsReaderWent)
{
    seen.flashers[0].result.out = failure;
    EXPECT_TRUE(caught("ended with status 0"));
    run.flashers[0].closeStdoutAfter = 0;
    EXPECT_FALSE(caught("ended with status 0"));
    seen.flashers[0].result.status = 3;
    EXPECT_TRUE(caught("ended with status 3"));
    seen.flashers[0].result.status = 255;
    seen.flashers[0].result.out = success;
    run.flashers[0].closeStdoutAfter = -1;
    EXPECT_TRUE(caught("ended with status 255"));
}

TEST_F(OneDongle, SuccessWithoutTheImageIsAFalseSuccess)
{
    seen.dongles[0].updated = false;
    EXPECT_TRUE(caught("FALSE SUCCESS"));
    seen.dongles[0].frames.pop_back(); // no page written at all
    EXPECT_TRUE(caught("having written 0 dongles"));
}

TEST_F(OneDongle, AFlasherEndingLongAfterItsDongleLeftIsCaught)
{
    seen.dongles[0].disconnected = true;
    seen.dongles[0].disconnectedAt = at(500);
    seen.flashers[0].result.end = at(500 + soak::verdictBoundMs + 1);
    EXPECT_TRUE(caught("after dongle 1 left"));
}

TEST_F(OneDongle, AFrameFromNoFlasherHoldingThePortIsCaught)
{
    seen.flashers[0].opens.pop_back(); // the bootloader never opened
    EXPECT_TRUE(caught("2 frames from no flasher"));
    seen.opensLogged = false; // then the lone flasher sent them all
    EXPECT_FALSE(caught("frames from no flasher"));
}

TEST_F(OneDongle, OnlyADongleThatPutJunkInItsPortMayHearItBack)
{
    seen.flashers[0].opens.pop_back();
    seen.dongles[0].frames.resize(1); // the bootloader only heard its own junk
    seen.dongles[0].frames.push_back(frame('s', sim::Mode::Bootloader, 300));
    seen.dongles[0].frames.back().bytes = {'s', 't', 'a'};
    EXPECT_TRUE(caught("1 frames from no flasher"));
    run.dongles[0].options.staleOnPlugIn = true;
    EXPECT_FALSE(caught("frames from no flasher"));
}

TEST_F(OneDongle, AFlasherNamingAnotherDongleOrNoneThatIsThereIsCaught)
{
    run.flashers[0].kind = soak::SelectorKind::Path;
    run.flashers[0].value = "1-2";
    EXPECT_TRUE(caught("names --path 1-2 but opened dongle 1"));
    run.flashers[0].absent = true;
    EXPECT_TRUE(caught("did not say '[TORVEX] No dongle matches --path 1-2.'"));
}

TEST_F(OneDongle, AFlasherOpeningAPortAboveTtyAcm9WithoutANameIsCaught)
{
    for (auto &plug : seen.dongles[0].plugs) {
        plug.port = "/dev/ttyACM12";
    }
    for (auto &open : seen.flashers[0].opens) {
        open.port = "/dev/ttyACM12";
    }
    seen.flashers[0].opens[1].pts = "/dev/pts/0"; // still the application's
    EXPECT_TRUE(caught("names no dongle but opened /dev/ttyACM12"));
}

// Two dongles: the first at 1-1 runs its application, the second at 1-2
// waits in its bootloader.
struct TwoDongles : OneDongle {
    TwoDongles()
    {
        run.dongles.push_back(dongleAt("1-2", 1, sim::Mode::Bootloader));
        soak::DongleSeen waiting;
        waiting.plugs.push_back(
            {"/dev/ttyACM1", "/dev/pts/2", sim::Mode::Bootloader, at(0), at(1)});
        seen.dongles.push_back(waiting);
    }

    // The first flasher switches the first dongle but writes the second.
    void writeTheOther()
    {
        seen.dongles[0].frames.resize(1);
        seen.dongles[1].frames = {frame(0x64, sim::Mode::Bootloader, 300),
                                  frame(0x66, sim::Mode::Bootloader, 400)};
        seen.dongles[1].updated = true;
        seen.flashers[0].opens[1] = {at(250), 7, "/dev/ttyACM1", "/dev/pts/2"};
    }
};

TEST_F(TwoDongles, WritingABootloaderItDidNotSwitchIsCaught)
{
    EXPECT_TRUE(soak::judge(run, seen).breaches.empty());
    writeTheOther();
    EXPECT_TRUE(caught("switched dongle 1 but opened dongle 2's bootloader"));
}

TEST_F(TwoDongles, ARefusalToSwitchAPlainDongleSendsNoFrame)
{
    run.dongles[0].place.plain = true;
    seen.dongles[0].frames.clear();
    seen.dongles[0].updated = false;
    seen.flashers[0] = flasherSeen(255, "[TORVEX] Cannot switch the dongle on /dev/ttyACM0 "
                                        "without its USB port path.\n" +
                                            failure);
    EXPECT_TRUE(soak::judge(run, seen).breaches.empty());
    seen.dongles[0].frames = {frame(0x0A, sim::Mode::Application, 50)};
    seen.flashers[0].opens = {{at(10), 7, "/dev/ttyACM0", "/dev/pts/0"}};
    EXPECT_TRUE(caught("refused to switch /dev/ttyACM0"));
    run.dongles[0].place.plain = false;
    seen.dongles[0].frames.clear();
    EXPECT_TRUE(caught("a dongle without a port path there: no"));
}

TEST_F(TwoDongles, TwoFlashersOnOneDongleAtOnceAreCaught)
{
    run.flashers.emplace_back();
    seen.flashers.push_back(flasherSeen(255, failure));
    seen.flashers[1].opens = {{at(300), 8, "/dev/ttyACM0", "/dev/pts/1"}};
    seen.dongles[0].frames.push_back(frame(0x66, sim::Mode::Bootloader, 260)); // the first's
    EXPECT_TRUE(caught("flasher 2 opened /dev/ttyACM0 of dongle 1 while flasher 1 held it"));
    EXPECT_TRUE(caught("dongle 1 written by flasher 1 and flasher 2 at once"));
}

TEST_F(TwoDongles, ASharedSerialShownAllThroughMustBeRefused)
{
    run.dongles[0].place.serial = "TVX-SAME";
    run.dongles[1].place.bootloaderSerial = "TVX-SAME";
    seen.dongles[0].plugs[0].off = seen.dongles[0].plugs[0].gone = at(2000);
    run.flashers[0].kind = soak::SelectorKind::Serial;
    run.flashers[0].value = "TVX-SAME";
    run.flashers[0].shared = true;
    seen.flashers[0].result.begin = at(5); // both show it all through its start
    seen.flashers[0].opens.clear();
    seen.flashers[0].result.status = 255;
    seen.flashers[0].result.out = failure;
    seen.dongles[0].frames.clear();
    EXPECT_TRUE(caught("did not refuse TVX-SAME, shown by 2 dongles"));
    seen.flashers[0].result.out = "[TORVEX] --serial-number TVX-SAME fits 2 dongles, at 1-2 and "
                                  "1-1: name one with --path.\n" +
                                  failure;
    EXPECT_TRUE(caught("refused with"));
}

TEST_F(TwoDongles, APlainDongleNamedByItsPortIsNeverSwitched)
{
    run.dongles[0].place.plain = true;
    run.flashers[0].kind = soak::SelectorKind::Port;
    run.flashers[0].value = "/dev/ttyACM0";
    run.flashers[0].target = 0;
    EXPECT_TRUE(caught("switched dongle 1, which has no USB port path"));
    EXPECT_TRUE(caught("did not say '[TORVEX] Cannot follow the dongle on /dev/ttyACM0"));
}

TEST_F(TwoDongles, DonglesBeyondReachMustBePointedAt)
{
    run.beyondReach = true;
    EXPECT_TRUE(caught("had every dongle beyond its reach but did not say"));
}

TEST_F(TwoDongles, AllMustCountRightAndNotClaimAnUpdateThatDidNotHappen)
{
    run.flashers[0].all = true;
    seen.dongles[0].updated = false;
    seen.flashers[0].result.out = "[TORVEX] /dev/ttyACM0 path=1-1 Update successful!\n"
                                  "[TORVEX] 1 of 2 dongles updated.\n" +
                                  success;
    EXPECT_TRUE(caught("FALSE SUCCESS: its line says dongle 1"));
    EXPECT_TRUE(caught("counted 1 of 2 updated after 1 lines"));
}

TEST_F(TwoDongles, EveryDongleExpectedUpdatedMustBe)
{
    run.everyDongleExpected = true;
    EXPECT_TRUE(caught("dongle 2 not updated"));
}

// `--watch` over two dongles, each updated by a child of its own, stopped
// by Ctrl-C at 3.2 s.
struct Watch : OneDongle {
    Watch()
    {
        run.dongles[0].place.serial = "TVX-1";
        run.dongles.push_back(dongleAt("1-2", 1, sim::Mode::Application));
        run.flashers[0].watch = true;
        seen.dongles.push_back(updatedDongle("/dev/ttyACM1", "/dev/pts/2", "/dev/pts/3"));
        seen.flashers[0].opens.push_back({at(12), 8, "/dev/ttyACM1", "/dev/pts/2"});
        seen.flashers[0].opens.push_back({at(252), 8, "/dev/ttyACM1", "/dev/pts/3"});
        seen.flashers[0].result.interrupted = {at(3200)};
        seen.flashers[0].result.end = at(3500);
        say({one, two}, 2);
    }

    // What it printed: its first line, then `lines`, the count and verdict.
    void say(const std::vector<std::string> &lines, int updated, int found = 2)
    {
        std::string out = watching;
        for (const auto &line : lines) {
            out += line + "\n";
        }
        out += "[TORVEX] " + std::to_string(updated) + " of " + std::to_string(found) +
               (found == 1 ? " dongle" : " dongles") + " updated.\n";
        seen.flashers[0].result.out = out + (updated == found ? success : failure);
        seen.flashers[0].result.status = updated == found ? 0 : 255;
    }

    const std::string watching =
        "[TORVEX] Watching for every dongle to update each once; Ctrl-C stops.\n";
    const std::string one = "[TORVEX] /dev/ttyACM0 path=1-1 serial=TVX-1 Update successful!";
    const std::string two = "[TORVEX] /dev/ttyACM1 path=1-2 Update successful!";
    const std::string stopped = "[TORVEX] /dev/ttyACM1 path=1-2 Stopped during its update: it "
                                "waits in its bootloader, and the next run updates it. Update "
                                "Failed. Pull it out and plug it in again to retry.";
    const std::string waiting = "[TORVEX] Stopping: waiting for 1 running update to end; Ctrl-C "
                                "again stops it at once.";
};

struct WatchRow {
    const char *what;
    std::function<void(Watch &)> change;
    const char *words; // of the breach; nullptr: none
};

const WatchRow watchRows[] = {
    {"a clean watch", [](Watch &) {}, nullptr},
    {"a second child writes a dongle that stayed",
     [](Watch &w) {
         w.seen.flashers[0].opens.push_back({at(350), 9, "/dev/ttyACM0", "/dev/pts/1"});
     },
     "dongle 1 updated by 2 processes of flasher 1 in one stay"},
    {"a second child writes a dongle pulled out and back: a new one",
     [](Watch &w) {
         w.seen.flashers[0].opens.push_back({at(350), 9, "/dev/ttyACM0", "/dev/pts/1"});
         w.seen.dongles[0].pull.happened = true;
         w.seen.dongles[0].pull.at = at(320);
     },
     nullptr},
    {"the first Ctrl-C stops an update that had begun",
     [](Watch &w) {
         w.seen.dongles[1].updated = false;
         w.say({w.one, w.waiting, w.stopped}, 1);
     },
     "dongle 2 written by flasher 1 but not updated, after 1 Ctrl-C"},
    {"the second Ctrl-C stops it, and its line says so",
     [](Watch &w) {
         w.seen.dongles[1].updated = false;
         w.seen.flashers[0].result.interrupted.push_back(at(3300));
         w.say({w.one, w.waiting, w.stopped}, 1);
     },
     nullptr},
    {"an update fails on its own",
     [](Watch &w) {
         w.seen.dongles[1].updated = false;
         w.say({w.one, "[TORVEX] /dev/ttyACM1 path=1-2 Page 9 of 15 was not written. Update "
                       "Failed. Pull it out and plug it in again to retry."},
               1);
     },
     nullptr},
    {"a dongle written without an end line",
     [](Watch &w) {
         w.seen.dongles[1].updated = false;
         w.say({w.one}, 1, 1);
     },
     "dongle 2 written by flasher 1 but not updated, after 1 Ctrl-C; its line: 'none'"},
    {"a dongle written, said to be stopped before its switch",
     [](Watch &w) {
         w.seen.dongles[1].updated = false;
         w.seen.flashers[0].result.interrupted.push_back(at(3300));
         w.say({w.one, w.waiting,
                "[TORVEX] /dev/ttyACM1 path=1-2 Stopped before its switch: the next run updates "
                "it. Update Failed. Pull it out and plug it in again to retry."},
               1);
     },
     "dongle 2 written by flasher 1 but not updated, after 2 Ctrl-C"},
    {"a line says an update succeeded that did not",
     [](Watch &w) { w.seen.dongles[1].updated = false; }, "FALSE SUCCESS: its line says dongle 2"},
    {"the count disagrees with the lines",
     [](Watch &w) {
         w.say({w.one, w.two}, 1);
     },
     "counted 1 of 2 updated after 2 lines, 2 of them successes"},
    {"success claimed with a dongle not updated",
     [](Watch &w) {
         w.say({w.one, w.two}, 1);
         w.seen.flashers[0].result.out =
             w.watching + w.one + "\n" + w.two + "\n[TORVEX] 2 of 2 dongles updated.\n" + success;
         w.seen.flashers[0].result.status = 255;
     },
     "ended with status 255 when 2 of the 2"},
    {"it ends by itself", [](Watch &w) { w.seen.flashers[0].result.interrupted.clear(); },
     "ended before any Ctrl-C"},
    {"it goes on long after Ctrl-C",
     [](Watch &w) { w.seen.flashers[0].result.end = at(3200 + soak::watchStopBoundMs + 1); },
     "ms after Ctrl-C"},
    {"a dongle there from the start is never begun",
     [](Watch &w) {
         w.seen.dongles[1].frames.clear();
         w.seen.dongles[1].updated = false;
         w.seen.flashers[0].opens.resize(2);
         w.say({w.one}, 1, 1);
     },
     "did not begin on dongle 2"},
    {"a dongle left untouched with no Ctrl-C",
     [](Watch &w) {
         w.seen.flashers[0].result.interrupted.clear();
         w.say({w.one, "[TORVEX] /dev/ttyACM1 path=1-2 Left untouched: stopped before its update "
                       "began. Update Failed. Pull it out and plug it in again to retry."},
               1);
     },
     "after 0 Ctrl-C"},
    {"a wrong count of the updates it waits for", [](Watch &w) { w.say({w.waiting}, 0, 0); },
     "where '[TORVEX] Stopping: waiting for 0 running updates"},
    {"a failure without the way to retry",
     [](Watch &w) {
         w.seen.dongles[1].updated = false;
         w.say({w.one, "[TORVEX] /dev/ttyACM1 path=1-2 Oops. Update Failed."}, 1);
     },
     "printed '[TORVEX] /dev/ttyACM1 path=1-2 Oops. Update Failed.'"},
    {"no first line", [](Watch &w) { w.seen.flashers[0].result.out.erase(0, w.watching.size()); },
     "did not begin with"},
};

struct WatchTable : Watch, ::testing::WithParamInterface<WatchRow> {
};

TEST_P(WatchTable, BreaksWhatTheRowSays)
{
    const WatchRow &row = GetParam();
    SCOPED_TRACE(row.what);
    row.change(*this);
    const auto breaches = soak::judge(run, seen).breaches;
    if (row.words == nullptr) {
        EXPECT_TRUE(breaches.empty()) << breaches.front();
    } else {
        EXPECT_TRUE(caught(row.words)) << (breaches.empty() ? "none" : breaches.front());
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, WatchTable, ::testing::ValuesIn(watchRows));

} // namespace
