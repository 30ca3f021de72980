#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "station.h"

namespace
{

[[noreturn]] void wrongArguments()
{
    zel::say("Wrong arguments specified, please see ./ZEL_USB_Flasher --help");
    std::exit(zel::summary(-1));
}

int printHelp()
{
    for (const char *line : {
             "usage: ./ZEL_USB_Flasher [--verbose][--help]",
             "[--verbose] - prints more info in the terminal window",
             "[--help] - displays help message",
             "[--path PATH] - updates the dongle on that USB port path (see --list)",
             "[--serial-number SERIAL] - updates the dongle with that USB serial number",
             "[--port /dev/ttyACMn] - updates the dongle on that port",
             "[--list] - lists the dongles attached: port, mode, port path, serial number",
             "[--version] - prints the version and the firmware the program carries",
             "[--all] - updates every dongle attached, all at once",
             "[--watch] - updates each dongle once as it is plugged in, until Ctrl-C",
             "[--json] - writes one JSON object a line, for scripts",
             "The naming options and --json may stand anywhere;",
             "after the first other argument only --verbose may follow.",
         }) {
        zel::say(line);
    }
    return zel::summary(-1);
}

int printVersion()
{
    if (zel::jsonLines) {
        return zel::summary(0, {{"version", TORVEX_VERSION},
                                {"firmware",
                                 {{"name", std::string(CAN_bin_name)},
                                  {"size", CAN_bin_len},
                                  {"sha256", std::string(CAN_bin_sha256)},
                                  {"testImage", CAN_bin_is_test_image}}}});
    }
    std::printf("ZEL_USB_Flasher %s\n", TORVEX_VERSION);
    std::printf("firmware: %s, %u bytes, sha256 %s\n", CAN_bin_name,
                static_cast<unsigned>(CAN_bin_len), CAN_bin_sha256);
    std::printf("%s", CAN_bin_is_test_image
                          ? "This is the project's test image, not a dongle's firmware.\n"
                          : "");
    return 0;
}

std::string *choiceField(const char *option, DongleChoice *choice)
{
    for (auto [name, field] : {std::pair{"--path", &choice->usbPath},
                               {"--serial-number", &choice->serialNumber},
                               {"--port", &choice->devicePath}}) {
        if (std::strcmp(option, name) == 0) {
            return field;
        }
    }
    return nullptr;
}

// The options that name a dongle stand anywhere, each with its value. The
// first other argument, returned, says what to do; after it only --verbose
// may follow: a stray word may be a name whose option was forgotten.
const char *readArguments(int argc, char *argv[], DongleChoice *choice)
{
    const char *first = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            continue;
        }
        std::string *field = choiceField(argv[i], choice);
        if (field == nullptr) {
            if (first != nullptr && std::strcmp(argv[i], "--verbose") != 0) {
                wrongArguments();
            }
            first = first != nullptr ? first : argv[i];
            continue;
        }
        // An empty value would name every dongle, and a repeated option two.
        const bool hasValue =
            i + 1 < argc && argv[i + 1][0] != '\0' && std::strncmp(argv[i + 1], "--", 2) != 0;
        if (!hasValue || !field->empty()) {
            wrongArguments();
        }
        // A port given by its name alone is the one under /dev.
        const bool bareName =
            field == &choice->devicePath && std::strchr(argv[i + 1], '/') == nullptr;
        *field = (bareName ? "/dev/" : "") + std::string(argv[i + 1]);
        choice->asGiven +=
            (choice->asGiven.empty() ? "" : " ") + std::string(argv[i]) + " " + argv[i + 1];
        ++i;
    }
    return first;
}

int verdict(const zel::Tally &tally)
{
    if (!zel::jsonLines) {
        zel::say(zel::prefix + (tally.success()
                                    ? "Update successful!"
                                    : "Update Failed. Please reconnect the dongle and try again!"));
    }
    return zel::summary(tally.success() ? 0 : -1,
                        {{"updated", tally.updated}, {"dongles", tally.dongles}});
}

} // namespace

int main(int argc, char *argv[])
{
    bool helpAsked = false;
    for (int i = 1; i < argc; ++i) {
        zel::jsonLines = zel::jsonLines || std::strcmp(argv[i], "--json") == 0;
        helpAsked = helpAsked || std::strcmp(argv[i], "--help") == 0;
    }
    // Whoever asks for help anywhere must not get a firmware update instead.
    if (helpAsked) {
        return printHelp();
    }
    // A reader that goes away (a closed pipe) must not stop an update half way.
    std::signal(SIGPIPE, SIG_IGN);

    DongleChoice choice;
    const char *first = readArguments(argc, argv, &choice);
    const auto firstIs = [first](const char *option) {
        return first != nullptr && std::strcmp(first, option) == 0;
    };
    if (firstIs("--list")) {
        const int listed = zel::listDongles(choice);
        return zel::summary(listed > 0 ? 0 : 1, {{"dongles", listed}});
    }
    if (firstIs("--version")) {
        return printVersion();
    }
    if (firstIs("--all")) {
        return verdict(zel::updateAll(choice));
    }
    if (firstIs("--watch")) {
        return verdict(zel::watch(choice));
    }
    zel::Uploader uploader(false);
    if (first != nullptr && !firstIs("--verbose")) {
        wrongArguments();
    }
    if (zel::jsonLines) {
        return verdict(zel::updateForScripts(choice));
    }
    uploader.setVerbosity(first != nullptr);
    uploader.chooseDongle(choice);
    const bool updated = uploader.perform();
    return verdict({updated ? 1 : 0, 1});
}
