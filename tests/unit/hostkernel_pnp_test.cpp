// hostkernel's Plug and Play manager with a minimal function driver of the test's own: device
// interfaces as the platform keeps them, and the orderly removal when a stack refuses it.
#include <hostkernel/pnp.h>

#include "driver_fixture.h"
#include "fake_driver.h"

namespace {

const GUID kInterface = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct Fdo {
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
    bool disableAtRemove;
    bool refuseQueryRemove;
};

bool g_disableAtRemove = true;
bool g_refuseQueryRemove = false;
std::vector<UCHAR> g_seen;

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto fdo = (Fdo*)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_seen.push_back(sp->MinorFunction);
    if (sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && fdo->refuseQueryRemove) {
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    if (sp->MinorFunction == IRP_MN_START_DEVICE) {
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED) << "Plug and Play requests start out unsupported";
        EXPECT_EQ(IoSetDeviceInterfaceState(&fdo->link, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(IoSetDeviceInterfaceState(&fdo->link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    }
    if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        if (fdo->disableAtRemove) EXPECT_EQ(IoSetDeviceInterfaceState(&fdo->link, FALSE), STATUS_SUCCESS);
        RtlFreeUnicodeString(&fdo->link);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(fdo->lower, irp);
        IoDetachDevice(fdo->lower);
        IoDeleteDevice(device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(fdo->lower, irp);
}

NTSTATUS FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto fdo = (Fdo*)device->DeviceExtension;
    fdo->disableAtRemove = g_disableAtRemove;
    fdo->refuseQueryRemove = g_refuseQueryRemove;
    status = IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &fdo->link);
    EXPECT_EQ(status, STATUS_SUCCESS);
    fdo->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Opens, closes and flushes end at the function device; each one is recorded by its major code.
NTSTATUS FdoFile(PDEVICE_OBJECT, PIRP irp)
{
    g_seen.push_back(0xF0 | IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS FdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS}) {
        driver->MajorFunction[major] = FdoFile;
    }
    driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    return STATUS_SUCCESS;
}

class PnpManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_seen.clear();
        g_disableAtRemove = true;
        g_refuseQueryRemove = false;
        ASSERT_EQ(hk::LoadDriver(FdoEntry, L"\\Registry\\x", &driver_, L"\\Driver\\fdo"), STATUS_SUCCESS);
    }
    void TearDown() override { hk::UnloadDriver(driver_); }

    PDEVICE_OBJECT Install()
    {
        NTSTATUS status;
        PDEVICE_OBJECT pdo = hk::CreateRootDevice(driver_, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return pdo;
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace

TEST_F(PnpManagerTest, InterfaceIsListedOnlyWhileEnabledAndItsNameIsTheCallersToFree)
{
    PDEVICE_OBJECT pdo = Install();
    UNICODE_STRING again;
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &again), STATUS_SUCCESS);
    EXPECT_TRUE(hk::FindDeviceInterfaces(kInterface).empty());
    ASSERT_EQ(hk::StartDevice(pdo), STATUS_SUCCESS);
    auto links = hk::FindDeviceInterfaces(kInterface);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0], Wide(&again));  // registering twice names the same interface
    EXPECT_EQ(links[0].substr(0, 4), u"\\??\\");
    RtlFreeUnicodeString(&again);

    ASSERT_EQ(hk::RemoveDevice(pdo), STATUS_SUCCESS);
    auto calls = hk::InterfaceStateCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_FALSE(calls.back().Enable);
    EXPECT_TRUE(hk::FindDeviceInterfaces(kInterface).empty());
}

