// The conduit command line: parses the command and hands it to its runner.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Demo.h"
#include "Status.h"

namespace {

void PrintUsage(std::FILE* to) {
    std::fprintf(to, "Usage: conduit COMMAND [OPTIONS]\n"
                     "\n"
                     "Commands:\n"
                     "  demo [--image PATH]  run the driver inside the host platform and report\n"
                     "                       what it did; PATH is the driver image to load\n"
                     "                       (default: the one built with this program)\n"
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
        std::string image;
        for (int i = 2; i < argc; i++) {
            if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc) {
                image = argv[++i];
            } else {
                std::fprintf(stderr, "conduit demo: unknown option '%s'\n", argv[i]);
                PrintUsage(stderr);
                return 2;
            }
        }
        return RunDemo(image);
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
