/*
 * vcombus control interface: what a control application needs to find the bus and talk to it.
 *
 * Plain C, usable from C and C++. It includes nothing: include it after <windows.h> (applications)
 * or the kernel headers (the driver), which supply GUID and DEFINE_GUID. As with every DEFINE_GUID
 * header, exactly one translation unit of a program includes <initguid.h> first so that the GUIDs
 * are defined there and only declared elsewhere.
 */
#ifndef VCOMBUS_IOCTL_H
#define VCOMBUS_IOCTL_H

#ifdef __cplusplus
#define VCOMBUS_STATIC_ASSERT(expression, message) static_assert(expression, message)
#else
#define VCOMBUS_STATIC_ASSERT(expression, message) _Static_assert(expression, message)
#endif

/* Device interface of the bus, enabled while the bus is started: the way to open it. */
/* {3A9B85F5-2569-4653-B56D-C83163386FB6} */
DEFINE_GUID(GUID_VIRTUAL_BUS_INTERFACE,
    0x3a9b85f5, 0x2569, 0x4653, 0xb5, 0x6d, 0xc8, 0x31, 0x63, 0x38, 0x6f, 0xb6);

/* Setup class of the ports (and of the bus, which the same setup information installs). Its
 * class key may carry the security settings ports are created with. */
/* {D9B20363-629F-47DC-BEA8-C149A2CCB34F} */
DEFINE_GUID(GUID_VIRTUAL_PORT_CLASS,
    0xd9b20363, 0x629f, 0x47dc, 0xbe, 0xa8, 0xc1, 0x49, 0xa2, 0xcc, 0xb3, 0x4f);

/*
 * Bus control codes: device type FILE_DEVICE_BUS_EXTENDER, METHOD_BUFFERED, FILE_READ_ACCESS, so
 * the bus handle must have been opened with read access. Spelled out rather than built with
 * CTL_CODE so that the header needs neither winioctl.h nor the kernel's definition.
 */
#define VCOMBUS_BUS_CONTROL_CODE(function) \
    ((unsigned long)((0x2AUL << 16) | (0x1UL << 14) | ((unsigned long)(function) << 2) | 0x0UL))

#define IOCTL_BUS_PLUGIN_PORT    VCOMBUS_BUS_CONTROL_CODE(0x510)
#define IOCTL_BUS_UNPLUG_PORT    VCOMBUS_BUS_CONTROL_CODE(0x511)
#define IOCTL_BUS_EJECT_PORT     VCOMBUS_BUS_CONTROL_CODE(0x512)
#define IOCTL_BUS_GET_PORT_COUNT VCOMBUS_BUS_CONTROL_CODE(0x514)
#define IOCTL_BUS_GET_VERSION    VCOMBUS_BUS_CONTROL_CODE(0x515)

/* IOCTL_BUS_GET_VERSION answers this 32-bit value: the driver's version 2.0.0.1, a digit a nibble. */
#define VCOMBUS_DRIVER_VERSION 0x2001UL

/* The codes are a binary contract with driver builds of every age: keep them fixed. */
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_PLUGIN_PORT == 0x2A5440UL, "plug-in code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_UNPLUG_PORT == 0x2A5444UL, "unplug code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_EJECT_PORT == 0x2A5448UL, "eject code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_GET_PORT_COUNT == 0x2A5450UL, "port count code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_GET_VERSION == 0x2A5454UL, "version code");

#endif /* VCOMBUS_IOCTL_H */
