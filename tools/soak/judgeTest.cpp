// The soak's judge: each made-up run that breaks an invariant is caught as a
// breach of its kind, in its words; the clean ones break nothing.
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

soak::FlasherSeen flasherSeen(int status, const std::string &out)
{
    soak::FlasherSeen f;
    f.result.started = true;
    f.result.status = status;
    f.result.out = out;
    f.result.begin = at(0);
    f.result.end = at(1000);
    return f;
}

const std::string success = "[TORVEX] Update successful!\n";
const std::string failure = "[TORVEX] Update Failed. Please reconnect the dongle and try again!\n";

// The made-up runs the rows change: one dongle at port path 1-1, updated by
// one flasher naming none; that and a second dongle at 1-2 waiting in its
// bootloader; or `--watch` over two dongles, each updated by a child of its
// own, stopped by Ctrl-C at 3.2 s.
enum Base { One, Two, Watch };

struct Scene {
    explicit Scene(Base base)
    {
        run.dongles.push_back(dongleAt("1-1", 0, sim::Mode::Application));
        run.flashers.emplace_back();
        seen.dongles.push_back(updatedDongle("/dev/ttyACM0", "/dev/pts/0", "/dev/pts/1"));
        seen.flashers.push_back(flasherSeen(0, success));
        seen.flashers[0].opens = {{at(10), 7, "/dev/ttyACM0", "/dev/pts/0"},
                                  {at(250), 7, "/dev/ttyACM0", "/dev/pts/1"}};
        if (base == Two) {
            run.dongles.push_back(dongleAt("1-2", 1, sim::Mode::Bootloader));
            seen.dongles.emplace_back().plugs.push_back(
                {"/dev/ttyACM1", "/dev/pts/2", sim::Mode::Bootloader, at(0), at(1)});
        } else if (base == Watch) {
            run.dongles[0].place.serial = "TVX-1";
            run.dongles.push_back(dongleAt("1-2", 1, sim::Mode::Application));
            run.flashers[0].watch = true;
            seen.dongles.push_back(updatedDongle("/dev/ttyACM1", "/dev/pts/2", "/dev/pts/3"));
            flasher().opens.push_back({at(12), 8, "/dev/ttyACM1", "/dev/pts/2"});
            flasher().opens.push_back({at(252), 8, "/dev/ttyACM1", "/dev/pts/3"});
            flasher().result.interrupted = {at(3200)};
            flasher().result.end = at(3500);
            say({one, two}, 2);
        }
    }

    soak::FlasherSeen &flasher()
    {
        return seen.flashers[0];
    }

    // The flasher names a dongle, or one that is not there.
    void name(soak::SelectorKind kind, const std::string &value, int target, bool absent = false)
    {
        run.flashers[0].kind = kind;
        run.flashers[0].value = value;
        run.flashers[0].target = target;
        run.flashers[0].absent = absent;
    }

    // The flasher fails after the switch, and the bootloader hears back
    // only junk, from no flasher.
    void hearJunk()
    {
        seen.dongles[0].frames = {frame(0x0A, sim::Mode::Application, 50),
                                  frame('s', sim::Mode::Bootloader, 300)};
        seen.dongles[0].frames.back().bytes = {'s', 't', 'a'};
        seen.dongles[0].updated = false;
        flasher() = flasherSeen(255, failure);
        flasher().opens = {{at(10), 7, "/dev/ttyACM0", "/dev/pts/0"}};
    }

    // The first dongle has no USB port path, and the flasher refuses to
    // switch it.
    void refusePlain()
    {
        run.dongles[0].place.plain = true;
        seen.dongles[0].frames.clear();
        seen.dongles[0].updated = false;
        flasher() = flasherSeen(255, "[TORVEX] Cannot switch the dongle on /dev/ttyACM0 without "
                                     "its USB port path.\n" +
                                         failure);
    }

    // Both dongles show TVX-SAME all through the start of a flasher naming
    // it, which opens nothing and fails, saying `out`.
    void shareSerial(const std::string &out)
    {
        run.dongles[0].place.serial = "TVX-SAME";
        run.dongles[1].place.bootloaderSerial = "TVX-SAME";
        seen.dongles[0].plugs[0].off = seen.dongles[0].plugs[0].gone = at(2000);
        seen.dongles[0].frames.clear();
        name(soak::SelectorKind::Serial, "TVX-SAME", -1);
        run.flashers[0].shared = true;
        flasher() = flasherSeen(255, out + failure);
        flasher().result.begin = at(5);
    }

