// torvex-sim: plays a Torvex dongle on a pseudo-terminal and runs a program
// against it, in a private mount namespace where the dongle's port is the
// only /dev/ttyACM* there is.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/dongle.h"
#include "sim/ptyBus.h"
#include "sim/runner.h"
#include "sim/sandbox.h"

namespace
{

const char usage[] =
    "usage: torvex-sim [options] -- PROGRAM [ARGS...]\n"
    "  --mode application|bootloader  mode the dongle starts in (default application)\n"
    "  --reenumerate-ms N             time the dongle takes to come back after a switch (500)\n"
    "  --no-restart                   the new application never starts after 'boot'\n"
    "  --stale-on-plug-in             junk waits in every new port before it is opened\n"
    "  --reply-byte HEX|echo          first byte of the bootloader's replies (echo: the\n"
    "                                 command's own byte, the default)\n"
    "  --fault FRAME:KIND[:ARGS]      fault for one frame (frames count from 0), kinds:\n"
    "                                 ignore, drop, delay:MS, replace:HEX, split:N:MS,\n"
    "                                 stale:MS:HEX, unplug, corrupt,\n"
    "                                 flood:MS[:AFTER_MS]\n"
    "  --expect IMAGE                 after the run, compare the dongle's flash with IMAGE\n"
    "  --report FILE                  write the outcome as key=value lines to FILE\n"
    "  --limit SECONDS                kill the program after this long (60)\n"
    "exit status: the program's, or 3 when it reported success but the flash differs from\n"
    "IMAGE, 4 when it hung, 2 on a usage or set-up error\n";

struct Settings {
    sim::DongleOptions dongle;
    std::string expectPath;
    std::string reportPath;
    int limitSeconds = 60;
    std::vector<std::string> program;
};

bool parseOption(const std::string &arg, const char *value, Settings *s, std::string *why)
{
    if (sim::isDongleOption(arg) && value != nullptr) {
        return sim::parseDongleOption(arg, value, &s->dongle, why);
    }
    if (arg == "--expect" && value != nullptr) {
        s->expectPath = value;
        return true;
    }
    if (arg == "--report" && value != nullptr) {
        s->reportPath = value;
        return true;
    }
    if (arg == "--limit" && value != nullptr) {
        s->limitSeconds = std::atoi(value);
        return s->limitSeconds > 0;
    }
    *why = "unknown option or missing value: " + arg;
    return false;
}

bool parseArgs(int argc, char **argv, Settings *s, std::string *why)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            s->program.assign(argv + i + 1, argv + argc);
            return !s->program.empty() || (*why = "no program given", false);
        }
        if (arg == "--no-restart") {
            s->dongle.applicationRestarts = false;
        } else if (arg == "--stale-on-plug-in") {
            s->dongle.staleOnPlugIn = true;
        } else if (!parseOption(arg, i + 1 < argc ? argv[i + 1] : nullptr, s, why)) {
            return false;
        } else {
            ++i;
        }
    }
    *why = "no program given (put it after --)";
    return false;
}

void writeReport(const Settings &s, const sim::RunResult &run, const sim::Dongle &dongle,
                 int flashMatches)
{
    if (s.reportPath.empty()) {
        return;
    }
    std::ofstream report(s.reportPath);
    report << "status=" << run.status << "\nsignal=" << run.signal << "\ntimed_out=" << run.timedOut
           << "\nelapsed_ms=" << run.elapsed.count() << "\nflash_matches=" << flashMatches
           << "\nflash_bytes=" << dongle.flash().size()
           << "\npages_rejected=" << dongle.pagesRejected() << "\nframes=" << dongle.frames().size()
           << "\n";
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
    if (!sim::enterPrivateMountNamespace(&why)) {
        std::cerr << "torvex-sim: " << why << " (needs root or user namespaces)\n";
        return 2;
    }
    sim::FakeDeviceTree tree;
    if (!tree.ok()) {
        std::cerr << "torvex-sim: " << tree.error() << "\n";
        return 2;
    }
    sim::PtyBus bus;
    sim::Dongle dongle(bus, settings.dongle);
    if (!dongle.start()) {
        std::cerr << "torvex-sim: cannot create a pseudo-terminal\n";
        return 2;
    }
    std::cerr << "torvex-sim: dongle in "
              << (settings.dongle.startMode == sim::Mode::Application ? "application"
                                                                      : "bootloader")
              << " mode on " << dongle.hostPort() << "\n";
    sim::RunOptions run;
    run.argv = settings.program;
    run.capture = false;
    run.limit = std::chrono::seconds(settings.limitSeconds);
    const sim::RunResult result = sim::runProgram(run);
    dongle.stop();

    const bool matches = dongle.flash() == expected;
    writeReport(settings, result, dongle, settings.expectPath.empty() ? -1 : (matches ? 1 : 0));
    if (result.timedOut) {
        std::cerr << "torvex-sim: the program did not finish within " << settings.limitSeconds
                  << " s\n";
        return 4;
    }
    if (!settings.expectPath.empty()) {
        std::cerr << "torvex-sim: the dongle's flash " << (matches ? "equals" : "differs from")
                  << " " << settings.expectPath << " (" << dongle.flash().size() << " of "
                  << expected.size() << " bytes written, " << dongle.pagesRejected()
                  << " pages rejected)\n";
        if (result.status == 0 && !matches) {
            return 3;
        }
    }
    return result.status;
}
