// torvex-sim: plays one or more Torvex dongles on pseudo-terminals and runs a
// program against them, in a private mount namespace where the dongles' ports
// are the only /dev/ttyACM* there are. On a USB device controller (configfs
// gadgets under the kernel's own cdc_acm, inside the QEMU guests) it may
// also serve the dongles alone, for a program started beside it.
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/child.h"
#include "sim/stage.h"

namespace
{

const char usage[] =
    "usage: torvex-sim [options] [--dongle DONGLE-OPTIONS]... -- PROGRAM [ARGS...]\n"
    "       torvex-sim --bus gadget [options] [--dongle DONGLE-OPTIONS]...\n"
    "dongle options (before the first --dongle for the first dongle; each --dongle starts\n"
    "the next one):\n"
    "  --mode application|bootloader  mode the dongle starts in (default application)\n"
    "  --reenumerate-ms N             time the dongle takes to come back after a switch (500)\n"
    "  --boot-ms N                    time its new application takes to come back after\n"
    "                                 'boot' (default: as --reenumerate-ms)\n"
    "  --no-restart                   the new application never starts after 'boot'\n"
    "  --stale-on-plug-in             junk waits in every new port before it is opened\n"
    "  --reply-byte HEX|echo          first byte of the bootloader's replies (echo: the\n"
    "                                 command's own byte, the default)\n"
    "  --fault FRAME:KIND[:ARGS]      fault for one frame (frames count from 0), kinds:\n"
    "                                 ignore, drop, delay:MS, replace:HEX, split:N:MS,\n"
    "                                 stale:MS:HEX, unplug, corrupt,\n"
    "                                 flood:MS[:AFTER_MS]; instead of the MS of a delay or\n"
    "                                 split, or AFTER_MS: gaveup (until the program waits\n"
    "                                 for silence, sends again or lets go of the port) or\n"
    "                                 pollsN (until it has read the line N times)\n"
    "  --usb-path PATH                USB port path, e.g. 1-1.4 (default: the lowest free 1-N)\n"
    "  --serial S                     USB serial number in application mode (default: none)\n"
    "  --bootloader-serial S          USB serial number in bootloader mode (default: none)\n"
    "  --plain-sysfs                  no USB device in sysfs, only\n"
    "                                 /sys/class/tty/ttyACMn/device/modalias\n"
    "  --plug-in-at MS                plugged in this long after the start, not at it (such\n"
    "                                 dongles are counted first)\n"
    "  --pull-at MS                   pulled out this long after the start\n"
    "  --back-after MS                with --pull-at: plugged in again this long after\n"
    "options:\n"
    "  --expect IMAGE                 after the run, compare the dongles' flash with IMAGE\n"
    "  --report FILE                  write the outcome as key=value lines to FILE\n"
    "  --limit SECONDS                kill the program after this long (60); with no\n"
    "                                 program, stop serving then\n"
    "  --bus pty|gadget               pseudo-terminals (default) or configfs gadgets; with\n"
    "                                 no program, serve until SIGTERM or SIGINT, the limit,\n"
    "                                 or every dongle's new application is back\n"
    "  --udc NAME                     gadget: the next dongle's device controller (default:\n"
    "                                 the first there is; repeatable)\n"
    "  --gadget-name NAME             gadget: its name in configfs (torvex; then NAME2, ...)\n"
    "  --foreign-port N[:no-sysfs]    another device's port /dev/ttyACMN, with a modalias that\n"
    "                                 is no Torvex's or no sysfs entry (repeatable)\n"
    "  --ctrl-c-at MS                 send the program Ctrl-C (SIGINT to its process group)\n"
    "                                 this long after its start (repeatable)\n"
    "  --quiet-setserial              the program finds first in PATH a setserial that\n"
    "                                 succeeds and says nothing (the tests' stand-in)\n"
    "exit status: the program's, or 3 when it reported success but no dongle's flash equals\n"
    "IMAGE or a dongle it wrote to differs from it, 4 when it hung, 2 on a usage or set-up\n"
    "error\n";

struct DongleSettings : sim::Seat {
    bool placed = false; // given a place option of its own
};

struct Settings {
    std::vector<DongleSettings> dongles{1};
    std::string expectPath;
    std::string reportPath;
    int limitSeconds = 60;
    std::vector<std::chrono::milliseconds> ctrlC;
    std::vector<std::pair<int, bool>> foreignPorts; // ttyACM number, in sysfs
    std::vector<std::string> program;
    bool gadget = false;
    bool quietSetserial = false;
    std::vector<std::string> udcs;
    std::string gadgetName = "torvex";
};

// The options that take a time (or the limit): where it goes, and the least
// it may be; false for any other option, or a bad time, said in `why`.
bool parseTime(const std::string &arg, const char *value, Settings *s, std::string *why)
{
    sim::DongleOptions &options = s->dongles.back().options;
    const std::map<std::string, std::pair<int *, int>> times = {
        {"--limit", {&s->limitSeconds, 1}},
        {"--reenumerate-ms", {&options.reenumerateMs, 0}},
        {"--boot-ms", {&options.bootMs, 0}},
        {"--pull-at", {&options.pull.atMs, 1}},
        {"--back-after", {&options.pull.backAfterMs, 0}},
        {"--plug-in-at", {&options.pull.backAfterMs, 0}}};
    const auto time = times.find(arg);
    const int n = std::atoi(value);
    if (arg == "--ctrl-c-at" && n >= 0) {
        s->ctrlC.emplace_back(n);
        return true;
    }
    if (time == times.end() || n < time->second.second) {
        *why = time != times.end() || arg == "--ctrl-c-at" ? "bad " + arg : "";
        return false;
    }
    *time->second.first = n;
    options.pull.atMs = arg == "--plug-in-at" ? 0 : options.pull.atMs;
    return true;
}

// The options that take a word of their own, or a fault; false for any
// other, or a bad value, said in `why`.
bool parseWord(const std::string &arg, const std::string &value, Settings *s, std::string *why)
{
    sim::DongleOptions &options = s->dongles.back().options;
    bool ok = false;
    if (arg == "--mode") {
        options.startMode = value == "bootloader" ? sim::Mode::Bootloader : sim::Mode::Application;
        return value == "bootloader" || value == "application" || (*why = "bad mode", false);
    }
    if (arg == "--reply-byte") {
        const std::vector<uint8_t> bytes = sim::fromHex(value, &ok);
        ok = ok && bytes.size() == 1;
        options.replyByte = value == "echo" ? -1 : ok ? bytes[0] : options.replyByte;
        return value == "echo" || ok ||
               (*why = "bad --reply-byte: two hex digits or 'echo'", false);
    }
    if (arg == "--bus") {
        s->gadget = value == "gadget";
        return s->gadget || value == "pty" || (*why = "bad --bus: pty or gadget", false);
    }
    int frame = 0;
    sim::Fault fault;
    if (arg != "--fault" || !sim::parseFault(value, &frame, &fault, why)) {
        return false;
    }
    options.faults[frame] = fault;
    return true;
}

bool parseOption(const std::string &arg, const char *value, Settings *s, std::string *why)
{
    DongleSettings &dongle = s->dongles.back();
    std::string *field = arg == "--expect"              ? &s->expectPath
                         : arg == "--report"            ? &s->reportPath
                         : arg == "--gadget-name"       ? &s->gadgetName
                         : arg == "--usb-path"          ? &dongle.place.path
                         : arg == "--serial"            ? &dongle.place.serial
                         : arg == "--bootloader-serial" ? &dongle.place.bootloaderSerial
                                                        : nullptr;
    if (value != nullptr && (parseTime(arg, value, s, why) || parseWord(arg, value, s, why))) {
        return true;
    }
    if (value != nullptr && arg == "--foreign-port") {
        s->foreignPorts.emplace_back(std::atoi(value),
                                     std::string(value).find(':') == std::string::npos);
        return true;
    }
    if (value != nullptr && arg == "--udc") {
        s->udcs.emplace_back(value);
        return true;
    }
    if (value == nullptr || field == nullptr) {
        *why = why->empty() ? "unknown option or missing value: " + arg : *why;
        return false;
    }
    *field = value;
    dongle.placed = dongle.placed ||
                    (field != &s->expectPath && field != &s->reportPath && field != &s->gadgetName);
    return arg != "--usb-path" || sim::isUsbPath(value) ||
           (*why = "bad --usb-path: B-P[.P...], e.g. 1-1.4", false);
}

// Sets a dongle option that takes no value; false for any other argument.
bool parseFlag(const std::string &arg, Settings *s)
{
    DongleSettings &dongle = s->dongles.back();
    if (arg == "--dongle") {
        s->dongles.emplace_back();
    } else if (arg == "--quiet-setserial") {
        s->quietSetserial = true;
    } else if (arg == "--no-restart") {
        dongle.options.applicationRestarts = false;
    } else if (arg == "--stale-on-plug-in") {
        dongle.options.staleOnPlugIn = true;
    } else if (arg == "--plain-sysfs") {
        dongle.place.plain = true;
        dongle.placed = true;
    } else {
        return false;
    }
    return true;
}

// Whether dongle `a` leaves for good before `b` is plugged in.
bool goneBefore(const sim::Pull &a, const sim::Pull &b)
{
    return a.atMs > 0 && a.backAfterMs < 0 && b.atMs == 0 && b.backAfterMs > a.atMs;
}

bool placesAgree(const Settings &s, std::string *why)
{
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const std::string &a = s.dongles[i].place.path;
            const std::string &b = s.dongles[j].place.path;
            const sim::Pull &pa = s.dongles[i].options.pull;
            const sim::Pull &pb = s.dongles[j].options.pull;
            if (!a.empty() && !b.empty() && sim::onSamePort(a, b) && !goneBefore(pa, pb) &&
                !goneBefore(pb, pa)) {
                why->assign("two dongles at --usb-path ").append(b).append(" and ").append(a);
                return false;
            }
        }
    }
    return true;
}

