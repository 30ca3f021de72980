#include "outcome.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include "harness/child.h"
#include "sim/gadgetBus.h"
#include "sim/ptyBus.h"
#include "sim/sandbox.h"

namespace soak
{

namespace
{

std::string oneLine(const std::string &text)
{
    std::string line;
    for (const char c : text) {
        line += c == '\n' ? '|' : c;
    }
    return line;
}

void namePull(const Scenario &scenario, const sim::PullRecord &pull, Outcome *outcome)
{
    outcome->reached +=
        (outcome->reached.empty() ? "" : " ") + scenario.pullLabel + " at-" + pull.phase;
    if (scenario.dongle.pull.afterRelease && !pull.portAfter.empty()) {
        outcome->reached +=
            pull.portAfter == pull.portBefore ? " back-same-number" : " back-new-number";
    }
}

// The latest fault that the run reached names the cause of a failure: a run
// stops at its first failing frame, so faults before it did no harm alone.
// A pull counts after every frame that came in before it.
void nameFaults(const Scenario &scenario, std::size_t framesSeen, const sim::PullRecord &pull,
                int enumerationMs, Outcome *outcome)
{
    int latestFrame = -1;
    for (const auto &[frame, label] : scenario.labels) {
        if (static_cast<std::size_t>(frame) < framesSeen) {
            outcome->reached += (outcome->reached.empty() ? "" : " ") + label;
            outcome->cause = label;
            latestFrame = frame;
        }
    }
    if (pull.happened) {
        namePull(scenario, pull, outcome);
        if (pull.framesBefore > latestFrame) {
            outcome->cause = scenario.pullLabel;
        }
    }
    if (!outcome->cause.empty()) {
        return;
    }
    const bool late = scenario.dongle.startMode == sim::Mode::Application &&
                      scenario.dongle.reenumerateMs > lateBootloaderMs - enumerationMs;
    outcome->cause = late                            ? "late-bootloader"
                     : scenario.dongle.staleOnPlugIn ? "stale-on-plug-in"
                                                     : "no-fault-reached";
}

void show(const harness::ChildResult &run, const sim::Dongle &dongle)
{
    std::cout << "--- standard output\n" << run.out << "--- standard error\n" << run.err;
    std::cout << "--- frames\n";
    for (const auto &frame : dongle.frames()) {
        const auto at = frame.received.time_since_epoch();
        std::cout << std::setw(3) << frame.index << " "
                  << (frame.mode == sim::Mode::Application ? "app " : "boot") << " len "
                  << std::setw(4) << frame.bytes.size() << " fault " << std::setw(7) << frame.fault
                  << " reply "
                  << sim::toHex(std::vector<uint8_t>(frame.reply.begin(),
                                                     frame.reply.begin() +
                                                         std::min<long>(8, frame.reply.size())))
                  << (frame.reply.size() > 8 ? "..." : "") << " at "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(at).count() % 100000
                  << " ms\n";
    }
    const sim::PullRecord pull = dongle.pullRecord();
    if (pull.happened) {
        std::cout << "--- pulled after " << pull.framesBefore << " frames (" << pull.phase
                  << ") from " << pull.portBefore << ", back on "
                  << (pull.portAfter.empty() ? "(none)" : pull.portAfter) << "\n";
    }
}

long msBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

// Runs the flasher against a dongle already on its bus, and judges it.
Outcome runFlasher(const Scenario &scenario, const RunSetup &setup, sim::Dongle &dongle,
                   const std::vector<std::string> &env)
{
    Outcome outcome;
    harness::ChildOptions options;
    options.argv = {setup.program};
    if (scenario.verbose) {
        options.argv.emplace_back("--verbose");
    }
    options.env = env;
    options.limit = std::chrono::seconds(setup.limitSeconds);
    options.closeStdoutAfter = scenario.closeStdoutAfter;
    const harness::ChildResult run = harness::runChild(options);
    dongle.stop();

    outcome.harnessFailed = !run.started;
    outcome.status = run.status;
    outcome.signal = run.signal;
    outcome.timedOut = run.timedOut;
    outcome.flashComplete = dongle.flash() == setup.image;
    outcome.stdoutClosed = scenario.closeStdoutAfter >= 0;
    outcome.lastLine = lastLineOf(run.out);
    outcome.firstByte = scenario.dongle.replyByte < 0
                            ? "echo"
                            : sim::toHex({static_cast<uint8_t>(scenario.dongle.replyByte)});
    outcome.err = run.err;
    outcome.elapsedMs = msBetween(run.begin, run.end);
    std::chrono::steady_clock::time_point gone;
    if (dongle.disconnectedAt(&gone) && gone < run.end) {
        outcome.afterDisconnectMs = msBetween(gone, run.end);
    }
    const int enumerationMs = setup.bus == BusKind::Gadget ? gadgetEnumerationMs : 0;
    nameFaults(scenario, dongle.frames().size(), dongle.pullRecord(), enumerationMs, &outcome);
    if (setup.show) {
        show(run, dongle);
    }
    return outcome;
}

Outcome harnessFailure(const std::string &why)
{
    Outcome outcome;
    outcome.harnessFailed = true;
    outcome.err = why;
    return outcome;
}

Outcome runOnPty(const Scenario &scenario, const RunSetup &setup)
{
    std::string why;
    if (!sim::enterPrivateMountNamespace(&why)) {
        return harnessFailure(why);
    }
    sim::FakeDeviceTree tree;
    sim::PtyBus bus(scenario.place);
    sim::Dongle dongle(bus, scenario.dongle);
    if (!tree.ok() || !dongle.start()) {
        return harnessFailure(tree.ok() ? "no pseudo-terminal" : tree.error());
    }
    return runFlasher(scenario, setup, dongle, {harness::pathWith(setup.setserialDir)});
}

bool waitUntil(const std::function<bool()> &done, int ms)
{
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= ms) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool noHostPorts()
{
    bool none = true;
    if (DIR *dir = opendir("/sys/class/tty")) {
        while (const dirent *entry = readdir(dir)) {
            none = none && std::string(entry->d_name).rfind("ttyACM", 0) != 0;
        }
        closedir(dir);
    }
    return none;
}

// The real driver with the real setserial. Each run starts on a bus with no
// port left from the one before, so its ports get the numbers a dongle
// plugged into an idle machine gets, and the flasher starts once the host
// has enumerated the dongle, as on a pseudo-terminal.
Outcome runOnGadget(const Scenario &scenario, const RunSetup &setup)
{
    std::string why;
    sim::GadgetBus bus("torvex-soak", setup.udc);
    if (!waitUntil(noHostPorts, 3000)) {
        return harnessFailure("a ttyACM port from an earlier run is still there");
    }
    if (!bus.create(&why)) {
        return harnessFailure(why);
    }
    sim::Dongle dongle(bus, scenario.dongle);
    if (!dongle.start() || !waitUntil([&dongle] { return !dongle.hostPort().empty(); }, 3000)) {
        return harnessFailure("the gadget did not come up on the host: " + bus.error());
    }
    dongle.armPull();
    const std::string setserialErr =
        setup.setserialDir + "/stderr." + std::to_string(static_cast<long>(getpid()));
    Outcome outcome =
        runFlasher(scenario, setup, dongle,
                   {harness::pathWith(setup.setserialDir), "TORVEX_SETSERIAL_ERR=" + setserialErr});
    std::ifstream complaints(setserialErr);
    std::getline(complaints, outcome.setserialErr, '\0');
    unlink(setserialErr.c_str());
    return outcome;
}

} // namespace

std::string lastLineOf(const std::string &out)
{
    std::string text = out;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    const std::size_t start = text.rfind('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

Outcome runOnce(const Scenario &scenario, const RunSetup &setup)
{
    return setup.bus == BusKind::Gadget ? runOnGadget(scenario, setup) : runOnPty(scenario, setup);
}

std::string Outcome::serialise() const
{
    std::ostringstream text;
    text << "harness=" << harnessFailed << "\nstatus=" << status << "\nsignal=" << signal
         << "\ntimed_out=" << timedOut << "\nflash_complete=" << flashComplete
         << "\nstdout_closed=" << stdoutClosed << "\nelapsed_ms=" << elapsedMs
         << "\nafter_disconnect_ms=" << afterDisconnectMs << "\ncause=" << cause
         << "\nreached=" << reached << "\nfirst_byte=" << firstByte
         << "\nlast_line=" << oneLine(lastLine) << "\nerr=" << oneLine(err)
         << "\nsetserial_err=" << oneLine(setserialErr) << "\n";
    if (multi) {
        text << "multi=1\ndongles=" << dongles << "\nflashers=" << flashers
             << "\nselectors=" << selectors << "\nflasher_successes=" << flasherSuccesses
             << "\nflasher_failures=" << flasherFailures << "\ndongles_updated=" << donglesUpdated
             << "\nhigh_ports_opened=" << highPortsOpened << "\nrewritten=" << rewritten
             << "\nevery_dongle_expected=" << everyDongleExpected << "\ndraws=" << draws
             << "\nbreaches=" << oneLine(breaches) << "\n";
    }
    return text.str();
}

Outcome Outcome::parse(const std::string &text)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) {
            fields[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    Outcome o;
    o.harnessFailed = fields.count("harness") == 0 || fields["harness"] != "0";
    o.status = std::atoi(fields["status"].c_str());
    o.signal = std::atoi(fields["signal"].c_str());
    o.timedOut = fields["timed_out"] == "1";
    o.flashComplete = fields["flash_complete"] == "1";
    o.stdoutClosed = fields["stdout_closed"] == "1";
    o.elapsedMs = std::atol(fields["elapsed_ms"].c_str());
    o.afterDisconnectMs = fields.count("after_disconnect_ms") == 0
                              ? -1
                              : std::atol(fields["after_disconnect_ms"].c_str());
    o.cause = fields["cause"];
    o.reached = fields["reached"];
    o.firstByte = fields["first_byte"];
    o.lastLine = fields["last_line"];
    o.err = fields["err"];
    o.setserialErr = fields["setserial_err"];
    o.multi = fields["multi"] == "1";
    o.dongles = std::atoi(fields["dongles"].c_str());
    o.flashers = std::atoi(fields["flashers"].c_str());
    o.selectors = fields["selectors"];
    o.flasherSuccesses = std::atoi(fields["flasher_successes"].c_str());
    o.flasherFailures = std::atoi(fields["flasher_failures"].c_str());
    o.donglesUpdated = std::atoi(fields["dongles_updated"].c_str());
    o.highPortsOpened = std::atoi(fields["high_ports_opened"].c_str());
    o.rewritten = std::atoi(fields["rewritten"].c_str());
    o.everyDongleExpected = fields["every_dongle_expected"] == "1";
    o.draws = fields["draws"];
    o.breaches = fields["breaches"];
    return o;
}

void Tally::breach(long index, const std::string &what, const Outcome &outcome)
{
    std::ostringstream line;
    line << "run " << index << ": " << what << " (status " << outcome.status << ", signal "
         << outcome.signal << ", flash " << (outcome.flashComplete ? "complete" : "incomplete")
         << ", faults reached: " << (outcome.reached.empty() ? "none" : outcome.reached)
         << ", reply first byte: " << outcome.firstByte << ", last line: '" << outcome.lastLine
         << "', stderr: '" << outcome.err << "')";
    problems_.push_back(line.str());
}

void Tally::addMulti(long index, const Outcome &o)
{
    ++multi_.runs;
    multi_.dongles += o.dongles;
    multi_.flashers += o.flashers;
    std::istringstream selectors(o.selectors);
    for (std::string name; selectors >> name;) {
        ++multi_.selectors[name];
    }
    std::istringstream reached(o.reached);
    for (std::string name; reached >> name;) {
        ++multi_.reachedByFault[name];
    }
    std::istringstream draws(o.draws);
    for (std::string name; draws >> name;) {
        ++multi_.draws[name];
    }
    multi_.successes += o.flasherSuccesses;
    multi_.failures += o.flasherFailures;
    multi_.donglesUpdated += o.donglesUpdated;
    multi_.expectedRuns += o.everyDongleExpected ? 1 : 0;
    multi_.highPortsOpened += o.highPortsOpened;
    multi_.runsReachingHighPorts += o.highPortsOpened > 0 ? 1 : 0;
    multi_.rewritten += o.rewritten;
    if (o.harnessFailed) {
        ++multi_.breaches;
        problems_.push_back("run " + std::to_string(index) +
                            ": the rig could not run it (several dongles): " + o.err);
    } else if (!o.breaches.empty()) {
        ++multi_.breaches;
        problems_.push_back("run " + std::to_string(index) + " (several dongles): " + o.breaches);
    }
}

void Tally::add(long index, uint64_t /*seed*/, const Outcome &o)
{
    if (o.multi) {
        addMulti(index, o);
        return;
    }
    ++runs_;
    longest_ = std::max(longest_, o.elapsedMs);
    std::istringstream reached(o.reached);
    for (std::string name; reached >> name;) {
        ++reachedByFault_[name];
    }
    closedStdout_ += o.stdoutClosed ? 1 : 0;
    echoingDongles_ += o.firstByte == "echo" ? 1 : 0;
    setserialComplained_ += o.setserialErr.empty() ? 0 : 1;
    if (o.harnessFailed) {
        ++breaches_;
        breach(index, "the rig could not run it", o);
        return;
    }
    if (o.timedOut) {
        ++hangs_;
        breach(index, "HANG", o);
        return;
    }
    if (o.signal != 0) {
        ++crashes_;
        breach(index, "CRASH", o);
        return;
    }
    if (!o.err.empty()) {
        ++breaches_;
        breach(index, "wrote to standard error", o);
    }
    if (o.afterDisconnectMs >= 0) {
        ++disconnectedRuns_;
        longestAfterDisconnect_ = std::max(longestAfterDisconnect_, o.afterDisconnectMs);
        if (o.afterDisconnectMs > verdictBoundMs) {
            ++breaches_;
            breach(index, "ended " + std::to_string(o.afterDisconnectMs) + " ms after a disconnect",
                   o);
        }
    }
    if (o.status == 0) {
        if (!o.flashComplete) {
            ++falseSuccesses_;
            falseSuccessesNoEcho_ += o.firstByte == "echo" ? 0 : 1;
            breach(index, "FALSE SUCCESS", o);
        } else {
            ++successes_;
        }
        if (!o.stdoutClosed && o.lastLine != successVerdict) {
            ++breaches_;
            breach(index, "success without its verdict line", o);
        }
        return;
    }
    if (o.status != 255) {
        ++breaches_;
        breach(index, "exit status other than 0 or 255", o);
        return;
    }
    ++failures_;
    ++failuresByCause_[o.cause];
    if (o.cause == "no-fault-reached") {
        unexplained_.push_back(index);
    }
    safeFailures_ += o.flashComplete ? 1 : 0;
    if (!o.stdoutClosed && o.lastLine != failureVerdict) {
        ++breaches_;
        breach(index, "failure without its verdict line", o);
    }
}

bool Tally::invariantsHeld() const
{
    return falseSuccesses_ == 0 && hangs_ == 0 && crashes_ == 0 && breaches_ == 0 &&
           multi_.breaches == 0;
}

void Tally::printMulti(std::ostream &out) const
{
    out << "runs with several dongles:           " << multi_.runs << "\n"
        << "  dongles                            " << multi_.dongles << "\n"
        << "    of which updated                 " << multi_.donglesUpdated << "\n"
        << "  flashers                           " << multi_.flashers << "\n"
        << "    successes                        " << multi_.successes << "\n"
        << "    failures (verdict, status 255)   " << multi_.failures << "\n"
        << "  runs with a breach                 " << multi_.breaches << "\n"
        << "  runs where every dongle must end updated " << multi_.expectedRuns << "\n"
        << "  ports above ttyACM9 opened         " << multi_.highPortsOpened << " (in "
        << multi_.runsReachingHighPorts << " runs)\n"
        << "  dongles written again after an earlier writer ended " << multi_.rewritten << "\n"
        << "  flashers by selector:\n";
    for (const auto &[name, count] : multi_.selectors) {
        out << "    " << std::left << std::setw(18) << name << std::right << std::setw(5) << count
            << "\n";
    }
    out << "  faults reached (dongles):\n";
    for (const auto &[name, count] : multi_.reachedByFault) {
        out << "    " << std::left << std::setw(18) << name << std::right << std::setw(5) << count
            << "\n";
    }
    out << "  draws (dongles, runs) and what the flashers said (flashers, dongles):\n";
    for (const auto &[name, count] : multi_.draws) {
        out << "    " << std::left << std::setw(26) << name << std::right << std::setw(5) << count
            << "\n";
    }
}

void Tally::print(std::ostream &out, uint64_t seed, int jobs, long seconds) const
{
    out << "soak: " << runs_ + multi_.runs << " runs, seed " << seed << ", " << jobs << " at once, "
        << seconds << " s, longest run " << longest_ << " ms\n"
        << "runs with one dongle:                " << runs_ << "\n"
        << "  successes                          " << successes_ << "\n"
        << "  false successes                    " << falseSuccesses_ << "\n"
        << "    of which by a dongle not echoing " << falseSuccessesNoEcho_ << "\n"
        << "  hangs                              " << hangs_ << "\n"
        << "  crashes                            " << crashes_ << "\n"
        << "  other invariant breaches           " << breaches_ << "\n"
        << "  failures (verdict, status 255)     " << failures_ << "\n"
        << "    of which safe: flash complete    " << safeFailures_ << "\n"
        << "  runs whose reader closed stdout    " << closedStdout_ << "\n"
        << "  dongles echoing the command byte   " << echoingDongles_ << "\n"
        << "  dongles starting replies otherwise " << runs_ - echoingDongles_ << "\n"
        << "  runs where setserial complained    " << setserialComplained_ << "\n"
        << "  runs with a disconnect             " << disconnectedRuns_ << "\n"
        << "    longest disconnect to verdict    " << longestAfterDisconnect_ << " ms (bound "
        << verdictBoundMs << " ms)\n"
        << "failures by cause (latest fault the run reached):\n";
    for (const auto &[cause, count] : failuresByCause_) {
        out << "  " << std::left << std::setw(20) << cause << std::right << std::setw(5) << count
            << "\n";
    }
    out << "faults reached (runs):\n";
    for (const auto &[name, count] : reachedByFault_) {
        out << "  " << std::left << std::setw(20) << name << std::right << std::setw(5) << count
            << "\n";
    }
    if (multi_.runs > 0) {
        printMulti(out);
    }
    if (!unexplained_.empty()) {
        out << "failed with no fault reached (slow replies under load?), runs:";
        for (const long index : unexplained_) {
            out << " " << index;
        }
        out << "\n";
    }
    for (const auto &problem : problems_) {
        out << problem << "\n";
    }
    if (!problems_.empty()) {
        out << "replay one with: " << replayCommand_ << " --seed " << seed << " --replay <run>\n";
    }
    out << (invariantsHeld() ? "soak: every invariant held\n" : "soak: INVARIANTS BROKEN\n");
}

} // namespace soak
