// Helpers shared by the formatter and GUID-name tests: wide buffers with a guard zone after the
// capacity, and conversion of the driver's 16-bit text for comparisons.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/KernelHeaders.h"

namespace text_test {

constexpr WCHAR Guard = 0xCCCC;
constexpr size_t GuardLength = 8;

inline std::u16string Text(const WCHAR* text, size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

inline std::u16string Text(const WCHAR* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return Text(text, length);
}

inline ULONGLONG Slot(const void* pointer) {
    return static_cast<ULONGLONG>(reinterpret_cast<uintptr_t>(pointer));
}

// A caller's buffer of `capacity` characters followed by a guard zone that must stay untouched.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t capacity)
        : capacity_(capacity), storage_(capacity + GuardLength, Guard) {}

    PWCHAR data() { return storage_.data(); }

    // Everything after the capacity is intact.
    void ExpectGuardIntact() const {
        for (size_t index = capacity_; index < storage_.size(); ++index) {
            EXPECT_EQ(storage_[index], Guard) << "written beyond the capacity at " << index;
        }
    }

    // The text before the terminator, which must lie inside the capacity.
    std::u16string Terminated() const {
        for (size_t index = 0; index < capacity_; ++index) {
            if (storage_[index] == 0) {
                return Text(storage_.data(), index);
            }
        }
        ADD_FAILURE() << "no terminator within the capacity";
        return {};
    }

private:
    size_t capacity_;
    std::vector<WCHAR> storage_;
};

} // namespace text_test
