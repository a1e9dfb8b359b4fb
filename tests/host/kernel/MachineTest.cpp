#include "HostTest.h"
TEST(MachineTest, CurrentIsTheLiveMachine) {
    host::Machine machine;
    EXPECT_EQ(&host::Machine::Current(), &machine);
}
