// The PE loader and the image's exceptions, with a small image built by mingw-w64
// (images/LoaderProbe.c and the driver's guarded-call routine): where its relocated pointers,
// imports and sections end up, what the loader refuses, and a raise from a host routine caught
// by the image's own scope or, uncaught (or a fault), stopping the machine with the image's
// frames named.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HostTest.h"
#include "kernel/DriverImage.h"
#include "kernel/ImageExceptions.h"
#include "kernel/PeFormat.h"
#include "kernel/PeImage.h"
#include "kernel/ProcessorBlock.h"

namespace {

using host::DriverImage;
namespace pe = host::pe;

constexpr NTSTATUS RaisedForTest = static_cast<NTSTATUS>(0xC0000123);

struct Probe {
    const char* const* words;
    ULONG64 compared;
    LONGLONG frequency;
    const UCHAR* debuggerFlag;
    void* guarded;
    void* unguarded;
    void** callee;
    PKTHREAD thread;
};

typedef LONG(NTAPI* ProbeEntry)(Probe* probe);
typedef NTSTATUS(NTAPI* GuardedCall)(PVOID, KPROCESSOR_MODE, int, PVOID, ULONG, ULONG, PVOID*);
typedef LONGLONG(NTAPI* UnguardedCall)();

// Callees for the image's calls, in the convention the image calls them with.
__attribute__((noinline)) PVOID NTAPI RaisingCallee() {
    if (!host::RaiseInImageCaller(__builtin_frame_address(0), __builtin_return_address(0),
                                  RaisedForTest)) {
        ADD_FAILURE() << "the callee's caller is not image code";
    }
    return reinterpret_cast<PVOID>(0xBAD);
}

PVOID NTAPI ReturningCallee() {
    return reinterpret_cast<PVOID>(0x5678);
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(stream), {});
}

class PeImageTest : public HostTest {
protected:
    void SetUp() override {
        image = std::make_unique<DriverImage>(CONDUIT_LOADER_PROBE);
        ASSERT_TRUE(image->IsWindowsImage());
        entry = reinterpret_cast<void*>(image->EntryPoint());
        host::PrepareThreadForDriver(); // as the host does before it calls a driver
        ASSERT_EQ(reinterpret_cast<ProbeEntry>(entry)(&probe), 0x1234);
    }

    // The permissions /proc/self/maps shows for the page holding address ("r-xp", ...).
    static std::string Protection(const void* address) {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        const auto at = reinterpret_cast<unsigned long>(address);
        while (std::getline(maps, line)) {
            unsigned long start = 0;
            unsigned long end = 0;
            char permissions[5] = {};
            if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, permissions) == 3 &&
                at >= start && at < end) {
                return permissions;
            }
        }
        return "unmapped";
    }

    std::unique_ptr<DriverImage> image;
    void* entry = nullptr;
    Probe probe{};
};

TEST_F(PeImageTest, PointersAreRelocatedImportsBoundAndSectionsProtected) {
    const host::PeImage* loaded =
        host::PeImage::Containing(reinterpret_cast<std::uintptr_t>(entry));
    ASSERT_NE(loaded, nullptr);
    EXPECT_NE(loaded->Base(), 0x140000000u); // never left at the base it was linked for
    ASSERT_EQ(host::PeImage::Containing(reinterpret_cast<std::uintptr_t>(probe.words)), loaded);
    EXPECT_STREQ(probe.words[1], "pointers");

    EXPECT_EQ(probe.compared, 3u);
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(probe.frequency, frequency.QuadPart);
    EXPECT_EQ(probe.debuggerFlag, &KdDebuggerEnabled);

    EXPECT_EQ(Protection(reinterpret_cast<void*>(loaded->Base())), "r--p"); // headers
    EXPECT_EQ(Protection(entry), "r-xp");
    EXPECT_EQ(Protection(probe.words), "r--p");
    EXPECT_EQ(Protection(probe.callee), "rw-p");
    EXPECT_THROW(image->ResolveName("ProbeEntry"), std::runtime_error);
}

TEST_F(PeImageTest, EachThreadReadsItsOwnThreadObjectFromGs) {
    EXPECT_EQ(probe.thread, KeGetCurrentThread());
    Probe other{};
    std::thread([&] {
        host::PrepareThreadForDriver();
        reinterpret_cast<ProbeEntry>(entry)(&other);
        EXPECT_EQ(other.thread, KeGetCurrentThread());
    }).join();
    EXPECT_NE(other.thread, probe.thread);
}

