// Driver entry and unload: one driver object serves the bus, its ports and the tap.
#include "driver/handlers.h"
#include "routing/tap.h"
#include "security/registry_utils.h"
#include "security/secure_device.h"

UNICODE_STRING DriverRegistryPath;
PDRIVER_DISPATCH DefaultCreateHandler;
volatile LONG TapCount;

extern "C" VCB_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    DriverRegistryPath.Length = 0;
    DriverRegistryPath.MaximumLength = (USHORT)(registryPath->Length + sizeof(WCHAR));
    DriverRegistryPath.Buffer =
        (PWCH)ExAllocatePoolWithTag(PagedPool, DriverRegistryPath.MaximumLength, kPoolTag);
    if (DriverRegistryPath.Buffer == nullptr) {
        DriverRegistryPath.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&DriverRegistryPath, registryPath);
    InitializeSecureCreate();

    // What the I/O manager put here refuses unsupported requests; codes the driver does not
    // handle keep going to it.
    DefaultCreateHandler = driverObject->MajorFunction[IRP_MJ_CREATE];
    // Delivery starts unpaced when the service's Parameters say so (the package's setup
    // information does); the routing requests still switch it at run time.
    NoPacing = RegServiceParameterOn(&DriverRegistryPath, L"NoPacing");
    TapCount = 0;
    InitializeTapControl();

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        driverObject->MajorFunction[major] = DispatchRequest;
    }
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driverObject->DriverUnload = UnloadDriver;
    driverObject->DriverExtension->AddDevice = AddBusDevice;
    return STATUS_SUCCESS;
}

VCB_PAGED void UnloadDriver(PDRIVER_OBJECT driverObject)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(driverObject);
    EndTapsAtUnload();
    if (DriverRegistryPath.Buffer != nullptr) {
        ExFreePoolWithTag(DriverRegistryPath.Buffer, kPoolTag);
        DriverRegistryPath.Buffer = nullptr;
        DriverRegistryPath.Length = DriverRegistryPath.MaximumLength = 0;
    }
}
