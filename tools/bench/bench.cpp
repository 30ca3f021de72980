// torvex-bench: measures the flasher against the simulated dongle and prints
// a table of figures beside their targets: the page transfer against a
// minimal client over the same simulator (the floor), the whole update from
// either mode against the fixed pauses the update must make, --all over 1, 16
// and 64 dongles against one update, an idle --watch's CPU time and how soon
// it reaches a dongle plugged in, what the look through /proc for other
// programs on a port costs, CPU time, peak memory and the size of the binary. Figures are printed,
// never judged by the exit status, which only says whether the measurements could be made.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "harness/child.h"
#include "sim/stage.h"
#include "usbDevice.h"

namespace
{

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

constexpr std::size_t pageSize = 2048;
constexpr std::size_t chunkCapacity = 2044;
constexpr uint8_t pageData = 0x65;
constexpr uint8_t pageWrite = 0x66;
constexpr int racks[] = {1, 16, 64}; // dongles under --all

struct Settings {
    std::string program = "build-test/ZEL_USB_Flasher";
    std::string imagePath = "firmware/CAN.bin";
    std::string staticBinary = "build-static/ZEL_USB_Flasher";
    std::vector<uint8_t> image;
    std::string setserialDir;
};

// Where the time of the page frames went, from the dongle's own records.
struct Phase {
    int frames = 0;
    double wallMs = 0;       // first page frame received .. last reply sent
    double serviceMs = 0;    // sum over frames: received .. replied (the dongle's work)
    double turnaroundMs = 0; // sum over frames: previous reply .. this frame received
    bool ok = false;
};

Phase pagePhase(const std::vector<sim::FrameRecord> &records)
{
    Phase phase;
    const sim::FrameRecord *previous = nullptr;
    const sim::FrameRecord *first = nullptr;
    for (const auto &rec : records) {
        const bool pageFrame = rec.mode == sim::Mode::Bootloader && !rec.bytes.empty() &&
                               (rec.bytes[0] == pageData || rec.bytes[0] == pageWrite);
        if (pageFrame) {
            first = first != nullptr ? first : &rec;
            ++phase.frames;
            phase.serviceMs += Millis(rec.replied - rec.received).count();
            if (previous != nullptr) {
                phase.turnaroundMs += Millis(rec.received - previous->replied).count();
            }
            phase.wallMs = Millis(rec.replied - first->received).count();
        }
        previous = &rec;
    }
    phase.ok = phase.frames > 0;
    return phase;
}

double seconds(const harness::ChildResult &r)
{
    return std::chrono::duration<double>(r.end - r.begin).count();
}

// Of one core, by the program and the children it waited for, in %.
double cpuShare(const harness::ChildResult &r)
{
    const struct rusage &u = r.usage;
    return (static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 100 +
            static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e4) /
           seconds(r);
}

// The program's run with `args` against `dongles` dongles.
struct ProgramRun {
    harness::ChildResult child;
    std::vector<Phase> phases; // one per dongle
    int flashesComplete = 0;
};

harness::ChildOptions programWith(const Settings &s, const char *arg = nullptr)
{
    harness::ChildOptions child;
    child.argv = {s.program};
    if (arg != nullptr) {
        child.argv.emplace_back(arg);
    }
    child.env = {harness::pathWith(s.setserialDir)};
    return child;
}

ProgramRun runProgram(const Settings &s, sim::Mode mode, const char *arg = nullptr, int dongles = 1)
{
    ProgramRun run;
    run.phases.resize(static_cast<std::size_t>(dongles));
    sim::Stage stage;
    sim::DongleOptions options;
    options.startMode = mode;
    if (!stage.plugIn(std::vector<sim::Seat>(run.phases.size(), {options, {}}))) {
        return run;
    }
    run.child = harness::runChild(programWith(s, arg));
    stage.stop();
    for (std::size_t i = 0; i < stage.size(); ++i) {
        run.phases[i] = pagePhase(stage.dongle(i).frames());
        run.flashesComplete += stage.dongle(i).flash() == s.image ? 1 : 0;
    }
    return run;
}

// The frames the flasher sends for page `page`, byte for byte.
std::vector<std::vector<uint8_t>> pageFrames(const std::vector<uint8_t> &image, std::size_t page)
{
    const std::size_t start = page * pageSize;
    const std::size_t length = std::min(pageSize, image.size() - start);
    const std::size_t split = std::min(length, chunkCapacity);
    std::vector<std::vector<uint8_t>> frames;
    for (const std::size_t end : {split, length}) {
        const std::size_t from = frames.empty() ? 0 : split;
        frames.push_back({pageData, 0xAA, 0xAA});
        frames.back().insert(frames.back().end(), image.begin() + static_cast<long>(start + from),
                             image.begin() + static_cast<long>(start + end));
    }
    frames.push_back(sim::pageWriteFrame(image.data() + start, length));
    return frames;
}

// Sends one frame and waits, without polling in a loop, for the three bytes
// of the reply; true when they say "OK".
bool exchange(int fd, const std::vector<uint8_t> &frame)
{
    // A blocking write to a terminal returns once all of it is taken.
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
        return false;
    }
    uint8_t reply[3] = {};
    for (std::size_t got = 0; got < sizeof reply;) {
        struct pollfd line = {fd, POLLIN, 0};
        const ssize_t n = poll(&line, 1, 1000) > 0 ? read(fd, reply + got, sizeof reply - got) : -1;
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return reply[1] == 'O' && reply[2] == 'K';
}

// The floor: the same page frames over the same simulator, by a client that
// does nothing but write and wait for the known reply length.
Phase runFloor(const Settings &s)
{
    sim::Stage stage;
    sim::DongleOptions options;
    options.startMode = sim::Mode::Bootloader;
    sim::Dongle &dongle = stage.plugIn(options);
    if (!stage.ok()) {
        return {};
    }
    const int fd = open(dongle.hostPort().c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    bool ok = fd >= 0 && tcgetattr(fd, &raw) == 0;
    cfmakeraw(&raw);
    ok = ok && tcsetattr(fd, TCSANOW, &raw) == 0 && exchange(fd, {0x64, 0xAA, 0xAA});
    const std::size_t pages = (s.image.size() + pageSize - 1) / pageSize;
    for (std::size_t page = 0; ok && page < pages; ++page) {
        for (const auto &frame : pageFrames(s.image, page)) {
            ok = ok && exchange(fd, frame);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    dongle.stop();
    Phase phase = pagePhase(dongle.frames());
    phase.ok = ok && phase.ok && dongle.flash() == s.image;
    return phase;
}

// --watch: the share of a core it takes over ten seconds with no dongle, and
// the time from a dongle's port appearing to the first frame it receives.
struct WatchRun {
    double idleShare = -1; // %
    double firstFrameMs = -1;
};

WatchRun runWatch(const Settings &s)
{
    WatchRun run;
    harness::ChildOptions child = programWith(s, "--watch");
    child.limit = std::chrono::seconds(10);
    {
        const sim::Stage empty;
        run.idleShare = cpuShare(harness::runChild(child));
    }
    sim::Stage stage;
    child.limit = std::chrono::seconds(3);
    std::thread watcher([&child] { harness::runChild(child); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const sim::Dongle &dongle = stage.plugIn(sim::DongleOptions{});
    const auto appeared = Clock::now();
    watcher.join();
    stage.stop();
    const std::vector<sim::FrameRecord> frames = dongle.frames();
    run.firstFrameMs = frames.empty() ? -1 : Millis(frames[0].received - appeared).count();
    return run;
}

constexpr int scannedProcesses = 500;

// Processes that sleep, each with 16 descriptors of /dev/null open, until
// there are `total` in our /proc; their ids.
std::vector<pid_t> startSleepers(int total)
{
    int running = 0;
    std::error_code e;
    for (std::filesystem::directory_iterator p("/proc", e), end; !e && p != end; p.increment(e)) {
        running += std::isdigit(p->path().filename().string()[0]) != 0 ? 1 : 0;
    }
    int ready[2];
    std::vector<pid_t> sleepers;
    for (int i = running; i < total && pipe(ready) == 0; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int fd = 0; fd < 16; ++fd) {
                open("/dev/null", O_RDONLY);
            }
            close(ready[1]);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char end = 0;
        const ssize_t closed = pid > 0 ? read(ready[0], &end, 1) : -1; // 0 once it has them
        close(ready[0]);
        if (pid > 0 && closed == 0) {
            sleepers.push_back(pid);
        }
    }
    return sleepers;
}

// The program's look through /proc before each switch, for ModemManager and
// for other holders of the dongle's port, with `total` processes running:
// the median of 21 looks, in milliseconds.
double procScanMs(int total)
{
    sim::Stage stage;
    const std::string port = stage.plugIn(sim::DongleOptions{}).hostPort();
    const std::vector<pid_t> sleepers = startSleepers(total);
    std::vector<double> took;
    for (int i = 0; i < 21; ++i) {
        const auto begin = Clock::now();
        const bool anyone = !modemManagerWarning(port).empty() || !holdersOf(port).empty();
        took.push_back(anyone ? -1 : Millis(Clock::now() - begin).count());
    }
    for (const pid_t pid : sleepers) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::sort(took.begin(), took.end());
    return took.front() < 0 || static_cast<int>(sleepers.size()) < total / 2
               ? -1
               : took[took.size() / 2];
}

// What one empty poll of the port costs the program: usleep(10) as it sleeps.
double usleepMicros()
{
    constexpr int rounds = 2000;
    const auto begin = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        usleep(10);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - begin).count() / rounds;
}

// The size the binary has once its symbols and debug information are
// stripped, as a package installs it; negative when strip cannot run.
double strippedMiB(const std::string &binary)
{
    const std::string copy = "/tmp/torvex-bench-stripped";
    harness::ChildOptions strip;
    strip.argv = {"/usr/bin/strip", "-o", copy, binary};
    const harness::ChildResult run = harness::runChild(strip);
    struct stat info {
    };
    const bool ok = run.status == 0 && stat(copy.c_str(), &info) == 0;
    unlink(copy.c_str());
    return ok ? static_cast<double>(info.st_size) / (1024.0 * 1024.0) : -1.0;
}

void row(const std::string &what, const std::string &value, const std::string &target = "",
         const std::string &verdict = "")
{
    std::printf("%-46s %12s  %-24s %s\n", what.c_str(), value.c_str(), target.c_str(),
                verdict.c_str());
}

std::string fixed(double value, const char *unit, int decimals = 2)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

const char *meets(bool met)
{
    return met ? "met" : "MISSED";
}

void printPhase(const char *who, const Phase &p)
{
    row(std::string("page transfer, ") + who + " (" + std::to_string(p.frames) + " frames)",
        fixed(p.wallMs, "ms", 1));
    row("  per frame", fixed(p.wallMs / p.frames, "ms"));
    row("  of which the dongle's work, per frame", fixed(p.serviceMs / p.frames, "ms"));
    row("  of which host turnaround, per frame", fixed(p.turnaroundMs / p.frames, "ms"));
}

// --all beside one update; the target is the largest rack's.
void printAll(const std::vector<ProgramRun> &alls, const ProgramRun &app)
{
    for (const ProgramRun &all : alls) {
        const double wall = seconds(all.child);
        const double ratio = wall / seconds(app.child);
        const bool largest = &all == &alls.back();
        row("--all, " + std::to_string(all.phases.size()) + " from application mode, " +
                std::to_string(all.flashesComplete) + " updated",
            fixed(wall, "s", 3));
        row("  over one update from application mode", fixed(ratio, "x"),
            largest ? "<= 2.00 x" : "",
            largest ? meets(ratio <= 2.0 && all.flashesComplete == racks[2]) : "");
        row("  CPU / wall (the program and its children)", fixed(cpuShare(all.child), "%", 1));
    }
}

// The CPU, memory and disk the program takes.
void printResources(const Settings &s, const ProgramRun &app, const ProgramRun &boot)
{
    for (const ProgramRun *run : {&app, &boot}) {
        const double share = cpuShare(run->child);
        row(std::string("CPU / wall, update from ") + (run == &app ? "application" : "bootloader") +
                " mode",
            fixed(share, "%", 1), "<= 5 %", meets(share <= 5.0));
    }
    const double rss =
        static_cast<double>(std::max(app.child.usage.ru_maxrss, boot.child.usage.ru_maxrss)) /
        1024.0;
    row("peak RSS (program, or a shell it ran)", fixed(rss, "MiB"), "<= 4 MiB", meets(rss <= 4.0));
    struct stat info {
    };
    const bool haveStatic = stat(s.staticBinary.c_str(), &info) == 0;
    const std::string binary = haveStatic ? s.staticBinary : s.program;
    stat(binary.c_str(), &info); // the program itself, without a static build
    const double size = static_cast<double>(info.st_size) / (1024.0 * 1024.0);
    row(std::string(haveStatic ? "static" : "dynamic (no static build)") + " binary size",
        fixed(size, "MiB"), "<= 2 MiB (static)", haveStatic ? meets(size <= 2.0) : "n/a");
    row("  file: " + binary, "");
    const double stripped = strippedMiB(binary);
    if (stripped >= 0) {
        row("  the same, stripped", fixed(stripped, "MiB"), "<= 2 MiB (static)",
            haveStatic ? meets(stripped <= 2.0) : "n/a");
    }
}

// `poll`: one empty poll of the port as the program's run from application
// mode met it, in microseconds.
void printTable(const Settings &s, const ProgramRun &app, const ProgramRun &boot,
                const std::vector<ProgramRun> &alls, const WatchRun &watch, const Phase &floor,
                double poll, double procScan)
{
    std::printf("torvex-bench: %s, image %s (%zu bytes)\n\n", s.program.c_str(),
                s.imagePath.c_str(), s.image.size());
    row("measure", "value", "target", "verdict");
    printPhase("program", app.phases[0]);
    printPhase("floor client", floor);
    // Each reply ends with ten empty polls, each as long as this machine's
    // usleep(10): timer slack alone can make them a millisecond. What the
    // program adds beyond them is its own.
    const double overhead = (app.phases[0].wallMs - floor.wallMs) / app.phases[0].frames;
    const double ownOverhead = overhead - 10 * poll / 1000;
    row("program overhead per frame over the floor", fixed(overhead, "ms"));
    row("  of which its own, beyond 10 empty polls", fixed(ownOverhead, "ms"), "<= 0.5 ms",
        meets(ownOverhead <= 0.5));
    const double fromApp = seconds(app.child);
    row("update from application mode", fixed(fromApp, "s", 3), "<= 2.200 s (1.1 x 2 s)",
        meets(fromApp <= 2.2));
    row("  over its fixed pause of 2 s", fixed(fromApp - 2.0, "s", 3));
    const double fromBoot = seconds(boot.child);
    row("update from bootloader mode", fixed(fromBoot, "s", 3), "(fixed 3 x 1 s)",
        fromBoot <= 3.3 ? "within 1.1 x" : "over 1.1 x");
    row("  over its fixed pauses of 3 s", fixed(fromBoot - 3.0, "s", 3));
    printAll(alls, app);
    row("--watch, no dongle: CPU / wall over 10 s", fixed(watch.idleShare, "%", 2), "<= 1 %",
        meets(watch.idleShare >= 0 && watch.idleShare <= 1.0));
    row("--watch: a port appearing .. its first frame", fixed(watch.firstFrameMs, "ms", 0),
        "<= 1000 ms", meets(watch.firstFrameMs >= 0 && watch.firstFrameMs <= 1000));
    row("/proc look before a switch, " + std::to_string(scannedProcesses) + " processes",
        fixed(procScan, "ms"), "< 20 ms", meets(procScan >= 0 && procScan < 20));
    printResources(s, app, boot);
    row("where the time goes:", "");
    row("  one empty poll of the port: usleep(10) takes", fixed(poll, "us", 1));
    row("  end of each reply: 10 empty polls", fixed(10 * poll / 1000, "ms"));
    row("  simulator's 2 ms gap ending a data frame", fixed(2.0 * 30 / 45, "ms"), "(per frame)");
}

bool parseArgs(int argc, char **argv, Settings *s)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        std::string *field = arg == "--program"         ? &s->program
                             : arg == "--image"         ? &s->imagePath
                             : arg == "--static-binary" ? &s->staticBinary
                                                        : nullptr;
        if (field == nullptr) {
            return false;
        }
        *field = argv[i + 1];
    }
    return argc % 2 == 1 && sim::readBinaryFile(s->imagePath, &s->image) && !s->image.empty() &&
           access(s->program.c_str(), X_OK) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    if (!parseArgs(argc, argv, &s)) {
        std::cerr << "usage: torvex-bench [--program build-test/ZEL_USB_Flasher] [--image "
                     "firmware/CAN.bin] [--static-binary build-static/ZEL_USB_Flasher]\n";
        return 2;
    }
    std::string why;
    if (!sim::enterSandbox(&why)) {
        std::cerr << "torvex-bench: " << why << " (needs root)\n";
        return 2;
    }
    s.setserialDir = harness::makeSetserial();
    if (!sim::Stage().ok() || s.setserialDir.empty()) {
        std::cerr << "torvex-bench: cannot set up the device tree or the setserial stand-in\n";
        return 2;
    }
    // The sleep's length drifts with the machine's load: taken on both sides.
    const double pollBefore = usleepMicros();
    const ProgramRun app = runProgram(s, sim::Mode::Application);
    const double poll = (pollBefore + usleepMicros()) / 2;
    // Before the racks: a child's peak RSS counts what it shared with us before its exec.
    const ProgramRun boot = runProgram(s, sim::Mode::Bootloader);
    std::vector<ProgramRun> alls;
    for (const int dongles : racks) {
        alls.push_back(runProgram(s, sim::Mode::Application, "--all", dongles));
    }
    const WatchRun watch = runWatch(s);
    const Phase floor = runFloor(s);
    const double procScan = procScanMs(scannedProcesses);
    harness::removeSetserial(s.setserialDir);
    if (app.child.status != 0 || boot.child.status != 0 || app.flashesComplete != 1 ||
        boot.flashesComplete != 1 || !app.phases[0].ok || !floor.ok) {
        std::cerr << "torvex-bench: an update or the floor client failed; no figures\n";
        return 1;
    }
    printTable(s, app, boot, alls, watch, floor, poll, procScan);
    return 0;
}
