// Serial control requests on a plugged-in port, sent through an application's handle: buffer
// checks, settings kept from one request to the next, the queue size, purge, status and
// properties, and the codes a port without hardware refuses.
#include "serial_fixture.h"

#include <hostkernel/harness.h>

namespace {

using SerialControlTest = SerialPortTest;

TEST_F(SerialControlTest, ShortBuffersAreRefusedWithInformationZeroAndChangeNothing)
{
    struct Case {
        ULONG Code;
        ULONG Input;
        ULONG Output;
    };
    const Case cases[] = {
        {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0},
        {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS)},
        {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)},
        {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
        {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP)},
    };
    SetMask(SERIAL_EV_RXCHAR);
    Feed("held");
    UCHAR input[64];
    memset(input, 0xFF, sizeof(input));  // every set request would change something with this
    for (const Case& c : cases) {
        ULONG input_length = c.Input ? c.Input - 1 : 0;
        ULONG output_length = c.Output ? c.Output - 1 : 0;
        auto request = file_->Ioctl(c.Code, input, input_length, output_length);
        EXPECT_EQ(request->Status(), STATUS_BUFFER_TOO_SMALL) << std::hex << c.Code;
        EXPECT_EQ(request->Information(), 0u) << std::hex << c.Code;
    }
    EXPECT_EQ(Ring().Count, 4u);
    EXPECT_EQ(RingGetSize(&Ring()), kRingDefaultSize);
    EXPECT_EQ(GetMask(), (ULONG)SERIAL_EV_RXCHAR);
    auto timeouts = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS).XonChar, 0x11);
    EXPECT_EQ(Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW).ControlHandShake, (ULONG)SERIAL_DTR_CONTROL);
}

TEST_F(SerialControlTest, SettingsReadBackAsSetAndOnlyTheLimitsResetOnOpen)
{
    SERIAL_TIMEOUTS timeouts{MAXULONG, 2, 3, 4, 5};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    SERIAL_CHARS chars{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    SERIAL_HANDFLOW handFlow{SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_NULL_STRIPPING | SERIAL_RTS_HANDSHAKE,
                             100, 4096};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, handFlow), STATUS_SUCCESS) << "a limit equal to the ring's size fits";

    auto gotTimeouts = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(memcmp(&gotTimeouts, &timeouts, sizeof(timeouts)), 0);
    auto gotChars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(memcmp(&gotChars, &chars, sizeof(chars)), 0);
    auto gotHandFlow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(memcmp(&gotHandFlow, &handFlow, sizeof(handFlow)), 0);

    // Null stripping acts on the data at once.
    const UCHAR withZero[] = {'A', 0, 'B'};
    EXPECT_EQ(RingWrite(&Ring(), withZero, 3), 2u);

    file_->Close();
    file_ = Open(port_);
    gotTimeouts = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(memcmp(&gotTimeouts, &timeouts, sizeof(timeouts)), 0) << "time-outs outlive the handle";
    gotChars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(memcmp(&gotChars, &chars, sizeof(chars)), 0);
    gotHandFlow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(gotHandFlow.ControlHandShake, handFlow.ControlHandShake);
    EXPECT_EQ(gotHandFlow.FlowReplace, handFlow.FlowReplace);
    EXPECT_EQ(gotHandFlow.XonLimit, 2048) << "the open sizes the ring again, and its limits with it";
    EXPECT_EQ(gotHandFlow.XoffLimit, 512);
}

TEST_F(SerialControlTest, ReadTimeoutsThatCannotBeHonouredAreRefused)
{
    SERIAL_TIMEOUTS accepted{MAXULONG, MAXULONG, MAXULONG - 1, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, accepted), STATUS_SUCCESS);
    SERIAL_TIMEOUTS impossible{MAXULONG, MAXULONG, MAXULONG, 7, 7};
    auto refused = file_->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &impossible, sizeof(impossible), 0);
    EXPECT_EQ(refused->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused->Information(), 0u);
    auto kept = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(memcmp(&kept, &accepted, sizeof(kept)), 0);
}

TEST_F(SerialControlTest, QueueSizeOnlyGrowsAndAGrownRingStartsEmpty)
{
    Feed("abc");
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{1024, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(RingGetSize(&Ring()), kRingDefaultSize);
    EXPECT_EQ(Ring().Count, 3u) << "a smaller request keeps the ring and its bytes";

    // Without pool the ring stays as it was, bytes included.
    hk::FailNextAllocations(1, kPoolTag);
    auto refused = file_->Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &kBigQueue, sizeof(kBigQueue), 0);
    hk::ResetFaultInjection();
    EXPECT_EQ(refused->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RingGetSize(&Ring()), kRingDefaultSize);
    EXPECT_EQ(Ring().Count, 3u);

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, kBigQueue), STATUS_SUCCESS);
    EXPECT_EQ(RingGetSize(&Ring()), 8192u);
    EXPECT_EQ(Ring().Count, 0u) << "a resize discards what was held";
    EXPECT_EQ(Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 8192u);
    auto handFlow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(handFlow.XonLimit, 4096);
    EXPECT_EQ(handFlow.XoffLimit, 1024);
    // The limits may now go up to the new size.
    handFlow.XoffLimit = 8192;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, handFlow), STATUS_SUCCESS);
}

