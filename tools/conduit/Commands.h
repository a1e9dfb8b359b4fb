// The commands of conduit.exe (record, play, loopback, status) written against the client
// library's Backend, so that only the entry point knows which operating system runs them.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "Backend.h"
#include "conduit/Clock.h"

namespace commands {

enum class Command { Help, Record, Play, Loopback, Status, Invalid };

struct CommandLine {
    Command command = Command::Invalid;
    std::string file;  // record and play
    std::string error; // Invalid: what was wrong, for the line before the usage
};

CommandLine Parse(int argc, const char* const* argv);
void PrintUsage(std::FILE* to);

struct Environment {
    conduit::Backend& backend;
    conduit::Clock& clock;
    // The Render side's clock in loopback: each session takes its frames from its own clock.
    conduit::Clock& secondClock;
    // Set from another thread (the console's Ctrl-C handler) to end a running command.
    const std::atomic<bool>& stop;
    std::FILE* out;
    std::FILE* err;
};

// Each returns the process exit code: 0 done, 1 failed.
int Record(Environment& environment, const std::string& path);
int Play(Environment& environment, const std::string& path);
int Loopback(Environment& environment);
int Status(Environment& environment);

// Runs a parsed command line; usage errors give 2 with the usage on stderr.
int Run(Environment& environment, const CommandLine& line);

} // namespace commands
