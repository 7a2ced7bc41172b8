// Ports plugged in through the bus's control request and opened by applications, for tests of
// reads and writes; time-outs are set with the serial control request, as applications do.
#pragma once

#include <cstring>
#include <vector>

#include "bus_fixture.h"
#include "port_fixture.h"
#include "serial/read.h"

// Sets the read time-outs the way an application does, with IOCTL_SERIAL_SET_TIMEOUTS on its
// handle (write time-outs 0). Returns the request's status: a port unplugged under an open handle
// refuses it.
inline NTSTATUS SetReadTimeouts(hk::File& file, ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    return file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0)->Status();
}

class PortIoTest : public BusTest {
protected:
    void SetUp() override
    {
        BusTest::SetUp();
        if (HasFatalFailure()) return;
        auto links = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE);
        ASSERT_EQ(links.size(), 1u);
        NTSTATUS status;
        control_ = hk::OpenDeviceInterface(links[0], GENERIC_READ, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        control_.reset();
        NoPacing = FALSE;
        TapCount = 0;
        BusTest::TearDown();
    }

    // Plugs in port `number` and returns its device once Plug and Play has started it.
    PDEVICE_OBJECT PlugIn(ULONG number)
    {
        static const char16_t kIds[] = u"VCOMBUS\\Port\0";
        std::vector<UCHAR> input(8 + sizeof(kIds));
        ULONG size = 8;
        memcpy(input.data(), &size, 4);
        memcpy(input.data() + 4, &number, 4);
        memcpy(input.data() + 8, kIds, sizeof(kIds));
        auto request = control_->Ioctl(IOCTL_BUS_PLUGIN_PORT, input.data(), (ULONG)input.size(), 0);
        EXPECT_EQ(request->Status(), STATUS_SUCCESS);
        EXPECT_TRUE(hk::WaitPnpIdle());
        return Port(number);
    }

    NTSTATUS Unplug(ULONG number)
    {
        ULONG input[4] = {16, number, 0, 0};
        auto request = control_->Ioctl(IOCTL_BUS_UNPLUG_PORT, input, sizeof(input), 0);
        return request->Status();
    }

    PDEVICE_OBJECT Port(ULONG number)
    {
        for (PDEVICE_OBJECT child : hk::DeviceChildren(busPdo_)) {
            if (Record(child)->PortNumber == number) return child;
        }
        return nullptr;
    }

    static std::unique_ptr<hk::File> Open(PDEVICE_OBJECT port)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }

    static ULONG Held(PDEVICE_OBJECT port)
    {
        ReceiveRing* ring = &Record(port)->Ring;
        RingAcquireLock(ring);
        ULONG count = ring->Count;
        RingReleaseLock(ring);
        return count;
    }

    static PIRP CurrentRead(PDEVICE_OBJECT port) { return HeldRequest(Record(port), true); }

    std::unique_ptr<hk::File> control_;
};

inline std::vector<UCHAR> Pattern(size_t length, UCHAR seed = 0)
{
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; i++) bytes[i] = (UCHAR)(seed + i * 7 + i / 251);
    return bytes;
}

inline std::vector<UCHAR> Bytes(const char* text) { return std::vector<UCHAR>(text, text + strlen(text)); }