// The queue is non-paged pool that anyone who may open the port asks for: bounded, and charged to
// the asking process, whose quota bounds it further.
TEST_F(SerialControlTest, QueueSizeIsBoundedAndChargedToTheCallersQuota)
{
    constexpr ULONG kLimit = 1024 * 1024;
    Feed("abc");
    for (ULONG inSize : {kLimit + 1, 16 * kLimit}) {
        SERIAL_QUEUE_SIZE size{inSize, 0};
        auto refused = file_->Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size), 0);
        EXPECT_EQ(refused->Status(), STATUS_INSUFFICIENT_RESOURCES) << inSize;
        EXPECT_EQ(refused->Information(), 0u);
    }
    EXPECT_EQ(RingGetSize(&Ring()), kRingDefaultSize);
    EXPECT_EQ(Ring().Count, 3u);
    EXPECT_EQ(Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES).MaxRxQueue, kLimit);

    hk::Process application(256 * 1024);
    {
        hk::ProcessScope scope(application);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{512 * 1024, 0}), STATUS_INVALID_PARAMETER)
            << "beyond what the process may still charge";
        EXPECT_EQ(Ring().Count, 3u);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{128 * 1024, 0}), STATUS_SUCCESS);
    }
    EXPECT_EQ(application.NonPagedCharged(), 128u * 1024);
    EXPECT_EQ(hk::DefaultProcessNonPagedCharged(), 0u);
    file_->Close();
    file_ = Open(port_);
    EXPECT_EQ(application.NonPagedCharged(), 0u) << "the open's own ring is the driver's";
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{kLimit, 0}), STATUS_SUCCESS);
    EXPECT_EQ(hk::DefaultProcessNonPagedCharged(), kLimit);
}

TEST_F(SerialControlTest, HandFlowOutsideWhatThePortKeepsIsRefused)
{
    const SERIAL_HANDFLOW good{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
    SERIAL_HANDFLOW cases[] = {good, good, good, good, good, good, good, good};
    cases[0].ControlHandShake |= SERIAL_DSR_SENSITIVITY << 1;  // 0x80: no such handshake
    cases[1].ControlHandShake |= 0x40000000;
    cases[2].FlowReplace |= 0x20;
    cases[3].FlowReplace |= 0x00000100;
    cases[4].ControlHandShake = SERIAL_DTR_MASK;  // DTR both on and handshaking
    cases[5].XonLimit = -1;
    cases[6].XonLimit = 4097;
    cases[7].XoffLimit = 4097;
    for (const SERIAL_HANDFLOW& handFlow : cases) {
        auto request = file_->Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow), 0);
        EXPECT_EQ(request->Status(), STATUS_INVALID_PARAMETER)
            << std::hex << handFlow.ControlHandShake << " " << handFlow.FlowReplace << std::dec << " "
            << handFlow.XonLimit << " " << handFlow.XoffLimit;
    }
    auto kept = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(memcmp(&kept, &good, sizeof(kept)), 0) << "refusals store nothing";

    // The error-abort and XOFF-continue bits are the platform's own and pass.
    SERIAL_HANDFLOW highBits{SERIAL_ERROR_ABORT | SERIAL_DSR_SENSITIVITY, SERIAL_XOFF_CONTINUE, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, highBits), STATUS_SUCCESS);
}

TEST_F(SerialControlTest, PurgeChecksItsFlagsAndAnswersWithFourBytes)
{
    SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    Feed(std::string("ab\0", 3));
    for (ULONG flags : {0x0u, 0x10u, 0x80000002u}) {
        auto refused = file_->Ioctl(IOCTL_SERIAL_PURGE, &flags, sizeof(flags), 0);
        EXPECT_EQ(refused->Status(), STATUS_INVALID_PARAMETER) << flags;
        EXPECT_EQ(refused->Information(), 0u);
    }
    ULONG txAbort = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
    auto nothing = file_->Ioctl(IOCTL_SERIAL_PURGE, &txAbort, sizeof(txAbort), sizeof(ULONG));
    EXPECT_EQ(nothing->Status(), STATUS_SUCCESS);
    EXPECT_EQ(nothing->Information(), 4u);
    EXPECT_EQ(Ring().Count, 3u) << "writes never wait: the transmit side has nothing to purge";
    // Information is copied back into the caller's output buffer: never more than it holds (a
    // report beyond it fails the test through the verifier).
    for (ULONG output : {0u, 2u}) {
        auto small = file_->Ioctl(IOCTL_SERIAL_PURGE, &txAbort, sizeof(txAbort), output);
        EXPECT_EQ(small->Status(), STATUS_SUCCESS);
        EXPECT_EQ(small->Information(), 0u) << output;
    }

    ULONG rxClear = SERIAL_PURGE_RXCLEAR;
    auto clear = file_->Ioctl(IOCTL_SERIAL_PURGE, &rxClear, sizeof(rxClear), sizeof(ULONG));
    EXPECT_EQ(clear->Status(), STATUS_SUCCESS);
    EXPECT_EQ(clear->Information(), 4u);
    EXPECT_EQ(Ring().Count, 0u);
    // The flag character stays reported; the received-character event went with the bytes.
    auto wait = file_->Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_RXFLAG);
}

