// A plugged-in null-modem pair (ports 9 and 10) with port 9 opened by an application, and short
// forms of the serial control requests an application sends.
#pragma once

#include "bus_fixture.h"
#include "port_fixture.h"

#include <cstring>
#include <string>

class SerialPortTest : public BusTest {
protected:
    void SetUp() override
    {
        BusTest::SetUp();
        if (HasFatalFailure()) return;
        port_ = Plug(9);
        partner_ = Plug(10);
        file_ = Open(port_);
    }

    void TearDown() override
    {
        file_.reset();
        partnerFile_.reset();
        NoPacing = FALSE;
        BusTest::TearDown();
    }

    static std::unique_ptr<hk::File> Open(PDEVICE_OBJECT port)
    {
        NTSTATUS status;
        auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }

    ReceiveRing& Ring() { return Record(port_)->Ring; }
    // Bytes arriving at port 9, as its partner's writes deliver them: stored, then the port's
    // service threads woken.
    ULONG Feed(const std::string& bytes)
    {
        ULONG stored = RingWrite(&Ring(), (const UCHAR*)bytes.data(), (ULONG)bytes.size());
        WakeReadServiceThread(Record(port_));
        WakeWaitServiceThread(Record(port_));
        return stored;
    }

    template <typename T>
    NTSTATUS Set(ULONG code, const T& value)
    {
        return file_->Ioctl(code, &value, sizeof(value), 0)->Status();
    }
    template <typename T>
    T Get(ULONG code)
    {
        T value{};
        auto request = file_->Ioctl(code, nullptr, 0, sizeof(T));
        EXPECT_EQ(request->Status(), STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(request->Information(), sizeof(T)) << std::hex << code;
        if (request->Output().size() == sizeof(T)) memcpy(&value, request->Output().data(), sizeof(T));
        return value;
    }
    void SetMask(ULONG mask) { EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS); }
    ULONG GetMask() { return Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK); }
    std::unique_ptr<hk::Request> WaitAsync() { return file_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)); }
    static ULONG Events(const hk::Request& wait)
    {
        ULONG events = 0xDEADBEEF;
        if (wait.Output().size() == sizeof(ULONG)) memcpy(&events, wait.Output().data(), sizeof(ULONG));
        return events;
    }
    PIRP CurrentWait() { return HeldRequest(Record(port_), false); }
    PIRP CurrentRead() { return HeldRequest(Record(port_), true); }

    static constexpr SERIAL_QUEUE_SIZE kBigQueue{8192, 0};

    PDEVICE_OBJECT port_ = nullptr;
    PDEVICE_OBJECT partner_ = nullptr;
    std::unique_ptr<hk::File> file_;
    std::unique_ptr<hk::File> partnerFile_;  // opened by the tests that need it
};
