// A port's identity towards Plug and Play: identifiers, device text, bus information,
// capabilities, and the port interface that a peer driver may query.
#pragma once
#include "device.h"

extern const GUID GUID_VIRTUAL_PORT_INTERFACE;
extern const GUID GUID_VIRTUAL_BUS_TYPE;

typedef BOOLEAN PORT_INTERFACE_GET_BYTE(PVOID Context, PUCHAR Value);
typedef BOOLEAN PORT_INTERFACE_RETURN_TRUE(PVOID Context, PVOID Argument);

// The record a query-interface for GUID_VIRTUAL_PORT_INTERFACE fills. A peer driver reads it, so
// its layout is fixed. Unlike the platform's INTERFACE, the two counting routines come before
// the context.
struct VIRTUAL_PORT_INTERFACE {
    USHORT Size;
    USHORT Version;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PVOID Context;
    PORT_INTERFACE_GET_BYTE* GetByte;
    PORT_INTERFACE_RETURN_TRUE* SecondRoutine;
    PORT_INTERFACE_RETURN_TRUE* ThirdRoutine;
};
static_assert(sizeof(VIRTUAL_PORT_INTERFACE) == 56, "the port interface record is exchanged with other drivers");
static_assert(offsetof(VIRTUAL_PORT_INTERFACE, InterfaceReference) == 8, "port interface layout");
static_assert(offsetof(VIRTUAL_PORT_INTERFACE, InterfaceDereference) == 16, "port interface layout");
static_assert(offsetof(VIRTUAL_PORT_INTERFACE, Context) == 24, "port interface layout");
static_assert(offsetof(VIRTUAL_PORT_INTERFACE, GetByte) == 32, "port interface layout");
static_assert(offsetof(VIRTUAL_PORT_INTERFACE, SecondRoutine) == 40, "port interface layout");
static_assert(offsetof(VIRTUAL_PORT_INTERFACE, ThirdRoutine) == 48, "port interface layout");

_IRQL_requires_max_(DISPATCH_LEVEL) void PortInterfaceReference(PVOID context);
_IRQL_requires_max_(DISPATCH_LEVEL) void PortInterfaceDereference(PVOID context);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN PortInterfaceGetByte(PVOID context, PUCHAR value);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN PortInterfaceReturnTrue(PVOID context, PVOID argument);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PortQueryInterface(PortDeviceData* port, PIRP irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PortQueryCapabilities(PortDeviceData* port, PIRP irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS GetBusCapabilities(PDEVICE_OBJECT busLowerDevice, PDEVICE_CAPABILITIES capabilities);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PortQueryId(PortDeviceData* port, PIRP irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PortQueryDeviceText(PortDeviceData* port, PIRP irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PortQueryTargetRelation(PortDeviceData* port, PIRP irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PortQueryBusInformation(PIRP irp);
