// The Plug and Play and power managers as a test drives them: root-enumerated devices given to
// a function driver, start, stop and removal the way the system initiates them, enumeration of
// bus children, device interfaces as applications find them, and power requests.
//
// Every Plug and Play action runs on the Plug and Play manager's own worker thread, one at a
// time, at PASSIVE_LEVEL; the harness calls below queue an action and wait for it. Invalidated
// relations and eject requests are queued by the drivers and processed later on that thread:
// WaitPnpIdle waits until every queued action has been carried out.
#pragma once

#include <hostkernel/harness.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hk {

// ---- Root-enumerated devices ------------------------------------------------------------------
// How the root bus driver's physical device object answers below a function driver.
struct RootDeviceBehavior {
    std::u16string HardwareId = u"root\\vcombus";
    NTSTATUS StartStatus = STATUS_SUCCESS;
    // The start is pended and completed later from another thread, as a slow bus would.
    bool CompleteStartLater = false;
    NTSTATUS CapabilitiesStatus = STATUS_SUCCESS;
    // DeviceState of the capabilities the root device reports, S-unspecified through S5.
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3,
                                                          PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    // Called in the root device's dispatch routine, on the sender's thread, before it answers a
    // request: a test may hold the request there (the driver above is then still inside its
    // IoCallDriver) or look at it.
    std::function<void(PIRP irp)> BeforeAnswer;
};

// Creates a root-enumerated physical device object and calls `functionDriver`'s AddDevice for it.
// On an AddDevice failure the device node is dropped again and nullptr returned.
PDEVICE_OBJECT CreateRootDevice(PDRIVER_OBJECT functionDriver, NTSTATUS* addDeviceStatus,
                                const RootDeviceBehavior& behavior = {});

// Starts a device whose stack is built (root devices after CreateRootDevice, stopped devices,
// and children removed while still present: their function driver is added again first). A
// failed start is followed by IRP_MN_REMOVE_DEVICE, as the system does. A started device's bus
// relations are queried afterwards.
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
// Query-stop, then stop; a refused query-stop is cancelled and its status returned.
NTSTATUS StopDevice(PDEVICE_OBJECT pdo);
// Orderly removal (disable, uninstall): query-remove to the device's children and then to the
// device, remove in the same order. A refusal cancels the queries and returns its status. Children
// of the device are gone afterwards; a root device's physical device object is deleted, a child's
// stays (it is still reported by its bus) with its stack removed.
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
// The device vanished (a root device pulled out): surprise removal to it and its children, and
// IRP_MN_REMOVE_DEVICE to each once no handle to its stack is open.
void SurpriseRemoveDevice(PDEVICE_OBJECT pdo);

// Waits until the Plug and Play manager has carried out everything queued; false on time-out.
bool WaitPnpIdle(std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Driver matching, as the setup information of installed packages would: a child whose hardware
// or compatible identifier equals `id` (case-insensitive) gets `functionDriver` (nullptr: a null
// function driver, the physical device object alone makes the stack). Children that match nothing
// and do not report RawDeviceOK stay without a driver and are not started. Cleared at unload.
void InstallDriverForId(const std::u16string& id, PDRIVER_OBJECT functionDriver = nullptr);

// ---- Inspection -------------------------------------------------------------------------------
enum class DeviceNodeState {
    Unknown,         // not a device the Plug and Play manager knows (any more)
    Enumerated,      // reported and queried, no stack started (no driver, or not started yet)
    Started,
    Stopped,
    Removed,         // IRP_MN_REMOVE_DEVICE sent while the device is still reported
    SurpriseRemoved, // waiting for its handles to close before IRP_MN_REMOVE_DEVICE
    StartFailed,
};

struct DeviceNodeInfo {
    DeviceNodeState State = DeviceNodeState::Unknown;
    std::u16string DeviceId;
    std::u16string InstanceId;
    std::vector<std::u16string> HardwareIds;
    std::vector<std::u16string> CompatibleIds;
    std::u16string Description;      // IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription
    std::u16string Location;         // DeviceTextLocationInformation
    bool HasBusInformation = false;
    PNP_BUS_INFORMATION BusInformation{};
    bool HasCapabilities = false;
    DEVICE_CAPABILITIES Capabilities{};  // as the last capability query answered
    bool ReportedMissing = false;
};
DeviceNodeInfo QueryDeviceNode(PDEVICE_OBJECT pdo);
// The children the device's bus relations reported and that are not gone, in report order.
std::vector<PDEVICE_OBJECT> DeviceChildren(PDEVICE_OBJECT pdo);
// Waits until `pdo`'s node is in `state` (Unknown: until it is gone); false on time-out.
bool WaitDeviceNodeState(PDEVICE_OBJECT pdo, DeviceNodeState state,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Every Plug and Play and power request the managers sent, in order.
struct ManagerRequest {
    PDEVICE_OBJECT Pdo;  // the device node's physical device object
    UCHAR Major;
    UCHAR Minor;
    ULONG Detail;        // relation type, identifier type, text type or power state type, else 0
    NTSTATUS Status;     // the final status
};
std::vector<ManagerRequest> ManagerLog();
void ClearManagerLog();

// What reached a root device's physical device object (below its function driver).
struct RootDeviceRequest {
    UCHAR Major;
    UCHAR Minor;
    IO_STACK_LOCATION Stack;  // the location as the root device saw it
    CHAR CurrentLocation;     // the IRP's stack position when it arrived
    CHAR StackCount;
    NTSTATUS Status;          // IoStatus.Status when it arrived
};
std::vector<RootDeviceRequest> RootDeviceLog(PDEVICE_OBJECT pdo);

// ---- Device interfaces ------------------------------------------------------------------------
// The symbolic link names of the enabled interfaces of a class, as an application lists them.
std::vector<std::u16string> FindDeviceInterfaces(const GUID& interfaceClass);
bool DeviceInterfaceEnabled(const std::u16string& symbolicLink);
// Opens an enabled interface (the device it belongs to); STATUS_OBJECT_NAME_NOT_FOUND otherwise.
std::unique_ptr<File> OpenDeviceInterface(const std::u16string& symbolicLink, ACCESS_MASK access,
                                          NTSTATUS* status, User user = User::LocalSystem);

// ---- Power ------------------------------------------------------------------------------------
// Sends a power request to the top of `device`'s stack as the power manager does (status
// STATUS_NOT_SUPPORTED to begin with) and waits for it. Devices without DO_POWER_PAGABLE get it
// at DISPATCH_LEVEL. Every driver it reached must have called PoStartNextPowerIrp by its end.
DirectResult SendPower(PDEVICE_OBJECT device, UCHAR minor,
                       const std::function<void(PIO_STACK_LOCATION)>& prepare = nullptr,
                       NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);
DirectResult SendSetPower(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
DirectResult SendQueryPower(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);

// PoSetPowerState calls, in order.
struct PowerStateReport {
    PDEVICE_OBJECT Device;
    POWER_STATE_TYPE Type;
    POWER_STATE State;
};
std::vector<PowerStateReport> PowerStateReports();

}  // namespace hk

namespace hk {
// Every IoSetDeviceInterfaceState call a driver made, in order, with what it returned.
struct InterfaceStateCall {
    std::u16string SymbolicLink;
    bool Enable;
    NTSTATUS Status;
};
std::vector<InterfaceStateCall> InterfaceStateCalls();
}  // namespace hk
