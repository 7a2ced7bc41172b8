// The one place the driver's GUIDs are defined; every other file only declares them.
#include "kernel.h"
#include <initguid.h>
#include "vcombus/ioctl.h"
