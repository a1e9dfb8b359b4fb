// A Windows-built driver image (PE32+, native subsystem) mapped as the kernel loader maps one:
// sections at their protections, base relocations applied at an address other than the preferred
// one, and every import bound to the host's export of that module and name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <ntddk.h>

#include "PeFormat.h"

namespace host {

class PeImage {
public:
    // Maps file, the contents of the image at path. Throws std::runtime_error saying what the
    // loader refuses (a malformed header, a section both writable and executable, an import the
    // host does not export, named "module!routine", ...).
    PeImage(const std::string& path, const std::vector<unsigned char>& file);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    std::uintptr_t Base() const { return base; }
    std::size_t Size() const { return size; }
    const std::string& Path() const { return path; }
    void* EntryPoint() const { return reinterpret_cast<void*>(base + entryRva); }

    // The function-table entry whose range holds address, or null (a leaf function, or an
    // address outside every function).
    const RUNTIME_FUNCTION* FunctionEntry(std::uintptr_t address) const;

    // A return address inside the image as "conduit.sys!Function+0x1c" when an unstripped copy
    // of the image lay beside it, else "conduit.sys+0x141c (function at +0x1400)" from the
    // function table.
    std::string DescribeAddress(std::uintptr_t address) const;

    // The loaded image that holds address, or null. An image is listed from the end of its
    // construction to the start of its destruction; the caller must know it stays loaded.
    static const PeImage* Containing(std::uintptr_t address);

private:
    struct Symbol {
        std::uint32_t rva;
        std::string name;
    };

    void Parse(const std::vector<unsigned char>& file);
    void Map(const std::vector<unsigned char>& file);
    void Relocate();
    void BindImports();
    void FindFunctionTable();
    void Protect();
    void LoadSymbols(const std::vector<unsigned char>& file);
    // Address of rva..rva+length inside the mapping; throws when it reaches outside.
    unsigned char* At(std::uint32_t rva, std::size_t length, const char* what) const;

    std::string path;
    std::string moduleName;
    std::uintptr_t base = 0;
    std::size_t size = 0;
    std::uint32_t entryRva = 0;
    std::uint64_t preferredBase = 0;
    std::uint32_t headerSize = 0;
    std::vector<pe::IMAGE_SECTION_HEADER> sections;
    pe::IMAGE_DATA_DIRECTORY directories[pe::IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
    const RUNTIME_FUNCTION* functions = nullptr;
    std::size_t functionCount = 0;
    std::vector<Symbol> symbols; // function symbols by address, from an unstripped copy
};

} // namespace host
