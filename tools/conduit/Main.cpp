// The conduit command line: parses the command and hands it to its runner.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Demo.h"
#include "Status.h"

namespace {

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: conduit COMMAND [OPTIONS]\n"
                 "\n"
                 "Commands:\n"
                 "  demo [OPTIONS]       inside the host platform: the audio engine plays into\n"
                 "                       the speaker endpoint while the client reads it, and\n"
                 "                       the client writes what the engine records from the\n"
                 "                       microphone endpoint; both checked bit-exact\n"
                 "                       (conduit demo --help for its options)\n"
                 "  status [--image PATH]\n"
                 "                       inside the host platform: start the driver, set a\n"
                 "                       format on each direction and print every audio\n"
                 "                       endpoint's stored device format\n"
                 "  help, --help, -h     show this text\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    std::string command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") {
        PrintUsage(stdout);
        return 0;
    }
    if (command == "demo") {
        return RunDemo(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (command == "status") {
        if (argc == 2 || (argc == 4 && std::strcmp(argv[2], "--image") == 0)) {
            return RunStatus(argc == 4 ? argv[3] : "");
        }
        std::fprintf(stderr, "conduit status: unknown option '%s'\n", argv[2]);
        PrintUsage(stderr);
        return 2;
    }
    std::fprintf(stderr, "conduit: unknown command '%s'\n", command.c_str());
    PrintUsage(stderr);
    return 2;
}
