// The connection table and the calling thread's last outcome.
#include "Handles.h"

namespace conduit::capi {

namespace {
thread_local std::string lastError;
}

HandleTable<conduit_connection>& Connections() {
    // Never destroyed: a program may still close a handle from a destructor of its own that
    // runs after the library's.
    static auto* table = new HandleTable<conduit_connection>();
    return *table;
}

conduit_status Record(conduit_status code, const std::string& message) {
    try {
        lastError = message;
    } catch (...) {
        lastError.clear();
    }
    return code;
}

conduit_status Record(const Status& status) {
    return Record(status.code(), status.ok() ? std::string() : status.message());
}

} // namespace conduit::capi

extern "C" CONDUIT_API const char* conduit_last_error(void) {
    return conduit::capi::lastError.c_str();
}
