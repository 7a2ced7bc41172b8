// Writes on ports: bytes reach the null-modem partner in order and whole, every write reports its
// full length whether its bytes went anywhere or not, and a port can be removed while its partner
// floods it.
#include <hostkernel/security.h>

#include "inf_file.h"
#include "pair_fixture.h"

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

class WriteRoutingTest : public PortIoTest {};

// The driver loaded with the service parameters the package's setup information writes, as the
// installed package runs it.
class PackageSettingsTest : public PortIoTest {
protected:
    void SetUp() override
    {
        hk::ResetSecurityState();
        InfFile inf("vcombus.inf");
        ASSERT_TRUE(inf.Found());
        const std::u16string parameters = Wide(kServicePath) + u"\\Parameters";
        hk::RegistryCreateKey(parameters);
        for (const auto& [name, value] : inf.ServiceParameters()) {
            std::vector<UCHAR> data(4);
            ULONG dword = (ULONG)value;
            memcpy(data.data(), &dword, 4);
            hk::RegistrySetValue(parameters, std::u16string(name.begin(), name.end()), REG_DWORD, data);
        }
        PortIoTest::SetUp();
    }
    void TearDown() override
    {
        PortIoTest::TearDown();
        hk::ResetSecurityState();
    }
};

// Paced, a read that takes whatever is there would wake on the first half of the block, and an
// input-count query right after a read would see at most 15 bytes.
TEST_F(PackageSettingsTest, APairDeliversEachBlockWholeAndReportsTrueInputCounts)
{
    PDEVICE_OBJECT nine = PlugIn(9);
    PDEVICE_OBJECT ten = PlugIn(10);
    auto a = Open(nine);
    auto b = Open(ten);
    ASSERT_EQ(SetReadTimeouts(*b, 0xFFFFFFFF, 0, 60000), STATUS_SUCCESS);  // any bytes, once there are some
    auto read = b->ReadAsync(4096);
    auto sent = Pattern(4096, 3);
    EXPECT_EQ(a->Write(sent.data(), 4096)->Information(), 4096u);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), sent) << "the block did not arrive whole";

    hk::FreezeSystemTime();  // the query stays within 100 ms of the read
    auto more = Pattern(100, 5);
    EXPECT_EQ(a->Write(more.data(), 100)->Information(), 100u);
    auto status = b->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    hk::ResetSystemTime();
    ASSERT_EQ(status->Status(), STATUS_SUCCESS);
    SERIAL_STATUS report;
    memcpy(&report, status->Output().data(), sizeof(report));
    EXPECT_EQ(report.AmountInInQueue, 100u);
}