bool parseArgs(int argc, char **argv, Settings *s, std::string *why)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            s->program.assign(argv + i + 1, argv + argc);
            return (!s->program.empty() || (*why = "no program given", false)) &&
                   placesAgree(*s, why);
        }
        if (parseFlag(arg, s)) {
            continue;
        }
        if (!parseOption(arg, i + 1 < argc ? argv[i + 1] : nullptr, s, why)) {
            return false;
        }
        ++i;
    }
    *why = "no program given (put it after --)";
    return s->gadget && placesAgree(*s, why);
}

// The dongles in play.
struct Bench {
    explicit Bench(const Settings &s) : stage(s.gadget ? s.gadgetName : "", s.udcs) {}
    sim::Stage stage;
    bool named = false; // said apart by their places in the output
};

std::string label(const Bench &bench, std::size_t i)
{
    const sim::UsbPlace &place = bench.stage.place(i);
    return "dongle " + std::to_string(i + 1) +
           (place.plain ? std::string(" with no USB device in sysfs") : " at " + place.path);
}

// Says where dongle i is, or is to be, in `mode`.
void sayWhere(const Bench &bench, std::size_t i, sim::Mode mode, const std::string &where)
{
    std::cerr << "torvex-sim: " << (bench.named ? label(bench, i) : "dongle") << " in "
              << sim::nameOf(mode) << " mode " << where << "\n";
}

