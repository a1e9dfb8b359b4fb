// The image loader. Windows documents the format but not every refusal of its kernel loader;
// where it is silent this loader takes the strict side and says so in docs/architecture.md:
// relocations are required and always applied (the image never sits at its preferred base),
// the header checksum must be right, imports are by name only, and a section may not be both
// writable and executable.
#include "PeImage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "ImageExports.h"
#include "ImageFaults.h"

namespace host {

namespace {

constexpr std::size_t PageSize = 4096;

std::mutex registryLock;
std::vector<const PeImage*>& Registry() {
    static std::vector<const PeImage*> images;
    return images;
}

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    throw std::runtime_error("PE image " + path + ": " + why);
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

template <class T>
T Read(const std::vector<unsigned char>& file, std::size_t offset, const std::string& path) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) {
        Refuse(path, "truncated at offset " + Hex(offset));
    }
    T value;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

bool PowerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

std::size_t RoundUp(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The PE checksum: a 16-bit sum with end-around carry over the file with the checksum field
// taken as zero, plus the file length.
std::uint32_t Checksum(const std::vector<unsigned char>& file, std::size_t checksumOffset) {
    std::uint64_t sum = 0;
    for (std::size_t offset = 0; offset < file.size(); offset += 2) {
        std::uint32_t word = file[offset];
        if (offset + 1 < file.size()) {
            word |= std::uint32_t(file[offset + 1]) << 8;
        }
        if (offset >= checksumOffset && offset < checksumOffset + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint32_t(sum + file.size());
}

std::string FileName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

PeImage::PeImage(const std::string& imagePath, const std::vector<unsigned char>& file)
    : path(imagePath), moduleName(FileName(imagePath)) {
    Parse(file);
    Map(file);
    try {
        Relocate();
        BindImports();
        FindFunctionTable();
        Protect();
    } catch (...) {
        munmap(reinterpret_cast<void*>(base), size);
        throw;
    }
    LoadSymbols(file);
    ReportImageFaults();
    std::lock_guard<std::mutex> hold(registryLock);
    Registry().push_back(this);
}

PeImage::~PeImage() {
    {
        std::lock_guard<std::mutex> hold(registryLock);
        auto& images = Registry();
        images.erase(std::remove(images.begin(), images.end(), this), images.end());
    }
    munmap(reinterpret_cast<void*>(base), size);
}

const PeImage* PeImage::Containing(std::uintptr_t address) {
    std::lock_guard<std::mutex> hold(registryLock);
    for (const PeImage* image : Registry()) {
        if (address >= image->base && address - image->base < image->size) {
            return image;
        }
    }
    return nullptr;
}

void PeImage::Parse(const std::vector<unsigned char>& file) {
    auto dos = Read<pe::IMAGE_DOS_HEADER>(file, 0, path);
    if (dos.e_magic != pe::IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) {
        Refuse(path, "no MZ header");
    }
    const std::size_t ntOffset = std::size_t(dos.e_lfanew);
    if (Read<std::uint32_t>(file, ntOffset, path) != pe::IMAGE_NT_SIGNATURE) {
        Refuse(path, "no PE signature");
    }
    auto header = Read<pe::IMAGE_FILE_HEADER>(file, ntOffset + 4, path);
    if (header.Machine != pe::IMAGE_FILE_MACHINE_AMD64) {
        Refuse(path, "machine " + Hex(header.Machine) + " is not x64");
    }
    if ((header.Characteristics & pe::IMAGE_FILE_EXECUTABLE_IMAGE) == 0) {
        Refuse(path, "not marked as an executable image");
    }
    if ((header.Characteristics & pe::IMAGE_FILE_RELOCS_STRIPPED) != 0) {
        Refuse(path, "relocations stripped: a driver must load at any address");
    }
    const std::size_t optionalOffset = ntOffset + 4 + sizeof(pe::IMAGE_FILE_HEADER);
    if (header.SizeOfOptionalHeader < sizeof(pe::IMAGE_OPTIONAL_HEADER64)) {
        Refuse(path, "optional header too small for PE32+");
    }
    auto optional = Read<pe::IMAGE_OPTIONAL_HEADER64>(file, optionalOffset, path);
    if (optional.Magic != pe::IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        Refuse(path, "not PE32+");
    }
    if (optional.Subsystem != pe::IMAGE_SUBSYSTEM_NATIVE) {
        Refuse(path, "subsystem " + std::to_string(optional.Subsystem) + " is not native");
    }
    if (!PowerOfTwo(optional.SectionAlignment) || optional.SectionAlignment < PageSize ||
        !PowerOfTwo(optional.FileAlignment) || optional.FileAlignment < 512 ||
        optional.FileAlignment > optional.SectionAlignment) {
        Refuse(path, "section or file alignment out of range");
    }
    if (optional.SizeOfImage == 0 || optional.SizeOfImage % optional.SectionAlignment != 0 ||
        optional.SizeOfHeaders == 0 || optional.SizeOfHeaders > file.size() ||
        optional.SizeOfHeaders > optional.SizeOfImage) {
        Refuse(path, "image or header size out of range");
    }
    if (optional.NumberOfRvaAndSizes > pe::IMAGE_NUMBEROF_DIRECTORY_ENTRIES) {
        Refuse(path, "more data directories than PE32+ has");
    }
    const std::size_t checksumOffset =
        optionalOffset + offsetof(pe::IMAGE_OPTIONAL_HEADER64, CheckSum);
    if (Checksum(file, checksumOffset) != optional.CheckSum) {
        Refuse(path, "header checksum " + Hex(optional.CheckSum) + " does not match the file");
    }
    size = optional.SizeOfImage;
    headerSize = optional.SizeOfHeaders;
    preferredBase = optional.ImageBase;
    entryRva = optional.AddressOfEntryPoint;
    for (unsigned index = 0; index < optional.NumberOfRvaAndSizes; ++index) {
        directories[index] = optional.DataDirectory[index];
    }
    for (unsigned index : {pe::IMAGE_DIRECTORY_ENTRY_TLS, pe::IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT,
                           pe::IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR}) {
        if (directories[index].Size != 0) {
            Refuse(path, "data directory " + std::to_string(index) +
                             " (thread-local storage, delayed imports or managed code) is not "
                             "supported by the kernel loader");
        }
    }
    if (directories[pe::IMAGE_DIRECTORY_ENTRY_BASERELOC].Size == 0) {
        Refuse(path, "no base relocations: a driver must load at any address");
    }

    const std::size_t sectionOffset = optionalOffset + header.SizeOfOptionalHeader;
    std::uint32_t nextAddress = optional.SizeOfHeaders;
    for (unsigned index = 0; index < header.NumberOfSections; ++index) {
        auto section = Read<pe::IMAGE_SECTION_HEADER>(
            file, sectionOffset + index * sizeof(pe::IMAGE_SECTION_HEADER), path);
        std::string name(section.Name, strnlen(section.Name, sizeof(section.Name)));
        std::uint64_t extent = std::max(section.VirtualSize, section.SizeOfRawData);
        if (section.VirtualAddress % optional.SectionAlignment != 0 ||
            section.VirtualAddress < nextAddress || section.VirtualAddress + extent > size) {
            Refuse(path, "section " + name + " lies out of order or outside the image");
        }
        if ((section.Characteristics & pe::IMAGE_SCN_MEM_WRITE) != 0 &&
            (section.Characteristics & pe::IMAGE_SCN_MEM_EXECUTE) != 0) {
            Refuse(path, "section " + name + " is both writable and executable");
        }
        if (section.SizeOfRawData != 0 &&
            (section.PointerToRawData > file.size() ||
             file.size() - section.PointerToRawData < section.SizeOfRawData)) {
            Refuse(path, "section " + name + " has raw data beyond the end of the file");
        }
        nextAddress = section.VirtualAddress + std::uint32_t(extent);
        sections.push_back(section);
    }
    if (sectionOffset + sections.size() * sizeof(pe::IMAGE_SECTION_HEADER) > headerSize) {
        Refuse(path, "section table reaches beyond the headers");
    }
    bool entryExecutable = false;
    for (const auto& section : sections) {
        if (entryRva >= section.VirtualAddress &&
            entryRva - section.VirtualAddress < section.VirtualSize &&
            (section.Characteristics & pe::IMAGE_SCN_MEM_EXECUTE) != 0) {
            entryExecutable = true;
        }
    }
    if (!entryExecutable) {
        Refuse(path, "entry point " + Hex(entryRva) + " is not in an executable section");
    }
}

void PeImage::Map(const std::vector<unsigned char>& file) {
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        Refuse(path, "cannot reserve " + std::to_string(size) + " bytes");
    }
    if (reinterpret_cast<std::uintptr_t>(mapped) == preferredBase) {
        // Windows places drivers at random; so that relocations are always exercised, never
        // leave the image at the base it was linked for.
        void* other =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        munmap(mapped, size);
        if (other == MAP_FAILED) {
            Refuse(path, "cannot reserve " + std::to_string(size) + " bytes");
        }
        mapped = other;
    }
    base = reinterpret_cast<std::uintptr_t>(mapped);
    std::memcpy(mapped, file.data(), headerSize);
    for (const auto& section : sections) {
        std::size_t bytes = section.SizeOfRawData;
        if (section.VirtualSize != 0) {
            bytes = std::min<std::size_t>(bytes, section.VirtualSize);
        }
        std::memcpy(static_cast<unsigned char*>(mapped) + section.VirtualAddress,
                    file.data() + section.PointerToRawData, bytes);
    }
}

unsigned char* PeImage::At(std::uint32_t rva, std::size_t length, const char* what) const {
    if (rva > size || size - rva < length) {
        Refuse(path, std::string(what) + " at " + Hex(rva) + " reaches outside the image");
    }
    return reinterpret_cast<unsigned char*>(base) + rva;
}

void PeImage::Relocate() {
    const auto& directory = directories[pe::IMAGE_DIRECTORY_ENTRY_BASERELOC];
    const unsigned char* block = At(directory.VirtualAddress, directory.Size, "relocations");
    const unsigned char* end = block + directory.Size;
    const std::uint64_t delta = base - preferredBase;
    while (block < end) {
        pe::IMAGE_BASE_RELOCATION header;
        if (std::size_t(end - block) < sizeof(header)) {
            Refuse(path, "truncated relocation block");
        }
        std::memcpy(&header, block, sizeof(header));
        if (header.SizeOfBlock < sizeof(header) || header.SizeOfBlock % 2 != 0 ||
            header.SizeOfBlock > std::size_t(end - block)) {
            Refuse(path, "relocation block of " + std::to_string(header.SizeOfBlock) + " bytes");
        }
        const std::size_t entries = (header.SizeOfBlock - sizeof(header)) / 2;
        for (std::size_t index = 0; index < entries; ++index) {
            std::uint16_t entry;
            std::memcpy(&entry, block + sizeof(header) + 2 * index, sizeof(entry));
            const std::uint16_t type = entry >> 12;
            if (type == pe::IMAGE_REL_BASED_ABSOLUTE) {
                continue; // padding
            }
            if (type != pe::IMAGE_REL_BASED_DIR64) {
                Refuse(path, "relocation type " + std::to_string(type) + " is not x64's");
            }
            unsigned char* target = At(header.VirtualAddress + (entry & 0xFFF), 8, "relocation");
            std::uint64_t value;
            std::memcpy(&value, target, sizeof(value));
            value += delta;
            std::memcpy(target, &value, sizeof(value));
        }
        block += header.SizeOfBlock;
    }
}

void PeImage::BindImports() {
    const auto& directory = directories[pe::IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.Size == 0) {
        return;
    }
    std::vector<std::string> missing;
    for (std::uint32_t offset = 0;; offset += sizeof(pe::IMAGE_IMPORT_DESCRIPTOR)) {
        pe::IMAGE_IMPORT_DESCRIPTOR descriptor;
        std::memcpy(&descriptor,
                    At(directory.VirtualAddress + offset, sizeof(descriptor), "import descriptor"),
                    sizeof(descriptor));
        if (descriptor.Name == 0 && descriptor.FirstThunk == 0) {
            break;
        }
        const char* nameStart = reinterpret_cast<const char*>(At(descriptor.Name, 1, "import"));
        std::string moduleName(nameStart, strnlen(nameStart, size - descriptor.Name));
        const ImageModule* module = FindImageModule(moduleName);
        if (module == nullptr) {
            Refuse(path, "imports from " + moduleName + ", which the host does not provide");
        }
        const std::uint32_t lookup = descriptor.OriginalFirstThunk != 0
                                         ? descriptor.OriginalFirstThunk
                                         : descriptor.FirstThunk;
        for (std::uint32_t slot = 0;; slot += 8) {
            std::uint64_t entry;
            std::memcpy(&entry, At(lookup + slot, 8, "import lookup entry"), sizeof(entry));
            if (entry == 0) {
                break;
            }
            if ((entry & pe::IMAGE_ORDINAL_FLAG64) != 0) {
                Refuse(path, "imports " + moduleName + " #" + std::to_string(entry & 0xFFFF) +
                                 " by ordinal; the host binds by name only");
            }
            // IMAGE_IMPORT_BY_NAME: a 16-bit hint, then the name.
            const std::uint32_t nameRva = std::uint32_t(entry & 0x7FFFFFFF) + 2;
            const char* name = reinterpret_cast<const char*>(At(nameRva, 1, "import name"));
            std::string routine(name, strnlen(name, size - nameRva));
            void* address = FindImageExport(*module, routine);
            if (address == nullptr) {
                missing.push_back(moduleName + "!" + routine);
                continue;
            }
            std::memcpy(At(descriptor.FirstThunk + slot, 8, "import address"), &address,
                        sizeof(address));
        }
    }
    if (!missing.empty()) {
        std::string list;
        for (const std::string& name : missing) {
            list += (list.empty() ? "" : ", ") + name;
        }
        Refuse(path, "imports what the host does not export: " + list);
    }
}

void PeImage::FindFunctionTable() {
    const auto& directory = directories[pe::IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    if (directory.Size % sizeof(RUNTIME_FUNCTION) != 0) {
        Refuse(path, "function table size is not a whole number of entries");
    }
    functionCount = directory.Size / sizeof(RUNTIME_FUNCTION);
    if (functionCount == 0) {
        return;
    }
    functions = reinterpret_cast<const RUNTIME_FUNCTION*>(
        At(directory.VirtualAddress, directory.Size, "function table"));
    std::uint32_t previousEnd = 0;
    for (std::size_t index = 0; index < functionCount; ++index) {
        const RUNTIME_FUNCTION& function = functions[index];
        if (function.BeginAddress < previousEnd || function.EndAddress <= function.BeginAddress ||
            function.EndAddress > size || function.UnwindData >= size) {
            Refuse(path, "function table entry " + std::to_string(index) +
                             " is out of order or outside the image");
        }
        previousEnd = function.EndAddress;
    }
}

void PeImage::Protect() {
    auto* start = reinterpret_cast<unsigned char*>(base);
    // Everything not covered by a section (the gaps, the headers' tail) is inaccessible.
    if (mprotect(start, size, PROT_NONE) != 0 ||
        mprotect(start, RoundUp(headerSize, PageSize), PROT_READ) != 0) {
        Refuse(path, "cannot set the headers' protection");
    }
    for (const auto& section : sections) {
        int protection = PROT_NONE;
        if ((section.Characteristics & pe::IMAGE_SCN_MEM_READ) != 0) {
            protection |= PROT_READ;
        }
        if ((section.Characteristics & pe::IMAGE_SCN_MEM_WRITE) != 0) {
            protection |= PROT_READ | PROT_WRITE;
        }
        if ((section.Characteristics & pe::IMAGE_SCN_MEM_EXECUTE) != 0) {
            protection |= PROT_EXEC;
        }
        std::size_t extent =
            RoundUp(std::max(section.VirtualSize, section.SizeOfRawData), PageSize);
        if (extent != 0 && mprotect(start + section.VirtualAddress, extent, protection) != 0) {
            Refuse(path, "cannot set a section's protection");
        }
    }
}

const RUNTIME_FUNCTION* PeImage::FunctionEntry(std::uintptr_t address) const {
    if (address < base || address - base >= size || functionCount == 0) {
        return nullptr;
    }
    const auto rva = std::uint32_t(address - base);
    const RUNTIME_FUNCTION* end = functions + functionCount;
    const RUNTIME_FUNCTION* after = std::upper_bound(
        functions, end, rva, [](std::uint32_t value, const RUNTIME_FUNCTION& entry) {
            return value < entry.BeginAddress;
        });
    if (after == functions) {
        return nullptr;
    }
    const RUNTIME_FUNCTION* candidate = after - 1;
    return rva < candidate->EndAddress ? candidate : nullptr;
}

} // namespace host