    // Another program has the dongle's port from `from` to `to` ms.
    void holdPort(const std::string &pts, int from, int to)
    {
        seen.hold = {0, "/dev/ttyACM0", pts, at(from), at(to)};
    }

    // What `--watch` printed: its first line, then `lines`, the count of
    // the dongles among them and of the `updated`, and the verdict.
    void say(const std::vector<std::string> &lines, int updated)
    {
        std::string out = watching;
        int found = 0;
        for (const auto &line : lines) {
            out += line + "\n";
            found += line.rfind("[TORVEX] /dev/", 0) == 0 ? 1 : 0;
        }
        out += "[TORVEX] " + std::to_string(updated) + " of " + std::to_string(found) +
               (found == 1 ? " dongle" : " dongles") + " updated.\n";
        flasher().result.out = out + (updated == found ? success : failure);
        flasher().result.status = updated == found ? 0 : 255;
    }

    // Under `--watch`, the second dongle is not updated, after `ctrlC`
    // Ctrl-C, and it says `lines`.
    void secondFails(const std::vector<std::string> &lines, int ctrlC = 1)
    {
        seen.dongles[1].updated = false;
        if (ctrlC == 2) {
            flasher().result.interrupted.push_back(at(3300));
        }
        say(lines, 1);
    }

    // Under `--watch`, dongle `d` leaves at `ms`; a third dongle in `mode`,
    // with serial number `serial` in its application, comes on its port path
    // 0.1 s later (on /dev/pts/4), and Ctrl-C at 5 s.
    void swap(std::size_t d, int ms, sim::Mode mode, const std::string &serial)
    {
        seen.dongles[d].pull.happened = true;
        seen.dongles[d].pull.at = at(ms);
        soak::DongleDraw &third = run.dongles.emplace_back(run.dongles[d]);
        third.options.startMode = mode;
        third.place.serial = serial;
        seen.dongles.emplace_back().plugs.push_back(
            {"/dev/ttyACM" + std::to_string(d), "/dev/pts/4", mode, at(ms + 100), at(ms + 101)});
        flasher().result.interrupted = {at(5000)};
        flasher().result.end = at(5300);
        flasher().result.lineEnds.assign(5, at(450)); // the updates' lines came as they ended
    }

    // The first dongle is booted at 450 ms and swapped before its
    // application is back for one with serial number `serial`, which is
    // never updated.
    void swapWhileDueBack(const std::string &serial)
    {
        seen.dongles[0].frames.push_back(frame(0x67, sim::Mode::Bootloader, 450));
        swap(0, 500, sim::Mode::Application, serial);
    }

    soak::Run run;
    soak::Seen seen;
    const std::string watching =
        "[TORVEX] Watching for every dongle to update each once; Ctrl-C stops.\n";
    const std::string one = "[TORVEX] /dev/ttyACM0 path=1-1 serial=TVX-1 Update successful!";
    const std::string two = "[TORVEX] /dev/ttyACM1 path=1-2 Update successful!";
    const std::string retry = " Update Failed. Pull it out and plug it in again to retry.";
    const std::string stopped = "[TORVEX] /dev/ttyACM1 path=1-2 Stopped during its update: it "
                                "waits in its bootloader, and the next run updates it. Update "
                                "Failed.";
    const std::string waiting = "[TORVEX] Stopping: waiting for 1 running update to end; Ctrl-C "
                                "again stops it at once.";
};

struct Row {
    const char *what;
    Base base;
    std::function<void(Scene &)> change;
    std::string breaches; // "kind: words", several split by " | "; none for a clean run
};

