// Win32 errors back to the client's status: the driver's refusals keep the codes the library
// and its callers test for, and nothing unknown turns into success.
#include <gtest/gtest.h>

#include "Win32BackendStatus.h"

namespace conduit::win32 {
namespace {

TEST(Win32BackendStatus, ErrorsMapToTheDriversStatusOrStayFailures) {
    struct Case {
        std::uint32_t error;
        std::uint32_t status;
    };
    const Case cases[] = {
        {170, 0x80000011},  // a second client: the library names it "another client has it open"
        {87, 0xC000000D},   // a format out of range
        {32, 0xC0000043},   // a file another program holds open exclusively
        {0, 0xC0000001},    // a failure without an error is still a failure
        {1242, 0xC00704DA}, // unknown: the Win32 error inside an NTSTATUS failure
        {0x12345, 0xC0072345},
    };
    for (const Case& c : cases) {
        const std::int32_t status = StatusFromError(c.error);
        EXPECT_EQ(static_cast<std::uint32_t>(status), c.status) << "error " << c.error;
        EXPECT_LT(status, 0) << "error " << c.error;
    }
}

} // namespace
} // namespace conduit::win32