// Reads everything the port holds, without waiting.
std::vector<UCHAR> Drain(hk::File& file)
{
    EXPECT_EQ(SetReadTimeouts(file, 0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
    auto read = file.Read(8192);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    return read->Output();
}

TEST_F(WriteRoutingTest, BytesArriveInOrderOnThePartnerInBothDirectionsPacedOrNot)
{
    PDEVICE_OBJECT nine = PlugIn(9);
    PDEVICE_OBJECT ten = PlugIn(10);
    auto a = Open(nine);
    auto b = Open(ten);
    for (BOOLEAN noPacing : {FALSE, TRUE}) {
        NoPacing = noPacing;
        for (ULONG length : {1u, 15u, 16u, 17u, 4096u}) {
            for (auto [from, to, toPort] : {std::tuple{a.get(), b.get(), ten}, std::tuple{b.get(), a.get(), nine}}) {
                auto sent = Pattern(length, (UCHAR)length);
                // Issued before the bytes exist: a parked read of all of them completes with them.
                auto read = to->ReadAsync(length);
                auto write = from->Write(sent.data(), length);
                EXPECT_EQ(write->Status(), STATUS_SUCCESS);
                EXPECT_EQ(write->Information(), length);
                ASSERT_TRUE(read->Wait());
                EXPECT_EQ(read->Status(), STATUS_SUCCESS);
                EXPECT_EQ(read->Output(), sent) << length << " bytes, pacing " << !noPacing;
                EXPECT_EQ(Held(toPort), 0u);
            }
        }
    }
}

TEST_F(WriteRoutingTest, AWriteLargerThanTheRingKeepsWhatFitsInOrderAndReportsAllWritten)
{
    PDEVICE_OBJECT nine = PlugIn(9);
    PDEVICE_OBJECT ten = PlugIn(10);
    auto a = Open(nine);
    auto b = Open(ten);
    for (BOOLEAN noPacing : {FALSE, TRUE}) {
        NoPacing = noPacing;
        auto sent = Pattern(5000, noPacing);
        auto write = a->Write(sent.data(), 5000);
        EXPECT_EQ(write->Status(), STATUS_SUCCESS);
        EXPECT_EQ(write->Information(), 5000u);
        EXPECT_TRUE(Record(ten)->Ring.Overrun);
        auto got = Drain(*b);
        EXPECT_EQ(got, std::vector<UCHAR>(sent.begin(), sent.begin() + kRingDefaultSize)) << "pacing " << !noPacing;
        Record(ten)->Ring.Overrun = FALSE;
    }
}

TEST_F(WriteRoutingTest, TwoWritersIntoOnePortDoNotInterleaveWithinABlock)
{
    NoPacing = TRUE;
    PDEVICE_OBJECT nine = PlugIn(9);
    PDEVICE_OBJECT ten = PlugIn(10);
    auto first = Open(nine);
    auto second = Open(nine);
    auto reader = Open(ten);
    constexpr ULONG kBlock = 100;
    constexpr int kBlocks = 20;  // two writers: 4000 bytes, all fit in the ring
    auto writer = [&](hk::File* file, UCHAR mark) {
        for (int i = 0; i < kBlocks; i++) {
            std::vector<UCHAR> block(kBlock, (UCHAR)(mark + i));
            EXPECT_EQ(file->Write(block.data(), kBlock)->Information(), kBlock);
        }
    };
    std::thread one(writer, first.get(), 0x00);
    std::thread two(writer, second.get(), 0x80);
    one.join();
    two.join();
    auto got = Drain(*reader);
    ASSERT_EQ(got.size(), 2u * kBlocks * kBlock);
    for (size_t at = 0; at < got.size(); at += kBlock) {
        EXPECT_EQ(std::vector<UCHAR>(got.begin() + at, got.begin() + at + kBlock), std::vector<UCHAR>(kBlock, got[at]))
            << "block at " << at << " is mixed";
    }
}

TEST_F(WriteRoutingTest, UndeliverableWritesStillReportFullSuccess)
{
    PDEVICE_OBJECT zero = PlugIn(0);
    PDEVICE_OBJECT one = PlugIn(1);
    PDEVICE_OBJECT two = PlugIn(2);
    PDEVICE_OBJECT nine = PlugIn(9);
    PDEVICE_OBJECT ten = PlugIn(10);
    PDEVICE_OBJECT eleven = PlugIn(11);
    auto write = [](hk::File& file, const char* text) {
        auto request = file.Write(text, (ULONG)strlen(text));
        EXPECT_EQ(request->Status(), STATUS_SUCCESS);
        EXPECT_EQ(request->Information(), strlen(text));
    };

    // A partner that is not open drops the bytes; opening it later starts empty.
    auto atNine = Open(nine);
    write(*atNine, "nobody listens");
    auto atTen = Open(ten);
    EXPECT_EQ(Held(ten), 0u);

    // Port 11 has no partner; port 0 belongs to no group; hub ports route nothing without a tap.
    auto atEleven = Open(eleven);
    write(*atEleven, "no twelve");
    auto atZero = Open(zero);
    auto atOne = Open(one);
    auto atTwo = Open(two);
    write(*atZero, "port zero");
    write(*atOne, "hub");
    for (PDEVICE_OBJECT port : {zero, one, two, nine, ten, eleven}) EXPECT_EQ(Held(port), 0u);

    // An unplugged port stays linked while its handle is open, but it has no line any more: its
    // writes go nowhere, and nothing reaches it.
    EXPECT_EQ(Unplug(9), STATUS_SUCCESS);
    ASSERT_TRUE(hk::WaitPnpIdle());
    write(*atNine, "cut off");
    write(*atTen, "to nobody");
    EXPECT_EQ(Held(ten), 0u);
    EXPECT_EQ(Held(nine), 0u);
    atNine.reset();
    ASSERT_TRUE(hk::WaitPnpIdle());
    write(*atTen, "gone");
}

TEST_F(WriteRoutingTest, HubPortsReachTheMasterOnlyWhileATapIsCountedAndTheirFlagIsSet)
{
    PDEVICE_OBJECT ports[4];
    std::unique_ptr<hk::File> files[4];
    for (ULONG n = 1; n <= 3; n++) {
        ports[n] = PlugIn(n);
        files[n] = Open(ports[n]);
    }
    bus_->MasterPortNumber = 3;
    bus_->PortFlags[0] = 1;
    bus_->PortFlags[1] = 0;
    files[1]->Write("a", 1);
    EXPECT_EQ(Held(ports[3]), 0u) << "no tap attached";

    TapCount = 1;
    files[1]->Write("b", 1);  // flagged: to the master
    files[2]->Write("c", 1);  // not flagged
    files[3]->Write("d", 1);  // the master's own writes
    EXPECT_EQ(Held(ports[3]), 1u);
    EXPECT_EQ(Held(ports[1]) + Held(ports[2]), 0u);

    // In the real-port mode nothing goes to another virtual port.
    bus_->RealPortMode = 1;
    files[1]->Write("e", 1);
    EXPECT_EQ(Held(ports[3]), 1u);
}

TEST_F(WriteRoutingTest, EveryWriteRaisesTransmitEmptyForAWaitingWriter)
{
    PDEVICE_OBJECT eleven = PlugIn(11);
    auto file = Open(eleven);
    ReceiveRing* ring = &Record(eleven)->Ring;
    file->Write("x", 1);
    EXPECT_EQ(ring->EventBits, 0u) << "not waited for";
    RingAcquireLock(ring);
    ring->WaitMask = SERIAL_EV_TXEMPTY;
    RingReleaseLock(ring);
    file->Write("x", 1);  // dropped: 12 does not exist
    EXPECT_EQ(ring->EventBits, (ULONG)SERIAL_EV_TXEMPTY);
}

// The writer finds its partner and fills its ring while the partner is being removed: the removal
// waits for the delivery, and no byte goes into a port already deleted.
TEST_F(WriteRoutingTest, APortCanBeRemovedWhileItsPartnerFloodsIt)
{
    PDEVICE_OBJECT nine = PlugIn(9);
    auto writer = Open(nine);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        auto block = Pattern(3000);
        while (!stop) {
            auto write = writer->Write(block.data(), (ULONG)block.size());
            EXPECT_EQ(write->Information(), block.size());
        }
    });
    for (int round = 0; round < 20; round++) {
        PDEVICE_OBJECT ten = PlugIn(10);
        ASSERT_NE(ten, nullptr);
        auto reader = Open(ten);
        EXPECT_TRUE(WaitUntil([&] { return Held(ten) > 0; }));
        ASSERT_EQ(Unplug(10), STATUS_SUCCESS);
        ASSERT_TRUE(hk::WaitPnpIdle());
        reader.reset();  // the last handle: the port is removed and deleted now
        ASSERT_TRUE(hk::WaitPnpIdle());
        ASSERT_EQ(Port(10), nullptr);
    }
    stop = true;
    flood.join();
}

}  // namespace
