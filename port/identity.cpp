// A port's identity towards Plug and Play: identifiers, device text, bus information, target
// relation, capabilities, and the port interface that a peer driver may query.
#include "port/identity.h"

#include "runtime.h"

const GUID GUID_VIRTUAL_PORT_INTERFACE = {0x64FB204B, 0x1A5F, 0x45DB, {0x8E, 0x6C, 0x87, 0xB7, 0xA9, 0xB6, 0xAB, 0x38}};
const GUID GUID_VIRTUAL_BUS_TYPE = {0xB2B09CEF, 0x9819, 0x469A, {0x98, 0x4E, 0x5B, 0x28, 0xCD, 0x07, 0xD0, 0xBF}};

// Setup matches every port by this one identifier. The lower-case "a" is part of it.
static const WCHAR kCompatibleId[] = L"{B2B09CEF-9819-469a-984E-5B28CD07D0BF}\\CompatibleKadrix";
static const WCHAR kTextVendor[] = L"NUVA_";
static const WCHAR kTextModel[] = L"Kadrix_";
// Port numbers are unsigned: ten digits hold any of them, so every port has an instance
// identifier of its own, never cut short. One more for the terminator.
constexpr SIZE_T kInstanceIdChars = 11;
constexpr SIZE_T kNumberChars = 11;

// ---- The port interface -------------------------------------------------------------------------

_Use_decl_annotations_ void PortInterfaceReference(PVOID context)
{
    InterlockedIncrement(&((PortDeviceData*)context)->InterfaceRefCount);
}

_Use_decl_annotations_ void PortInterfaceDereference(PVOID context)
{
    InterlockedDecrement(&((PortDeviceData*)context)->InterfaceRefCount);
}

_Use_decl_annotations_ BOOLEAN PortInterfaceGetByte(PVOID, PUCHAR value)
{
    *value = 10;
    return TRUE;
}

_Use_decl_annotations_ BOOLEAN PortInterfaceReturnTrue(PVOID, PVOID) { return TRUE; }

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortQueryInterface(PortDeviceData* port, PIRP irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!RtlEqualMemory(stack->Parameters.QueryInterface.InterfaceType, &GUID_VIRTUAL_PORT_INTERFACE, sizeof(GUID))) {
        return irp->IoStatus.Status;
    }
    if (stack->Parameters.QueryInterface.Size < sizeof(VIRTUAL_PORT_INTERFACE)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Size and Version stay as the requester set them.
    auto portInterface = (VIRTUAL_PORT_INTERFACE*)stack->Parameters.QueryInterface.Interface;
    portInterface->InterfaceReference = PortInterfaceReference;
    portInterface->InterfaceDereference = PortInterfaceDereference;
    portInterface->Context = port;
    portInterface->GetByte = PortInterfaceGetByte;
    portInterface->SecondRoutine = PortInterfaceReturnTrue;
    portInterface->ThirdRoutine = PortInterfaceReturnTrue;
    // The reference that comes with the interface; the requester gives it back.
    InterlockedIncrement(&port->InterfaceRefCount);
    return STATUS_SUCCESS;
}

// ---- Capabilities -------------------------------------------------------------------------------

_Use_decl_annotations_ VCB_PAGED NTSTATUS GetBusCapabilities(PDEVICE_OBJECT busLowerDevice,
                                                             PDEVICE_CAPABILITIES capabilities)
{
    PAGED_CODE();
    RtlZeroMemory(capabilities, sizeof(*capabilities));
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    // The question goes to the top of the bus's stack, so that drivers above the bus see it too.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(busLowerDevice);
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        // Every Plug and Play request starts out unsupported.
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        RtlZeroMemory(next, sizeof(*next));
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = capabilities;
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
    }
    ObDereferenceObject(top);
    return status;
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortQueryCapabilities(PortDeviceData* port, PIRP irp)
{
    PAGED_CODE();
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version != 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }
    // Once the bus has let go of the port there is no bus stack to ask, and its record may be gone.
    PDEVICE_OBJECT parent = port->ParentBus;
    if (parent == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    auto bus = (BusDeviceData*)parent->DeviceExtension;

    DEVICE_CAPABILITIES busCapabilities;
    NTSTATUS status = GetBusCapabilities(bus->NextLowerDevice, &busCapabilities);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    for (ULONG state = PowerSystemUnspecified; state < PowerSystemMaximum; state++) {
        capabilities->DeviceState[state] = busCapabilities.DeviceState[state];
    }
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    if (busCapabilities.DeviceState[PowerSystemSleeping1] != PowerDeviceD0) {
        capabilities->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    }
    if (busCapabilities.DeviceState[PowerSystemSleeping2] != PowerDeviceD0) {
        capabilities->DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
    }
    if (busCapabilities.DeviceState[PowerSystemSleeping3] != PowerDeviceD0) {
        capabilities->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    }

    capabilities->DeviceWake = PowerDeviceD1;
    capabilities->D1Latency = 0;
    capabilities->D2Latency = 0;
    capabilities->D3Latency = 0;

    capabilities->DeviceD1 = 1;
    capabilities->EjectSupported = 1;
    capabilities->Removable = 1;
    capabilities->SurpriseRemovalOK = 1;
    capabilities->WakeFromD1 = 1;
    capabilities->DeviceD2 = 0;
    capabilities->UniqueID = 0;
    capabilities->SilentInstall = 0;
    capabilities->WakeFromD0 = 0;
    capabilities->WakeFromD2 = 0;
    capabilities->WakeFromD3 = 0;
    capabilities->HardwareDisabled = 0;

    capabilities->Address = port->PortNumber;
    capabilities->UINumber = port->PortNumber;
    return STATUS_SUCCESS;
}

