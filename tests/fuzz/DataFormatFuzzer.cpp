// Arbitrary data-format blocks, their size known, through ValidateKsDataFormat: nothing may be
// read outside the block, and every success must leave a record that is valid, that the
// device's normalisation keeps valid, and that the builder turns back into an accepted block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/DataFormat.h"
#include "support/Diagnostics.h"
#include "support/WaveFormat.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool Terminated(const WCHAR* message) {
    for (ULONG index = 0; index < MessageCapacity; ++index) {
        if (message[index] == 0) {
            return true;
        }
    }
    return false;
}

template <typename T>
T Read(const uint8_t* bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof(T));
    return value;
}

// Whether the block holds everything its own fields describe, so that a caller could pass
// it with its size unknown (0) and vouch for it.
bool HoldsWhatItDescribes(const uint8_t* bytes, size_t size) {
    if (size < sizeof(ULONG)) {
        return false;
    }
    const ULONG formatSize = Read<ULONG>(bytes, 0);
    if (formatSize > size) {
        return false;
    }
    if (formatSize < sizeof(KSDATAFORMAT)) {
        return true; // refused after reading FormatSize alone
    }
    const ULONG flags = Read<ULONG>(bytes, FIELD_OFFSET(KSDATAFORMAT, Flags));
    if ((flags & KSDATAFORMAT_ATTRIBUTES) == 0) {
        return true;
    }
    const size_t listOffset = (size_t{formatSize} + 7) & ~size_t{7};
    if (listOffset + sizeof(KSMULTIPLE_ITEM) > size) {
        return false;
    }
    return listOffset + Read<ULONG>(bytes, listOffset) <= size;
}

void CheckNormalisedRoundTrip(const WAVEFORMATEXTENSIBLE& accepted) {
    if (!IsSupportedStreamFormat(&accepted)) {
        return;
    }
    WAVEFORMATEXTENSIBLE record = accepted;
    if (!IsExtensibleLayout(&record)) {
        MakeExtensible(&record);
    }
    Require(IsValidWaveFormat(&record));
    Require(IsSupportedStreamFormat(&record));

    std::unique_ptr<uint8_t[]> built(new uint8_t[DataFormatBlockBytes]);
    const ULONG formatSize = BuildKsDataFormat(&record, built.get());
    Require(formatSize <= DataFormatBlockBytes);
    WAVEFORMATEXTENSIBLE again = {};
    Require(ValidateKsDataFormat(&again, reinterpret_cast<const KSDATAFORMAT*>(built.get()),
                                 formatSize, nullptr, nullptr) == STATUS_SUCCESS);
    // The builder writes at most the record's 22 bytes of extension.
    Require(again.Format.cbSize == 22);
    again.Format.cbSize = record.Format.cbSize;
    Require(std::memcmp(&again, &record, sizeof(record)) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte chooses the optional outputs; the rest is the block.
    if (size < 2) {
        return 0;
    }
    const uint8_t options = data[0];
    const size_t blockSize = size - 1;
    std::unique_ptr<uint8_t[]> block(new uint8_t[blockSize]);
    std::memcpy(block.get(), data + 1, blockSize);
    const KSDATAFORMAT* format = reinterpret_cast<const KSDATAFORMAT*>(block.get());

    GUID mode;
    GUID* modeOut = (options & 1) ? &mode : nullptr;
    std::unique_ptr<WCHAR[]> message((options & 2) ? new WCHAR[MessageCapacity] : nullptr);
    if (message) {
        message[0] = 0;
    }

    WAVEFORMATEXTENSIBLE record = {};
    const NTSTATUS status =
        ValidateKsDataFormat(&record, format, blockSize, modeOut, message.get());
    Require(!message || Terminated(message.get()));
    Require(status == STATUS_SUCCESS || status == STATUS_MORE_ENTRIES ||
            status == STATUS_INVALID_PARAMETER || status == STATUS_NO_MATCH);
    if (NT_SUCCESS(status)) {
        Require(status == STATUS_SUCCESS || modeOut == nullptr);
        Require(IsValidWaveFormat(&record));
        CheckNormalisedRoundTrip(record);
    }

    // A block that holds what it describes is judged the same with its size unknown.
    if (HoldsWhatItDescribes(block.get(), blockSize)) {
        WAVEFORMATEXTENSIBLE vouched = {};
        GUID vouchedMode;
        Require(ValidateKsDataFormat(&vouched, format, 0, modeOut ? &vouchedMode : nullptr,
                                     nullptr) == status);
        if (NT_SUCCESS(status)) {
            Require(std::memcmp(&vouched, &record, sizeof(record)) == 0);
        }
    }
    return 0;
}