const Row rows[] = {
    {"a clean update", One, [](Scene &) {}, ""},
    {"a dongle the rig lost", One, [](Scene &s) { s.seen.dongles.clear(); },
     "rig: the run saw other dongles or flashers than were drawn"},
    {"a hang", One, [](Scene &s) { s.flasher().result.timedOut = true; }, "HANG: flasher 1 HANG"},
    {"a crash", One, [](Scene &s) { s.flasher().result.signal = 11; }, "CRASH: flasher 1 CRASH"},
    {"no start", One, [](Scene &s) { s.flasher().result.started = false; },
     "did not start: flasher 1 did not start"},
    {"standard error", One, [](Scene &s) { s.flasher().result.err = "oops\n"; },
     "standard error: wrote to standard error: oops"},
    {"success with the failure verdict", One, [](Scene &s) { s.flasher().result.out = failure; },
     "verdict: ended with status 0"},
    {"a wrong verdict after its reader went", One,
     [](Scene &s) {
         s.flasher().result.out = failure;
         s.run.flashers[0].closeStdoutAfter = 0;
     },
     ""},
    {"another status", One, [](Scene &s) { s.flasher().result.status = 3; },
     "exit status: ended with status 3"},
    {"failure with the success verdict", One, [](Scene &s) { s.flasher().result.status = 255; },
     "verdict: ended with status 255"},
    {"success without the image", One, [](Scene &s) { s.seen.dongles[0].updated = false; },
     "FALSE SUCCESS: FALSE SUCCESS: dongle 1 does not hold the image"},
    {"success without a page written", One,
     [](Scene &s) {
         s.seen.dongles[0].updated = false;
         s.seen.dongles[0].frames.pop_back();
     },
     "FALSE SUCCESS: having written 0 dongles"},
    {"an end long after its dongle left", One,
     [](Scene &s) {
         s.seen.dongles[0].disconnected = true;
         s.seen.dongles[0].disconnectedAt = at(500);
         s.flasher().result.end = at(500 + soak::verdictBoundMs + 1);
     },
     "slow after a disconnect: after dongle 1 left"},
    {"frames to a bootloader no flasher opened", One,
     [](Scene &s) { s.flasher().opens.pop_back(); },
     "frames from no flasher: 2 frames from no flasher"},
    {"frames without opens logged: the lone flasher's", One,
     [](Scene &s) {
         s.flasher().opens.pop_back();
         s.seen.opensLogged = false;
     },
     ""},
    {"junk heard back by a dongle that put none in its port", One, [](Scene &s) { s.hearJunk(); },
     "frames from no flasher: 1 frames from no flasher"},
    {"junk heard back by a dongle that put it in its port", One,
     [](Scene &s) {
         s.hearJunk();
         s.run.dongles[0].options.staleOnPlugIn = true;
     },
     ""},
    {"a dongle opened that its name does not fit", One,
     [](Scene &s) { s.name(soak::SelectorKind::Path, "1-2", -1); },
     "opened: names --path 1-2 but opened dongle 1"},
    {"a name that fits nothing, not refused", One,
     [](Scene &s) { s.name(soak::SelectorKind::Path, "1-2", -1, true); },
     "absent: did not say '[TORVEX] No dongle matches --path 1-2.'"},
    {"a port above ttyACM9 opened without a name", One,
     [](Scene &s) {
         for (auto &plug : s.seen.dongles[0].plugs) {
             plug.port = "/dev/ttyACM12";
         }
         s.flasher().opens = {{at(10), 7, "/dev/ttyACM12", "/dev/pts/0"},
                              {at(250), 7, "/dev/ttyACM12", "/dev/pts/0"}};
     },
     "opened: names no dongle but opened /dev/ttyACM12"},
    {"a dongle switched while another program held its port from before the flasher's start", One,
     [](Scene &s) { s.holdPort("/dev/pts/0", -5, 60); },
     "held by another: flasher 1 switched dongle 1 on /dev/ttyACM0 while another program held "
     "it, from 5 ms before its start until 10 ms after the switch"},
    {"another program on the port from after the flasher's start", One,
     [](Scene &s) { s.holdPort("/dev/pts/0", 5, 60); }, ""},
    {"another program gone before the switch", One,
     [](Scene &s) { s.holdPort("/dev/pts/0", -5, 40); }, ""},
    {"another program on the bootloader's port", One,
     [](Scene &s) { s.holdPort("/dev/pts/1", -5, 900); }, ""},
    {"a dongle waiting beside", Two, [](Scene &) {}, ""},
    {"a bootloader written that it did not switch", Two,
     [](Scene &s) {
         s.seen.dongles[0].frames.resize(1);
         s.seen.dongles[1].frames = {frame(0x64, sim::Mode::Bootloader, 300),
                                     frame(0x66, sim::Mode::Bootloader, 400)};
         s.seen.dongles[1].updated = true;
         s.flasher().opens[1] = {at(250), 7, "/dev/ttyACM1", "/dev/pts/2"};
     },
     "opened: switched a dongle but opened the bootloader of dongle 2"},
    {"a refusal to switch a dongle without a port path", Two, [](Scene &s) { s.refusePlain(); },
     ""},
    {"a refusal to switch, having sent it a frame", Two,
     [](Scene &s) {
         s.refusePlain();
         s.seen.dongles[0].frames = {frame(0x0A, sim::Mode::Application, 50)};
         s.flasher().opens = {{at(10), 7, "/dev/ttyACM0", "/dev/pts/0"}};
     },
     "plain: refused to switch /dev/ttyACM0 (status 255, 1 dongles sent frames"},
    {"a refusal to switch a dongle with a port path", Two,
     [](Scene &s) {
         s.refusePlain();
         s.run.dongles[0].place.plain = false;
     },
     "plain: a dongle without a port path there: no"},
    {"a second flasher opens the first dongle's bootloader while the first, writing it, has it",
     One,
     [](Scene &s) {
         s.run.flashers.emplace_back();
         s.seen.flashers.push_back(flasherSeen(255, failure));
         s.seen.flashers[1].opens = {{at(300), 8, "/dev/ttyACM0", "/dev/pts/1"}};
         s.seen.dongles[0].frames.push_back(frame(0x66, sim::Mode::Bootloader, 260));
     },
     "held: flasher 2 opened /dev/ttyACM0 of dongle 1 while flasher 1 held it | written twice: "
     "dongle 1 written by flasher 1 and flasher 2 at once"},
    {"a serial number two dongles showed, refused in port order", Two,
     [](Scene &s) {
         s.shareSerial("[TORVEX] --serial-number TVX-SAME fits 2 dongles, at 1-1 and 1-2: name "
                       "one with --path.\n");
     },
     ""},
    {"a serial number two dongles showed, not refused", Two, [](Scene &s) { s.shareSerial(""); },
     "shared serial: did not refuse TVX-SAME, shown by 2 dongles"},
    {"a serial number refused out of port order", Two,
     [](Scene &s) {
         s.shareSerial("[TORVEX] --serial-number TVX-SAME fits 2 dongles, at 1-2 and 1-1: name "
                       "one with --path.\n");
     },
     "shared serial: refused with"},
    {"a dongle without a port path, named by its port, switched and not refused", Two,
     [](Scene &s) {
         s.run.dongles[0].place.plain = true;
         s.name(soak::SelectorKind::Port, "/dev/ttyACM0", 0);
     },
     "plain: switched dongle 1, which has no USB port path | plain: did not say '[TORVEX] Cannot "
     "follow the dongle on /dev/ttyACM0"},
    {"dongles beyond reach, not pointed at", Two, [](Scene &s) { s.run.beyondReach = true; },
     "beyond: had every dongle beyond its reach but did not say"},
    {"--all saying a dongle is updated that is not, and counting wrong", Two,
     [](Scene &s) {
         s.run.flashers[0].all = true;
         s.seen.dongles[0].updated = false;
         s.flasher().result.out = "[TORVEX] /dev/ttyACM0 path=1-1 Update successful!\n"
                                  "[TORVEX] 1 of 2 dongles updated.\n" +
                                  success;
     },
     "FALSE SUCCESS: its line says dongle 1 | all: counted 1 of 2 updated after 1 lines"},
    {"a dongle not updated where every one must be", Two,
     [](Scene &s) { s.run.everyDongleExpected = true; }, "expected: dongle 2 not updated"},
    {"a clean watch", Watch, [](Scene &) {}, ""},
    {"a second child writes a dongle that stayed", Watch,
     [](Scene &s) {
         s.flasher().opens.push_back({at(350), 9, "/dev/ttyACM0", "/dev/pts/1"});
     },
     "updated twice in one plug: dongle 1 updated 2 times in one plug by flasher 1"},
    {"an update writes the bootloader of a dongle another update switched", Watch,
     [](Scene &s) {
         s.flasher().opens[3] = {at(260), 8, "/dev/ttyACM0", "/dev/pts/1"};
         s.seen.dongles[1].frames.resize(1);
         s.seen.dongles[1].updated = false;
     },
     "names another: a result of flasher 1 names dongle 2, but its update wrote dongle 1"},
    {"a dongle plugged in, in its bootloader, while another at its port switches", Watch,
     [](Scene &s) {
         s.swap(1, 100, sim::Mode::Bootloader, "");
         s.seen.dongles[2].frames = {frame(0x64, sim::Mode::Bootloader, 300),
                                     frame(0x66, sim::Mode::Bootloader, 400)};
         s.seen.dongles[2].updated = true;
         s.seen.dongles[1].frames.resize(1);
         s.seen.dongles[1].updated = false;
         s.seen.dongles[1].plugs.resize(1);
         s.flasher().opens[3] = {at(252), 8, "/dev/ttyACM1", "/dev/pts/4"};
     },
     ""},
    {"a dongle plugged in again after 0.5 s, never updated", Watch,
     [](Scene &s) {
         s.swap(1, 500, sim::Mode::Application, "");
         s.seen.dongles[1].plugs.push_back(s.seen.dongles[2].plugs[0]);
         s.seen.dongles.pop_back();
         s.run.dongles.pop_back();
     },
     "never updated: dongle 2 plugged in and never updated by flasher 1, there 4399 ms"},
    {"a bootloader plugged in at a port path while the update there runs", Watch,
     [](Scene &s) {
         s.swap(1, 500, sim::Mode::Bootloader, "");
         s.flasher().result.lineEnds.assign(5, at(1000));
     },
     ""},
    {"an application plugged in at a port path while the update there runs", Watch,
     [](Scene &s) {
         s.swap(1, 500, sim::Mode::Application, "");
         s.flasher().result.lineEnds.assign(5, at(1000));
     },
     "never updated: dongle 3 plugged in and never updated by flasher 1, there 4000 ms"},
    {"a dongle with its own serial number, swapped in while an updated one is due back", Watch,
     [](Scene &s) { s.swapWhileDueBack("TVX-3"); },
     "never updated: dongle 3 plugged in and never updated"},
    {"a dongle with the same serial number, swapped in while an updated one is due back", Watch,
     [](Scene &s) { s.swapWhileDueBack("TVX-1"); }, ""},
    {"a dongle with the same serial number, swapped in once the updated one was back", Watch,
     [](Scene &s) {
         s.seen.dongles[0].frames.push_back(frame(0x67, sim::Mode::Bootloader, 450));
         s.seen.dongles[0].plugs.push_back({"/dev/ttyACM0", "/dev/pts/5", sim::Mode::Application,
                                            at(500), at(501), at(1600), at(1601)});
         s.swap(0, 1600, sim::Mode::Application, "TVX-1");
     },
     "never updated: dongle 3 plugged in and never updated"},
    {"a second child writes a dongle pulled out and back: a new one", Watch,
     [](Scene &s) {
         s.flasher().opens.push_back({at(350), 9, "/dev/ttyACM0", "/dev/pts/1"});
         s.seen.dongles[0].pull.happened = true;
         s.seen.dongles[0].pull.at = at(320);
     },
     ""},
    {"the first Ctrl-C stops an update that had begun", Watch,
     [](Scene &s) {
         s.secondFails({s.one, s.waiting, s.stopped});
     },
     "half written: dongle 2 written by flasher 1 but not updated, after 1 Ctrl-C"},
    {"the second Ctrl-C stops it, and its line says so", Watch,
     [](Scene &s) {
         s.secondFails({s.one, s.waiting, s.stopped}, 2);
     },
     ""},
    {"an update fails on its own", Watch,
     [](Scene &s) {
         s.secondFails(
             {s.one, "[TORVEX] /dev/ttyACM1 path=1-2 Page 9 of 15 was not written." + s.retry});
     },
     ""},
    {"a dongle written without an end line", Watch, [](Scene &s) { s.secondFails({s.one}); },
     "half written: dongle 2 written by flasher 1 but not updated, after 1 Ctrl-C; its line: "
     "'none'"},
    {"a dongle written, said to be stopped before its switch", Watch,
     [](Scene &s) {
         s.secondFails({s.one, s.waiting,
                        "[TORVEX] /dev/ttyACM1 path=1-2 Stopped before its switch: the next run "
                        "updates it. Update Failed."},
                       2);
     },
     "half written: dongle 2 written by flasher 1 but not updated, after 2 Ctrl-C"},
    {"a line says an update succeeded that did not", Watch,
     [](Scene &s) { s.seen.dongles[1].updated = false; },
     "FALSE SUCCESS: FALSE SUCCESS: its line says dongle 2"},
    {"the count disagrees with the lines", Watch,
     [](Scene &s) {
         s.say({s.one, s.two}, 1);
     },
     "watch: counted 1 of 2 updated after 2 lines, 2 of them successes"},
    {"a failure with every dongle updated", Watch,
     [](Scene &s) { s.flasher().result.status = 255; },
     "watch: ended with status 255 when 2 of the 2"},
    {"it ends by itself", Watch, [](Scene &s) { s.flasher().result.interrupted.clear(); },
     "watch: ended before any Ctrl-C"},
    {"it goes on long after Ctrl-C", Watch,
     [](Scene &s) { s.flasher().result.end = at(3200 + soak::watchStopBoundMs + 1); },
     "watch: ms after Ctrl-C"},
    {"a dongle there from the start is never updated", Watch,
     [](Scene &s) {
         s.secondFails({s.one});
         s.seen.dongles[1].frames.clear();
         s.flasher().opens.resize(2);
     },
     "never updated: dongle 2 plugged in and never updated"},
    {"a dongle left untouched with no Ctrl-C", Watch,
     [](Scene &s) {
         s.secondFails({s.one, "[TORVEX] /dev/ttyACM1 path=1-2 Left untouched: stopped before "
                               "its update began. Update Failed."});
         s.flasher().result.interrupted.clear();
     },
     "watch: after 0 Ctrl-C"},
    {"a wrong count of the updates it waits for", Watch, [](Scene &s) { s.say({s.waiting}, 0); },
     "watch: where '[TORVEX] Stopping: waiting for 0 running updates"},
    {"a failure without the way to retry", Watch,
     [](Scene &s) {
         s.secondFails({s.one, "[TORVEX] /dev/ttyACM1 path=1-2 Oops. Update Failed."});
     },
     "watch: printed '[TORVEX] /dev/ttyACM1 path=1-2 Oops. Update Failed.'"},
    {"a dongle it stopped told to plug it in again", Watch,
     [](Scene &s) {
         s.secondFails(
             {s.one, s.waiting, s.stopped.substr(0, s.stopped.rfind(" Update")) + s.retry}, 2);
     },
     "watch: printed '[TORVEX] /dev/ttyACM1 path=1-2 Stopped during its update"},
    {"no first line", Watch, [](Scene &s) { s.flasher().result.out.erase(0, s.watching.size()); },
     "watch: did not begin with"},
};

