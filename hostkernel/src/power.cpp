// Power manager: the driver-facing calls.
#include "internal.h"

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) { return IoCallDriver(deviceObject, irp); }

void PoStartNextPowerIrp(PIRP) {}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE state) { return state; }

}  // extern "C"