TEST_F(PnpManagerTest, ManagerDisablesAnInterfaceTheDriverLeftEnabledAtRemoval)
{
    g_disableAtRemove = false;
    PDEVICE_OBJECT pdo = Install();
    ASSERT_EQ(hk::StartDevice(pdo), STATUS_SUCCESS);
    auto link = hk::FindDeviceInterfaces(kInterface).at(0);
    ASSERT_EQ(hk::RemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(hk::DeviceInterfaceEnabled(link));
    NTSTATUS status;
    EXPECT_EQ(hk::OpenDeviceInterface(link, GENERIC_READ, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PnpManagerTest, RefusedQueryRemoveIsCancelledAndTheDeviceStaysStarted)
{
    g_refuseQueryRemove = true;
    PDEVICE_OBJECT pdo = Install();
    ASSERT_EQ(hk::StartDevice(pdo), STATUS_SUCCESS);
    g_seen.clear();
    EXPECT_EQ(hk::RemoveDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_seen, (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_EQ(hk::QueryDeviceNode(pdo).State, hk::DeviceNodeState::Started);
    // Uninstalling for good needs the driver's consent; a vanished device does not ask.
    hk::SurpriseRemoveDevice(pdo);
    EXPECT_EQ(hk::QueryDeviceNode(pdo).State, hk::DeviceNodeState::Unknown);
    EXPECT_EQ(g_seen.back(), IRP_MN_REMOVE_DEVICE);
}

TEST_F(PnpManagerTest, InterfacesBelongOnlyToPhysicalDevices)
{
    g_disableAtRemove = false;  // never started, never enabled
    PDEVICE_OBJECT pdo = Install();
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo->AttachedDevice, &kInterface, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, L"\\??\\ROOT#NOTHING#0000#{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(hk::RemoveDevice(pdo), STATUS_SUCCESS);
}

// An orderly removal asks applications to close their handles; one still open vetoes it before
// any driver is asked. A vanished device is not asked: its removal waits for the last handle, and
// requests through that handle still reach the stack until then.
TEST_F(PnpManagerTest, OpenHandleVetoesAnOrderlyRemovalAndHoldsBackASurpriseOnesRemove)
{
    PDEVICE_OBJECT pdo = Install();
    ASSERT_EQ(hk::StartDevice(pdo), STATUS_SUCCESS);
    NTSTATUS status;
    auto file = hk::OpenDeviceInterface(hk::FindDeviceInterfaces(kInterface).at(0), GENERIC_READ, &status);
    ASSERT_NE(file, nullptr);
    g_seen.clear();
    EXPECT_EQ(hk::RemoveDevice(pdo), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(g_seen.empty()) << "no query-remove while a handle is open";
    EXPECT_EQ(hk::QueryDeviceNode(pdo).State, hk::DeviceNodeState::Started);

    hk::SurpriseRemoveDevice(pdo);
    EXPECT_EQ(g_seen, std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL});
    EXPECT_EQ(hk::QueryDeviceNode(pdo).State, hk::DeviceNodeState::SurpriseRemoved);
    auto flush = file->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    ASSERT_TRUE(flush->Wait());
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.back(), 0xF0 | IRP_MJ_FLUSH_BUFFERS);

    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    ASSERT_TRUE(hk::WaitDeviceNodeState(pdo, hk::DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    const std::vector<UCHAR> tail = {0xF0 | IRP_MJ_CLEANUP, 0xF0 | IRP_MJ_CLOSE, IRP_MN_REMOVE_DEVICE};
    ASSERT_GE(g_seen.size(), tail.size());
    EXPECT_EQ(std::vector<UCHAR>(g_seen.end() - 3, g_seen.end()), tail) << "the remove comes after the close";
}

// A file holds its device object: a device deleted while a handle is open stays in memory, and
// the handle's cleanup and close still reach its driver; the object goes with the close.
TEST(FileReference, DeviceDeletedUnderAnOpenHandleLivesUntilTheClose)
{
    FakeDriver fake;
    PDEVICE_OBJECT device = fake.CreateDevice();
    NTSTATUS status;
    auto file = hk::File::Open(device, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(hk::ObjectReferenceCount(device), 2);
    fake.DeleteDevices();
    EXPECT_EQ(hk::ObjectReferenceCount(device), 1);
    EXPECT_EQ(device->ReferenceCount, 1);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    auto seen = fake.Seen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.back().Major, IRP_MJ_CLOSE);
    EXPECT_EQ(hk::ObjectReferenceCount(device), -1);
}