void announce(const Settings &s, const Bench &bench)
{
    for (std::size_t i = 0; i < bench.stage.size(); ++i) {
        const sim::DongleOptions &options = s.dongles[i].options;
        sayWhere(bench, i, options.startMode,
                 options.pull.atMs == 0
                     ? "to plug in at " + std::to_string(options.pull.backAfterMs) + " ms"
                     : "on " + bench.stage.dongle(i).hostPort());
    }
}

// How the dongles' flash compares with the expected image.
struct Verdict {
    std::vector<bool> equals;
    std::vector<bool> written;
    bool holds = true; // one dongle at least has the image, and every one written to
};

Verdict judge(const Bench &bench, const std::vector<uint8_t> &expected)
{
    Verdict verdict;
    bool anyEquals = false;
    for (std::size_t i = 0; i < bench.stage.size(); ++i) {
        const std::vector<uint8_t> flash = bench.stage.dongle(i).flash();
        verdict.equals.push_back(flash == expected);
        verdict.written.push_back(!flash.empty()); // every dongle starts with an empty flash
        anyEquals = anyEquals || verdict.equals.back();
        verdict.holds = verdict.holds && (verdict.equals.back() || !verdict.written.back());
    }
    verdict.holds = verdict.holds && anyEquals;
    return verdict;
}

