// The objects behind the C interface's handles, and the tables that vouch for them. A handle is
// the address of an object the library made; every call looks it up before touching it, so a
// null, stale or foreign handle is refused instead of followed, and the call keeps the object
// alive until it returns even if another thread frees the handle meanwhile.
#pragma once

#include <atomic>
#include <memory>
#include "Lock.h"
#include <string>
#include <unordered_map>

#include "Backend.h"
#include "conduit/Client.h"
#include "conduit/conduit.h"

namespace conduit::capi {

template <class Object>
class HandleTable {
public:
    Object* Add(std::shared_ptr<Object> object) {
        Object* handle = object.get();
        Hold hold(lock_);
        objects_.emplace(handle, std::move(object));
        return handle;
    }
    std::shared_ptr<Object> Find(const Object* handle) {
        Hold hold(lock_);
        auto found = objects_.find(handle);
        return found == objects_.end() ? nullptr : found->second;
    }
    std::shared_ptr<Object> Remove(const Object* handle) {
        Hold hold(lock_);
        auto found = objects_.find(handle);
        if (found == objects_.end()) {
            return nullptr;
        }
        std::shared_ptr<Object> object = std::move(found->second);
        objects_.erase(found);
        return object;
    }

private:
    Lock lock_;
    std::unordered_map<const Object*, std::shared_ptr<Object>> objects_;
};

// Records the outcome of a call for conduit_last_error and returns its code.
conduit_status Record(const Status& status);
conduit_status Record(conduit_status code, const std::string& message);

// Runs a call's body; no C++ exception crosses the C boundary.
template <class Body>
conduit_status Guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Record(CONDUIT_ERROR_NO_MEMORY, "out of memory");
    } catch (...) {
        return Record(CONDUIT_ERROR_UNSUCCESSFUL, "an unexpected failure inside the library");
    }
}

conduit_stream_format ToC(const StreamFormat& format);
void ToC(const StreamView& view, conduit_stream_view* out);

} // namespace conduit::capi

// An open direction. Its lock orders the calls on the connection against its close; a session
// uses the connection without it, which is why the connection cannot close under a session.
struct conduit_connection {
    std::unique_ptr<conduit::Backend> backend;
    std::unique_ptr<conduit::Connection> connection;
    conduit::capi::Lock lock;
    unsigned sessions = 0; // under lock
    bool closed = false;   // under lock
};

namespace conduit::capi {

HandleTable<conduit_connection>& Connections();

// Runs body with the connection locked, once the handle names an open one.
template <class Body>
conduit_status WithConnection(conduit_connection* handle, Body body) {
    return Guarded([&] {
        std::shared_ptr<conduit_connection> connection = Connections().Find(handle);
        if (!connection) {
            return Record(CONDUIT_ERROR_INVALID_HANDLE, "not an open connection");
        }
        Hold hold(connection->lock);
        if (connection->closed) {
            return Record(CONDUIT_ERROR_INVALID_HANDLE, "the connection is closed");
        }
        return body(connection);
    });
}

} // namespace conduit::capi
