// `conduit status`: the driver's audio endpoints and the device format stored in each, as they
// stand inside the host platform after a client has set a format on each direction.
#pragma once

#include <string>

// imagePath empty: the image this program links. Returns the process exit code.
int RunStatus(const std::string& imagePath);
