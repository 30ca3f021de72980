#include "uploader.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

namespace zel
{

mystreambuf::~mystreambuf() = default;

mystreambuf nostreambuf;
std::ostream nocout(&nostreambuf);

bool jsonLines = false;

std::string dumped(const nlohmann::ordered_json &object)
{
    // A serial number's bytes that are not UTF-8 become U+FFFD.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void say(const std::string &line)
{
    std::cout << (jsonLines ? dumped({{"type", "message"}, {"text", line}}) : line) << std::endl;
}

namespace
{

constexpr uint8_t connectAttempts = 3;
constexpr useconds_t retryPause = 1000000;
constexpr useconds_t restartPause = 2000000;
constexpr int32_t longTimeout = 100;
constexpr int32_t shortTimeout = 10;
// A data frame that went unanswered may still be answered late, and from a
// dongle that does not echo the command, that "OK" would pass for the answer
// to the frame after it. So the next frame waits until the port has been
// silent for half a second; the bound keeps a talking port from holding us.
constexpr int32_t lateReplyQuietMs = 500;
constexpr int32_t lateReplyBoundMs = 1000;

constexpr uint32_t pageSize = 2048;
constexpr uint32_t chunkCapacity = 2044;
constexpr uint32_t headerSize = 3;

constexpr uint8_t enterBootloader = 0x0A;
constexpr uint8_t checkBootloader = 0x64;
constexpr uint8_t pageData = 0x65;
constexpr uint8_t pageWrite = 0x66;
constexpr uint8_t bootApplication = 0x67;
constexpr uint8_t filler = 0xAA;

constexpr std::array<uint32_t, 256> makeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x80000000U) != 0 ? (reg << 1) ^ 0x04C11DB7U : reg << 1;
        }
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc_table = makeCrcTable();

// Every device opened during the update stays open until the process ends;
// the list keeps them reachable for leak checkers.
std::vector<UsbDevice *> &openedDevices = *new std::vector<UsbDevice *>();

std::string describe(const PortProblem &problem)
{
    if (problem.held) {
        return "Skipping " + problem.devicePath + ": another program is using it.";
    }
    if (problem.error == EACCES || problem.error == EPERM) {
        return "Cannot open " + problem.devicePath +
               ": permission denied. Add your user to the dialout group or install the udev "
               "rule (see 'man ZEL_USB_Flasher'), then reconnect the dongle.";
    }
    return "Cannot open " + problem.devicePath + ": " + std::strerror(problem.error) + ".";
}

} // namespace

uint32_t CalcCRC(const uint8_t *data, uint32_t len)
{
    uint32_t reg = 0xFFFFFFFFU;
    for (uint32_t i = 0; i < len; ++i) {
        reg = (reg << 8) ^ crc_table[((reg >> 24) ^ data[i]) & 0xFFU];
    }
    return reg;
}

void printProgress(double fraction)
{
    static const char bars[] = "||||||||||||||||||||||||||||||||||||||||||||||||||||||||||||";
    const int percent = static_cast<int>(100.0 * fraction);
    const int bar = static_cast<int>(60.0 * fraction);
    std::printf("\r%s%3d%% [%.*s%*s]", prefix.c_str(), percent, bar, bars, 60 - bar, "");
    if (std::fabs(fraction - 1.0) < 0.00001) {
        std::puts("\r");
    }
    std::fflush(stdout);
}

Uploader::Uploader(bool verbose) : verboseMode(verbose) {}

void Uploader::setVerbosity(bool verbose)
{
    verboseMode = verbose;
}

void Uploader::chooseDongle(const DongleChoice &choice)
{
    userChoice = choice;
    searchChoice = choice;
}

void Uploader::reportTo(Observer events)
{
    tell = std::move(events);
}

void Uploader::log(const std::string &message, bool endLine)
{
    (verboseMode ? std::cout << prefix : nocout) << message << (endLine ? "\n" : "") << std::flush;
}

bool Uploader::fail(const std::string &reason, bool noDongle)
{
    tell({Event::Kind::failed, reason, 0, false, noDongle});
    return false;
}

