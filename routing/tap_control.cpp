// The tap and routing control requests on the bus: attach the tap to a real serial port by name,
// detach it, set the routing of the hub ports and the tap's capture, and report the tap's count
// and condition. TapControl only decides; the bus's device-control handler completes the request.
#include "routing/tap.h"

#include "driver/gate.h"
#include "driver/handlers.h"

volatile LONG TapAttached;

namespace {

// Serialises the tap's creation, the control requests that read its record and its end. An
// event, not a mutex: device creation, the attach and the waits of the end run at PASSIVE_LEVEL.
KEVENT TapLock;
// The attached tap's record while TapAttached is set, guarded by TapLock.
TapDeviceData* CurrentTap;
// Taps taken off their stacks by a detach, kept until their bus is removed; guarded by TapLock.
LIST_ENTRY DetachedTaps;

// What a filter takes from the device beneath it: the I/O manager sees the top of the stack for
// a request's buffering and the IRQL of its power requests.
constexpr ULONG kInheritedFlags = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;

// The longest device name taken from an attach request, in bytes: twice that must still fit a
// counted Unicode string.
constexpr ULONG kMaxNameBytes = 0x7FFE;

// Reads and writes of the routing fields race with writers' routing by design: plain aligned
// stores that readers see old or new.
VCB_PAGED void StoreRouting(BusDeviceData* bus, const RoutingConfig* config)
{
    PAGED_CODE();
    WriteULongNoFence(&bus->MasterPortNumber, config->MasterPortNumber);
    WriteUCharNoFence(&bus->RealPortMode, config->RealPortMode);
    for (ULONG i = 0; i < sizeof(bus->PortFlags); i++) {
        WriteUCharNoFence(&bus->PortFlags[i], config->PortFlags[i]);
    }
}

// A record is taken only if it was made within a minute of now, either way. The distance is
// worked out without overflow: the timestamp is whatever the application sent.
VCB_PAGED bool Fresh(LONGLONG timestamp)
{
    PAGED_CODE();
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ULONGLONG distance = timestamp > now.QuadPart ? (ULONGLONG)timestamp - (ULONGLONG)now.QuadPart
                                                  : (ULONGLONG)now.QuadPart - (ULONGLONG)timestamp;
    return distance <= (ULONGLONG)VCOMBUS_CONFIG_MAX_AGE;
}

VCB_PAGED NTSTATUS Configure(BusDeviceData* bus, const void* input, ULONG inputLength, bool tapToo)
{
    PAGED_CODE();
    if (inputLength < sizeof(RoutingConfig)) {
        return STATUS_INVALID_PARAMETER;
    }
    RoutingConfig config;
    RtlCopyMemory(&config, input, sizeof(config));
    if (!Fresh(config.Timestamp)) {
        return STATUS_INVALID_PARAMETER;
    }

    WriteBooleanNoFence(&NoPacing, (config.CaptureDirection & VCOMBUS_NO_PACING) != 0);
    config.CaptureDirection &= (UCHAR)~VCOMBUS_NO_PACING;
    StoreRouting(bus, &config);
    if (!tapToo) {
        return STATUS_SUCCESS;
    }

    // The routing above stays in effect even when there is no tap to configure.
    NTSTATUS status = STATUS_DEVICE_DOES_NOT_EXIST;
    LockTapControl();
    if (CurrentTap != nullptr) {
        // Capture reads only CaptureDirection and ExcludedPort, each one aligned field.
        TapDeviceData* tap = CurrentTap;
        WriteUCharNoFence(&tap->Config.CaptureDirection, config.CaptureDirection);
        WriteULongNoFence((volatile ULONG*)&tap->Config.ExcludedPort, config.ExcludedPort);
        tap->Config.Timestamp = config.Timestamp;
        tap->Config.MasterPortNumber = config.MasterPortNumber;
        tap->Config.RealPortMode = config.RealPortMode;
        RtlCopyMemory(tap->Config.PortFlags, config.PortFlags, sizeof(config.PortFlags));
        WriteBooleanNoFence(&tap->CaptureEnabled, TRUE);
        status = STATUS_SUCCESS;
    }
    UnlockTapControl();
    return status;
}

// The name ends at its NUL or at the end of the input, whichever comes first: the driver never
// reads past what the application sent. An empty input is an empty name.
VCB_PAGED NTSTATUS AttachTap(BusDeviceData* bus, const char* input, ULONG inputLength)
{
    PAGED_CODE();
    static char empty[1] = {0};
    ULONG length = 0;
    if (input == nullptr) {
        input = empty;
        inputLength = 0;
    }
    while (length < inputLength && input[length] != 0) {
        length++;
    }
    if (length > kMaxNameBytes) {
        return STATUS_NAME_TOO_LONG;
    }

    NTSTATUS status = STATUS_DEVICE_ALREADY_ATTACHED;
    LockTapControl();
    if (ReadNoFence(&TapCount) > 0) {
        goto unlock;
    }
    {
        ANSI_STRING ansi;
        ansi.Length = (USHORT)length;
        ansi.MaximumLength = (USHORT)length;
        ansi.Buffer = (PCHAR)input;
        UNICODE_STRING name;
        status = RtlAnsiStringToUnicodeString(&name, &ansi, TRUE);
        if (!NT_SUCCESS(status)) {
            goto unlock;
        }
        status = CreateTap(bus->DriverObject, &name, bus);
        RtlFreeUnicodeString(&name);
        if (NT_SUCCESS(status)) {
            InterlockedIncrement(&TapCount);
            CurrentTap = (TapDeviceData*)bus->TapDevice->DeviceExtension;
            InterlockedExchange(&TapAttached, 1);
        }
    }
unlock:
    UnlockTapControl();
    return status;
}

// Detaching waits for every request in progress through the tap: a power request below it still
// has the tap's completion routine to run, and that routine reads the record. The tap's device
// object stays until its bus goes, since a request may yet be aimed at it.
VCB_PAGED NTSTATUS DetachTap()
{
    PAGED_CODE();
    LockTapControl();
    TapDeviceData* tap = CurrentTap;
    if (tap == nullptr || tap->LowerDevice == nullptr) {
        UnlockTapControl();
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    ClaimTap(tap);
    TakeTapOffStack(tap);
    InsertTailList(&DetachedTaps, &tap->DetachedLink);
    UnlockTapControl();
    return STATUS_SUCCESS;
}

VCB_PAGED ULONG TapStatusWord()
{
    PAGED_CODE();
    ULONG word;
    LockTapControl();
    TapDeviceData* tap = CurrentTap;
    if (tap == nullptr) {
        word = VCOMBUS_TAP_STATUS_NOT_ATTACHED;
    } else if (tap->LowerDevice == nullptr) {
        word = VCOMBUS_TAP_STATUS_NO_LOWER;
    } else {
        word = 0;
        if (ReadNoFence(&tap->Gate.OutstandingCount) != 0 || ReadBooleanNoFence(&tap->CaptureEnabled)) {
            word |= VCOMBUS_TAP_STATUS_BUSY;
        }
        if (ReadPointerNoFence((PVOID volatile*)&tap->DeviceObject->AttachedDevice) != nullptr) {
            word |= VCOMBUS_TAP_STATUS_COVERED;
        }
    }
    UnlockTapControl();
    return word;
}

// The two queries answer through the request's output MDL, mapping it if nobody has yet.
VCB_PAGED NTSTATUS AnswerThroughMdl(PIRP irp, ULONG outputLength, ULONG value)
{
    PAGED_CODE();
    if (outputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (irp->MdlAddress == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto answer = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, HighPagePriority);
    if (answer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(answer, &value, sizeof(value));
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

}  // namespace

VCB_PAGED void InitializeTapControl()
{
    PAGED_CODE();
    KeInitializeEvent(&TapLock, SynchronizationEvent, TRUE);
    CurrentTap = nullptr;
    InitializeListHead(&DetachedTaps);
    TapAttached = 0;
}

// The lock is held in the control application's thread: a critical region keeps that thread from
// being suspended while it holds up every other tap request and the tap's teardown.
VCB_PAGED void LockTapControl()
{
    PAGED_CODE();
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&TapLock, Executive, KernelMode, FALSE, nullptr);
}

VCB_PAGED void UnlockTapControl()
{
    PAGED_CODE();
    KeSetEvent(&TapLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

_Use_decl_annotations_ VCB_PAGED TapDeviceData* CurrentTapRecord()
{
    PAGED_CODE();
    return CurrentTap;
}

_Use_decl_annotations_ VCB_PAGED bool ClaimTap(TapDeviceData* tap)
{
    PAGED_CODE();
    if (CurrentTap != tap) {
        return false;
    }
    CurrentTap = nullptr;
    InterlockedExchange(&TapAttached, 0);
    WritePointerNoFence((PVOID volatile*)&tap->Bus->TapDevice, nullptr);
    if (InterlockedDecrement(&TapCount) < 0) {
        InterlockedExchange(&TapCount, 0);
    }
    return true;
}

// The bus's records go with it, and every tap holds its bus: the attached one ends first, then
// the detached ones are deleted.
_Use_decl_annotations_ VCB_PAGED void EndTapsOfBus(BusDeviceData* bus, bool removal)
{
    PAGED_CODE();
    LockTapControl();
    TapDeviceData* tap = CurrentTap;
    if (tap != nullptr && tap->Bus == bus) {
        ClaimTap(tap);
        TakeTapOffStack(tap);
        InsertTailList(&DetachedTaps, &tap->DetachedLink);
    }
    if (removal) {
        PLIST_ENTRY entry = DetachedTaps.Flink;
        while (entry != &DetachedTaps) {
            auto detached = CONTAINING_RECORD(entry, TapDeviceData, DetachedLink);
            entry = entry->Flink;
            if (detached->Bus == bus) {
                RemoveEntryList(&detached->DetachedLink);
                DeleteTap(detached);
            }
        }
    }
    UnlockTapControl();
}

VCB_PAGED NTSTATUS TapControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    irp->IoStatus.Information = 0;
    auto bus = (BusDeviceData*)deviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID input = irp->AssociatedIrp.SystemBuffer;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TAP_ATTACH:
        return AttachTap(bus, (const char*)input, inputLength);
    case IOCTL_TAP_DETACH:
        return DetachTap();
    case IOCTL_TAP_CONFIGURE:
    case IOCTL_ROUTING_CONFIGURE:
        status = Configure(bus, input, inputLength,
                           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TAP_CONFIGURE);
        // The count names the record taken; it never claims more than an output buffer given
        // alongside (for which there is nothing) could hold.
        if (NT_SUCCESS(status)) {
            irp->IoStatus.Information =
                outputLength != 0 && outputLength < sizeof(RoutingConfig) ? outputLength : sizeof(RoutingConfig);
        }
        return status;
    case IOCTL_TAP_DISABLE:
        status = STATUS_DEVICE_DOES_NOT_EXIST;
        LockTapControl();
        if (CurrentTap != nullptr) {
            WriteBooleanNoFence(&CurrentTap->CaptureEnabled, FALSE);
            status = STATUS_SUCCESS;
        }
        UnlockTapControl();
        return status;
    case IOCTL_TAP_GET_COUNT:
        return AnswerThroughMdl(irp, outputLength, (ULONG)ReadNoFence(&TapCount));
    case IOCTL_TAP_GET_STATUS:
        if (outputLength < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        return AnswerThroughMdl(irp, outputLength, TapStatusWord());
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// The tap joins the top of the named device's stack. It works only on a port whose requests carry
// a system buffer, since capture reads the data of reads and writes from there.
_Use_decl_annotations_ VCB_PAGED NTSTATUS CreateTap(PDRIVER_OBJECT driverObject, PUNICODE_STRING name,
                                                    BusDeviceData* bus)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(TapDeviceData), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto tap = (TapDeviceData*)device->DeviceExtension;
    RtlZeroMemory(tap, sizeof(*tap));
    tap->Header.IsFilter = TRUE;
    tap->Signature = kTapSignature;
    tap->TapState = TapNotStarted;
    tap->DeviceObject = device;
    tap->Bus = bus;
    TapGateInitialize(&tap->Gate);
    KeInitializeSpinLock(&tap->OpenLock);
    InitializeInjections(tap);

    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT named = nullptr;
    status = IoGetDeviceObjectPointer(name, FILE_READ_DATA | FILE_WRITE_DATA, &file, &named);
    if (!NT_SUCCESS(status)) {
        goto deleteDevice;
    }
    // Some kernels report success without a file object (or without a device): there is then
    // nothing to attach to, and nothing may be dereferenced that was not given.
    if (file == nullptr || named == nullptr) {
        status = STATUS_OBJECT_PATH_NOT_FOUND;
        goto dereferenceFile;
    }

    // A request may reach the tap the moment it joins the stack, so it is ready before: it takes
    // the stack's top as it is now for the device beneath it, with that device's I/O method and
    // power-paging. Attached while the file object still holds the named device, so that it
    // cannot go meanwhile.
    {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(named);
        if ((top->Flags & DO_BUFFERED_IO) == 0) {
            ObDereferenceObject(top);
            status = STATUS_PORT_CONNECTION_REFUSED;
            goto dereferenceFile;
        }
        tap->LowerDevice = top;
        device->Flags |= top->Flags & kInheritedFlags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, named);
        ObDereferenceObject(top);
        if (lower == nullptr) {
            tap->LowerDevice = nullptr;
            status = STATUS_OBJECT_PATH_NOT_FOUND;
            goto dereferenceFile;
        }
        if (lower != top) {
            // Another device joined the stack in between: the tap passes on to that one from now.
            InterlockedExchangePointer((PVOID volatile*)&tap->LowerDevice, lower);
            if ((lower->Flags & DO_BUFFERED_IO) == 0) {
                // Not deleted, as a request may already be on its way to it.
                TakeTapOffStack(tap);
                InsertTailList(&DetachedTaps, &tap->DetachedLink);
                status = STATUS_PORT_CONNECTION_REFUSED;
                goto dereferenceFile;
            }
            device->Flags |= lower->Flags & kInheritedFlags;
        }
    }
    bus->TapDevice = device;
    ObDereferenceObject(file);
    return STATUS_SUCCESS;

dereferenceFile:
    if (file != nullptr) {
        ObDereferenceObject(file);
    }
deleteDevice:
    // A tap that was in the stack, however briefly, stays with the detached ones.
    if (!ReadNoFence(&tap->Detached)) {
        IoDeleteDevice(device);
    }
    return status;
}

_Use_decl_annotations_ VCB_PAGED void TakeTapOffStack(TapDeviceData* tap)
{
    PAGED_CODE();
    PDEVICE_OBJECT lower = tap->LowerDevice;
    // An injection in progress uses the device beneath: it finishes before the tap lets go.
    RetireInjections(tap);
    // A request that reaches the tap from here on is passed to the device beneath, which must
    // still be there for it.
    ObReferenceObject(lower);
    InterlockedExchange(&tap->Detached, 1);
    // Out of the stack first, so that no new request finds the tap; then wait for those in it.
    IoDetachDevice(lower);
    TapGateWaitForRemove(&tap->Gate);
    ForgetRealPortOpen(tap);
}

// A request still passing through waits out the deletion. Its release after the gate's removal
// takes the count back below zero and sets the event again.
_Use_decl_annotations_ VCB_PAGED void DeleteTap(TapDeviceData* tap)
{
    PAGED_CODE();
    for (;;) {
        KeClearEvent(&tap->Gate.RemoveEvent);
        if (ReadNoFence(&tap->Gate.OutstandingCount) < 0) {
            break;
        }
        KeWaitForSingleObject(&tap->Gate.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    }
    ObDereferenceObject(tap->LowerDevice);
    IoDeleteDevice(tap->DeviceObject);
}
