// The parts of the PE32+ file format the host's image loader reads, with Windows's names and
// layouts: headers, sections, base relocations, imports, the x64 unwind data and COFF symbols.
#pragma once

#include <cstdint>

namespace host::pe {

constexpr std::uint16_t IMAGE_DOS_SIGNATURE = 0x5A4D;    // "MZ"
constexpr std::uint32_t IMAGE_NT_SIGNATURE = 0x00004550; // "PE\0\0"
constexpr std::uint16_t IMAGE_FILE_MACHINE_AMD64 = 0x8664;
constexpr std::uint16_t IMAGE_NT_OPTIONAL_HDR64_MAGIC = 0x20B;
constexpr std::uint16_t IMAGE_SUBSYSTEM_NATIVE = 1;

constexpr std::uint16_t IMAGE_FILE_RELOCS_STRIPPED = 0x0001;
constexpr std::uint16_t IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002;

constexpr unsigned IMAGE_DIRECTORY_ENTRY_IMPORT = 1;
constexpr unsigned IMAGE_DIRECTORY_ENTRY_EXCEPTION = 3;
constexpr unsigned IMAGE_DIRECTORY_ENTRY_BASERELOC = 5;
constexpr unsigned IMAGE_DIRECTORY_ENTRY_TLS = 9;
constexpr unsigned IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT = 13;
constexpr unsigned IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR = 14;
constexpr unsigned IMAGE_NUMBEROF_DIRECTORY_ENTRIES = 16;

constexpr std::uint32_t IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x00000080;
constexpr std::uint32_t IMAGE_SCN_MEM_DISCARDABLE = 0x02000000;
constexpr std::uint32_t IMAGE_SCN_MEM_EXECUTE = 0x20000000;
constexpr std::uint32_t IMAGE_SCN_MEM_READ = 0x40000000;
constexpr std::uint32_t IMAGE_SCN_MEM_WRITE = 0x80000000;

constexpr std::uint16_t IMAGE_REL_BASED_ABSOLUTE = 0;
constexpr std::uint16_t IMAGE_REL_BASED_DIR64 = 10;
constexpr std::uint64_t IMAGE_ORDINAL_FLAG64 = 0x8000000000000000ull;

struct IMAGE_DOS_HEADER {
    std::uint16_t e_magic;
    std::uint16_t e_unused[29];
    std::int32_t e_lfanew;
};
static_assert(sizeof(IMAGE_DOS_HEADER) == 64);

struct IMAGE_FILE_HEADER {
    std::uint16_t Machine;
    std::uint16_t NumberOfSections;
    std::uint32_t TimeDateStamp;
    std::uint32_t PointerToSymbolTable;
    std::uint32_t NumberOfSymbols;
    std::uint16_t SizeOfOptionalHeader;
    std::uint16_t Characteristics;
};
static_assert(sizeof(IMAGE_FILE_HEADER) == 20);

struct IMAGE_DATA_DIRECTORY {
    std::uint32_t VirtualAddress;
    std::uint32_t Size;
};

struct IMAGE_OPTIONAL_HEADER64 {
    std::uint16_t Magic;
    std::uint8_t MajorLinkerVersion;
    std::uint8_t MinorLinkerVersion;
    std::uint32_t SizeOfCode;
    std::uint32_t SizeOfInitializedData;
    std::uint32_t SizeOfUninitializedData;
    std::uint32_t AddressOfEntryPoint;
    std::uint32_t BaseOfCode;
    std::uint64_t ImageBase;
    std::uint32_t SectionAlignment;
    std::uint32_t FileAlignment;
    std::uint16_t MajorOperatingSystemVersion;
    std::uint16_t MinorOperatingSystemVersion;
    std::uint16_t MajorImageVersion;
    std::uint16_t MinorImageVersion;
    std::uint16_t MajorSubsystemVersion;
    std::uint16_t MinorSubsystemVersion;
    std::uint32_t Win32VersionValue;
    std::uint32_t SizeOfImage;
    std::uint32_t SizeOfHeaders;
    std::uint32_t CheckSum;
    std::uint16_t Subsystem;
    std::uint16_t DllCharacteristics;
    std::uint64_t SizeOfStackReserve;
    std::uint64_t SizeOfStackCommit;
    std::uint64_t SizeOfHeapReserve;
    std::uint64_t SizeOfHeapCommit;
    std::uint32_t LoaderFlags;
    std::uint32_t NumberOfRvaAndSizes;
    IMAGE_DATA_DIRECTORY DataDirectory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
};
static_assert(sizeof(IMAGE_OPTIONAL_HEADER64) == 240);

struct IMAGE_NT_HEADERS64 {
    std::uint32_t Signature;
    IMAGE_FILE_HEADER FileHeader;
    IMAGE_OPTIONAL_HEADER64 OptionalHeader;
};

struct IMAGE_SECTION_HEADER {
    char Name[8];
    std::uint32_t VirtualSize;
    std::uint32_t VirtualAddress;
    std::uint32_t SizeOfRawData;
    std::uint32_t PointerToRawData;
    std::uint32_t PointerToRelocations;
    std::uint32_t PointerToLinenumbers;
    std::uint16_t NumberOfRelocations;
    std::uint16_t NumberOfLinenumbers;
    std::uint32_t Characteristics;
};
static_assert(sizeof(IMAGE_SECTION_HEADER) == 40);

struct IMAGE_BASE_RELOCATION {
    std::uint32_t VirtualAddress;
    std::uint32_t SizeOfBlock;
};

struct IMAGE_IMPORT_DESCRIPTOR {
    std::uint32_t OriginalFirstThunk; // the lookup table: names to bind
    std::uint32_t TimeDateStamp;
    std::uint32_t ForwarderChain;
    std::uint32_t Name;
    std::uint32_t FirstThunk; // the address table the loader fills
};
static_assert(sizeof(IMAGE_IMPORT_DESCRIPTOR) == 20);

// x64 unwind data (the function table's UnwindData points at one).
constexpr std::uint8_t UNW_FLAG_EHANDLER = 0x1;
constexpr std::uint8_t UNW_FLAG_UHANDLER = 0x2;
constexpr std::uint8_t UNW_FLAG_CHAININFO = 0x4;

enum UnwindOperation : std::uint8_t {
    UWOP_PUSH_NONVOL = 0,
    UWOP_ALLOC_LARGE = 1,
    UWOP_ALLOC_SMALL = 2,
    UWOP_SET_FPREG = 3,
    UWOP_SAVE_NONVOL = 4,
    UWOP_SAVE_NONVOL_FAR = 5,
    UWOP_EPILOG = 6,
    UWOP_SPARE_CODE = 7,
    UWOP_SAVE_XMM128 = 8,
    UWOP_SAVE_XMM128_FAR = 9,
    UWOP_PUSH_MACHFRAME = 10,
};

struct UNWIND_INFO {
    std::uint8_t VersionAndFlags; // version in the low 3 bits, flags above
    std::uint8_t SizeOfProlog;
    std::uint8_t CountOfCodes;
    std::uint8_t FrameRegisterAndOffset; // register in the low 4 bits, offset / 16 above
    std::uint16_t UnwindCode[1];         // CountOfCodes slots, padded to an even count
};

// COFF symbol records of an unstripped image (18 bytes, unaligned).
#pragma pack(push, 2)
struct IMAGE_SYMBOL {
    union {
        char ShortName[8];
        struct {
            std::uint32_t Short; // zero when the name is in the string table
            std::uint32_t Long;  // offset into the string table
        } Name;
    } N;
    std::uint32_t Value;
    std::int16_t SectionNumber;
    std::uint16_t Type;
    std::uint8_t StorageClass;
    std::uint8_t NumberOfAuxSymbols;
};
#pragma pack(pop)
static_assert(sizeof(IMAGE_SYMBOL) == 18);
constexpr std::uint16_t IMAGE_SYM_DTYPE_FUNCTION = 2;

} // namespace host::pe