// The identifier is taken by value: each caller hands over a copy of its own.
// cppcheck-suppress passedByValue
bool Uploader::openUsbDevice(std::string identifier, uint8_t attempts)
{
    port = new UsbDevice();
    openedDevices.push_back(port);
    std::vector<PortProblem> problems;
    for (uint8_t attempt = 0; attempt < attempts; ++attempt) {
        if (nameFitsOne() && connectOnce(identifier, &problems)) {
            tell({Event::Kind::opened, port->getSerialDeviceName(), 0, false, false, port->dongle});
            setLowLatency();
            return true;
        }
        if (searchBlocked) {
            return false;
        }
        log("Could not connect to the device... Retrying...");
        usleep(retryPause);
    }
    reportPortProblems(problems);
    return false;
}

// One search for the port; the problems it met are added to `problems`.
bool Uploader::connectOnce(const std::string &identifier, std::vector<PortProblem> *problems)
{
    const bool connected = port->connect(identifier, searchChoice,
                                         [this](const Sighting &at) { return portFree(at); });
    dongleSeen = dongleSeen || connected || !port->portProblems.empty();
    problems->insert(problems->end(), port->portProblems.begin(), port->portProblems.end());
    // --verbose names a port's problem beside the attempt that met it.
    // Quiet mode waits for the search to fail: a fresh port may refuse an
    // open until udev has given it its group, and a later attempt may work.
    if (verboseMode) {
        reportPortProblems(port->portProblems);
    }
    return connected;
}

void Uploader::setLowLatency()
{
    const std::string commandLine = "setserial " + port->getSerialDeviceName() + " low_latency";
    std::fflush(stdout);
    const int status = std::system(commandLine.c_str());
    // The shell took the Ctrl-C that was meant for us too.
    if (status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }
    if (status != 0) {
        std::cout << "Could not execute command '" << commandLine
                  << "'. Communication in low-speed mode." << std::endl;
    }
}

// A port that was found but cannot be opened is named in quiet mode too: no
// retry cures a missing permission. A port that another flasher holds is
// normal with several dongles: only --verbose names it. Each is said once.
void Uploader::reportPortProblems(const std::vector<PortProblem> &problems)
{
    for (const PortProblem &problem : problems) {
        const std::string text = describe(problem);
        if (!problem.held || !obstacleSaid) {
            obstacle = text;
            obstacleSaid = !problem.held;
        }
        if ((!problem.held || verboseMode) && problemsReported.insert(text).second) {
            say(prefix + text);
        }
    }
}

// Said in quiet mode too: why the dongle cannot be reached.
void Uploader::sayObstacle(const std::string &line)
{
    say(prefix + line);
    obstacle = line;
    obstacleSaid = true;
}

// Another process on the port would take the dongle's replies: it is waited
// for, then named, before the port is opened.
bool Uploader::portFree(const Sighting &port)
{
    const std::string &devicePath = port.devicePath;
    const std::string warning = modemManagerWarning(devicePath);
    if (!warning.empty()) {
        note(warning);
    }
    std::vector<Holder> holders = holdersOf(devicePath);
    if (holders.empty()) {
        return true;
    }
    dongleSeen = true;
    tell({Event::Kind::waiting, devicePath, 0, false, false, port});
    note("Waiting for " + named(holders) + " to close " + devicePath + "...");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!holders.empty() && (patient || std::chrono::steady_clock::now() < until)) {
        usleep(100000);
        holders = holdersOf(devicePath);
    }
    if (!holders.empty()) {
        searchBlocked = true;
        sayObstacle(devicePath + " is open in " + named(holders) + ": close " +
                    (holders.size() == 1 ? "it" : "them") + " and run again.");
    }
    return holders.empty();
}

// A line that tells what goes on, not why the update failed; a station says
// it for the update.
void Uploader::note(const std::string &line)
{
    say(prefix + line);
    tell({Event::Kind::said, line});
}

bool Uploader::perform()
{
    pageCount = static_cast<int32_t>((CAN_bin_len + pageSize - 1) / pageSize);
    pagesWritten = 0;
    const bool updated = handOverFromApplication() && detectBootloader() && transferPages();
    // A dongle that took every page is updated even if the boot command
    // goes unconfirmed.
    if (updated) {
        sendBoot();
    }
    tell({Event::Kind::ended, "", 0, updated});
    return updated;
}

