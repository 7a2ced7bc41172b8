// The tap and routing control requests sent the way the control application sends them: on a
// handle to the bus interface, with the configuration record stamped with the system time.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "fake_serial_port.h"
#include "pair_fixture.h"
#include <hostkernel/faults.h>
#include "routing/tap.h"

class TapTest : public PortIoTest {
protected:
    void TearDown() override
    {
        // A test that left a tap attached takes it off the way the application does; a detached tap
        // stays on its port until the port's removal or the bus's, which comes first here: a real
        // port without Plug and Play is never removed.
        if (ReadNoFence(&TapAttached)) {
            Control(IOCTL_TAP_DETACH);
        }
        control_.reset();
        if (busPdo_ && hk::QueryDeviceNode(busPdo_).State != hk::DeviceNodeState::Unknown) {
            hk::RemoveDevice(busPdo_);
        }
        EXPECT_TRUE(hk::WaitPnpIdle());
        ports_.clear();
        PortIoTest::TearDown();
    }

    // A real serial port that lives until the bus, and with it the test's tap, has gone.
    FakeSerialPort& RealPort(FakeSerialPort::Options options = {})
    {
        ports_.push_back(std::make_unique<FakeSerialPort>(options));
        return *ports_.back();
    }

    // A control request's status; its byte count in `information` when given.
    NTSTATUS Control(ULONG code, const void* input = nullptr, ULONG inputLength = 0, ULONG outputLength = 0,
                     ULONG_PTR* information = nullptr, std::vector<UCHAR>* output = nullptr)
    {
        auto request = control_->Ioctl(code, input, inputLength, outputLength);
        if (information) *information = request->Information();
        if (output) *output = request->Output();
        return request->Status();
    }

    // The 32-bit answer of IOCTL_TAP_GET_COUNT or IOCTL_TAP_GET_STATUS.
    ULONG Query(ULONG code)
    {
        std::vector<UCHAR> output;
        ULONG_PTR information = 0;
        EXPECT_EQ(Control(code, nullptr, 0, 4, &information, &output), STATUS_SUCCESS);
        EXPECT_EQ(information, 4u);
        ULONG value = 0xFFFFFFFF;
        if (output.size() >= 4) memcpy(&value, output.data(), 4);
        return value;
    }

    static LONGLONG Now()
    {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        return now.QuadPart;
    }

    // A record made now: no routing, capture of received data.
    static RoutingConfig MakeConfig(LONGLONG timestamp = Now())
    {
        RoutingConfig config;
        memset(&config, 0, sizeof(config));
        config.Timestamp = timestamp;
        return config;
    }

    NTSTATUS Configure(ULONG code, const RoutingConfig& config, ULONG length = sizeof(RoutingConfig))
    {
        std::vector<UCHAR> input(length, 0x5A);
        memcpy(input.data(), &config, length < sizeof(config) ? length : sizeof(config));
        return Control(code, input.data(), length);
    }

    // Attaches by name, sent as the application sends it: the name with its NUL.
    NTSTATUS Attach(const std::string& name)
    {
        return Control(IOCTL_TAP_ATTACH, name.c_str(), (ULONG)name.size() + 1);
    }

    // The attached tap's record (the test checks TapAttached first).
    TapDeviceData* Tap() { return (TapDeviceData*)bus_->TapDevice->DeviceExtension; }

    std::vector<std::unique_ptr<FakeSerialPort>> ports_;
};
