// The backend of the system the library runs on, made for each connection it opens.
#pragma once

#include <memory>

#include "Backend.h"

namespace conduit::capi {

Status CreatePlatformBackend(std::unique_ptr<Backend>* backend);

} // namespace conduit::capi