TEST_F(SerialControlTest, StatusCountsWaitingBytesAndReportsAnOverrunOnce)
{
    NoPacing = TRUE;
    Feed("xyz");
    auto status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_EQ(status.AmountInInQueue, 3u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);

    std::string flood(kRingDefaultSize, 'f');
    EXPECT_EQ(Feed(flood), kRingDefaultSize - 3) << "the rest of the block is lost";
    status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, (ULONG)SERIAL_ERROR_QUEUEOVERRUN);
    EXPECT_EQ(status.AmountInInQueue, kRingDefaultSize);
    EXPECT_EQ(status.HoldReasons, 0u);
    EXPECT_EQ(status.EofReceived, 0);
    EXPECT_EQ(status.WaitForImmediate, 0);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u) << "reported once";
}

TEST_F(SerialControlTest, PropertiesDescribeAnRs232PortWithUserBaudRates)
{
    auto request = file_->Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, 100);
    ASSERT_EQ(request->Status(), STATUS_SUCCESS);
    ASSERT_EQ(request->Information(), 64u) << "the record, not the whole output buffer";
    SERIAL_COMMPROP properties;
    memcpy(&properties, request->Output().data(), sizeof(properties));
    EXPECT_EQ(properties.PacketLength, 64);
    EXPECT_EQ(properties.PacketVersion, 2);
    EXPECT_EQ(properties.ServiceMask, (ULONG)SERIAL_SP_SERIALCOMM);
    EXPECT_EQ(properties.MaxTxQueue, 0u);
    EXPECT_EQ(properties.MaxRxQueue, 1024u * 1024) << "the largest queue the port gives";
    EXPECT_EQ(properties.MaxBaud, (ULONG)SERIAL_BAUD_USER);
    EXPECT_EQ(properties.ProvSubType, (ULONG)SERIAL_SP_RS232);
    EXPECT_EQ(properties.ProvCapabilities, 0xFFu);
    EXPECT_EQ(properties.SettableParams, 0x7Fu);
    EXPECT_EQ(properties.SettableBaud, (ULONG)SERIAL_BAUD_USER);
    EXPECT_EQ(properties.SettableData, 0x000F);
    EXPECT_EQ(properties.SettableStopParity, 0x1F07);
    EXPECT_EQ(properties.CurrentTxQueue, 0u);
    EXPECT_EQ(properties.CurrentRxQueue, kRingDefaultSize);
    EXPECT_EQ(properties.ProvSpec1, 0u);
    EXPECT_EQ(properties.ProvSpec2, 0u);
    EXPECT_EQ(properties.ProvChar[0], 0);
}

TEST_F(SerialControlTest, UartRequestsAndUnknownCodesAreRefusedAndADeletedPortAnswersNoSuchDevice)
{
    for (ULONG code : std::initializer_list<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                       IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS,
                       IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_SET_BREAK_ON,
                       IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_RESET_DEVICE,
                       IOCTL_SERIAL_CONFIG_SIZE, IOCTL_SERIAL_GET_STATS, IOCTL_SERIAL_SET_FIFO_CONTROL,
                       IOCTL_SERIAL_LSRMST_INSERT, (ULONG)CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, 0),
                       (ULONG)CTL_CODE(FILE_DEVICE_UNKNOWN, 0x1D, METHOD_BUFFERED, 0)}) {
        UCHAR buffer[64] = {};
        auto request = file_->Ioctl(code, buffer, sizeof(buffer), sizeof(buffer));
        EXPECT_EQ(request->Status(), STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(request->Information(), 0u);
    }

    Record(port_)->Header.PnpState = PnpDeleted;
    auto gone = file_->Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, sizeof(SERIAL_COMMPROP));
    EXPECT_EQ(gone->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(gone->Information(), 0u);
    Record(port_)->Header.PnpState = PnpStarted;
}

}  // namespace
