// The driver's dispatch routines and the handlers DispatchRequest routes to, one per role and
// major code.
#pragma once
#include "device.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD UnloadDriver;
DRIVER_DISPATCH DispatchRequest;
DRIVER_DISPATCH DispatchSystemControl;

// Driver core: power for the bus and the ports.
DRIVER_DISPATCH DispatchPower;

// Bus
DRIVER_ADD_DEVICE AddBusDevice;
NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack, BusDeviceData* bus);
DRIVER_DISPATCH BusDeviceControl;
DRIVER_DISPATCH BusOpenCloseCleanupFlush;
DRIVER_DISPATCH BusReadWrite;
// Tap and routing codes on the bus: sets Information, returns the status, does not complete.
DRIVER_DISPATCH TapControl;

// Port
NTSTATUS PortPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack, PortDeviceData* port);
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchCleanupFlush;
DRIVER_DISPATCH PortReadWrite;
DRIVER_DISPATCH PortSerialControl;

// Tap
DRIVER_DISPATCH TapDispatch;

// Completes `irp` with `status` and Information 0, the way every refusal ends.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Completes a request for a deleted bus or port with STATUS_NO_SUCH_DEVICE. Information stays as
// it was: a driver above may have put an answer there.
NTSTATUS CompleteNoSuchDevice(PIRP irp);
