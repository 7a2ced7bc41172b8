// The Plug and Play manager's rules for what a bus hands it: a deliberately broken bus driver
// reports children whose identifiers, instance paths or lifetimes break them, and each report
// names the rule, the request and the device.
#include <hostkernel/pnp.h>

#include "driver_fixture.h"

namespace {

// What one child answers.
struct ChildAnswers {
    std::u16string DeviceId = u"BROKEN\\Child";
    std::u16string InstanceId = u"1";
    std::vector<std::u16string> HardwareIds = {u"BROKEN\\Child"};
    std::vector<std::u16string> CompatibleIds;
    std::u16string ContainerId;  // empty: not answered
    bool UniqueId = false;
};

struct ChildData {
    const ChildAnswers* Answers;
    bool Deleted;
};

struct BusData {
    PDEVICE_OBJECT Lower;
};

std::vector<PDEVICE_OBJECT> g_children;  // what the bus reports, in order
bool g_deleteChildAtRemove = false;      // the fault: a child still reported deletes itself

bool IsBus(PDEVICE_OBJECT device) { return device->DeviceType == FILE_DEVICE_BUS_EXTENDER; }

PWCHAR Answer(const std::vector<std::u16string>& strings, bool multi)
{
    size_t chars = 1;
    for (auto& s : strings) chars += s.size() + 1;
    auto out = (PWCHAR)ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), hk::Tag("BrkI"));
    size_t at = 0;
    for (auto& s : strings) {
        for (char16_t c : s) out[at++] = (WCHAR)c;
        out[at++] = 0;
        if (!multi) break;
    }
    out[at] = 0;
    return out;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto child = (ChildData*)device->DeviceExtension;
    const ChildAnswers& answers = *child->Answers;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
        switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: irp->IoStatus.Information = (ULONG_PTR)Answer({answers.DeviceId}, false); break;
        case BusQueryInstanceID: irp->IoStatus.Information = (ULONG_PTR)Answer({answers.InstanceId}, false); break;
        case BusQueryHardwareIDs: irp->IoStatus.Information = (ULONG_PTR)Answer(answers.HardwareIds, true); break;
        case BusQueryCompatibleIDs: irp->IoStatus.Information = (ULONG_PTR)Answer(answers.CompatibleIds, true); break;
        case BusQueryContainerID:
            if (answers.ContainerId.empty()) return Complete(irp, irp->IoStatus.Status);
            irp->IoStatus.Information = (ULONG_PTR)Answer({answers.ContainerId}, false);
            break;
        default: return Complete(irp, irp->IoStatus.Status);
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES:
        sp->Parameters.DeviceCapabilities.Capabilities->UniqueID = answers.UniqueId;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        if (g_deleteChildAtRemove && !child->Deleted) {
            child->Deleted = true;
            Complete(irp, STATUS_SUCCESS);
            IoDeleteDevice(device);
            return STATUS_SUCCESS;
        }
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto bus = (BusData*)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
        size_t bytes = sizeof(DEVICE_RELATIONS) + g_children.size() * sizeof(PDEVICE_OBJECT);
        auto relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, bytes, hk::Tag("BrkR"));
        relations->Count = (ULONG)g_children.size();
        for (size_t i = 0; i < g_children.size(); i++) {
            relations->Objects[i] = g_children[i];
            ObReferenceObject(g_children[i]);
        }
        irp->IoStatus.Information = (ULONG_PTR)relations;
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        for (PDEVICE_OBJECT child : g_children) {
            if (!((ChildData*)child->DeviceExtension)->Deleted) IoDeleteDevice(child);
        }
        g_children.clear();
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(bus->Lower, irp);
        IoDetachDevice(bus->Lower);
        IoDeleteDevice(device);
        return status;
    }
    if (sp->MinorFunction == IRP_MN_START_DEVICE || sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->Lower, irp);
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) { return IsBus(device) ? BusPnp(device, irp) : ChildPnp(device, irp); }

NTSTATUS AddBus(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BusData), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ((BusData*)device->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    // A function device picks its own I/O method: unlike a filter's, it need not match the PDO's.
    device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->DriverExtension->AddDevice = AddBus;
    return STATUS_SUCCESS;
}

class PnpIdentityVerifierTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_children.clear();
        g_deleteChildAtRemove = false;
        ASSERT_EQ(hk::LoadDriver(Entry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\brokenbus",
                                 &driver_, L"\\Driver\\brokenbus"),
                  STATUS_SUCCESS);
        NTSTATUS status;
        busPdo_ = hk::CreateRootDevice(driver_, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(hk::StartDevice(busPdo_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        EXPECT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
        EXPECT_TRUE(hk::WaitPnpIdle());
        hk::UnloadDriver(driver_);
    }

    // Creates a child answering `answers` and has the bus report it with the others.
    PDEVICE_OBJECT Report(const ChildAnswers& answers)
    {
        answers_.push_back(std::make_unique<ChildAnswers>(answers));
        PDEVICE_OBJECT child = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(ChildData), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child),
                  STATUS_SUCCESS);
        *(ChildData*)child->DeviceExtension = {answers_.back().get(), false};
        child->Flags &= ~DO_DEVICE_INITIALIZING;
        g_children.push_back(child);
        Enumerate();
        return child;
    }

    void Enumerate()
    {
        IoInvalidateDeviceRelations(busPdo_, BusRelations);
        EXPECT_TRUE(hk::WaitPnpIdle());
    }

    static std::u16string Repeat(char16_t c, size_t count) { return std::u16string(count, c); }

    hk::VerifierCapture capture_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT busPdo_ = nullptr;
    std::vector<std::unique_ptr<ChildAnswers>> answers_;
};

TEST_F(PnpIdentityVerifierTest, WellFormedIdentifiersRaiseNothing)
{
    ChildAnswers answers;
    answers.DeviceId = u"BROKEN\\" + Repeat(u'd', 100);
    answers.InstanceId = Repeat(u'7', 64);  // 171 together: the most a bus-unique instance may make
    answers.HardwareIds = {u"BROKEN\\" + Repeat(u'h', 192), u"!~&#{}"};
    answers.ContainerId = u"{8F3A54C2-1B2D-4E5F-9A0B-C1D2E3F4A5B6}";
    PDEVICE_OBJECT child = Report(answers);
    ChildAnswers sibling;
    sibling.DeviceId = u"BROKEN\\Other";  // the same instance identifier under another device identifier
    Report(sibling);
    EXPECT_TRUE(capture_.Messages().empty()) << capture_.Messages().front();
    EXPECT_EQ(hk::QueryDeviceNode(child).HardwareIds.size(), 2u);
}

TEST_F(PnpIdentityVerifierTest, CommaInAHardwareIdentifierIsReported)
{
    ChildAnswers answers;
    answers.HardwareIds = {u"BROKEN\\Good", u"BROKEN\\Bad,Id"};
    Report(answers);
    EXPECT_TRUE(capture_.Saw("IRP_MN_QUERY_ID (BusQueryHardwareIDs) of device")) << capture_.Messages().size();
    EXPECT_TRUE(capture_.Saw("\"BROKEN\\Bad,Id\" with character 0x2c at 10"));
    EXPECT_TRUE(capture_.Saw("holds only characters 0x21-0x7F other than ','"));
}

TEST_F(PnpIdentityVerifierTest, SpaceControlAndWideCharactersAreReportedInEveryKindOfIdentifier)
{
    ChildAnswers answers;
    answers.DeviceId = u"BROKEN\\With Space";
    answers.InstanceId = u"1\t";
    answers.CompatibleIds = {u"BROKEN\\Caf\u00e9"};
    Report(answers);
    EXPECT_TRUE(capture_.Saw("IRP_MN_QUERY_ID (BusQueryDeviceID)"));
    EXPECT_TRUE(capture_.Saw("character 0x20 at 11"));
    EXPECT_TRUE(capture_.Saw("IRP_MN_QUERY_ID (BusQueryInstanceID)"));
    EXPECT_TRUE(capture_.Saw("\"1\\x09\" with character 0x09 at 1"));
    EXPECT_TRUE(capture_.Saw("IRP_MN_QUERY_ID (BusQueryCompatibleIDs)"));
    EXPECT_TRUE(capture_.Saw("character 0xe9 at 10"));
}

