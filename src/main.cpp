#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

    zel::Uploader uploader(false);
    if (argc > 1) {
        if (std::strcmp(argv[1], "--verbose") != 0) {
            wrongArguments();
        }
        uploader.setVerbosity(true);
    }
    if (uploader.perform()) {
        std::printf("[TORVEX] Update successful!\n");
        return 0;
    }
    std::printf("[TORVEX] Update Failed. Please reconnect the dongle and try again!\n");
    return -1;
}
