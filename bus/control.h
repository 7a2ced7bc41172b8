// The bus's own control requests; BusDeviceControl (driver/handlers.h) dispatches to them.
#pragma once
#include "device.h"
#include "vcombus/ioctl.h"

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PlugInPort(const PortPlugInRequest* request, ULONG inputLength, BusDeviceData* bus);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS UnplugPort(const PortRemoveRequest* request, BusDeviceData* bus);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS EjectPort(const PortRemoveRequest* request, BusDeviceData* bus);
