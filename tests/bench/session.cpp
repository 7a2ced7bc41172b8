#include "session.h"

#include <hostkernel/pnp.h>
#include <hostkernel/security.h>

#include <cstring>

#include "driver/handlers.h"
#include "vcombus/ioctl.h"

namespace {

constexpr PCWSTR kServicePath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vcombus";
// What the package's setup information matches for ports (a null function driver): the
// compatible identifier every port reports.
const char16_t kPortCompatibleId[] = u"{B2B09CEF-9819-469a-984E-5B28CD07D0BF}\\CompatibleKadrix";
const char16_t kPortHardwareIds[] = u"VCOMBUS\\Port\0";
const char16_t kParametersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vcombus\\Parameters";

void SetDword(const char16_t* name, ULONG value)
{
    std::vector<UCHAR> data(sizeof(value));
    memcpy(data.data(), &value, sizeof(value));
    hk::RegistrySetValue(kParametersKey, name, REG_DWORD, data);
}

}  // namespace

DriverSession::DriverSession(DriverSettings settings) : settings_(settings)
{
    if (settings_ != DriverSettings::Bare) {
        // As package/vcombus.inf's [Bus_Service_Parameters] writes them.
        hk::RegistryCreateKey(kParametersKey);
        SetDword(u"EmulateLineSettings", 1);
        SetDword(u"NoPacing", 1);
        SetDword(u"BaudTiming", settings_ == DriverSettings::LineTiming ? 1 : 0);
    }
    if (hk::LoadDriver(DriverEntry, kServicePath, &driver_, L"\\Driver\\vcombus") != STATUS_SUCCESS) {
        error_ = "the driver did not load";
        driver_ = nullptr;
        return;
    }
    hk::InstallDriverForId(kPortCompatibleId);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    busPdo_ = hk::CreateRootDevice(driver_, &status);
    if (busPdo_ == nullptr || status != STATUS_SUCCESS) {
        error_ = "AddDevice failed for the bus";
        return;
    }
    if (hk::StartDevice(busPdo_) != STATUS_SUCCESS || !hk::WaitPnpIdle()) {
        error_ = "the bus did not start";
        return;
    }
    auto links = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE);
    if (links.size() != 1) {
        error_ = "the bus interface is not enabled";
        return;
    }
    control_ = hk::OpenDeviceInterface(links[0], GENERIC_READ, &status);
    if (control_ == nullptr || status != STATUS_SUCCESS) error_ = "the bus interface did not open";
}

DriverSession::~DriverSession()
{
    files_.clear();
    control_.reset();
    if (busPdo_ != nullptr && hk::QueryDeviceNode(busPdo_).State != hk::DeviceNodeState::Unknown) {
        hk::RemoveDevice(busPdo_);
    }
    hk::WaitPnpIdle();
    if (driver_ != nullptr) hk::UnloadDriver(driver_);
    hk::ResetFaultInjection();
    if (settings_ != DriverSettings::Bare) hk::ResetSecurityState();
}

PDEVICE_OBJECT DriverSession::Plug(ULONG number, bool settle)
{
    std::vector<UCHAR> input(8 + sizeof(kPortHardwareIds));
    ULONG size = 8;
    memcpy(input.data(), &size, 4);
    memcpy(input.data() + 4, &number, 4);
    memcpy(input.data() + 8, kPortHardwareIds, sizeof(kPortHardwareIds));
    auto request = control_->Ioctl(IOCTL_BUS_PLUGIN_PORT, input.data(), (ULONG)input.size(), 0);
    if (request->Status() != STATUS_SUCCESS) return nullptr;
    if (!settle) return nullptr;
    return Settle() ? Port(number) : nullptr;
}

bool DriverSession::Settle() { return hk::WaitPnpIdle(std::chrono::seconds(120)); }

PDEVICE_OBJECT DriverSession::Port(ULONG number)
{
    for (PDEVICE_OBJECT child : hk::DeviceChildren(busPdo_)) {
        if (Record(child)->PortNumber == number &&
            hk::QueryDeviceNode(child).State == hk::DeviceNodeState::Started) {
            return child;
        }
    }
    return nullptr;
}

size_t DriverSession::PortCount()
{
    size_t started = 0;
    for (PDEVICE_OBJECT child : hk::DeviceChildren(busPdo_)) {
        started += hk::QueryDeviceNode(child).State == hk::DeviceNodeState::Started;
    }
    return started;
}

hk::File* DriverSession::Open(PDEVICE_OBJECT port)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
    if (file == nullptr || status != STATUS_SUCCESS) return nullptr;
    files_.push_back(std::move(file));
    return files_.back().get();
}

void DriverSession::Close(hk::File* file)
{
    for (auto it = files_.begin(); it != files_.end(); ++it) {
        if (it->get() == file) {
            files_.erase(it);
            return;
        }
    }
}

NTSTATUS SetReadTimeouts(hk::File& file, ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    return file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0)->Status();
}

NTSTATUS SetQueueSize(hk::File& file, ULONG inSize)
{
    SERIAL_QUEUE_SIZE size = {inSize, 0};
    return file.Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size), 0)->Status();
}

NTSTATUS SetWaitMask(hk::File& file, ULONG mask)
{
    return file.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0)->Status();
}

PIRP CurrentReadIrp(PDEVICE_OBJECT port)
{
    return (PIRP)ReadPointerNoFence((PVOID volatile*)&DriverSession::Record(port)->CurrentReadIrp);
}

PIRP CurrentWaitIrp(PDEVICE_OBJECT port)
{
    return (PIRP)ReadPointerNoFence((PVOID volatile*)&DriverSession::Record(port)->CurrentWaitIrp);
}
