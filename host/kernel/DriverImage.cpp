// Fresh driver-image copies. A Windows image goes to the PE loader; a shared object is copied
// into a memory file and loaded from there, which gives the dynamic loader a new object (new
// inode, new name) on every load.
#include "DriverImage.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "PeImage.h"

namespace host {

namespace {

[[noreturn]] void Fail(const std::string& message) {
    throw std::runtime_error("driver image: " + message);
}

std::string SystemError() {
    return std::strerror(errno);
}

std::vector<unsigned char> ReadWhole(const std::string& path) {
    int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        Fail("cannot open " + path + ": " + SystemError());
    }
    std::vector<unsigned char> contents;
    unsigned char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(source, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            int error = errno;
            close(source);
            errno = error;
            Fail("cannot read " + path + ": " + SystemError());
        }
        if (got == 0) {
            break;
        }
        contents.insert(contents.end(), buffer, buffer + got);
    }
    close(source);
    return contents;
}

bool StartsWith(const std::vector<unsigned char>& contents, const char* magic, size_t length) {
    return contents.size() >= length && std::memcmp(contents.data(), magic, length) == 0;
}

} // namespace

DriverImage::DriverImage(const std::string& imagePath) : path(imagePath) {
    const std::vector<unsigned char> contents = ReadWhole(path);
    if (StartsWith(contents, "MZ", 2)) {
        windowsImage = std::make_unique<PeImage>(path, contents);
    } else if (StartsWith(contents,
                          "\x7f"
                          "ELF",
                          4)) {
        LoadSharedObject(contents);
    } else {
        Fail(path + " is neither a Windows driver image nor a host shared object");
    }
}

void DriverImage::LoadSharedObject(const std::vector<unsigned char>& contents) {
    file = memfd_create("conduit-driver-image", MFD_CLOEXEC);
    if (file < 0) {
        Fail("cannot create a memory file: " + SystemError());
    }
    for (size_t done = 0; done < contents.size();) {
        ssize_t put = write(file, contents.data() + done, contents.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            close(file);
            Fail("cannot copy " + path + ": " + SystemError());
        }
        done += size_t(put);
    }
    // The memory file stays open while the copy is loaded: the loader recognises objects by
    // name, and a reused descriptor number must never name a copy that is still loaded.
    std::string name = "/proc/self/fd/" + std::to_string(file);
    handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        close(file);
        Fail("cannot load a copy of " + path + ": " + (error != nullptr ? error : "unknown"));
    }
}

DriverImage::~DriverImage() {
    if (handle != nullptr) {
        dlclose(handle);
        close(file);
    }
}

PDRIVER_INITIALIZE DriverImage::EntryPoint() const {
    if (windowsImage != nullptr) {
        return reinterpret_cast<PDRIVER_INITIALIZE>(windowsImage->EntryPoint());
    }
    return reinterpret_cast<PDRIVER_INITIALIZE>(ResolveName("DriverEntry"));
}

std::string DriverImage::PathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        Fail("no loaded file holds the given address");
    }
    return info.dli_fname;
}

void* DriverImage::ResolveAddress(const void* symbol) const {
    if (windowsImage != nullptr) {
        Fail(path + " is a Windows-built image: only its entry point is reachable");
    }
    Dl_info info{};
    if (dladdr(symbol, &info) == 0 || info.dli_sname == nullptr) {
        Fail("the given address has no symbol");
    }
    // dladdr names the nearest symbol below the address; only an exact match is the same thing.
    if (info.dli_saddr != symbol) {
        Fail(std::string("the given address lies inside ") + info.dli_sname + ", not at a symbol");
    }
    void* resolved = ResolveName(info.dli_sname);
    if (resolved == symbol) {
        Fail(std::string(info.dli_sname) + " resolved to the linked copy, not the fresh one");
    }
    return resolved;
}

void* DriverImage::ResolveName(const std::string& name) const {
    if (windowsImage != nullptr) {
        Fail(path + " is a Windows-built image: only its entry point is reachable, not " + name);
    }
    dlerror();
    void* resolved = dlsym(handle, name.c_str());
    const char* error = dlerror();
    if (error != nullptr || resolved == nullptr) {
        Fail("the copy of " + path + " exports no " + name);
    }
    // dlsym searches the copy's dependencies too; a symbol found there is not the image's own.
    Dl_info info{};
    if (dladdr(resolved, &info) == 0 || info.dli_fbase == nullptr) {
        Fail(name + " resolved outside any loaded file");
    }
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        Fail("cannot read the load map of the copy of " + path);
    }
    if (reinterpret_cast<ElfW(Addr)>(info.dli_fbase) != map->l_addr) {
        Fail(name + " is not defined by the driver image but by " +
             (info.dli_fname != nullptr ? info.dli_fname : "another file"));
    }
    return resolved;
}

} // namespace host
