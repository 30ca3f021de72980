// torvex-soak: runs the flasher many times against simulated dongles, each
// run (its dongles, their faults, its flashers) drawn from a seed, several
// runs at once, each in a worker process and a mount namespace of its own.
// A worker judges its run (judge.cpp) and hands the outcome on as JSON; the
// soak sums the figures and lists the breaches.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iomanip>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "harness/child.h"
#include "judge.h"
#include "run.h"
#include "sim/stage.h"

namespace soak
{
// Outcomes go from the process that ran a run to the soak, and to the file
// the kernel soak's guests keep, as one line of JSON each.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Outcome, dongles, breaches, counts, longest, cause)
} // namespace soak

namespace
{

using Clock = std::chrono::steady_clock;

soak::Outcome parseOutcome(const std::string &text)
{
    try {
        return nlohmann::json::parse(text).get<soak::Outcome>();
    } catch (const nlohmann::json::exception &e) {
        return soak::rigFailure("its outcome did not come whole: " + std::string(e.what()));
    }
}

// The program's output in a breach need not be UTF-8.
std::string dump(const soak::Outcome &outcome)
{
    return nlohmann::json(outcome).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const char usage[] =
    "usage: torvex-soak [options]\n"
    "  --program PATH     the flasher to run (build-test/ZEL_USB_Flasher)\n"
    "  --image PATH       the image it carries (firmware/CAN.bin)\n"
    "  --seed S           seed of the soak (default: from the clock)\n"
    "  --runs N           number of runs (100)\n"
    "  --seconds T        start no run after T seconds (no bound)\n"
    "  --jobs J           runs at once (6)\n"
    "  --limit SECONDS    a run that takes longer has hung (30)\n"
    "  --replay N         run only run N of the seed, showing all it did\n"
    "  --several          give every run several dongles (default: one run in three)\n"
    "  --bus pty|gadget   the dongle on a pseudo-terminal (default), or as a USB gadget\n"
    "                     under the kernel's cdc_acm (root, configfs, a UDC: the QEMU guest)\n"
    "  --udc NAME         with --bus gadget: the device controller (default: the first)\n"
    "  --shard K/N        do only the runs whose number is K modulo N\n"
    "  --outcomes FILE    also append each run's outcome to FILE\n"
    "  --merge FILE       judge the outcomes in FILE (repeatable) instead of running\n"
    "  --wall SECONDS     with --merge: the wall time to report\n"
    "exit status: 0 when every invariant held, 1 when one broke, 2 on a usage error\n";

struct Settings {
    std::string program = "build-test/ZEL_USB_Flasher";
    std::string imagePath = "firmware/CAN.bin";
    uint64_t seed = 0;
    long runs = 100;
    long seconds = 0;
    int jobs = 6;
    int limitSeconds = 30;
    long replay = -1;
    bool several = false;
    soak::BusKind bus = soak::BusKind::Pty;
    std::string udc;
    long shardIndex = 0;
    long shardCount = 1;
    std::string outcomesPath;
    std::vector<std::string> mergePaths;
    long wallSeconds = 0;
    std::vector<uint8_t> image;
    std::vector<std::string> argv; // a worker's, but for its run
    long worker = -1;              // the run a worker does
};

bool parseArgs(int argc, char **argv, Settings *s)
{
    s->seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) % 1000000007ULL;
    std::string bus = "pty";
    std::string shard = "0/1";
    using Set = std::function<void(const char *)>;
    const std::map<std::string, Set> options = {
        {"--program", [s](const char *v) { s->program = v; }},
        {"--image", [s](const char *v) { s->imagePath = v; }},
        {"--seed", [s](const char *v) { s->seed = std::strtoull(v, nullptr, 10); }},
        {"--runs", [s](const char *v) { s->runs = std::atol(v); }},
        {"--seconds", [s](const char *v) { s->seconds = std::atol(v); }},
        {"--jobs", [s](const char *v) { s->jobs = std::atoi(v); }},
        {"--limit", [s](const char *v) { s->limitSeconds = std::atoi(v); }},
        {"--replay", [s](const char *v) { s->replay = std::atol(v); }},
        {"--bus", [&bus](const char *v) { bus = v; }},
        {"--udc", [s](const char *v) { s->udc = v; }},
        {"--shard", [&shard](const char *v) { shard = v; }},
        {"--outcomes", [s](const char *v) { s->outcomesPath = v; }},
        {"--merge", [s](const char *v) { s->mergePaths.emplace_back(v); }},
        {"--wall", [s](const char *v) { s->wallSeconds = std::atol(v); }},
        {"--worker", [s](const char *v) { s->worker = std::atol(v); }}};
    for (int i = 1; i < argc; ++i) {
        const auto option = options.find(argv[i]);
        s->several = s->several || std::string(argv[i]) == "--several";
        if (option != options.end() && i + 1 < argc) {
            option->second(argv[++i]);
        } else if (std::string(argv[i]) != "--several") {
            return false;
        }
    }
    s->bus = bus == "gadget" ? soak::BusKind::Gadget : soak::BusKind::Pty;
    char slash = 0;
    std::istringstream(shard) >> s->shardIndex >> slash >> s->shardCount;
    return s->runs > 0 && s->jobs > 0 && s->limitSeconds > 0 && (bus == "pty" || bus == "gadget") &&
           slash == '/' && s->shardCount > 0 && s->shardIndex >= 0 && s->shardIndex < s->shardCount;
}

soak::Run runOf(const Settings &s, long index)
{
    return soak::drawRun(soak::runSeed(s.seed, static_cast<uint64_t>(index)), s.bus, s.several);
}

std::string replayCommand(const Settings &s)
{
    return s.bus == soak::BusKind::Gadget ? "torvex-soak --bus gadget (in the guest)"
           : s.several                    ? "torvex-soak --several"
                                          : "torvex-soak";
}

// The figures of a soak and the runs that broke an invariant.
class Tally
{
  public:
    explicit Tally(const Settings &s) : seed_(s.seed), replay_(replayCommand(s)) {}