// ---- Identifiers and text -----------------------------------------------------------------------

static VCB_PAGED SIZE_T MultiStringBytes(PCWSTR strings)
{
    PAGED_CODE();
    SIZE_T chars = 0;
    while (strings[chars] != 0) {
        while (strings[chars] != 0) {
            chars++;
        }
        chars++;
    }
    return (chars + 1) * sizeof(WCHAR);
}

static VCB_PAGED NTSTATUS AnswerCopy(PIRP irp, const void* source, SIZE_T bytes)
{
    PAGED_CODE();
    PVOID answer = ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag);
    if (answer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(answer, source, bytes);
    irp->IoStatus.Information = (ULONG_PTR)answer;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortQueryId(PortDeviceData* port, PIRP irp)
{
    PAGED_CODE();
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
        // Read as one string, the whole list is its first identifier: the device identifier.
        if (port->HardwareIds == nullptr) {
            return irp->IoStatus.Status;
        }
        return AnswerCopy(irp, port->HardwareIds, MultiStringBytes(port->HardwareIds));
    case BusQueryCompatibleIDs: {
        WCHAR compatible[ARRAYSIZE(kCompatibleId) + 1];
        RtlCopyMemory(compatible, kCompatibleId, sizeof(kCompatibleId));
        compatible[ARRAYSIZE(kCompatibleId)] = 0;
        return AnswerCopy(irp, compatible, sizeof(compatible));
    }
    case BusQueryInstanceID: {
        auto instance = (PWCHAR)ExAllocatePoolWithTag(PagedPool, kInstanceIdChars * sizeof(WCHAR), kPoolTag);
        if (instance == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtFormatWide(instance, kInstanceIdChars, L"%02u", port->PortNumber);
        irp->IoStatus.Information = (ULONG_PTR)instance;
        return STATUS_SUCCESS;
    }
    default:
        return irp->IoStatus.Status;
    }
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortQueryDeviceText(PortDeviceData* port, PIRP irp)
{
    PAGED_CODE();
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return irp->IoStatus.Status;
    }
    if (irp->IoStatus.Information != 0) {
        return STATUS_SUCCESS;  // a driver above has already named the device
    }
    constexpr SIZE_T chars = (ARRAYSIZE(kTextVendor) - 1) + (ARRAYSIZE(kTextModel) - 1) + kNumberChars;
    auto text = (PWCHAR)ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag);
    if (text == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtFormatWide(text, chars, L"%ws%ws%02u", kTextVendor, kTextModel, port->PortNumber);
    irp->IoStatus.Information = (ULONG_PTR)text;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortQueryTargetRelation(PortDeviceData* port, PIRP irp)
{
    PAGED_CODE();
    auto relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag);
    if (relations == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 1;
    relations->Objects[0] = port->Header.Self;
    ObReferenceObject(port->Header.Self);  // for the requester
    irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortQueryBusInformation(PIRP irp)
{
    PAGED_CODE();
    auto information = (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kPoolTag);
    if (information == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    information->BusTypeGuid = GUID_VIRTUAL_BUS_TYPE;
    information->LegacyBusType = PNPBus;
    information->BusNumber = 0;
    irp->IoStatus.Information = (ULONG_PTR)information;
    return STATUS_SUCCESS;
}
