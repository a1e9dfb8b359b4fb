// On Windows the library is an ordinary Win32 client of the installed driver.
#include "PlatformBackend.h"

#include "Win32Backend.h"

namespace conduit::capi {

Status CreatePlatformBackend(std::unique_ptr<Backend>* backend) {
    *backend = std::make_unique<Win32Backend>();
    return Status::Ok();
}

} // namespace conduit::capi