    void add(long index, const soak::Outcome &o)
    {
        Section &section = o.dongles > 1 ? several_ : one_;
        ++section.runs;
        for (const auto &[key, count] : o.counts) {
            section.counts[key] += count;
        }
        for (const auto &[key, ms] : o.longest) {
            section.longest[key] = std::max(section.longest[key], ms);
        }
        for (const auto &breach : o.breaches) {
            problems_.push_back("run " + std::to_string(index) +
                                (o.dongles > 1 ? " (several dongles): " : ": ") + breach);
        }
        if (o.cause == "no-fault-reached") {
            unexplained_.push_back(index);
        }
    }

    // Prints the figures and breaches; returns the soak's exit status.
    int report(std::ostream &out, int jobs, long seconds) const
    {
        out << "soak: " << one_.runs + several_.runs << " runs, seed " << seed_ << ", " << jobs
            << " at once, " << seconds << " s\n";
        print(out, "runs with one dongle", one_);
        print(out, "runs with several dongles", several_);
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
            out << "replay one with: " << replay_ << " --seed " << seed_ << " --replay <run>\n";
        }
        out << (problems_.empty() ? "soak: every invariant held\n" : "soak: INVARIANTS BROKEN\n");
        return problems_.empty() ? 0 : 1;
    }

  private:
    struct Section {
        long runs = 0;
        std::map<std::string, long> counts;
        std::map<std::string, long> longest;
    };

    // "group: name" figures under their group's heading.
    static void print(std::ostream &out, const char *title, const Section &s)
    {
        out << title << ": " << s.runs << "\n";
        std::string group;
        for (const auto &[key, count] : s.counts) {
            const std::size_t colon = key.find(": ");
            const std::string heading = colon == std::string::npos ? "" : key.substr(0, colon);
            if (!heading.empty() && heading != group) {
                out << "  " << heading << ":\n";
            }
            group = heading;
            out << (heading.empty() ? "  " : "    ") << std::left
                << std::setw(heading.empty() ? 48 : 46)
                << (heading.empty() ? key : key.substr(colon + 2)) << std::right << std::setw(6)
                << count << "\n";
        }
        for (const auto &[key, ms] : s.longest) {
            out << "  " << std::left << std::setw(48) << key << std::right << std::setw(6) << ms
                << "\n";
        }
    }

    Section one_;
    Section several_;
    std::vector<std::string> problems_;
    std::vector<long> unexplained_;
    uint64_t seed_;
    std::string replay_;
};

