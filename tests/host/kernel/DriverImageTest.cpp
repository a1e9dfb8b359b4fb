// Fresh driver-image copies: each load starts from the image's initial globals, whatever the
// linked copy or another load did, and Resolve finds only the image's own definitions.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "kernel/DriverImage.h"
#include "support/Memory.h"

namespace {

using host::DriverImage;

LONG RetryNever(ULONGLONG) {
    return 0;
}

std::unique_ptr<DriverImage> LoadFresh() {
    return std::make_unique<DriverImage>(DriverImage::PathOf(&AllocateMemory));
}

TEST(DriverImageTest, AFreshCopyStartsFromInitialGlobalsAndUsesItsOwn) {
    LowMemoryHandler = RetryNever; // state a previous load would have left
    auto image = LoadFresh();
    EXPECT_EQ(*image->Resolve(&LowMemoryHandler), nullptr);
    // The copy's slots point at its own routines, not the linked copy's.
    AllocateRoutineType freshPoolAllocate = image->Resolve(&PoolAllocate);
    EXPECT_NE(freshPoolAllocate, &PoolAllocate);
    EXPECT_EQ(*image->Resolve(&AllocateRoutine), freshPoolAllocate);
    EXPECT_EQ(AllocateRoutine, &PoolAllocate);
    LowMemoryHandler = nullptr;
}

TEST(DriverImageTest, LoadsAreIndependentAndAReloadStartsClear) {
    auto first = LoadFresh();
    auto second = LoadFresh();
    *first->Resolve(&LowMemoryHandler) = RetryNever;
    EXPECT_EQ(*second->Resolve(&LowMemoryHandler), nullptr);
    EXPECT_EQ(LowMemoryHandler, nullptr);

    // Several unload and reload rounds, so descriptor numbers get reused.
    for (int round = 0; round < 3; round++) {
        first.reset();
        first = LoadFresh();
        EXPECT_EQ(*first->Resolve(&LowMemoryHandler), nullptr) << "round " << round;
        *first->Resolve(&LowMemoryHandler) = RetryNever;
    }
}

TEST(DriverImageTest, ResolveRefusesWhatIsNotTheImagesOwnSymbol) {
    auto image = LoadFresh();
    const char* inside = reinterpret_cast<const char*>(&AllocateMemory) + 1;
    EXPECT_THROW(image->ResolveAddress(inside), std::runtime_error);
    // Exported by the host platform, which the copy imports: found by dlsym, yet not the image's.
    EXPECT_THROW(image->Resolve(&KeGetCurrentIrql), std::runtime_error);
    EXPECT_THROW(image->ResolveName("NoSuchDriverRoutine"), std::runtime_error);
    // The C++ runtime pieces stay local to each copy.
    EXPECT_THROW(image->ResolveName("_Znwm"), std::runtime_error);
}

TEST(DriverImageTest, AMissingFileOrANonImageIsRefused) {
    try {
        DriverImage image("/nonexistent/libconduit_driver.so");
        FAIL() << "a missing image loaded";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/libconduit_driver.so"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_THROW(DriverImage("/proc/self/status"), std::runtime_error);
}

} // namespace
