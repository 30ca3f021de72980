// torvex-gadget: plays a Torvex dongle on a USB device controller through a
// configfs ACM gadget, for tests against the kernel's real cdc_acm driver
// (dummy_hcd connects both ends inside one machine). Serves until it gets
// SIGTERM or SIGINT, until the time limit, or until the new application has
// come back after a "boot" command; then writes its report.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "sim/stage.h"

namespace
{

const char usage[] =
    "usage: torvex-gadget [options]\n"
    "  --mode application|bootloader  mode the dongle starts in (default application)\n"
    "  --reenumerate-ms N             time the dongle takes to come back after a switch (500)\n"
    "  --reply-byte HEX|echo          first byte of the bootloader's replies (echo: the\n"
    "                                 command's own byte, the default)\n"
    "  --fault FRAME:KIND[:ARGS]      fault for one frame (frames count from 0), kinds:\n"
    "                                 ignore, drop, delay:MS, replace:HEX, split:N:MS,\n"
    "                                 stale:MS:HEX, unplug\n"
    "  --limit SECONDS                stop serving after this long (60)\n"
    "  --expect IMAGE                 at the end, compare the dongle's flash with IMAGE\n"
    "  --report FILE                  write the outcome as key=value lines to FILE\n"
    "  --udc NAME                     device controller to bind to (default: the first)\n"
    "  --name NAME                    the gadget's name in configfs, one per dongle (torvex)\n"
    "  --serial S                     USB serial number in application mode (TVX0001;\n"
    "                                 empty: none)\n"
    "  --bootloader-serial S          USB serial number in bootloader mode (TVX0001;\n"
    "                                 empty: none)\n"
    "exit status: 0, or 3 when the flash differs from IMAGE, 2 on a usage or set-up error\n";

using Clock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

volatile sig_atomic_t stopSignal = 0;

void onSignal(int signal)
{
    stopSignal = signal;
}

struct Settings {
    sim::DongleOptions dongle;
    std::string expectPath;
    std::string reportPath;
    std::string udc;
    std::string name = "torvex";
    std::string serial = "TVX0001";
    std::string bootloaderSerial = "TVX0001";
    int limitSeconds = 60;
};

// What happened while serving, for the report.
struct Outcome {
    std::string ended;
    std::string ports; // "mode:/dev/ttyACMn" each time the host's port changed, spaced
};

bool parseOption(const std::string &arg, const char *value, Settings *s, std::string *why)
{
    if (value == nullptr) {
        *why = "unknown option or missing value: " + arg;
        return false;
    }
    std::string *field = arg == "--expect"              ? &s->expectPath
                         : arg == "--report"            ? &s->reportPath
                         : arg == "--udc"               ? &s->udc
                         : arg == "--name"              ? &s->name
                         : arg == "--serial"            ? &s->serial
                         : arg == "--bootloader-serial" ? &s->bootloaderSerial
                                                        : nullptr;
    if (field == nullptr && sim::isDongleOption(arg)) {
        return sim::parseDongleOption(arg, value, &s->dongle, why);
    }
    if (arg == "--limit") {
        s->limitSeconds = std::atoi(value);
        return s->limitSeconds > 0 || (*why = "bad --limit", false);
    }
    if (field == nullptr) {
        *why = "unknown option: " + arg;
        return false;
    }
    *field = value;
    return true;
}

bool parseArgs(int argc, char **argv, Settings *s, std::string *why)
{
    for (int i = 1; i < argc; i += 2) {
        if (!parseOption(argv[i], i + 1 < argc ? argv[i + 1] : nullptr, s, why)) {
            return false;
        }
    }
    return true;
}

// True once the dongle has answered "boot" and its new application is back
// on the host under the application identifier.
bool applicationRestarted(const sim::Dongle &dongle, const std::string &port)
{
    if (dongle.mode() != sim::Mode::Application || port.empty()) {
        return false; // the frames are copied only once it may have happened
    }
    const std::vector<sim::FrameRecord> frames = dongle.frames();
    return std::any_of(frames.begin(), frames.end(), [](const sim::FrameRecord &frame) {
        return frame.mode == sim::Mode::Bootloader && !frame.bytes.empty() &&
               frame.bytes[0] == 0x67 && frame.reply.size() == 3 && frame.reply[1] == 'O' &&
               frame.reply[2] == 'K';
    });
}

// Watches the host's side of the link until it is time to stop.
Outcome serve(const sim::Dongle &dongle, int limitSeconds)
{
    Outcome outcome;
    std::string last;
    const auto deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    while (outcome.ended.empty()) {
        const std::string port = dongle.hostPort();
        const std::string seen =
            port.empty() ? "" : std::string(sim::nameOf(dongle.mode())) + ":" + port;
        if (!seen.empty() && seen != last) {
            std::cerr << "torvex-gadget: " << sim::nameOf(dongle.mode()) << " mode on " << port
                      << "\n";
            outcome.ports += (outcome.ports.empty() ? "" : " ") + seen;
        }
        last = seen;
        if (stopSignal != 0) {
            outcome.ended = "signal";
        } else if (applicationRestarted(dongle, port)) {
            outcome.ended = "restarted";
        } else if (Clock::now() >= deadline) {
            outcome.ended = "limit";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return outcome;
}

long long epochMs(Clock::time_point when)
{
    const auto then =
        SystemClock::now() - std::chrono::duration_cast<SystemClock::duration>(Clock::now() - when);
    return std::chrono::duration_cast<std::chrono::milliseconds>(then.time_since_epoch()).count();
}

// The moment the dongle was pulled out by an "unplug" fault, or 0.
long long unplugEpochMs(const sim::Dongle &dongle)
{
    for (const auto &frame : dongle.frames()) {
        if (frame.fault.rfind("unplug", 0) == 0) {
            return epochMs(frame.received);
        }
    }
    return 0;
}

void writeReport(const Settings &s, const Outcome &outcome, const sim::Dongle &dongle,
                 int flashMatches)
{
    if (s.reportPath.empty()) {
        return;
    }
    std::ofstream report(s.reportPath);
    report << "ended=" << outcome.ended << "\nstart_mode=" << sim::nameOf(s.dongle.startMode)
           << "\nfinal_mode=" << sim::nameOf(dongle.mode()) << "\nports=" << outcome.ports
           << "\nframes=" << dongle.frames().size() << "\nflash_bytes=" << dongle.flash().size()
           << "\nflash_matches=" << flashMatches << "\npages_rejected=" << dongle.pagesRejected()
           << "\nunplugged_at_ms=" << unplugEpochMs(dongle) << "\n";
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    std::string why;
    std::vector<uint8_t> expected;
    if (!parseArgs(argc, argv, &settings, &why)) {
        std::cerr << "torvex-gadget: " << why << "\n" << usage;
        return 2;
    }
    if (!settings.expectPath.empty() && !sim::readBinaryFile(settings.expectPath, &expected)) {
        std::cerr << "torvex-gadget: cannot read " << settings.expectPath << "\n";
        return 2;
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    sim::Stage stage(settings.name, {settings.udc});
    sim::Dongle &dongle =
        stage.plugIn(settings.dongle, {false, "", settings.serial, settings.bootloaderSerial});
    if (!stage.ok()) {
        std::cerr << "torvex-gadget: " << stage.error() << "\n";
        return 2;
    }
    const Outcome outcome = serve(dongle, settings.limitSeconds);
    dongle.stop();
    const bool matches = dongle.flash() == expected;
    writeReport(settings, outcome, dongle,
                settings.expectPath.empty() ? -1 : static_cast<int>(matches));
    std::cerr << "torvex-gadget: stopped (" << outcome.ended << ") after " << dongle.frames().size()
              << " frames, " << dongle.flash().size() << " bytes in flash\n";
    return settings.expectPath.empty() || matches ? 0 : 3;
}
