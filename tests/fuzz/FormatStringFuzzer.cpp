// Drives the bounded formatter with arbitrary formats and arguments. Pointer arguments always
// point into memory the fuzzer owns, so any bad read or write is the formatter's own; the
// output must stay inside its capacity and agree with the untruncated output.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "support/StringFormatter.h"

namespace {

constexpr size_t SlotCount = 16;
constexpr size_t MaxFormatLength = 512;
constexpr WCHAR Canary = 0xA5A5;
constexpr size_t CanaryLength = 4;
constexpr ULONGLONG Capacities[] = {0, 1, 2, 3, 7, 40};
constexpr ULONGLONG LargeCapacity = 4096;

enum class SlotKind { Integer, WideString, NarrowString, CountedString, CountTarget };

void Check(bool condition) {
    if (!condition) {
        abort();
    }
}

// The fuzzer's own reading of the format: which slot each conversion takes and what it points
// at. It must agree with the formatter's, or the formatter dereferences an integer.
class SlotPlan {
public:
    explicit SlotPlan(const WCHAR* format) {
        for (size_t at = 0; format[at] != 0 && !overflow_;) {
            if (format[at] == L'%' && format[at + 1] == L'%') {
                at += 2;
            } else if (format[at] == L'%' && format[at + 1] == L'n') {
                Add(SlotKind::CountTarget);
                at += 2;
            } else if (format[at] == L'%' && format[at + 1] != 0) {
                at += ConversionLength(format + at + 1);
            } else {
                ++at;
            }
        }
    }

    bool Fits() const { return !overflow_; }
    size_t Count() const { return count_; }
    SlotKind Kind(size_t index) const { return kinds_[index]; }

private:
    void Add(SlotKind kind) {
        if (count_ == SlotCount) {
            overflow_ = true;
            return;
        }
        kinds_[count_++] = kind;
    }

    static bool In(WCHAR character, const wchar_t* set) {
        for (; *set != 0; ++set) {
            if (*set == character) {
                return true;
            }
        }
        return false;
    }

    static bool Digit(WCHAR character) { return character >= L'0' && character <= L'9'; }

    // Returns the characters to skip after the "%": the whole conversion if accepted, none
    // (just the "%") if rejected, and records the slots an accepted one takes.
    size_t ConversionLength(const WCHAR* text) {
        size_t at = 0;
        size_t stars = 0;
        while (In(text[at], L"-+#0 ")) {
            ++at;
        }
        if (text[at] == L'*') {
            ++stars;
            ++at;
        } else {
            while (Digit(text[at])) {
                ++at;
            }
        }
        if (text[at] == L'.') {
            ++at;
            if (text[at] == L'*') {
                ++stars;
                ++at;
            } else if (Digit(text[at])) {
                while (Digit(text[at])) {
                    ++at;
                }
            } else {
                return 1;
            }
        }
        if (text[at] == L'l' && text[at + 1] == L'l') {
            at += 2;
        } else if (text[at] == L'I' && ((text[at + 1] == L'3' && text[at + 2] == L'2') ||
                                        (text[at + 1] == L'6' && text[at + 2] == L'4'))) {
            at += 3;
        } else if (In(text[at], L"hlzI")) {
            ++at;
        }
        WCHAR conversion = text[at];
        if (conversion == 0 || !In(conversion, L"diuxXobypPcCsSU")) {
            return 1;
        }
        for (size_t star = 0; star < stars; ++star) {
            Add(SlotKind::Integer);
        }
        Add(conversion == L's'   ? SlotKind::WideString
            : conversion == L'S' ? SlotKind::NarrowString
            : conversion == L'U' ? SlotKind::CountedString
                                 : SlotKind::Integer);
        return at + 2;
    }

    SlotKind kinds_[SlotCount] = {};
    size_t count_ = 0;
    bool overflow_ = false;
};

// Memory the pointer arguments point into, each allocation exactly as large as it may be read.
struct ArgumentMemory {
    std::vector<WCHAR> wide;          // terminated
    std::vector<char> narrow;         // terminated
    std::vector<WCHAR> countedBuffer; // not terminated
    UNICODE_STRING counted[SlotCount] = {};
    ULONG counts[SlotCount] = {};
};

struct Reader {
    const uint8_t* data;
    size_t size;

    uint8_t Byte() {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }

