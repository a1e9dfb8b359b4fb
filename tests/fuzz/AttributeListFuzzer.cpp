// Arbitrary attribute lists, their size known, through ValidateAttributeList: no header or
// mode may be read outside the list, and the statuses stay within the documented four.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/AttributeList.h"
#include "support/Diagnostics.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte chooses the optional outputs; the rest is the list.
    if (size < 2) {
        return 0;
    }
    const uint8_t options = data[0];
    const size_t listBytes = size - 1;
    std::unique_ptr<uint8_t[]> list(new uint8_t[listBytes]);
    std::memcpy(list.get(), data + 1, listBytes);

    GUID mode;
    GUID* modeOut = (options & 1) ? &mode : nullptr;
    std::unique_ptr<WCHAR[]> message((options & 2) ? new WCHAR[MessageCapacity] : nullptr);
    if (message) {
        message[0] = 0;
    }

    const NTSTATUS status = ValidateAttributeList(list.get(), listBytes, modeOut, message.get());
    Require(!message || Terminated(message.get()));
    Require(status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER ||
            status == STATUS_NO_MATCH || (status == STATUS_MORE_ENTRIES && modeOut == nullptr));

    // A list that fits in what is available is judged the same with the size unknown.
    if (listBytes >= sizeof(KSMULTIPLE_ITEM)) {
        ULONG listSize;
        std::memcpy(&listSize, list.get(), sizeof(listSize));
        if (listSize <= listBytes) {
            GUID vouchedMode;
            Require(ValidateAttributeList(list.get(), 0, modeOut ? &vouchedMode : nullptr,
                                          nullptr) == status);
            Require(!modeOut || status != STATUS_SUCCESS ||
                    std::memcmp(&vouchedMode, &mode, sizeof(GUID)) == 0);
        }
    }
    return 0;
}
