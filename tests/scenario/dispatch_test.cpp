// Routing of requests by role and major code, and the bus's own answers to open, close, cleanup,
// flush, read, write and system control.
#include <hostkernel/security.h>

#include <cstring>

#include "driver_fixture.h"
#include "fake_driver.h"

namespace {

constexpr NTSTATUS kCarriedStatus = (NTSTATUS)0xC0000295;  // any status a request may carry

class DispatchTest : public DriverTest {};

TEST_F(DispatchTest, EntryRoutesEveryMajorCodeAndKeepsItsOwnRegistryPath)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        EXPECT_EQ(driver_->MajorFunction[major],
                  major == IRP_MJ_SYSTEM_CONTROL ? DispatchSystemControl : DispatchRequest)
            << "major 0x" << std::hex << major;
    }
    EXPECT_EQ(driver_->DriverUnload, UnloadDriver);
    EXPECT_EQ(driver_->DriverExtension->AddDevice, AddBusDevice);
    EXPECT_EQ(DefaultCreateHandler, hk::InvalidDeviceRequest);
    // The I/O manager's copy of the path is gone once DriverEntry returns; the driver keeps its own.
    EXPECT_EQ(Wide(&DriverRegistryPath), Wide(kServicePath));
    EXPECT_EQ(DriverRegistryPath.MaximumLength, DriverRegistryPath.Length + sizeof(WCHAR));
    EXPECT_EQ(hk::PoolAllocations(kPoolTag), 1u);
}

// Delivery starts unpaced only with the DWORD NoPacing = 1 under the service's Parameters key,
// read at load: the routing requests are what switch it later.
TEST(DriverEntry, StartsUnpacedOnlyWithNoPacingOneUnderParameters)
{
    const std::u16string parameters = Wide(kServicePath) + u"\\Parameters";
    auto dword = [](ULONG value) {
        std::vector<UCHAR> data(4);
        memcpy(data.data(), &value, 4);
        return data;
    };
    struct Case {
        const char* what;
        ULONG type;
        std::vector<UCHAR> data;
        BOOLEAN unpaced;
    };
    const Case cases[] = {
        {"absent", REG_NONE, {}, FALSE},
        {"0", REG_DWORD, dword(0), FALSE},
        {"2", REG_DWORD, dword(2), FALSE},
        {"a string", REG_SZ, {'1', 0, 0, 0}, FALSE},
        {"1", REG_DWORD, dword(1), TRUE},
    };
    for (const Case& c : cases) {
        hk::ResetSecurityState();
        if (c.type != REG_NONE) {
            hk::RegistryCreateKey(parameters);
            hk::RegistrySetValue(parameters, u"NoPacing", c.type, c.data);
        }
        NoPacing = !c.unpaced;  // whatever an earlier load left
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(hk::LoadDriver(DriverEntry, kServicePath, &driver, L"\\Driver\\vcombus"), STATUS_SUCCESS);
        EXPECT_EQ(NoPacing, c.unpaced) << "NoPacing " << c.what;
        hk::UnloadDriver(driver);
    }
    hk::ResetSecurityState();
    NoPacing = FALSE;
}

TEST(DriverEntry, WithoutPoolFailsAndSetsNothingUp)
{
    hk::FailNextAllocations(1, kPoolTag);
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(hk::LoadDriver(DriverEntry, kServicePath, &driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(hk::PoolAllocations(kPoolTag), 0u);
    hk::ResetFaultInjection();
}

TEST_F(DispatchTest, UnhandledMajorCodesGoToTheSavedDefaultHandler)
{
    PDEVICE_OBJECT bus = CreateBusRecord();
    PDEVICE_OBJECT port = CreatePortRecord(9);
    const UCHAR others[] = {0x01, 0x05, 0x06, 0x07, 0x08, 0x0A, 0x0B, 0x0C, 0x0D, 0x0F,
                            0x10, 0x11, 0x13, 0x14, 0x15, 0x18, 0x19, 0x1A};
    for (UCHAR major : others) {
        for (PDEVICE_OBJECT device : {bus, port}) {
            auto result = hk::SendDirect(device, major, 0, nullptr, 0x55);
            EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST) << "major 0x" << std::hex << (int)major;
            EXPECT_EQ(result.Information, 0u);
        }
    }
    DeleteRecord(port);
    DeleteRecord(bus);
}

TEST_F(DispatchTest, UnhandledMajorCodeWithoutDefaultHandlerIsAnInvalidParameter)
{
    PDEVICE_OBJECT port = CreatePortRecord(3);
    PDRIVER_DISPATCH saved = DefaultCreateHandler;
    DefaultCreateHandler = nullptr;
    auto result = hk::SendDirect(port, IRP_MJ_QUERY_INFORMATION, 0, nullptr, 0x55);
    DefaultCreateHandler = saved;
    EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.Information, 0u);
    DeleteRecord(port);
}