// A name that fits two dongles names neither, whenever that shows before the
// switch. The dongle it fits first is held to its USB port path, a serial
// number to that path too: a number or serial number may be another's later.
bool Uploader::nameFitsOne()
{
    if (userChoice.empty() || switched) {
        return true;
    }
    const std::vector<Sighting> fitting = donglesFitting(userChoice);
    if (fitting.size() > 1) {
        std::string places = fitting.front().usbPath;
        for (std::size_t i = 1; i < fitting.size(); ++i) {
            places += (i + 1 < fitting.size() ? ", " : " and ") + fitting[i].usbPath;
        }
        sayObstacle(userChoice.asGiven + " fits " + std::to_string(fitting.size()) +
                    " dongles, at " + places + ": name one with --path.");
        dongleSeen = true;
        searchBlocked = true;
        return false;
    }
    if (fitting.size() == 1 && fitting.front().onUsb && !nameSettled) {
        searchChoice = {fitting.front().usbPath, userChoice.serialNumber, "", "",
                        userChoice.enumeration};
        nameSettled = true;
    }
    return true;
}

bool Uploader::handOverFromApplication()
{
    log("Detecting Torvex...");
    if (!openUsbDevice(applicationIdentifier, connectAttempts)) {
        if (searchBlocked) {
            return fail(obstacle);
        }
        log("Looks like Torvex cannot be detected, checking if it's in bootloader mode "
            "already...");
        return true;
    }
    if (port->dongle.usbPath.empty() && !mayFollowWithoutPath()) {
        return false;
    }
    log("Torvex detected! Entering bootloader mode...");
    switched = true;
    tell({Event::Kind::switched, ""});
    if (!sendEnterBootloaderCmd()) {
        const std::string failure = "Error while sendind bootloader enter command!";
        log(failure);
        return fail(failure);
    }
    // The dongle comes back under another product id, port number and maybe
    // serial number, but on the same USB port: the bootloader to update is the
    // one there. Without a USB device above the port there is nothing to follow.
    searchChoice = {port->dongle.usbPath, "", "", "", ""};
    usleep(restartPause);
    return true;
}

// Without a USB device above its port, the switched dongle's bootloader is
// just the first one to appear: none may be there before the switch. A named
// dongle must never be exchanged for one that takes its number meanwhile.
bool Uploader::mayFollowWithoutPath()
{
    const std::string here = port->getSerialDeviceName();
    if (!userChoice.empty()) {
        sayObstacle("Cannot follow the dongle on " + here +
                    " into its bootloader without its USB port path: it was not switched.");
        return fail(obstacle);
    }
    for (const Sighting &other : donglesFitting({}, 0, acmCandidates - 1)) {
        if (other.identifier == bootloaderIdentifier) {
            sayObstacle(
                "Cannot switch the dongle on " + here + ": without its USB port path, its " +
                "bootloader could not be told from the one on " + other.devicePath +
                ". Update that one first with --port " + other.devicePath + ", or unplug it.");
            return fail(obstacle);
        }
    }
    return true;
}

bool Uploader::detectBootloader()
{
    log("Detecting bootloader mode...");
    if (!openUsbDevice(bootloaderIdentifier, connectAttempts) || !sendCheckBootloaderEntered()) {
        const std::string failure = "Bootloader mode could not be entered!";
        log(failure);
        return dongleSeen ? fail(obstacle.empty() ? failure : obstacle) : failUnmet(failure);
    }
    log("Bootloader detected!");
    return true;
}

// A run that met no dongle at all: say which name matched none, or where a
// dongle is that a run without a name does not look at. The verdict alone
// would read as a failed update of a dongle.
bool Uploader::failUnmet(const std::string &failure)
{
    const std::vector<Sighting> beyond = donglesFitting({}, acmCandidates);
    if (!userChoice.empty()) {
        say(prefix + nothingFits(userChoice));
        return fail(nothingFits(userChoice), true);
    }
    if (beyond.empty()) {
        return fail(failure, true);
    }
    const std::string where = "A dongle is on " + beyond.front().devicePath +
                              ", beyond the ports searched without a name: name it with " +
                              (beyond.front().onUsb ? "--path " + beyond.front().usbPath
                                                    : "--port " + beyond.front().devicePath) +
                              ".";
    say(prefix + where);
    return fail(where);
}