// A failing row is named by what it makes up.
void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.what;
}

struct Judged : ::testing::TestWithParam<Row> {
};

// cppcheck-suppress syntaxError
TEST_P(Judged, BreaksWhatTheRowSays)
{
    const Row &row = GetParam();
    SCOPED_TRACE(row.what);
    Scene scene(row.base);
    row.change(scene);
    const soak::Outcome outcome = soak::judge(scene.run, scene.seen);
    const auto &breaches = outcome.breaches;
    if (row.breaches.empty()) {
        EXPECT_TRUE(breaches.empty()) << breaches.front();
    }
    for (std::size_t from = 0; from < row.breaches.size();) {
        const std::size_t to = std::min(row.breaches.find(" | ", from), row.breaches.size());
        const std::string breach = row.breaches.substr(from, to - from);
        from = to + 3;
        const std::string kind = breach.substr(0, breach.find(": "));
        const std::string words = breach.substr(kind.size() + 2);
        EXPECT_EQ(outcome.counts.count("breaches: " + kind), 1U) << breach;
        EXPECT_TRUE(std::any_of(breaches.begin(), breaches.end(),
                                [&words](const auto &b) { return b.find(words) != b.npos; }))
            << breach << "; the first breach: " << (breaches.empty() ? "none" : breaches.front());
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Judged, ::testing::ValuesIn(rows));

} // namespace