TEST_F(DispatchTest, PnpToADeletedBusOrPortFailsBeforeAnyHandlerAndKeepsInformation)
{
    for (PDEVICE_OBJECT device : {CreateBusRecord(), CreatePortRecord(10)}) {
        auto header = (CommonDeviceData*)device->DeviceExtension;
        header->PnpState = PnpDeleted;
        auto result = hk::SendDirect(device, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, nullptr, 0x1234);
        EXPECT_EQ(result.Status, STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(result.Information, 0x1234u);
        EXPECT_EQ(header->PnpState, PnpDeleted);
        DeleteRecord(device);
    }
}

TEST_F(DispatchTest, BusOpensClosesCleansUpAndFlushesUntilDeleted)
{
    PDEVICE_OBJECT device = CreateBusRecord();
    auto bus = (BusDeviceData*)device->DeviceExtension;
    NTSTATUS status;
    auto file = hk::File::Open(device, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto flush = file->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    ASSERT_TRUE(flush->Wait());
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    EXPECT_EQ(flush->Information(), 0u);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    EXPECT_EQ(bus->Gate.OutstandingCount, 1);

    bus->Header.PnpState = PnpDeleted;
    EXPECT_EQ(hk::File::Open(device, GENERIC_READ, &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    auto cleanup = hk::SendDirect(device, IRP_MJ_CLEANUP, 0, nullptr, 0x77);
    EXPECT_EQ(cleanup.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(cleanup.Information, 0x77u);
    EXPECT_EQ(bus->Gate.OutstandingCount, 1);
    DeleteRecord(device);
}

TEST_F(DispatchTest, BusRefusesReadAndWrite)
{
    PDEVICE_OBJECT device = CreateBusRecord();
    auto bus = (BusDeviceData*)device->DeviceExtension;
    NTSTATUS status;
    auto file = hk::File::Open(device, GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto read = file->Read(16);
    EXPECT_EQ(read->Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(read->Information(), 0u);
    auto write = file->Write("abc", 3);
    EXPECT_EQ(write->Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(write->Information(), 0u);
    file->Close();

    bus->Header.PnpState = PnpDeleted;
    EXPECT_EQ(hk::SendDirect(device, IRP_MJ_WRITE, 0).Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hk::SendDirect(device, IRP_MJ_READ, 0).Status, STATUS_NO_SUCH_DEVICE);
    DeleteRecord(device);
}

TEST_F(DispatchTest, SystemControlOnAPortCompletesWithTheStatusItCarries)
{
    PDEVICE_OBJECT port = CreatePortRecord(9);
    auto result = hk::SendDirect(port, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, nullptr, 0, kCarriedStatus);
    EXPECT_EQ(result.Status, kCarriedStatus);
    DeleteRecord(port);
}

TEST_F(DispatchTest, SystemControlOnTheBusGoesBelowWithItsStackLocationUntilDeleted)
{
    FakeDriver lower;
    PDEVICE_OBJECT pdo = lower.CreateDevice(STATUS_SUCCESS);
    PDEVICE_OBJECT device = CreateBusRecord();
    auto bus = (BusDeviceData*)device->DeviceExtension;
    bus->NextLowerDevice = IoAttachDeviceToDeviceStack(device, pdo);

    auto result = hk::SendDirect(device, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    auto seen = lower.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Major, IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(seen[0].Minor, IRP_MN_QUERY_ALL_DATA);
    EXPECT_EQ(seen[0].Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR), 0) << "no completion routine";
    EXPECT_EQ(bus->Gate.OutstandingCount, 1);

    bus->Header.PnpState = PnpDeleted;
    EXPECT_EQ(hk::SendDirect(device, IRP_MJ_SYSTEM_CONTROL, 0).Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(lower.Seen().size(), 1u);
    IoDetachDevice(pdo);
    DeleteRecord(device);
}

TEST_F(DispatchTest, DispatchAboveApcLevelIsCaughtAsPageableCode)
{
    PDEVICE_OBJECT device = CreateBusRecord();
    hk::VerifierCapture capture;
    hk::RunAtIrql(DISPATCH_LEVEL, [&] { hk::SendDirect(device, IRP_MJ_CREATE, 0); });
    EXPECT_TRUE(capture.Saw("pageable routine DispatchBusOrPortRequest called at IRQL 2"));
    DeleteRecord(device);
}

}  // namespace
