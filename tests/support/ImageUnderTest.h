// Which driver image a black-box suite runs against: the Windows-built image that
// CONDUIT_DRIVER_IMAGE names when the suite is registered a second time against it
// (tests/CMakeLists.txt), else the host build the test links (an empty path).
#pragma once

#include <cstdlib>
#include <string>

inline std::string DriverImageUnderTest() {
    const char* path = std::getenv("CONDUIT_DRIVER_IMAGE");
    return path != nullptr ? path : "";
}
