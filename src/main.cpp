#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "uploader.h"

namespace
{

[[noreturn]] void wrongArguments()
{
    std::printf("Wrong arguments specified, please see ./ZEL_USB_Flasher --help\n");
    std::fflush(stdout);
    std::exit(-1);
}

void printHelp()
{
    std::printf("usage: ./ZEL_USB_Flasher [--verbose][--help]\n");
    std::printf("[--verbose] - prints more info in the terminal window\n");
    std::printf("[--help] - displays help message\n");
    std::printf("[--path PATH] - updates the dongle on that USB port path (see --list)\n");
    std::printf("[--serial-number SERIAL] - updates the dongle with that USB serial number\n");
    std::printf("[--port /dev/ttyACMn] - updates the dongle on that port\n");
    std::printf("[--list] - lists the dongles attached: port, mode, port path, serial number\n");
    std::printf("[--version] - prints the version and the firmware the program carries\n");
}

void printVersion()
{
    std::printf("ZEL_USB_Flasher %s\n", TORVEX_VERSION);
    std::printf("firmware: %s, %u bytes, sha256 %s\n", CAN_bin_name,
                static_cast<unsigned>(CAN_bin_len), CAN_bin_sha256);
}

struct Arguments {
    const char *first = nullptr; // the first one that names no dongle
    DongleChoice choice;
};

std::string *choiceField(const char *option, DongleChoice *choice)
{
    if (std::strcmp(option, "--path") == 0) {
        return &choice->portPath;
    }
    if (std::strcmp(option, "--serial-number") == 0) {
        return &choice->serialNumber;
    }
    if (std::strcmp(option, "--port") == 0) {
        return &choice->node;
    }
    return nullptr;
}

// The options that name a dongle may stand anywhere, each followed by its
// value; of the other arguments only the first counts.
Arguments readArguments(int argc, char *argv[])
{
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        std::string *field = choiceField(argv[i], &arguments.choice);
        if (field == nullptr) {
            arguments.first = arguments.first != nullptr ? arguments.first : argv[i];
            continue;
        }
        // An empty value would name every dongle, and a repeated option two.
        const bool hasValue =
            i + 1 < argc && argv[i + 1][0] != '\0' && std::strncmp(argv[i + 1], "--", 2) != 0;
        if (!hasValue || !field->empty()) {
            wrongArguments();
        }
        *field = argv[++i];
    }
    return arguments;
}

bool firstIs(const Arguments &arguments, const char *option)
{
    return arguments.first != nullptr && std::strcmp(arguments.first, option) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        printHelp();
        return -1;
    }
    // A reader that goes away (a closed pipe) must not stop an update half way.
    std::signal(SIGPIPE, SIG_IGN);

    const Arguments arguments = readArguments(argc, argv);
    if (firstIs(arguments, "--help")) {
        printHelp();
        return -1;
    }
    if (firstIs(arguments, "--list")) {
        zel::listDongles(arguments.choice);
        return 0;
    }
    if (firstIs(arguments, "--version")) {
        printVersion();
        return 0;
    }
    zel::Uploader uploader(false);
    if (arguments.first != nullptr) {
        if (!firstIs(arguments, "--verbose")) {
            wrongArguments();
        }
        uploader.setVerbosity(true);
    }
    uploader.chooseDongle(arguments.choice);
    if (uploader.perform()) {
        std::printf("[TORVEX] Update successful!\n");
        return 0;
    }
    std::printf("[TORVEX] Update Failed. Please reconnect the dongle and try again!\n");
    return -1;
}
