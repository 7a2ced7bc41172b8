// Port open, close, cleanup and flush act on the one ring every handle shares.
#include "bus_fixture.h"

#include "serial/ring.h"

namespace {

class PortOpenCloseTest : public BusTest {
protected:
    std::unique_ptr<hk::File> Open(PDEVICE_OBJECT port)
    {
        NTSTATUS status;
        auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }
    static ULONG Feed(PDEVICE_OBJECT port, const char* bytes)
    {
        ULONG stored = RingWrite(&Record(port)->Ring, (const UCHAR*)bytes, (ULONG)strlen(bytes));
        WakeReadServiceThread(Record(port));
        WakeWaitServiceThread(Record(port));
        return stored;
    }
    static ULONG Held(PDEVICE_OBJECT port) { return RingAvailableCount(&Record(port)->Ring); }
};

TEST_F(PortOpenCloseTest, InputIsTakenOnlyWhileOpenAndEachOpenStartsEmpty)
{
    PDEVICE_OBJECT port = Plug(9);
    Feed(port, "lost");
    EXPECT_EQ(Held(port), 0u) << "a closed port drops what is sent to it";

    auto first = Open(port);
    Feed(port, "abc");
    EXPECT_EQ(Held(port), 3u);
    first->Close();
    Feed(port, "dropped");
    EXPECT_EQ(Held(port), 3u) << "unread bytes stay after the close, new ones are dropped";

    auto second = Open(port);
    EXPECT_EQ(Held(port), 0u) << "the next open empties the ring";
    EXPECT_EQ(RingGetSize(&Record(port)->Ring), kRingDefaultSize);
    second->Close();
}

TEST_F(PortOpenCloseTest, TwoHandlesShareOneRing)
{
    PDEVICE_OBJECT port = Plug(10);
    auto a = Open(port);
    auto b = Open(port);
    Feed(port, "xy");
    auto flush = a->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    ASSERT_TRUE(flush->Wait());
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Held(port), 0u) << "a flush discards unread input";
    a->Close();
    Feed(port, "z");
    EXPECT_EQ(Held(port), 0u) << "closing one handle stops input for the other";
    b->Close();
}

TEST_F(PortOpenCloseTest, UnstartedPortOpensAndDeletedPortDoesNot)
{
    StopBus();
    PDEVICE_OBJECT port = Plug(11);  // linked, never reported
    // The Plug and Play manager has not heard of it, so the harness refuses the open itself;
    // the driver's own answer comes from a request sent straight to the port.
    EXPECT_EQ(hk::SendDirect(port, IRP_MJ_CREATE, 0).Status, STATUS_SUCCESS);
    EXPECT_TRUE(Record(port)->Ring.Enabled);
    EXPECT_EQ(hk::SendDirect(port, IRP_MJ_CLOSE, 0).Status, STATUS_SUCCESS);
    EXPECT_FALSE(Record(port)->Ring.Enabled);
    Record(port)->Header.PnpState = PnpDeleted;
    auto refused = hk::SendDirect(port, IRP_MJ_CREATE, 0, nullptr, 0x55);
    EXPECT_EQ(refused.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(refused.Information, 0u);
    Record(port)->Header.PnpState = PnpNotStarted;
}

TEST_F(PortOpenCloseTest, DeletedPortRefusesFlushCleanupAndCloseAndLeavesItsRingAlone)
{
    PDEVICE_OBJECT port = Plug(9);
    auto file = Open(port);
    Feed(port, "kept");
    // As between the mark of the port's removal and its deletion.
    Record(port)->Header.PnpState = PnpDeleted;
    auto flush = file->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    ASSERT_TRUE(flush->Wait());
    EXPECT_EQ(flush->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Held(port), 4u);
    EXPECT_EQ(file->Cleanup(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(file->Close(), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(Record(port)->Ring.Enabled);
    EXPECT_EQ(Held(port), 4u);
    Record(port)->Header.PnpState = PnpStarted;
}

}  // namespace