TEST_F(PnpIdentityVerifierTest, IdentifiersOfMaxDeviceIdLenAreReported)
{
    ChildAnswers answers;
    answers.HardwareIds = {u"BROKEN\\" + Repeat(u'h', 193)};  // 200 characters
    Report(answers);
    EXPECT_TRUE(capture_.Saw("IRP_MN_QUERY_ID (BusQueryHardwareIDs) of device"));
    EXPECT_TRUE(capture_.Saw("identifier of 200 characters: each must be shorter than MAX_DEVICE_ID_LEN (200)"));
}

TEST_F(PnpIdentityVerifierTest, InstanceIdentifierWithABackslashIsReported)
{
    ChildAnswers answers;
    answers.InstanceId = u"1\\2";
    Report(answers);
    EXPECT_TRUE(capture_.Saw("IRP_MN_QUERY_ID (BusQueryInstanceID)"));
    EXPECT_TRUE(capture_.Saw("an instance identifier holds no '\\'"));
}

TEST_F(PnpIdentityVerifierTest, ContainerIdentifierThatIsNoGuidIsReported)
{
    ChildAnswers answers;
    answers.ContainerId = u"{8F3A54C2-1B2D-4E5F-9A0B-C1D2E3F4A5B}";
    Report(answers);
    EXPECT_TRUE(capture_.Saw("IRP_MN_QUERY_ID (BusQueryContainerID)"));
    EXPECT_TRUE(capture_.Saw("a container identifier is a braced GUID"));
}

TEST_F(PnpIdentityVerifierTest, InstancePathLimitDependsOnUniqueId)
{
    ChildAnswers local;
    local.DeviceId = u"BROKEN\\" + Repeat(u'd', 100);
    local.InstanceId = Repeat(u'7', 65);  // 172 together
    Report(local);
    EXPECT_TRUE(capture_.Saw("its device identifier and instance identifier together are 172 characters; with UniqueID "
                             "clear they must be shorter than 172 (MAX_DEVICE_ID_LEN - 28)"))
        << capture_.Messages().size();

    ChildAnswers unique = local;
    unique.DeviceId = u"BROKEN\\Unique" + Repeat(u'd', 80);
    unique.InstanceId = Repeat(u'7', 105);  // 198 together: fits a system-unique instance
    unique.UniqueId = true;
    size_t before = capture_.Messages().size();
    Report(unique);
    EXPECT_EQ(capture_.Messages().size(), before);
    unique.InstanceId += u"7";  // 199
    unique.DeviceId = u"BROKEN\\Unique2" + Repeat(u'd', 79);
    Report(unique);
    EXPECT_TRUE(capture_.Saw("together are 199 characters; with UniqueID set they must be shorter than 199 "
                             "(MAX_DEVICE_ID_LEN - 1)"));
}

TEST_F(PnpIdentityVerifierTest, TwoChildrenWithTheSameIdentifiersAreADuplicatePdo)
{
    ChildAnswers answers;
    answers.InstanceId = u"-214748364";
    PDEVICE_OBJECT first = Report(answers);
    answers.DeviceId = u"broken\\CHILD";  // instance paths compare without regard to case
    PDEVICE_OBJECT second = Report(answers);
    EXPECT_TRUE(capture_.Saw("duplicate PDO: bus"));
    EXPECT_TRUE(capture_.Saw("instance identifier \"-214748364\", which device"));
    // The duplicate is not set up any further.
    EXPECT_FALSE(hk::QueryDeviceNode(second).HasBusInformation);
    EXPECT_EQ(hk::QueryDeviceNode(first).State, hk::DeviceNodeState::Enumerated);
}

TEST_F(PnpIdentityVerifierTest, ChildReportedAfterItsDriverDeletedItIsReported)
{
    g_deleteChildAtRemove = true;
    PDEVICE_OBJECT child = Report(ChildAnswers{});
    // Removed while still present: the bus deletes it anyway, then keeps reporting it.
    ASSERT_EQ(hk::RemoveDevice(child), STATUS_SUCCESS);
    EXPECT_TRUE(capture_.Messages().empty());
    Enumerate();
    EXPECT_TRUE(capture_.Saw("report device"));
    EXPECT_TRUE(capture_.Saw("after its driver deleted it (IoDeleteDevice): invalid enumeration of a deleted PDO"));
    g_children.clear();  // the manager's reference is the last: the object goes with the bus's node
}

}  // namespace