// A worker is this program again, doing one run in its own mount namespace
// and printing its outcome last, as JSON; with --replay, after all it did.
soak::Outcome runWorker(const Settings &s, long index)
{
    harness::ChildOptions options;
    options.argv = s.argv;
    options.argv.insert(options.argv.end(),
                        {"--seed", std::to_string(s.seed), "--worker", std::to_string(index)});
    options.limit = std::chrono::seconds(s.limitSeconds + 30);
    const harness::ChildResult result = harness::runChild(options);
    const std::size_t last = result.out.rfind('\n', result.out.size() - 2) + 1;
    if (s.replay >= 0) {
        std::cout << result.out.substr(0, last) << result.err;
    }
    return result.timedOut      ? soak::rigFailure("it did not end in time")
           : result.status != 0 ? soak::rigFailure("its worker failed: " + result.err)
                                : parseOutcome(result.out.substr(last));
}

// One record per run: "run=N", then the outcome.
void keepOutcome(const Settings &s, long index, const soak::Outcome &outcome)
{
    if (!s.outcomesPath.empty()) {
        std::ofstream(s.outcomesPath, std::ios::app) << "run=" << index << "\n"
                                                     << dump(outcome) << "\n";
    }
}

// The soak's runs, or with --replay the one run, showing all it did.
int soakAll(const Settings &s)
{
    const bool replay = s.replay >= 0;
    if (replay) {
        std::cout << "run " << s.replay << " of seed " << s.seed << ": "
                  << soak::describe(runOf(s, s.replay), s.program) << "\n";
    }
    Tally tally(s);
    std::vector<std::pair<long, std::future<soak::Outcome>>> running;
    const auto begin = Clock::now();
    long next = replay ? s.replay : s.shardIndex;
    for (const long end = replay ? s.replay + 1 : s.runs;;) {
        const bool timeLeft =
            s.seconds <= 0 || Clock::now() - begin < std::chrono::seconds(s.seconds);
        for (; timeLeft && next < end && static_cast<int>(running.size()) < s.jobs;
             next += s.shardCount) {
            running.emplace_back(next, std::async(std::launch::async, runWorker, s, next));
        }
        if (running.empty()) {
            break;
        }
        const auto done = std::find_if(running.begin(), running.end(), [](const auto &run) {
            return run.second.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready;
        });
        if (done != running.end()) {
            const soak::Outcome outcome = done->second.get();
            tally.add(done->first, outcome);
            keepOutcome(s, done->first, outcome);
            running.erase(done);
        }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin);
    return tally.report(std::cout, replay ? 1 : s.jobs, elapsed.count());
}

// A worker's run, with the setserial stand-in its flashers find first in PATH.
int doRun(const Settings &s)
{
    const std::string setserialDir = harness::makeSetserial();
    if (setserialDir.empty()) {
        std::cerr << "torvex-soak: cannot make a stand-in for setserial\n";
        return 2;
    }
    const soak::RunSetup setup{s.program,     s.image, setserialDir, s.limitSeconds,
                               s.replay >= 0, s.bus,   s.udc};
    std::cout << dump(soak::runOnce(runOf(s, s.worker), setup)) << "\n";
    harness::removeSetserial(setserialDir);
    return 0;
}

// Judges the runs that several soaks (one per guest) kept, as one soak.
int mergeAll(const Settings &s)
{
    Tally tally(s);
    for (const auto &path : s.mergePaths) {
        std::ifstream in(path);
        long index = -1;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("run=", 0) == 0) {
                index = std::atol(line.c_str() + 4);
            } else if (index >= 0) {
                tally.add(index, parseOutcome(line));
                index = -1;
            }
        }
    }
    return tally.report(std::cout, static_cast<int>(s.mergePaths.size()), s.wallSeconds);
}

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    s.argv.assign(argv, argv + argc);
    s.argv[0] = "/proc/self/exe";
    if (!parseArgs(argc, argv, &s)) {
        std::cerr << usage;
        return 2;
    }
    if (!s.mergePaths.empty()) {
        return mergeAll(s);
    }
    if (!sim::readBinaryFile(s.imagePath, &s.image) || access(s.program.c_str(), X_OK) != 0) {
        std::cerr << "torvex-soak: cannot read " << s.imagePath << " or run " << s.program << "\n";
        return 2;
    }
    return s.worker >= 0 ? doRun(s) : soakAll(s);
}
