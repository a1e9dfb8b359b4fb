// Bug checks: the host's answer to what Windows would stop the machine for. The test process
// stops with a readable message naming the check and the driver routine that caused it.
#pragma once

#include <string>

namespace host {

// The symbolic name of a bug-check code ("IRQL_NOT_LESS_OR_EQUAL"), or "UNKNOWN".
const char* BugCheckName(unsigned code);

// Stops the test with code, parameters and an explanation, as KeBugCheckEx does.
[[noreturn]] void BugCheck(unsigned code, unsigned long long p1, unsigned long long p2,
                           unsigned long long p3, unsigned long long p4,
                           const std::string& explanation);

} // namespace host
