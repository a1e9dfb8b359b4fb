// The names of the statuses the header defines, and the ABI version.
#include "conduit/conduit.h"

namespace {

struct StatusName {
    conduit_status status;
    const char* name;
};

constexpr StatusName Names[] = {
    {CONDUIT_OK, "CONDUIT_OK"},
    {CONDUIT_ERROR_BUSY, "CONDUIT_ERROR_BUSY"},
    {CONDUIT_ERROR_UNSUCCESSFUL, "CONDUIT_ERROR_UNSUCCESSFUL"},
    {CONDUIT_ERROR_INVALID_HANDLE, "CONDUIT_ERROR_INVALID_HANDLE"},
    {CONDUIT_ERROR_INVALID_PARAMETER, "CONDUIT_ERROR_INVALID_PARAMETER"},
    {CONDUIT_ERROR_INVALID_REQUEST, "CONDUIT_ERROR_INVALID_REQUEST"},
    {CONDUIT_ERROR_NO_MEMORY, "CONDUIT_ERROR_NO_MEMORY"},
    {CONDUIT_ERROR_BUFFER_TOO_SMALL, "CONDUIT_ERROR_BUFFER_TOO_SMALL"},
    {CONDUIT_ERROR_NO_DEVICE, "CONDUIT_ERROR_NO_DEVICE"},
    {CONDUIT_ERROR_NOT_READY, "CONDUIT_ERROR_NOT_READY"},
    {CONDUIT_ERROR_WRONG_STATE, "CONDUIT_ERROR_WRONG_STATE"},
    {CONDUIT_ERROR_PROTOCOL, "CONDUIT_ERROR_PROTOCOL"},
    {CONDUIT_ERROR_ALREADY_REGISTERED, "CONDUIT_ERROR_ALREADY_REGISTERED"},
};

} // namespace

extern "C" CONDUIT_API const char* conduit_status_name(conduit_status status) {
    for (const StatusName& entry : Names) {
        if (entry.status == status) {
            return entry.name;
        }
    }
    return "unknown";
}

extern "C" CONDUIT_API uint32_t conduit_abi_version(void) {
    return CONDUIT_ABI_VERSION;
}
