// The verifier hook of the base fixture.
#include "HostTest.h"

void HostTest::ExpectCleanMachine() {
    for (const std::string& problem : machine.Verify()) {
        ADD_FAILURE() << "verifier: " << problem;
    }
}
