// The driver's dispatch routines and the handlers DispatchRequest routes to.
#pragma once
#include "device.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD UnloadDriver;
DRIVER_DISPATCH DispatchRequest;
DRIVER_DISPATCH DispatchSystemControl;

// Driver core
DRIVER_DISPATCH DispatchPower;

// Bus and port
DRIVER_ADD_DEVICE AddBusDevice;
NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack, BusDeviceData* bus);
NTSTATUS PortPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack, PortDeviceData* port);
DRIVER_DISPATCH BusDeviceControl;
// Serial control requests of a port; completes the request itself.
DRIVER_DISPATCH PortSerialControl;
// Tap and routing codes on the bus: sets Information, returns the status, does not complete.
DRIVER_DISPATCH TapControl;
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchCleanupFlush;
DRIVER_DISPATCH PortReadWrite;

// Tap
DRIVER_DISPATCH TapDispatch;

// Completes `irp` with `status` and Information 0, the way every refusal ends.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
