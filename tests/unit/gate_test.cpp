#include "driver_fixture.h"
#include "driver/gate.h"

TEST(IoGate, StartsWithBaseCountAndStopSignalled)
{
    IoGate gate;
    IoGateInitialize(&gate);
    EXPECT_EQ(gate.OutstandingCount, 1);
    EXPECT_EQ(KeReadStateEvent(&gate.StopEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&gate.RemoveEvent), 0);
}
