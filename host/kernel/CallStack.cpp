// Stack capture with backtrace() and symbolisation with dladdr and the demangler. Functions that
// the dynamic symbol table does not list (static and anonymous-namespace functions of the driver
// and the tests) are found in the object's full symbol table, read once per object file.
#include "CallStack.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "PeImage.h"

namespace host {

namespace {

struct ElfFunction {
    uintptr_t start;
    uintptr_t size;
    std::string name;
};

// Function symbols of one object file, sorted by address (file addresses, before relocation).
using ElfFunctions = std::vector<ElfFunction>;

// An object file mapped read-only; only the pages of the headers and symbol tables are touched.
class MappedFile {
public:
    explicit MappedFile(const std::string& path) {
        int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0) {
            return;
        }
        struct stat status {};
        if (fstat(descriptor, &status) == 0 && status.st_size > 0) {
            void* mapped = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ,
                                MAP_PRIVATE, descriptor, 0);
            if (mapped != MAP_FAILED) {
                bytes = static_cast<const char*>(mapped);
                length = static_cast<size_t>(status.st_size);
            }
        }
        close(descriptor);
    }
    ~MappedFile() {
        if (bytes != nullptr) {
            munmap(const_cast<char*>(bytes), length);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const char* data() const { return bytes; }
    size_t size() const { return length; }

private:
    const char* bytes = nullptr;
    size_t length = 0;
};

ElfFunctions ReadElfFunctions(const std::string& path) {
    ElfFunctions functions;
    MappedFile image(path);
    if (image.size() < sizeof(Elf64_Ehdr)) {
        return functions;
    }
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_shentsize != sizeof(Elf64_Shdr) ||
        header->e_shoff + uint64_t(header->e_shnum) * sizeof(Elf64_Shdr) > image.size()) {
        return functions;
    }
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
    for (unsigned index = 0; index < header->e_shnum; ++index) {
        const Elf64_Shdr& table = sections[index];
        if (table.sh_type != SHT_SYMTAB || table.sh_link >= header->e_shnum ||
            table.sh_entsize != sizeof(Elf64_Sym) ||
            table.sh_offset + table.sh_size > image.size()) {
            continue;
        }
        const Elf64_Shdr& strings = sections[table.sh_link];
        if (strings.sh_offset + strings.sh_size > image.size()) {
            continue;
        }
        const auto* symbols = reinterpret_cast<const Elf64_Sym*>(image.data() + table.sh_offset);
        for (size_t s = 0; s < table.sh_size / sizeof(Elf64_Sym); ++s) {
            const Elf64_Sym& symbol = symbols[s];
            if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_value == 0 ||
                symbol.st_size == 0 || symbol.st_name >= strings.sh_size) {
                continue;
            }
            const char* name = image.data() + strings.sh_offset + symbol.st_name;
            functions.push_back(
                {symbol.st_value, symbol.st_size,
                 std::string(name, strnlen(name, strings.sh_size - symbol.st_name))});
        }
    }
    std::sort(functions.begin(), functions.end(),
              [](const ElfFunction& a, const ElfFunction& b) { return a.start < b.start; });
    return functions;
}

const ElfFunction* FindElfFunction(const std::string& path, uintptr_t fileAddress) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<ElfFunctions>> cache;
    std::lock_guard<std::mutex> hold(lock);
    auto& entry = cache[path];
    if (!entry) {
        entry = std::make_unique<ElfFunctions>(ReadElfFunctions(path));
    }
    auto after = std::upper_bound(
        entry->begin(), entry->end(), fileAddress,
        [](uintptr_t address, const ElfFunction& function) { return address < function.start; });
    if (after == entry->begin()) {
        return nullptr;
    }
    const ElfFunction& candidate = *std::prev(after);
    return fileAddress < candidate.start + candidate.size ? &candidate : nullptr;
}

std::string Demangle(const char* name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || demangled == nullptr) {
        return name;
    }
    std::string result(demangled);
    std::free(demangled);
    return result;
}

struct ResolvedFrame {
    std::string function; // demangled, empty when unknown
    uintptr_t functionStart = 0;
    std::string module; // file name of the object, empty when unknown
    uintptr_t moduleBase = 0;
};

ResolvedFrame Resolve(const void* returnAddress) {
    ResolvedFrame frame;
    // A return address may lie just past the end of its function (a call to a noreturn
    // routine), so look up the call instruction itself.
    uintptr_t address = reinterpret_cast<uintptr_t>(returnAddress) - 1;
    Dl_info info{};
    link_map* object = nullptr;
    if (dladdr1(reinterpret_cast<void*>(address), &info, reinterpret_cast<void**>(&object),
                RTLD_DL_LINKMAP) == 0) {
        return frame;
    }
    frame.moduleBase = reinterpret_cast<uintptr_t>(info.dli_fbase);
    if (info.dli_fname != nullptr) {
        frame.module = info.dli_fname;
        size_t slash = frame.module.rfind('/');
        if (slash != std::string::npos) {
            frame.module.erase(0, slash + 1);
        }
    }
    if (info.dli_sname != nullptr) {
        frame.function = Demangle(info.dli_sname);
        frame.functionStart = reinterpret_cast<uintptr_t>(info.dli_saddr);
        return frame;
    }
    if (object != nullptr) {
        std::string path = object->l_name[0] != '\0' ? object->l_name : "/proc/self/exe";
        if (const ElfFunction* function = FindElfFunction(path, address - object->l_addr)) {
            frame.function = Demangle(function->name.c_str());
            frame.functionStart = function->start + object->l_addr;
        }
    }
    return frame;
}

std::string Hex(uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(value));
    return text;
}

} // namespace

CallStack CaptureCallStack(const void* from, size_t maximumFrames) {
    void* frames[64];
    int count = backtrace(frames, 64);
    int first = 0;
    while (first < count && frames[first] != from) {
        ++first;
    }
    if (first == count) {
        first = 0;
    }
    size_t kept = std::min(static_cast<size_t>(count - first), maximumFrames);
    return CallStack(frames + first, frames + first + kept);
}

std::string FrameFunctionName(const void* returnAddress) {
    return Resolve(returnAddress).function;
}

std::string DescribeFrame(const void* returnAddress) {
    uintptr_t address = reinterpret_cast<uintptr_t>(returnAddress);
    if (const PeImage* image = PeImage::Containing(address - 1)) {
        return image->DescribeAddress(address);
    }
    ResolvedFrame frame = Resolve(returnAddress);
    if (!frame.function.empty()) {
        return frame.function + "+" + Hex(address - frame.functionStart);
    }
    if (!frame.module.empty()) {
        return frame.module + "+" + Hex(address - frame.moduleBase);
    }
    return Hex(address);
}

} // namespace host
