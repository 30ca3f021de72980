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
    std::printf("[--all] - updates every dongle attached, all at once\n");
}

void printVersion()
{
    std::printf("ZEL_USB_Flasher %s\n", TORVEX_VERSION);
    std::printf("firmware: %s, %u bytes, sha256 %s\n", CAN_bin_name,
                static_cast<unsigned>(CAN_bin_len), CAN_bin_sha256);
    if (CAN_bin_is_test_image) {
        std::printf("This is the project's test image, not a dongle's firmware.\n");
    }
}

struct Arguments {
    const char *first = nullptr; // the first one that names no dongle
    DongleChoice choice;
};

std::string *choiceField(const char *option, DongleChoice *choice)
{
    if (std::strcmp(option, "--path") == 0) {
        return &choice->usbPath;
    }
    if (std::strcmp(option, "--serial-number") == 0) {
        return &choice->serialNumber;
    }
    if (std::strcmp(option, "--port") == 0) {
        return &choice->devicePath;
    }
    return nullptr;
}

// "--path 1-2 --serial-number X", whatever order they were given in.
std::string describe(const DongleChoice &choice)
{
    std::string options;
    const std::pair<const char *, const std::string *> given[] = {
        {"--path", &choice.usbPath},
        {"--serial-number", &choice.serialNumber},
        {"--port", &choice.devicePath}};
    for (const auto &[option, value] : given) {
        if (!value->empty()) {
            options += (options.empty() ? "" : " ") + std::string(option) + " " + *value;
        }
    }
    return options;
}

// The options that name a dongle may stand anywhere, each followed by its
// value. The first other argument says what to do; after it, --verbose and
// --help are ignored, and any other option is a mistake that must not be
// passed over: it may have been meant to name the dongle.
Arguments readArguments(int argc, char *argv[])
{
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        std::string *field = choiceField(argv[i], &arguments.choice);
        if (field == nullptr) {
            const bool ignored = std::strcmp(argv[i], "--verbose") == 0 ||
                                 std::strcmp(argv[i], "--help") == 0 || argv[i][0] != '-';
            if (arguments.first != nullptr && !ignored) {
                wrongArguments();
            }
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
    arguments.choice.asGiven = describe(arguments.choice);
    return arguments;
}

bool firstIs(const Arguments &arguments, const char *option)
{
    return arguments.first != nullptr && std::strcmp(arguments.first, option) == 0;
}

int verdict(bool updated)
{
    if (updated) {
        std::printf("[TORVEX] Update successful!\n");
        return 0;
    }
    std::printf("[TORVEX] Update Failed. Please reconnect the dongle and try again!\n");
    return -1;
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
        return listDongles(arguments.choice) > 0 ? 0 : 1;
    }
    if (firstIs(arguments, "--version")) {
        printVersion();
        return 0;
    }
    if (firstIs(arguments, "--all")) {
        return verdict(zel::updateAll(arguments.choice));
    }
    zel::Uploader uploader(false);
    if (arguments.first != nullptr) {
        if (!firstIs(arguments, "--verbose")) {
            wrongArguments();
        }
        uploader.setVerbosity(true);
    }
    uploader.chooseDongle(arguments.choice);
    return verdict(uploader.perform());
}
