// The command line: help, wrong arguments, and which argument counts.
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "rig.h"

namespace
{

const std::string helpText =
    "usage: ./ZEL_USB_Flasher [--verbose][--help]\n"
    "[--verbose] - prints more info in the terminal window\n"
    "[--help] - displays help message\n"
    "[--path PATH] - updates the dongle on that USB port path (see --list)\n"
    "[--serial-number SERIAL] - updates the dongle with that USB serial number\n"
    "[--port /dev/ttyACMn] - updates the dongle on that port\n"
    "[--list] - lists the dongles attached: port, mode, port path, serial number\n"
    "[--version] - prints the version and the firmware the program carries\n"
    "[--all] - updates every dongle attached, all at once\n"
    "[--watch] - updates each dongle once as it is plugged in, until Ctrl-C\n"
    "[--json] - writes one JSON object a line, for scripts\n"
    "The naming options and --json may stand anywhere;\n"
    "after the first other argument only --verbose may follow.\n";
const std::string wrongArgumentsText =
    "Wrong arguments specified, please see ./ZEL_USB_Flasher --help\n";

// The same lines as --json writes them: a message each, then the summary.
std::string asRecords(const std::string &text)
{
    std::string objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        objects += nlohmann::ordered_json({{"type", "message"}, {"text", line}}).dump() + "\n";
    }
    return objects + R"({"type":"summary","schema":1,"success":false})"
                     "\n";
}

struct Invocation {
    std::vector<std::string> args;
    std::string expected;
};

void PrintTo(const Invocation &invocation, std::ostream *out)
{
    for (const auto &arg : invocation.args) {
        *out << "'" << arg << "' ";
    }
}

using CommandLine = rig::Table<Invocation>;

// None of these may touch a device: a dongle is there and must see nothing.
TEST_P(CommandLine, PrintsItsTextAndExits255WithoutTouchingTheDongle)
{
    sim::Dongle &dongle = plugIn(rig::bootloader);
    const auto result = run(GetParam().args);
    EXPECT_EQ(result.out, GetParam().expected);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(dongle.frames().empty());
    EXPECT_TRUE(setserialCalls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    HelpAndWrongArguments, CommandLine,
    ::testing::Values(
        Invocation{{"--help"}, helpText}, Invocation{{"--help", "--verbose"}, helpText},
        Invocation{{"--help", "junk"}, helpText}, Invocation{{"--verb"}, wrongArgumentsText},
        Invocation{{"--VERBOSE"}, wrongArgumentsText}, Invocation{{"-v"}, wrongArgumentsText},
        Invocation{{"--help=1"}, wrongArgumentsText}, Invocation{{""}, wrongArgumentsText},
        Invocation{{"--verbos", "--verbose"}, wrongArgumentsText},
        // The options that name a dongle stand anywhere, and need a value.
        Invocation{{"--path", "1-1", "--help"}, helpText},
        Invocation{{"--help", "--path"}, helpText}, Invocation{{"--path"}, wrongArgumentsText},
        Invocation{{"--verbose", "--port"}, wrongArgumentsText},
        Invocation{{"--serial-number", "", "--verbose"}, wrongArgumentsText},
        Invocation{{"--path", "--verbose"}, wrongArgumentsText},
        Invocation{{"--path", "1-1", "--path", "1-2"}, wrongArgumentsText},
        Invocation{{"--port", "/dev/ttyACM0", "junk"}, wrongArgumentsText},
        // After the first argument only --verbose and the naming options may
        // follow: a mistyped or forgotten name must not update another dongle,
        // and help asked for anywhere is given instead of an update.
        Invocation{{"--verbose", "--path=1-3"}, wrongArgumentsText},
        Invocation{{"--verbose", "--serial", "TVX-0002"}, wrongArgumentsText},
        Invocation{{"--verbose", "-p", "1-3"}, wrongArgumentsText},
        Invocation{{"--verbose", "--Port", "/dev/ttyACM1"}, wrongArgumentsText},
        Invocation{{"--verbose", "--list"}, wrongArgumentsText},
        Invocation{{"--verbose", "--help", "--version"}, helpText},
        Invocation{{"--all", "--list"}, wrongArgumentsText},
        Invocation{{"--verbose", "1-2"}, wrongArgumentsText},
        Invocation{{"--verbose", "/dev/ttyACM1"}, wrongArgumentsText},
        Invocation{{"--verbose", "TVX-0002"}, wrongArgumentsText},
        Invocation{{"--verbose", "--json", "--jsn"}, asRecords(wrongArgumentsText)},
        Invocation{{"--json", "--path", "1-3", "--help"}, asRecords(helpText)},
        Invocation{{"--all", "--help"}, helpText}, Invocation{{"--verbose", "--help"}, helpText}));

using ProgramName = rig::Rig;

TEST_F(ProgramName, TextsNameTheProgramAsShippedWhateverItIsCalled)
{
    // Every sandbox has a process 2 of its own, but /tmp is shared.
    char dir[] = "/tmp/torvex-renamed-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string renamed = std::string(dir) + "/flasher";
    ASSERT_EQ(symlink(rig::flasherPath().c_str(), renamed.c_str()), 0);
    const auto help = run({"--help"}, renamed);
    const auto wrong = run({"-h"}, renamed);
    unlink(renamed.c_str());
    rmdir(dir);
    EXPECT_EQ(help.out, helpText);
    EXPECT_EQ(wrong.out, wrongArgumentsText);
}

// The name, size and SHA-256 of the carried image, as the packages name it.
TEST_F(ProgramName, VersionNamesTheProgramAndTheFirmwareItCarries)
{
    sim::Dongle &dongle = plugIn(rig::application);
    const std::string image = TORVEX_TEST_IMAGE;
    const auto result = run({"--version", "--verbose"});
    const std::string digest = rig::imageSha256();
    EXPECT_EQ(result.out, "ZEL_USB_Flasher " TORVEX_RELEASE_VERSION "\nfirmware: " +
                              image.substr(image.rfind('/') + 1) + ", " +
                              std::to_string(rig::image().size()) + " bytes, sha256 " + digest +
                              "\nThis is the project's test image, not a dongle's firmware.\n");
    EXPECT_EQ(result.status, 0);
    const auto forScripts = run({"--json", "--version"});
    EXPECT_EQ(rig::records(forScripts.out),
              std::vector<nlohmann::json>({{{"type", "summary"},
                                            {"schema", 1},
                                            {"success", true},
                                            {"version", TORVEX_RELEASE_VERSION},
                                            {"firmware",
                                             {{"name", image.substr(image.rfind('/') + 1)},
                                              {"size", rig::image().size()},
                                              {"sha256", digest},
                                              {"testImage", true}}}}}));
    EXPECT_EQ(forScripts.status, 0);
    EXPECT_TRUE(dongle.frames().empty());
    EXPECT_TRUE(setserialCalls().empty());
}

} // namespace
