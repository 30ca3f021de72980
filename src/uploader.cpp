#include "uploader.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
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

namespace
{

const std::string applicationIdentifier = "usb:v0069p1000";
const std::string bootloaderIdentifier = "usb:v0069p2000";
constexpr uint8_t connectAttempts = 3;
constexpr useconds_t retryPause = 1000000;
constexpr useconds_t restartPause = 2000000;
constexpr int32_t longTimeout = 100;
constexpr int32_t shortTimeout = 10;
// A data frame that went unanswered may still be answered late, and from a
// dongle that does not echo the command, that "OK" would pass for the
// answer to the frame after it. So the next frame waits until the port has
// been silent for half a second: a reply that comes up to the short timeout
// plus that long after its frame is dropped. The bound keeps a port that
// never falls silent from holding the update.
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

bool isCommandByte(uint8_t byte)
{
    return byte == enterBootloader || byte == checkBootloader || byte == pageData ||
           byte == pageWrite || byte == bootApplication;
}

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
std::vector<UsbDevice *> &openedDevices()
{
    static auto *devices = new std::vector<UsbDevice *>();
    return *devices;
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
    const int pad = 60 - bar;
    std::printf("\r[TORVEX] %3d%% [%.*s%*s]", percent, bar, bars, pad, "");
    if (std::fabs(fraction - 1.0) < 0.00001) {
        std::puts("\r");
    }
    std::fflush(stdout);
}

namespace
{

// A serial number is the device's own text: nothing in it may move the
// terminal's cursor or start an escape sequence.
std::string printable(std::string text)
{
    for (char &c : text) {
        const auto byte = static_cast<unsigned char>(c);
        c = byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    return text;
}

} // namespace

void listDongles(const DongleChoice &choice)
{
    int listed = 0;
    for (int n = 0; n <= highestAcmPort; ++n) {
        AcmPort port;
        if (!describeAcmPort(n, &port) || !choiceMatches(choice, port)) {
            continue;
        }
        const bool application = port.identifier == applicationIdentifier;
        if (!application && port.identifier != bootloaderIdentifier) {
            continue;
        }
        std::cout << port.devicePath << (application ? " application" : " bootloader");
        if (port.onUsb) {
            std::cout << " path=" << port.portPath;
        }
        if (!port.serialNumber.empty()) {
            std::cout << " serial=" << printable(port.serialNumber);
        }
        std::cout << "\n";
        ++listed;
    }
    if (listed == 0) {
        std::cout << "No Torvex dongle found.\n";
    }
    std::cout << std::flush;
}

Uploader::Uploader(bool verbose)
    : port(nullptr), verboseMode(verbose), pageCount(0), pagesWritten(0)
{
}

void Uploader::setVerbosity(bool verbose)
{
    verboseMode = verbose;
}

void Uploader::chooseDongle(const DongleChoice &choice)
{
    userChoice = choice;
    searchChoice = pinnedToPlace(choice);
}

std::ostream &Uploader::log()
{
    if (verboseMode) {
        return std::cout << "[TORVEX] ";
    }
    return nocout;
}

void Uploader::logLine(const std::string &message)
{
    log() << message << std::endl;
}

// The identifier is taken by value: each caller hands over a copy of its own.
// cppcheck-suppress passedByValue
bool Uploader::openUsbDevice(std::string identifier, uint8_t attempts)
{
    port = new UsbDevice();
    openedDevices().push_back(port);
    std::vector<PortProblem> problems;
    for (uint8_t attempt = 0; attempt < attempts; ++attempt) {
        const bool connected = port->connect(identifier, searchChoice);
        dongleSeen = dongleSeen || connected || !port->portProblems().empty();
        noteAndReport(port->portProblems(), &problems);
        if (connected) {
            const std::string commandLine =
                "setserial " + port->getSerialDeviceName() + " low_latency";
            std::fflush(stdout);
            if (std::system(commandLine.c_str()) != 0) {
                std::cout << "Could not execute command '" << commandLine
                          << "'. Communication in low-speed mode." << std::endl;
            }
            return true;
        }
        logLine("Could not connect to the device... Retrying...");
        usleep(retryPause);
    }
    reportPortProblems(problems);
    return false;
}

namespace
{

std::string describe(const PortProblem &problem)
{
    if (problem.held) {
        return "Skipping " + problem.path + ": another program is using it.";
    }
    if (problem.error == EACCES || problem.error == EPERM) {
        return "Cannot open " + problem.path +
               ": permission denied. Add your user to the dialout group or install the udev "
               "rule (see 'man ZEL_USB_Flasher'), then reconnect the dongle.";
    }
    return "Cannot open " + problem.path + ": " + std::strerror(problem.error) + ".";
}

} // namespace

// --verbose names a port's problem beside the attempt that met it. Quiet
// mode waits for the search to fail: a fresh port may refuse an open until
// udev has given it its group, and a later attempt may well succeed.
void Uploader::noteAndReport(const std::vector<PortProblem> &met,
                             std::vector<PortProblem> *problems)
{
    problems->insert(problems->end(), met.begin(), met.end());
    if (verboseMode) {
        reportPortProblems(met);
    }
}

// A port that was found but cannot be opened is named in quiet mode too:
// retrying and reconnecting never cures a missing permission. A port that
// another flasher holds is normal with several dongles, so only --verbose
// names it. Each problem is said once per run.
void Uploader::reportPortProblems(const std::vector<PortProblem> &problems)
{
    for (const PortProblem &problem : problems) {
        const std::string text = describe(problem);
        if ((problem.held && !verboseMode) || !problemsReported.insert(text).second) {
            continue;
        }
        std::cout << "[TORVEX] " << text << std::endl;
    }
}

bool Uploader::perform()
{
    setUpPages();
    if (!handOverFromApplication() || !detectBootloader()) {
        reportNoMatch();
        return false;
    }
    if (!transferPages()) {
        return false;
    }
    // A dongle that took every page is updated even if the boot command
    // goes unconfirmed.
    sendBoot();
    return true;
}

void Uploader::setUpPages()
{
    pageCount = static_cast<int32_t>((CAN_bin_len + pageSize - 1) / pageSize);
    pagesWritten = 0;
}

bool Uploader::handOverFromApplication()
{
    logLine("Detecting Torvex...");
    if (!openUsbDevice(applicationIdentifier, connectAttempts)) {
        logLine("Looks like Torvex cannot be detected, checking if it's in bootloader mode "
                "already...");
        return true;
    }
    logLine("Torvex detected! Entering bootloader mode...");
    if (!sendEnterBootloaderCmd()) {
        logLine("Error while sendind bootloader enter command!");
        return false;
    }
    // The dongle comes back under another product id, device number, port
    // number and maybe serial number, but on the same USB port: the
    // bootloader to update is the one on that port, not the first one found.
    // Without a USB device above the port there is nothing to follow.
    searchChoice = DongleChoice{};
    searchChoice.portPath = port->portPath();
    usleep(restartPause);
    return true;
}

bool Uploader::detectBootloader()
{
    logLine("Detecting bootloader mode...");
    if (!openUsbDevice(bootloaderIdentifier, connectAttempts) || !sendCheckBootloaderEntered()) {
        logLine("Bootloader mode could not be entered!");
        return false;
    }
    logLine("Bootloader detected!");
    return true;
}

// A dongle named on the command line that no search met at all: say so, or
// the verdict alone would read as a failed update of a dongle.
void Uploader::reportNoMatch()
{
    if (userChoice.named() && !dongleSeen) {
        std::cout << "[TORVEX] No dongle matches " << userChoice.describe() << "." << std::endl;
    }
}

bool Uploader::transferPages()
{
    while (pagesWritten < pageCount) {
        if (!sendPage()) {
            std::cout << std::endl;
            return false;
        }
        printProgress(static_cast<double>(pagesWritten) / static_cast<double>(pageCount));
    }
    return true;
}

bool Uploader::command(const uint8_t *frame, int32_t len, int32_t timeout)
{
    return port->transmit(frame, len, true, timeout);
}

bool Uploader::commandConfirmed(const uint8_t *frame, int32_t len, int32_t timeout)
{
    return command(frame, len, timeout) && replyConfirms(frame[0]);
}

// Nothing obliges the bootloader to echo the command in the first byte of
// its reply, so any first byte may start an "OK". Only another command's
// byte is ruled out: such a reply is a late answer to an earlier frame, and
// taking it for this one could report a page as written that never was.
bool Uploader::replyConfirms(uint8_t commandByte) const
{
    const uint8_t first = port->rxBuffer[0];
    const bool anotherCommands = first != commandByte && isCommandByte(first);
    return !anotherCommands && port->replyTextIs("OK");
}

bool Uploader::sendEnterBootloaderCmd()
{
    const uint8_t frame[] = {enterBootloader, 0x00};
    return command(frame, sizeof frame, longTimeout) && port->rxBuffer[0] == enterBootloader &&
           port->rxBuffer[1] == 0x01;
}

bool Uploader::sendCheckBootloaderEntered()
{
    const uint8_t frame[] = {checkBootloader, filler, filler};
    return commandConfirmed(frame, sizeof frame, longTimeout);
}

bool Uploader::sendPage()
{
    const uint32_t remaining = CAN_bin_len - static_cast<uint32_t>(pagesWritten) * pageSize;
    const uint32_t pageLength = remaining < pageSize ? remaining : pageSize;
    uint8_t page[pageSize] = {};
    std::memcpy(page, CAN_bin + static_cast<std::size_t>(pagesWritten) * pageSize, pageLength);

    uint8_t frame[headerSize + chunkCapacity] = {pageData, filler, filler};
    uint32_t sent = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const uint32_t chunk =
            pageLength - sent < chunkCapacity ? pageLength - sent : chunkCapacity;
        std::memcpy(frame + headerSize, page + sent, chunk);
        if (!command(frame, static_cast<int32_t>(headerSize + chunk), shortTimeout)) {
            // The next attempt sends the same bytes again, or the page
            // write follows; either must get its own answer.
            port->waitForSilence(lateReplyQuietMs, lateReplyBoundMs);
            continue;
        }
        if (!replyConfirms(pageData)) {
            logLine("Error while sending frame " + std::to_string(pagesWritten));
            return false;
        }
        sent += chunk;
    }
    // Never ask the dongle to write a page it has not received whole.
    if (sent != pageLength) {
        logLine("Error while sending frame " + std::to_string(pagesWritten));
        return false;
    }
    if (!sendPageWrite(page, static_cast<int32_t>(pageLength))) {
        return false;
    }
    ++pagesWritten;
    return true;
}

bool Uploader::sendPageWrite(const uint8_t *data, int32_t len)
{
    const uint32_t crc = CalcCRC(data, static_cast<uint32_t>(len));
    const uint8_t frame[] = {pageWrite,
                             filler,
                             filler,
                             static_cast<uint8_t>(crc),
                             static_cast<uint8_t>(crc >> 8),
                             static_cast<uint8_t>(crc >> 16),
                             static_cast<uint8_t>(crc >> 24)};
    if (!command(frame, sizeof frame, shortTimeout)) {
        log() << "CRC fail!" << std::flush;
        return false;
    }
    return replyConfirms(pageWrite);
}

bool Uploader::sendBoot()
{
    logLine("Sending boot to app command...");
    const uint8_t frame[] = {bootApplication, filler, filler};
    if (commandConfirmed(frame, sizeof frame, shortTimeout)) {
        logLine("Booting to app successful!");
        return true;
    }
    logLine("Booting to app failed");
    return false;
}

} // namespace zel
