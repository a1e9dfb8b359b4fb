// Base fixture of every test that touches the host platform: a fresh machine per test, on
// virtual time (time-outs cost nothing while every thread waits), and the verifier's findings
// (leaked pool blocks, handles, mappings, threads, ...) as test failures.
#pragma once

#include <gtest/gtest.h>

#include "kernel/Machine.h"

class HostTest : public ::testing::Test {
protected:
    void TearDown() override { ExpectCleanMachine(); }

    // Reports every verifier finding as a failure of the current test.
    void ExpectCleanMachine();

    host::Machine machine{host::MachineTime::Virtual};
};