// `head`: the report's first lines, on the program's run or the serving.
void writeReport(const Settings &s, const std::string &head, const Bench &bench,
                 const Verdict &verdict)
{
    if (s.reportPath.empty()) {
        return;
    }
    const bool expecting = !s.expectPath.empty();
    std::size_t flashBytes = 0;
    std::size_t frames = 0;
    int pagesRejected = 0;
    std::ostringstream each; // said apart only for dongles named by their places
    for (std::size_t i = 0; i < bench.stage.size(); ++i) {
        const sim::Dongle &dongle = bench.stage.dongle(i);
        flashBytes += dongle.flash().size();
        frames += dongle.frames().size();
        pagesRejected += dongle.pagesRejected();
        const std::string key = "dongle" + std::to_string(i + 1) + "_";
        each << key << "path=" << bench.stage.place(i).path << "\n"
             << key << "mode=" << sim::nameOf(dongle.mode()) << "\n"
             << key << "written=" << (verdict.written[i] ? 1 : 0) << "\n"
             << key << "flash_matches=" << (expecting ? (verdict.equals[i] ? 1 : 0) : -1) << "\n"
             << key << "flash_bytes=" << dongle.flash().size() << "\n"
             << key << "pages_rejected=" << dongle.pagesRejected() << "\n"
             << key << "frames=" << dongle.frames().size() << "\n";
    }
    std::ofstream report(s.reportPath);
    report << head << "flash_matches=" << (expecting ? (verdict.holds ? 1 : 0) : -1)
           << "\nflash_bytes=" << flashBytes << "\npages_rejected=" << pagesRejected
           << "\nframes=" << frames << "\n"
           << (bench.named ? each.str() : "");
}

void tellFlash(const Settings &s, const Bench &bench, const Verdict &verdict,
               std::size_t expectedSize)
{
    for (std::size_t i = 0; i < bench.stage.size(); ++i) {
        const sim::Dongle &dongle = bench.stage.dongle(i);
        std::cerr << "torvex-sim: ";
        if (bench.named) {
            std::cerr << label(bench, i) << " (" << sim::nameOf(dongle.mode()) << " mode, "
                      << (verdict.written[i] ? "written" : "not written") << "): its flash ";
        } else {
            std::cerr << "the dongle's flash ";
        }
        std::cerr << (verdict.equals[i] ? "equals" : "differs from") << " " << s.expectPath << " ("
                  << dongle.flash().size() << " of " << expectedSize << " bytes written, "
                  << dongle.pagesRejected() << " pages rejected)\n";
    }
}

// Puts other devices' ports and the dongles in place, those plugged in later
// first; false, said, when it cannot.
bool setUp(Settings *s, Bench *bench)
{
    bench->named = s->dongles.size() > 1 || s->dongles[0].placed;
    std::stable_partition(s->dongles.begin(), s->dongles.end(),
                          [](const DongleSettings &d) { return d.options.pull.atMs == 0; });
    bool ready = bench->stage.ok() && (!s->gadget || s->foreignPorts.empty());
    for (const auto &[number, inSysfs] : s->foreignPorts) {
        ready = ready && bench->stage.tree().addForeignPort(
                             number, inSysfs ? sim::FakeDeviceTree::otherModalias : "");
    }
    if (!ready || !bench->stage.plugInTimed({s->dongles.begin(), s->dongles.end()}) ||
        (!s->gadget && !bench->stage.linkByPath())) {
        std::cerr << "torvex-sim: "
                  << (bench->stage.ok() ? "cannot make another device's port or a by-path link"
                                        : bench->stage.error())
                  << "\n";
        return false;
    }
    announce(*s, *bench);
    return true;
}

volatile sig_atomic_t stopSignal = 0;

void onSignal(int signal)
{
    stopSignal = signal;
}

// True once the dongle has answered "boot" and its new application is back
// on the host.
bool applicationRestarted(const sim::Dongle &dongle)
{
    if (dongle.mode() != sim::Mode::Application || dongle.hostPort().empty()) {
        return false; // the frames are copied only once it may have happened
    }
    const std::vector<sim::FrameRecord> frames = dongle.frames();
    return std::any_of(frames.begin(), frames.end(), [](const sim::FrameRecord &frame) {
        return frame.mode == sim::Mode::Bootloader && !frame.bytes.empty() &&
               frame.bytes[0] == 0x67 && frame.reply.size() == 3 && frame.reply[1] == 'O' &&
               frame.reply[2] == 'K';
    });
}