    ULONGLONG Slot() {
        ULONGLONG value = 0;
        for (int index = 0; index < 8; ++index) {
            value = (value << 8) | Byte();
        }
        return value;
    }
};

// A pointer slot's value picks null (low byte 0) or an offset into the owned memory.
ULONGLONG PointerSlot(SlotKind kind, ULONGLONG value, size_t index, ArgumentMemory& memory) {
    if ((value & 0xFF) == 0) {
        return 0;
    }
    ULONGLONG choice = value >> 8;
    switch (kind) {
    case SlotKind::WideString:
        return reinterpret_cast<uintptr_t>(memory.wide.data() + choice % memory.wide.size());
    case SlotKind::NarrowString:
        return reinterpret_cast<uintptr_t>(memory.narrow.data() + choice % memory.narrow.size());
    case SlotKind::CountedString: {
        UNICODE_STRING& string = memory.counted[index];
        USHORT bytes = static_cast<USHORT>(memory.countedBuffer.size() * sizeof(WCHAR));
        string.MaximumLength = bytes;
        string.Length = static_cast<USHORT>(choice % (bytes + 1U));
        string.Buffer = (choice >> 16) % 8 == 0 ? nullptr : memory.countedBuffer.data();
        return reinterpret_cast<uintptr_t>(&string);
    }
    case SlotKind::CountTarget:
        return reinterpret_cast<uintptr_t>(&memory.counts[index]);
    default:
        return value;
    }
}

struct Result {
    ULONG written;
    std::vector<WCHAR> text;
};

Result Run(ULONGLONG capacity, const WCHAR* format, const ULONGLONG* slots) {
    std::vector<WCHAR> buffer(capacity + CanaryLength, Canary);
    ULONG written =
        PrintString(buffer.data(), capacity, format, slots[0], slots[1], slots[2], slots[3],
                    slots[4], slots[5], slots[6], slots[7], slots[8], slots[9], slots[10],
                    slots[11], slots[12], slots[13], slots[14], slots[15]);
    for (size_t index = capacity; index < buffer.size(); ++index) {
        Check(buffer[index] == Canary);
    }
    if (capacity == 0) {
        Check(written == 0);
        return {0, {}};
    }
    // Exactly the counted characters and a terminator; the rest of the buffer untouched.
    Check(written < capacity);
    Check(buffer[written] == 0);
    for (size_t index = written + 1; index < capacity; ++index) {
        Check(buffer[index] == Canary);
    }
    return {written, std::vector<WCHAR>(buffer.begin(), buffer.begin() + written)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader reader{data, size};
    ULONGLONG values[SlotCount];
    for (ULONGLONG& value : values) {
        value = reader.Slot();
    }

    ArgumentMemory memory;
    size_t textLength = 1 + reader.Byte() % 48;
    for (size_t index = 0; index < textLength; ++index) {
        uint8_t byte = reader.Byte();
        memory.narrow.push_back(static_cast<char>(byte == 0 ? 'z' : byte));
        memory.wide.push_back(static_cast<WCHAR>(byte == 0 ? 0x263A : byte * 0x101));
        memory.countedBuffer.push_back(static_cast<WCHAR>(byte));
    }
    memory.narrow.push_back(0);
    memory.wide.push_back(0);

    // The rest is the format: bytes widen to characters, and 0x01 escapes a full 16-bit one.
    std::vector<WCHAR> format;
    while (reader.size != 0 && format.size() < MaxFormatLength) {
        uint8_t byte = reader.Byte();
        WCHAR character = byte;
        if (byte == 0x01) {
            character = static_cast<WCHAR>((reader.Byte() << 8) | reader.Byte());
        }
        if (character == 0) {
            break;
        }
        format.push_back(character);
    }
    format.push_back(0);

    SlotPlan plan(format.data());
    if (!plan.Fits()) {
        return -1;
    }
    ULONGLONG slots[SlotCount] = {};
    for (size_t index = 0; index < SlotCount; ++index) {
        slots[index] =
            index < plan.Count() ? PointerSlot(plan.Kind(index), values[index], index, memory) : 0;
    }

    // A truncated output is the start of the full one, counted the same way.
    Result full = Run(LargeCapacity, format.data(), slots);
    for (ULONGLONG capacity : Capacities) {
        Result cut = Run(capacity, format.data(), slots);
        if (capacity == 0) {
            continue;
        }
        ULONGLONG expected = full.written < capacity - 1 ? full.written : capacity - 1;
        Check(cut.written == expected);
        Check(std::equal(cut.text.begin(), cut.text.end(), full.text.begin()));
    }
    return 0;
}
