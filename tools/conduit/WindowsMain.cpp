// conduit.exe: the Windows entry point. Takes the arguments as UTF-16, sets up Ctrl-C, and runs
// the command on the Win32 backend with the real-time clock.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Win32Backend.h"
#include "conduit/Clock.h"

#include <windows.h>

namespace {

std::atomic<bool> stopRequested{false};
// Set once the command has closed its files.
HANDLE finished = nullptr;

// Runs on a thread the console starts: sets the flag, and the command's loop closes cleanly.
BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        stopRequested.store(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // Windows ends the process when this returns (and after 5 s in any case): give the
        // loop the time to answer the driver and finish the WAV file first.
        stopRequested.store(true);
        if (finished != nullptr) {
            WaitForSingleObject(finished, 4000);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

std::string Utf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return std::string();
    }
    std::string result(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], bytes, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(bytes - 1));
    return result;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Paths and messages are UTF-8; the console gets its own code page back at the end.
    const UINT codePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(Utf8(argv[i]));
    }
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    const commands::CommandLine line = commands::Parse(argc, pointers.data());
    if (line.command != commands::Command::Help && line.command != commands::Command::Invalid) {
        finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    conduit::Win32Backend backend;
    conduit::RealTimeClock clock;
    conduit::RealTimeClock secondClock;
    commands::Environment environment{backend, clock, secondClock, stopRequested, stdout, stderr};
    const int result = commands::Run(environment, line);
    std::fflush(stdout);
    std::fflush(stderr);
    if (codePage != 0) {
        SetConsoleOutputCP(codePage);
    }
    if (finished != nullptr) {
        SetEvent(finished);
    }
    return result;
}
