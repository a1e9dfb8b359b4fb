// On Linux the device exists only inside the host platform, and a program is a client of it
// while its thread runs in one of the host's user-mode processes: the connection keeps making
// its calls in that process, whichever thread makes them later.
#include "PlatformBackend.h"

#include "HostBackend.h"
#include "kernel/Machine.h"
#include "kernel/Process.h"

namespace conduit::capi {

Status CreatePlatformBackend(std::unique_ptr<Backend>* backend) {
    if (host::Machine::CurrentOrNull() == nullptr) {
        return Status(status::ObjectNameNotFound,
                      "no host machine runs in this program: on Linux the device exists only "
                      "inside the host platform");
    }
    host::Process* process = host::CurrentProcess();
    if (process == nullptr) {
        return Status(status::ObjectNameNotFound,
                      "the calling thread runs in no user-mode process of the host platform");
    }
    *backend = std::make_unique<HostBackend>(*process);
    return Status::Ok();
}

} // namespace conduit::capi
