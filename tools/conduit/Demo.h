// `conduit demo`: runs what exists of the end-to-end path inside the host platform.
#pragma once

#include <string>

// imagePath empty: the image this program links. Returns the process exit code.
int RunDemo(const std::string& imagePath);
