// The driver loaded into hostkernel for a measurement, the way the tests' fixtures drive it: the
// bus installed as a root-enumerated device and started by the Plug and Play manager, ports
// plugged in with the bus's control request on a handle to its interface (as vcomctl does), and
// opened by applications. Nothing here builds a device or calls the driver's insides.
#pragma once

#include <hostkernel/harness.h>

#include <memory>
#include <string>
#include <vector>

#include "device.h"

// The settings the package's setup information writes under the service's Parameters key, which
// the driver reads at load: what a user of the installed package gets.
// LineTiming: the package's settings with line timing at the baud rate switched on.
enum class DriverSettings { Bare, PackageDefaults, LineTiming };

class DriverSession {
public:
    explicit DriverSession(DriverSettings settings = DriverSettings::Bare);
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // Whether the driver loaded and its bus started; what went wrong otherwise.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // IOCTL_BUS_PLUGIN_PORT for `number`; with `settle`, waits until Plug and Play has started
    // the port and returns it (null on failure).
    PDEVICE_OBJECT Plug(ULONG number, bool settle = true);
    // Waits for Plug and Play to carry out what the plug-ins queued.
    bool Settle();
    // The started port with this number among the bus's reported children, or null.
    PDEVICE_OBJECT Port(ULONG number);
    size_t PortCount();
    // Opens the port for reading and writing as an application does; the session closes it at
    // the end if the caller has not (an open handle would veto the bus's removal).
    hk::File* Open(PDEVICE_OBJECT port);
    void Close(hk::File* file);

    static PortDeviceData* Record(PDEVICE_OBJECT port) { return (PortDeviceData*)port->DeviceExtension; }

private:
    std::string error_;
    DriverSettings settings_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT busPdo_ = nullptr;
    std::unique_ptr<hk::File> control_;
    std::vector<std::unique_ptr<hk::File>> files_;
};

// Short forms of the serial control requests the measurements send.
NTSTATUS SetReadTimeouts(hk::File& file, ULONG interval, ULONG multiplier, ULONG constant);
NTSTATUS SetQueueSize(hk::File& file, ULONG inSize);
NTSTATUS SetWaitMask(hk::File& file, ULONG mask);

// The request a port's service thread holds, or null.
PIRP CurrentReadIrp(PDEVICE_OBJECT port);
PIRP CurrentWaitIrp(PDEVICE_OBJECT port);