// The wall-clock time in ms of the moment a dongle was pulled out by an
// "unplug" fault, or 0: for a program started beside us.
long long unplugEpochMs(const Bench &bench)
{
    using SystemClock = std::chrono::system_clock;
    for (std::size_t i = 0; i < bench.stage.size(); ++i) {
        for (const auto &frame : bench.stage.dongle(i).frames()) {
            if (frame.fault.rfind("unplug", 0) == 0) {
                const auto then =
                    SystemClock::now() - (std::chrono::steady_clock::now() - frame.received);
                return std::chrono::duration_cast<std::chrono::milliseconds>(
                           then.time_since_epoch())
                    .count();
            }
        }
    }
    return 0;
}

// With no program: watches the host's side until it is time to stop, and
// says how it ended and each port the dongles had ("mode:/dev/ttyACMn").
std::string serve(const Settings &s, const Bench &bench)
{
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    std::vector<std::string> last(bench.stage.size());
    std::string ports;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.limitSeconds);
    for (;;) {
        bool restarted = true;
        for (std::size_t i = 0; i < bench.stage.size(); ++i) {
            const sim::Dongle &dongle = bench.stage.dongle(i);
            const std::string port = dongle.hostPort();
            const std::string seen = port.empty() ? "" : sim::nameOf(dongle.mode()) + (":" + port);
            if (!seen.empty() && seen != last[i]) {
                sayWhere(bench, i, dongle.mode(), "on " + port);
                ports += (ports.empty() ? "" : " ") + seen;
            }
            last[i] = seen;
            restarted = restarted && applicationRestarted(dongle);
        }
        const char *ended = stopSignal != 0                                ? "signal"
                            : restarted                                    ? "restarted"
                            : std::chrono::steady_clock::now() >= deadline ? "limit"
                                                                           : nullptr;
        if (ended != nullptr) {
            return "ended=" + std::string(ended) + "\nports=" + ports + "\n";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

harness::ChildResult runProgram(const Settings &s)
{
    harness::ChildOptions run;
    run.argv = s.program;
    run.capture = false;
    run.limit = std::chrono::seconds(s.limitSeconds);
    run.interrupts = s.ctrlC;
    const std::string setserialDir = s.quietSetserial ? harness::makeSetserial() : "";
    if (!setserialDir.empty()) {
        run.env = {harness::pathWith(setserialDir)};
    }
    harness::ChildResult result = harness::runChild(run);
    harness::removeSetserial(setserialDir);
    return result;
}

// Stops the dongles and judges their flash: the report, and the exit status
// for the program's `status`.
int conclude(const Settings &s, Bench *bench, const std::vector<uint8_t> &expected,
             const std::string &head, int status)
{
    bench->stage.stop();
    const Verdict verdict = judge(*bench, expected);
    writeReport(s, head + "unplugged_at_ms=" + std::to_string(unplugEpochMs(*bench)) + "\n", *bench,
                verdict);
    if (head.find("\ntimed_out=1\n") != std::string::npos) {
        std::cerr << "torvex-sim: the program did not finish within " << s.limitSeconds << " s\n";
        return 4;
    }
    if (!s.expectPath.empty()) {
        tellFlash(s, *bench, verdict, expected.size());
    }
    return status == 0 && !s.expectPath.empty() && !verdict.holds ? 3 : status;
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    std::string why;
    if (argc > 1 && std::string(argv[1]) == "--help") {
        std::cout << usage;
        return 0;
    }
    if (!parseArgs(argc, argv, &settings, &why)) {
        std::cerr << "torvex-sim: " << why << "\n" << usage;
        return 2;
    }
    std::vector<uint8_t> expected;
    if (!settings.expectPath.empty() && !sim::readBinaryFile(settings.expectPath, &expected)) {
        std::cerr << "torvex-sim: cannot read " << settings.expectPath << "\n";
        return 2;
    }
    if (!settings.gadget && !sim::enterSandbox(&why)) {
        std::cerr << "torvex-sim: " << why << " (needs root or user namespaces)\n";
        return 2;
    }
    Bench bench(settings);
    if (!setUp(&settings, &bench)) {
        return 2;
    }
    if (settings.program.empty()) {
        return conclude(settings, &bench, expected, serve(settings, bench), 0);
    }
    const harness::ChildResult run = runProgram(settings);
    std::ostringstream head;
    head << "status=" << run.status << "\nsignal=" << run.signal << "\ntimed_out=" << run.timedOut
         << "\nelapsed_ms=" << run.elapsed.count() << "\n";
    return conclude(settings, &bench, expected, head.str(), run.status);
}
