// A driver image loaded afresh, as Windows maps a driver image on each load. The file's content
// says which kind it is: a Windows driver (PE32+, built by mingw-w64: conduit.sys) is mapped by
// the host's own PE loader; the host build of the driver (ELF, libconduit_driver.so) is loaded
// as a private copy whose globals start at zero and that binds to its own symbols, so state left
// by an earlier load (or by the copy a test links) cannot leak into it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <ntddk.h>

namespace host {

class PeImage;

class DriverImage {
public:
    // Loads a fresh copy of the image file at path. Throws std::runtime_error when the file
    // cannot be read, is neither kind of image, or the loader refuses it.
    explicit DriverImage(const std::string& path);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    // Whether this is a Windows-built image (which offers no symbols but its entry point).
    bool IsWindowsImage() const { return windowsImage != nullptr; }

    // What the PnP manager calls: the PE image's entry point, or the host build's DriverEntry.
    PDRIVER_INITIALIZE EntryPoint() const;

    // The file of the loaded image that holds address (a function or global of the image that
    // the caller links). Throws when no loaded file holds it.
    static std::string PathOf(const void* address);
    template <class T>
    static std::string PathOf(T* symbol) {
        return PathOf(reinterpret_cast<const void*>(symbol));
    }

    // The fresh copy's counterpart of symbol, a function or global of the linked copy, found by
    // its (mangled) symbol name. Throws when the name is unknown or not exported by the copy,
    // and always for a Windows-built image: its internals are not the test's to reach.
    template <class T>
    T* Resolve(T* symbol) const {
        return reinterpret_cast<T*>(ResolveAddress(reinterpret_cast<const void*>(symbol)));
    }
    void* ResolveAddress(const void* symbol) const;
    // The fresh copy's symbol of that (mangled) name. Throws when it has none.
    void* ResolveName(const std::string& name) const;

    const std::string& Path() const { return path; }

private:
    void LoadSharedObject(const std::vector<unsigned char>& contents);

    std::string path;
    int file = -1;          // the memory file holding a shared object's copy; open while loaded
    void* handle = nullptr; // from dlopen
    std::unique_ptr<PeImage> windowsImage;
};

} // namespace host