TEST_F(PeImageTest, ARaiseIntoTheImageIsCaughtByItsScopeAndUncaughtStopsTheMachine) {
    auto guarded = reinterpret_cast<GuardedCall>(probe.guarded);
    // Values live in callee-saved registers across the calls: the unwind to the handler must
    // give the image's frame back its registers, and the image gives them back to us.
    ULONG64 live[6] = {1, 2, 3, 4, 5, 6};
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        PVOID mapped = reinterpret_cast<PVOID>(1);
        *probe.callee = reinterpret_cast<void*>(&RaisingCallee);
        EXPECT_EQ(guarded(nullptr, UserMode, 0, nullptr, 0, 0, &mapped), RaisedForTest);
        EXPECT_EQ(mapped, nullptr);
        *probe.callee = reinterpret_cast<void*>(&ReturningCallee);
        EXPECT_EQ(guarded(nullptr, UserMode, 0, nullptr, 0, 0, &mapped), STATUS_SUCCESS);
        EXPECT_EQ(mapped, reinterpret_cast<PVOID>(0x5678));
        for (ULONG64& value : live) {
            value = value * 3 + ULONG64(round);
        }
    }
    EXPECT_EQ(live[0], 32u);
    EXPECT_EQ(live[5], 167u);

    // Without a scope the exception reaches the host's call into the image; the report names
    // the image's frame from its unstripped copy.
    *probe.callee = reinterpret_cast<void*>(&RaisingCallee);
    auto unguarded = reinterpret_cast<UnguardedCall>(probe.unguarded);
    EXPECT_DEATH(unguarded(), "KMODE_EXCEPTION_NOT_HANDLED: exception 0xc0000123 .*"
                              "loader-probe.sys!CallUnguarded");
    // A fault in image code (here: a call into its read-only data) is reported the same way.
    *probe.callee = const_cast<char**>(probe.words);
    EXPECT_DEATH(unguarded(), "KMODE_EXCEPTION_NOT_HANDLED: access violation .*"
                              "loader-probe.sys!CallUnguarded");
}

// Byte edits of the probe's file that the loader must refuse, each with the reason it gives.
TEST(PeImageRefusalTest, TheLoaderRefusesWhatTheKernelLoaderRefuses) {
    const std::vector<unsigned char> original = ReadFile(CONDUIT_LOADER_PROBE);
    ASSERT_GT(original.size(), 1024u);
    pe::IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, original.data(), sizeof(dos));
    const size_t fileHeader = size_t(dos.e_lfanew) + 4;
    const size_t optional = fileHeader + sizeof(pe::IMAGE_FILE_HEADER);
    const size_t checksum = optional + offsetof(pe::IMAGE_OPTIONAL_HEADER64, CheckSum);
    const size_t sections = optional + sizeof(pe::IMAGE_OPTIONAL_HEADER64);

    auto replace = [](std::vector<unsigned char>& file, const std::string& from,
                      const std::string& to) {
        auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
        ASSERT_NE(at, file.end()) << from;
        std::copy(to.begin(), to.end(), at);
    };
    // The section header whose name is name.
    auto section = [&](const char* name) {
        for (size_t at = sections; at + 40 <= original.size(); at += 40) {
            if (std::strncmp(reinterpret_cast<const char*>(&original[at]), name, 8) == 0) {
                return at;
            }
        }
        ADD_FAILURE() << "no section " << name;
        return size_t(0);
    };
    auto orFlags = [](std::vector<unsigned char>& file, size_t at, ULONG flags) {
        ULONG value;
        std::memcpy(&value, &file[at], sizeof(value));
        value |= flags;
        std::memcpy(&file[at], &value, sizeof(value));
    };

    struct Case {
        const char* why;
        std::function<void(std::vector<unsigned char>&)> edit;
        bool keepChecksum; // leave the header's checksum as it was
    };
    const Case cases[] = {
        {"ntoskrnl.exe!RtlCompareMemorX",
         [&](auto& file) { replace(file, "RtlCompareMemory", "RtlCompareMemorX"); }, false},
        {"HAX.dll, which the host does not provide",
         [&](auto& file) { replace(file, "HAL.dll", "HAX.dll"); }, false},
        {"section .bss is both writable and executable",
         [&](auto& file) { orFlags(file, section(".bss") + 36, pe::IMAGE_SCN_MEM_EXECUTE); },
         false},
        {"relocations stripped",
         [&](auto& file) { orFlags(file, fileHeader + 18, pe::IMAGE_FILE_RELOCS_STRIPPED); },
         false},
        {"checksum", [&](auto& file) { file.back() ^= 1; }, true},
        {"no PE signature", [&](auto& file) { file[size_t(dos.e_lfanew)] = 'Q'; }, false},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.why);
        std::vector<unsigned char> file = original;
        item.edit(file);
        if (!item.keepChecksum) {
            // The edited file's own checksum, so that only the edit is wrong with it.
            std::uint64_t sum = 0;
            for (size_t at = 0; at < file.size(); at += 2) {
                const bool field = at >= checksum && at < checksum + 4;
                sum += field ? 0 : file[at] | (at + 1 < file.size() ? file[at + 1] << 8 : 0);
                sum = (sum & 0xFFFF) + (sum >> 16);
            }
            const auto value = ULONG(((sum & 0xFFFF) + (sum >> 16)) + file.size());
            std::memcpy(&file[checksum], &value, sizeof(value));
        }
        try {
            host::PeImage refused("edited.sys", file);
            ADD_FAILURE() << "loaded";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(item.why), std::string::npos) << error.what();
        }
    }
}

} // namespace
