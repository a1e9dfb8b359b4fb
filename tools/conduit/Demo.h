// `conduit demo`: the whole system end to end inside the host platform, both directions,
// checked bit-exact, with the figures of each run.
#pragma once

#include <string>
#include <vector>

// args: the options after "demo". Returns the process exit code (2 for bad options).
int RunDemo(const std::vector<std::string>& args);
