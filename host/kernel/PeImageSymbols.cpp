// Names for addresses inside a PE image: function symbols from an unstripped copy of the image
// kept beside it (NAME.unstripped.sys beside NAME.sys), used only when its sections hold the very
// bytes the loaded image was mapped from; else the function table's entries by offset.
#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "PeImage.h"

namespace host {

namespace {

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string UnstrippedPath(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return path + ".unstripped";
    }
    return path.substr(0, dot) + ".unstripped" + path.substr(dot);
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(stream), {});
}

template <class T>
bool ReadAt(const std::vector<unsigned char>& file, std::size_t offset, T* value) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(value, file.data() + offset, sizeof(T));
    return true;
}

// The section headers of a PE file, or empty when it is not one.
std::vector<pe::IMAGE_SECTION_HEADER> Sections(const std::vector<unsigned char>& file,
                                               pe::IMAGE_FILE_HEADER* header) {
    std::vector<pe::IMAGE_SECTION_HEADER> sections;
    pe::IMAGE_DOS_HEADER dos;
    if (!ReadAt(file, 0, &dos) || dos.e_magic != pe::IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !ReadAt(file, std::size_t(dos.e_lfanew) + 4, header)) {
        return sections;
    }
    std::size_t offset =
        std::size_t(dos.e_lfanew) + 4 + sizeof(*header) + header->SizeOfOptionalHeader;
    for (unsigned index = 0; index < header->NumberOfSections; ++index) {
        pe::IMAGE_SECTION_HEADER section;
        if (!ReadAt(file, offset + index * sizeof(section), &section)) {
            return {};
        }
        sections.push_back(section);
    }
    return sections;
}

bool SameSectionContents(const std::vector<unsigned char>& image,
                         const std::vector<unsigned char>& unstripped) {
    pe::IMAGE_FILE_HEADER imageHeader;
    pe::IMAGE_FILE_HEADER unstrippedHeader;
    auto imageSections = Sections(image, &imageHeader);
    auto unstrippedSections = Sections(unstripped, &unstrippedHeader);
    // The unstripped copy carries its debug sections after the image's own.
    if (imageSections.empty() || imageSections.size() > unstrippedSections.size()) {
        return false;
    }
    for (std::size_t index = 0; index < imageSections.size(); ++index) {
        const auto& mine = imageSections[index];
        const auto& theirs = unstrippedSections[index];
        if (std::memcmp(mine.Name, theirs.Name, sizeof(mine.Name)) != 0 ||
            mine.VirtualAddress != theirs.VirtualAddress ||
            mine.VirtualSize != theirs.VirtualSize) {
            return false;
        }
        std::size_t bytes = std::min(mine.VirtualSize, mine.SizeOfRawData);
        if (std::min(theirs.VirtualSize, theirs.SizeOfRawData) != bytes ||
            std::size_t(mine.PointerToRawData) + bytes > image.size() ||
            std::size_t(theirs.PointerToRawData) + bytes > unstripped.size() ||
            std::memcmp(image.data() + mine.PointerToRawData,
                        unstripped.data() + theirs.PointerToRawData, bytes) != 0) {
            return false;
        }
    }
    return true;
}

std::string Demangle(const std::string& name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || demangled == nullptr) {
        return name;
    }
    std::string result(demangled);
    std::free(demangled);
    return result;
}

} // namespace

void PeImage::LoadSymbols(const std::vector<unsigned char>& file) {
    const std::vector<unsigned char> unstripped = ReadFile(UnstrippedPath(path));
    if (unstripped.empty() || !SameSectionContents(file, unstripped)) {
        return;
    }
    pe::IMAGE_FILE_HEADER header;
    std::vector<pe::IMAGE_SECTION_HEADER> fileSections = Sections(unstripped, &header);
    const std::size_t table = header.PointerToSymbolTable;
    const std::size_t strings =
        table + std::size_t(header.NumberOfSymbols) * sizeof(pe::IMAGE_SYMBOL);
    if (table == 0 || strings > unstripped.size()) {
        return;
    }
    for (std::size_t index = 0; index < header.NumberOfSymbols; ++index) {
        pe::IMAGE_SYMBOL symbol;
        std::memcpy(&symbol, unstripped.data() + table + index * sizeof(symbol), sizeof(symbol));
        const bool function = (symbol.Type >> 4) == pe::IMAGE_SYM_DTYPE_FUNCTION;
        if (function && symbol.SectionNumber > 0 &&
            std::size_t(symbol.SectionNumber) <= fileSections.size()) {
            std::string name;
            if (symbol.N.Name.Short != 0) {
                name.assign(symbol.N.ShortName, strnlen(symbol.N.ShortName, 8));
            } else if (strings + symbol.N.Name.Long < unstripped.size()) {
                const char* start =
                    reinterpret_cast<const char*>(unstripped.data()) + strings + symbol.N.Name.Long;
                name.assign(start,
                            strnlen(start, unstripped.size() - strings - symbol.N.Name.Long));
            }
            const auto& section = fileSections[std::size_t(symbol.SectionNumber) - 1];
            symbols.push_back({section.VirtualAddress + symbol.Value, Demangle(name)});
        }
        index += symbol.NumberOfAuxSymbols;
    }
    std::sort(symbols.begin(), symbols.end(),
              [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
}

std::string PeImage::DescribeAddress(std::uintptr_t address) const {
    const auto rva = std::uint32_t(address - base);
    // A return address may lie just past its function (a call that never returns), so the
    // call instruction itself is looked up.
    const std::uint32_t lookup = rva - 1;
    auto after = std::upper_bound(
        symbols.begin(), symbols.end(), lookup,
        [](std::uint32_t value, const Symbol& symbol) { return value < symbol.rva; });
    bool inCode = false;
    for (const auto& section : sections) {
        inCode = inCode || ((section.Characteristics & pe::IMAGE_SCN_MEM_EXECUTE) != 0 &&
                            lookup >= section.VirtualAddress &&
                            lookup - section.VirtualAddress < section.VirtualSize);
    }
    // Function symbols name code only; an address in data is given by offset.
    if (inCode && after != symbols.begin()) {
        const Symbol& symbol = *std::prev(after);
        return moduleName + "!" + symbol.name + "+" + Hex(rva - symbol.rva);
    }
    if (const RUNTIME_FUNCTION* function = FunctionEntry(address - 1)) {
        return moduleName + "+" + Hex(rva) + " (function at +" + Hex(function->BeginAddress) + ")";
    }
    return moduleName + "+" + Hex(rva);
}

} // namespace host