bool Uploader::transferPages()
{
    while (pagesWritten < pageCount) {
        if (!sendPage()) {
            std::cout << std::endl;
            return fail("Page " + std::to_string(pagesWritten + 1) + " of " +
                        std::to_string(pageCount) + " was not written.");
        }
        const double fraction = static_cast<double>(pagesWritten) / static_cast<double>(pageCount);
        printProgress(fraction);
        tell({Event::Kind::progress, "", static_cast<int>(100.0 * fraction)});
    }
    return true;
}

// Nothing obliges the bootloader to echo the command in its reply's first
// byte. Only another command's byte is ruled out: that is a late answer to an
// earlier frame, and could report a page as written that never was.
bool Uploader::replyConfirms(uint8_t commandByte) const
{
    const uint8_t first = port->rxBuffer[0];
    const bool aCommand = first == enterBootloader || first == checkBootloader ||
                          first == pageData || first == pageWrite || first == bootApplication;
    return (first == commandByte || !aCommand) && port->replyTextIs("OK");
}

bool Uploader::sendEnterBootloaderCmd()
{
    const uint8_t frame[] = {enterBootloader, 0x00};
    return port->transmit(frame, sizeof frame, true, longTimeout) &&
           port->rxBuffer[0] == enterBootloader && port->rxBuffer[1] == 0x01;
}

bool Uploader::sendCheckBootloaderEntered()
{
    const uint8_t frame[] = {checkBootloader, filler, filler};
    return port->transmit(frame, sizeof frame, true, longTimeout) && replyConfirms(checkBootloader);
}

bool Uploader::sendPage()
{
    const uint8_t *page = CAN_bin + static_cast<std::size_t>(pagesWritten) * pageSize;
    const uint32_t pageLength =
        std::min(CAN_bin_len - static_cast<uint32_t>(pagesWritten) * pageSize, pageSize);

    uint8_t frame[headerSize + chunkCapacity] = {pageData, filler, filler};
    uint32_t sent = 0;
    bool refused = false;
    for (int dataFrame = 0; dataFrame < 2 && !refused; ++dataFrame) {
        const uint32_t chunk = std::min(pageLength - sent, chunkCapacity);
        std::memcpy(frame + headerSize, page + sent, chunk);
        if (!port->transmit(frame, static_cast<int32_t>(headerSize + chunk), true, shortTimeout)) {
            // The second data frame sends the same bytes again, or the
            // page write follows; either must get its own answer.
            port->waitForSilence(lateReplyQuietMs, lateReplyBoundMs);
            continue;
        }
        refused = !replyConfirms(pageData);
        sent += refused ? 0 : chunk;
    }
    // Never ask the dongle to write a page it has not received whole.
    if (refused || sent != pageLength) {
        log("Error while sending frame " + std::to_string(pagesWritten));
        return false;
    }
    const bool written = sendPageWrite(page, static_cast<int32_t>(pageLength));
    pagesWritten += written ? 1 : 0;
    return written;
}

bool Uploader::sendPageWrite(const uint8_t *data, int32_t len)
{
    const uint32_t crc = CalcCRC(data, static_cast<uint32_t>(len));
    const auto byte = [crc](int shift) { return static_cast<uint8_t>(crc >> shift); };
    const uint8_t frame[] = {pageWrite, filler, filler, byte(0), byte(8), byte(16), byte(24)};
    if (!port->transmit(frame, sizeof frame, true, shortTimeout)) {
        log("CRC fail!", false);
        return false;
    }
    return replyConfirms(pageWrite);
}

bool Uploader::sendBoot()
{
    log("Sending boot to app command...");
    const uint8_t frame[] = {bootApplication, filler, filler};
    const bool booted =
        port->transmit(frame, sizeof frame, true, shortTimeout) && replyConfirms(bootApplication);
    log(booted ? "Booting to app successful!" : "Booting to app failed");
    return booted;
}

} // namespace zel
