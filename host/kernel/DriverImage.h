// A driver image loaded afresh, as Windows maps a driver image on each load: every load is a
// private copy of libconduit_driver.so whose globals start at zero and that binds to its own
// symbols, so state left by an earlier load (or by the copy a test links) cannot leak into it.
#pragma once

#include <string>

namespace host {

class DriverImage {
public:
    // Loads a fresh copy of the image file at path. Throws std::runtime_error when the file
    // cannot be read or the copy cannot be loaded.
    explicit DriverImage(const std::string& path);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    // The file of the loaded image that holds address (a function or global of the image that
    // the caller links). Throws when no loaded file holds it.
    static std::string PathOf(const void* address);
    template <class T>
    static std::string PathOf(T* symbol) {
        return PathOf(reinterpret_cast<const void*>(symbol));
    }

    // The fresh copy's counterpart of symbol, a function or global of the linked copy, found by
    // its (mangled) symbol name. Throws when the name is unknown or not exported by the copy.
    template <class T>
    T* Resolve(T* symbol) const {
        return reinterpret_cast<T*>(ResolveAddress(reinterpret_cast<const void*>(symbol)));
    }
    void* ResolveAddress(const void* symbol) const;
    // The fresh copy's symbol of that (mangled) name. Throws when it has none.
    void* ResolveName(const std::string& name) const;

    const std::string& Path() const { return path; }

private:
    std::string path;
    int file = -1;          // the memory file holding the copy; open while it is loaded
    void* handle = nullptr; // from dlopen
};

} // namespace host
