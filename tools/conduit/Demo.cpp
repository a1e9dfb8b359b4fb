// `conduit demo` for now: the support library starting, allocating and stopping inside a fresh
// host machine under the verifier, then an honest list of what the end-to-end path still lacks.
#include "Demo.h"

#include <ntddk.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "kernel/DriverImage.h"
#include "kernel/Machine.h"
#include "kernel/Pool.h"
#include "support/Memory.h"
#include "support/Startup.h"

namespace {

void Step(const char* what, const std::string& detail) {
    std::printf("  %-16s %s\n", what, detail.c_str());
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

// Runs the steps against one fresh image; false when a step failed (already reported).
bool RunSupportLibrary(host::DriverImage& image) {
    auto startup = image.Resolve(&LibraryStartup);
    auto getOsVersion = image.Resolve(&GetOsVersion);
    auto runStaticConstructors = image.Resolve(&RunStaticConstructors);
    auto allocateMemory = image.Resolve(&AllocateMemory);
    auto freeMemory = image.Resolve(&FreeMemory);
    auto shutdown = image.Resolve(&LibraryShutdown);

    if (!startup()) {
        Step("start-up", "FAILED: the support library refused to start");
        shutdown();
        return false;
    }
    ULONG version = getOsVersion();
    Step("start-up", "support library started; kernel version word " + Hex(version, 4) + " (" +
                         std::to_string(version >> 8) + "." + std::to_string(version & 0xFF) + ")");
    runStaticConstructors();
    Step("constructors", "static-constructor table walked (the driver defines none)");

    const ULONGLONG size = 4096;
    host::PoolCounters before = host::GetPoolCounters();
    auto* block = static_cast<unsigned char*>(allocateMemory(size));
    if (block == nullptr) {
        Step("memory", "FAILED: a 4096-byte allocation through the image returned null");
        shutdown();
        return false;
    }
    std::optional<POOL_TYPE> type = host::PoolTypeOf(block);
    bool counted = host::GetPoolCounters().liveBlocks == before.liveBlocks + 1;
    std::memset(block, 0xA5, size);
    bool intact = block[0] == 0xA5 && block[size - 1] == 0xA5;
    freeMemory(block);
    bool released = host::GetPoolCounters().liveBlocks == before.liveBlocks;
    bool good = type.has_value() && counted && intact && released;
    Step("memory", good ? "4096 bytes allocated through the image from the host's " +
                              host::PoolTypeName(*type) + ", written and freed"
                        : std::string("FAILED: the block was not a tracked pool block, did not "
                                      "keep what was written, or was not freed"));

    shutdown();
    Step("shutdown", "support library shut down; exit list drained and freed");
    return good;
}

} // namespace

int RunDemo(const std::string& imagePath) {
    std::printf("conduit demo: the driver inside the host platform\n\n");
    bool succeeded = false;
    std::vector<std::string> problems;
    {
        host::Machine machine;
        Step("machine", "fresh host machine (pool, IRQL, dispatcher objects, clock)");
        try {
            std::string path =
                imagePath.empty() ? host::DriverImage::PathOf(&LibraryStartup) : imagePath;
            host::DriverImage image(path);
            Step("driver image", "fresh copy of " + path + " loaded");
            succeeded = RunSupportLibrary(image);
        } catch (const std::exception& error) {
            Step("driver image", std::string("FAILED: ") + error.what());
        }
        problems = machine.Verify();
    }
    if (problems.empty()) {
        Step("verifier", "clean: nothing left behind");
    } else {
        Step("verifier", std::to_string(problems.size()) + " problem(s):");
        for (const std::string& problem : problems) {
            std::printf("                     %s\n", problem.c_str());
        }
    }

    std::printf("\nNot built yet, so not run: the driver entry and device start-up, the speaker\n"
                "and microphone devices, the client library and the simulated audio engine.\n"
                "Audio does not flow end to end until they exist.\n");
    bool clean = succeeded && problems.empty();
    std::printf("\nResult: %s\n", clean ? "what exists ran cleanly" : "FAILED");
    return clean ? 0 : 1;
}
