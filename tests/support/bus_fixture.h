// A loaded driver with its bus installed as a root-enumerated device and started by the Plug and
// Play manager, and ports plugged in and unplugged the way the control application does it: the
// bus's control requests on a handle to the bus interface.
#pragma once

#include <hostkernel/pnp.h>

#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "driver_fixture.h"
#include "port/port_device.h"
#include "vcombus/ioctl.h"

inline const char16_t kPortCompatibleId[] = u"{B2B09CEF-9819-469a-984E-5B28CD07D0BF}\\CompatibleKadrix";

// A plug-in request's input: its fixed part (Size, PortNumber) and the identifier list as given.
inline std::vector<UCHAR> PlugInInput(ULONG size, ULONG number, const std::u16string& ids)
{
    std::vector<UCHAR> input(8 + ids.size() * 2);
    memcpy(input.data(), &size, 4);
    memcpy(input.data() + 4, &number, 4);
    if (!ids.empty()) memcpy(input.data() + 8, ids.data(), ids.size() * 2);
    return input;
}

// An unplug or eject request's input.
inline std::vector<UCHAR> RemoveInput(ULONG number, ULONG length = 16, ULONG size = 16)
{
    std::vector<UCHAR> input(length, 0);
    memcpy(input.data(), &size, 4 <= length ? 4 : length);
    if (length >= 8) memcpy(input.data() + 4, &number, 4);
    return input;
}

// Holds requests of one major function in the dispatch routine of the bus's lower device until
// released: the bus is then still inside its IoCallDriver for them, as with a slow lower driver.
class LowerDeviceHold {
public:
    void Install(hk::RootDeviceBehavior& behavior, UCHAR major)
    {
        major_ = major;
        behavior.BeforeAnswer = [this](PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != major_) return;
            std::unique_lock guard(lock_);
            held_++;
            changed_.notify_all();
            changed_.wait(guard, [&] { return released_; });
        };
    }
    bool WaitHeld(int count = 1)
    {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return held_ >= count; });
    }
    void Release()
    {
        std::lock_guard guard(lock_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    UCHAR major_ = 0;
    int held_ = 0;
    bool released_ = false;
};

class BusTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (HasFatalFailure()) return;
        // What the package's setup information does for ports: a null function driver.
        if (installPortDriver_) hk::InstallDriverForId(kPortCompatibleId);
        AddBus(behavior_);
        if (startBus_) {
            ASSERT_EQ(hk::StartDevice(busPdo_), STATUS_SUCCESS);
            ASSERT_TRUE(hk::WaitPnpIdle());
        }
    }

    void TearDown() override
    {
        if (busPdo_ && hk::QueryDeviceNode(busPdo_).State != hk::DeviceNodeState::Unknown) {
            hk::RemoveDevice(busPdo_);
        }
        EXPECT_TRUE(hk::WaitPnpIdle());
        DriverTest::TearDown();
    }

    void AddBus(const hk::RootDeviceBehavior& behavior)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        busPdo_ = hk::CreateRootDevice(driver_, &status, behavior);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(busPdo_, nullptr);
        busDevice_ = busPdo_->AttachedDevice;
        ASSERT_NE(busDevice_, nullptr);
        bus_ = (BusDeviceData*)busDevice_->DeviceExtension;
    }

    // A handle to the bus as the control application opens it: through its interface.
    std::unique_ptr<hk::File> OpenBus()
    {
        auto links = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE);
        EXPECT_EQ(links.size(), 1u);
        if (links.empty()) return nullptr;
        NTSTATUS status;
        auto file = hk::OpenDeviceInterface(links[0], GENERIC_READ, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }

    // Plugs port `number` in with IOCTL_BUS_PLUGIN_PORT and returns the port the driver linked.
    // `settle`: wait until the Plug and Play manager has acted on the bus's announcement (with
    // the bus stopped it ignores it, and the port stays linked but unreported).
    PDEVICE_OBJECT Plug(ULONG number, std::initializer_list<const wchar_t*> hardwareIds = {L"VCOMBUS\\Port"},
                        bool settle = true)
    {
        std::u16string ids;
        for (auto id : hardwareIds) (ids += Wide(id)) += u'\0';
        ids += u'\0';
        auto input = PlugInInput(8, number, ids);
        auto bus = OpenBus();
        if (bus == nullptr) return nullptr;
        auto request = bus->Ioctl(IOCTL_BUS_PLUGIN_PORT, input.data(), (ULONG)input.size(), 0);
        EXPECT_EQ(request->Status(), STATUS_SUCCESS) << "plug-in of port " << number;
        bus.reset();
        PDEVICE_OBJECT port = LinkedPort(number);
        EXPECT_NE(port, nullptr) << "port " << number << " is not linked";
        if (settle) {
            EXPECT_TRUE(hk::WaitPnpIdle());
        }
        return port;
    }

    // Unplugs with IOCTL_BUS_UNPLUG_PORT; `settle` as for Plug.
    void Unplug(PDEVICE_OBJECT port, bool settle = true)
    {
        auto input = RemoveInput(Record(port)->PortNumber);
        auto bus = OpenBus();
        if (bus == nullptr) return;
        EXPECT_EQ(bus->Ioctl(IOCTL_BUS_UNPLUG_PORT, input.data(), (ULONG)input.size(), 0)->Status(), STATUS_SUCCESS);
        bus.reset();
        if (settle) {
            EXPECT_TRUE(hk::WaitPnpIdle());
        }
    }

    // Stops the bus the way the Plug and Play manager does: while it is stopped, its
    // announcements are not acted on, so ports plugged in now stay linked but unreported.
    void StopBus() { ASSERT_EQ(hk::StopDevice(busPdo_), STATUS_SUCCESS); }

    void Announce()
    {
        IoInvalidateDeviceRelations(bus_->UnderlyingPdo, BusRelations);
        EXPECT_TRUE(hk::WaitPnpIdle());
    }

    // The linked port with this number that is not surprise-removed, or null.
    PDEVICE_OBJECT LinkedPort(ULONG number)
    {
        PDEVICE_OBJECT found = nullptr;
        ExAcquireFastMutex(&bus_->ChildListLock);
        for (PLIST_ENTRY entry = bus_->ChildList.Flink; entry != &bus_->ChildList; entry = entry->Flink) {
            auto port = CONTAINING_RECORD(entry, PortDeviceData, ChildLink);
            if (port->PortNumber == number && ReadPnpState(&port->Header) != PnpSurpriseRemovePending) {
                found = port->Header.Self;
            }
        }
        ExReleaseFastMutex(&bus_->ChildListLock);
        return found;
    }

    static PortDeviceData* Record(PDEVICE_OBJECT port) { return (PortDeviceData*)port->DeviceExtension; }

    static bool Alive(PDEVICE_OBJECT device) { return hk::ObjectReferenceCount(device) > 0; }

    hk::RootDeviceBehavior behavior_;
    bool startBus_ = true;
    bool installPortDriver_ = true;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT busDevice_ = nullptr;
    BusDeviceData* bus_ = nullptr;
};

inline std::u16string U16(const char16_t* text) { return std::u16string(text); }
