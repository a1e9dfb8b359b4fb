// A plain exclusive lock for the handle tables and objects. mingw-w64's default thread model has
// no std::mutex, so on Windows it is a slim reader/writer lock taken exclusively (Lock.cpp, which
// keeps windows.h and its macros out of the library's other files).
#pragma once

#ifndef _WIN32
#include <mutex>
#endif

namespace conduit::capi {

class Lock {
public:
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
#ifdef _WIN32
    void Acquire();
    void Release();

private:
    void* lock_ = nullptr; // an SRWLOCK: one pointer, all zeros when free
#else
    void Acquire() {
        lock_.lock();
    }
    void Release() {
        lock_.unlock();
    }

private:
    std::mutex lock_;
#endif
};

class Hold {
public:
    explicit Hold(Lock& lock) : lock_(lock) { lock_.Acquire(); }
    ~Hold() { lock_.Release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    Lock& lock_;
};

} // namespace conduit::capi
