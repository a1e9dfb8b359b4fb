// The machine backbone: one current machine, subsystems created once and verified.
#include <gtest/gtest.h>

#include <ntddk.h>

#include "kernel/BugCheck.h"
#include "kernel/Irql.h"
#include "kernel/Machine.h"

namespace {

struct CountingSubsystem : host::Subsystem {
    int uses = 0;
    void Verify(std::vector<std::string>& problems) override {
        if (uses > 1) {
            problems.push_back("used " + std::to_string(uses) + " times");
        }
    }
};

TEST(MachineTest, SubsystemsAreMadeOnceAndNoMachineOutlivesItsScope) {
    {
        host::Machine machine;
        EXPECT_EQ(&host::Machine::Current(), &machine);
        machine.Get<CountingSubsystem>().uses++;
        EXPECT_TRUE(machine.Verify().empty());
        machine.Get<CountingSubsystem>().uses++;
        EXPECT_EQ(machine.Verify(), std::vector<std::string>{"used 2 times"});
    }
    EXPECT_EQ(host::Machine::CurrentOrNull(), nullptr);
}

TEST(IrqlDeathTest, IrqlRuleBreachesBugCheck) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "IRQL_NOT_GREATER_OR_EQUAL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            host::RequireIrqlAtMost(APC_LEVEL, "ExAllocatePool(PagedPool)");
        },
        "IRQL_NOT_LESS_OR_EQUAL.*ExAllocatePool\\(PagedPool\\) called at IRQL 2");
    EXPECT_DEATH(KeBugCheckEx(BAD_POOL_CALLER, 7, 0, 0, 0), "STOP: 0x000000C2.*BAD_POOL_CALLER");
}

} // namespace
