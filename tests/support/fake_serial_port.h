// A stand-in for the machine's own serial port driver, for tests of drivers that attach on top of
// a real port. Each FakeSerialPort is its own driver ("\Driver\fakeserial") with one named device,
// found by name with IoGetDeviceObjectPointer as on the platform.
//
//   FakeSerialPort port({.Name = u"\\Device\\Serial0"});          // buffered I/O, no PnP stack
//   FakeSerialPort direct({.Name = u"\\Device\\Serial1", .Method = FakeSerialPort::Io::Direct});
//   FakeSerialPort pnp({.Name = u"\\Device\\Serial2", .Pnp = true});  // root PDO + this FDO, started
//
// - Device(): the port's own device object (the one named). Application opens of it
//   (hk::File::Open(port.Device(), ...)) reach the top of its stack, so a filter attached on top
//   sees them first; so do hk::SendDirect, hk::SendPower and the Plug and Play manager's requests.
// - Reads complete with bytes from Receive() (what arrived on the line), as many as are there and
//   fit, in the system buffer or the MDL as the device's I/O method gives them; Information is the
//   count. Writes are recorded (Written()) and complete with Information = their length.
//   IOCTL_SERIAL_IMMEDIATE_CHAR records its character (ImmediateChars()) and completes with
//   Information = sizeof(UCHAR), as the platform's serial drivers answer it. Other control codes
//   succeed, answering with SetControlOutput's bytes if given (through the system buffer, the MDL
//   of METHOD_OUT_DIRECT / METHOD_IN_DIRECT, or UserBuffer). Create, cleanup and close succeed;
//   cleanup completes the held requests of its file object with STATUS_CANCELLED, as a serial
//   driver does. Power requests are answered (or passed to the PDO with Pnp).
// - Script(major, answer) decides how the next request of that major function is answered (FIFO;
//   SetDefault for every request without a script): Answer::Now(status) at once, Answer::Later(
//   status, delay) pending and completed from another thread at DISPATCH_LEVEL,
//   Answer::Hold() pending (cancelable) until ReleaseHeld(), Answer::HoldUncancelable() the same
//   without a cancel routine. A failure status completes with
//   Information 0 and moves no data. Any answer can carry the byte count the port reports instead
//   of the true one, Answer::Now().WithCount(4): a read takes at most that many bytes from the line
//   (the rest of the count is whatever the buffer held), a write or an immediate character carries
//   (Written(), ImmediateChars()) only that many of its bytes, and Information is the count, on a
//   success never more than the request's buffer; a failure with a count reports it as it is and
//   still moves no data. Power requests are scriptable too (they are then answered by
//   the port itself, after PoStartNextPowerIrp, instead of going down); Plug and Play requests
//   fail with FailNextPnp.
// - Seen(): every request the port's dispatch received, with its file object, control code, data
//   and IRQL. Written(): the bytes of successful writes, in order.
// - With Pnp, the port is the function driver of a root-enumerated device: Pdo() is its physical
//   device object; Start(), Stop(), QueryRemoveAndRemove() (orderly), SurpriseRemove() go through the Plug
//   and Play manager to the top of the stack. The port answers them as a serial driver does and,
//   on IRP_MN_REMOVE_DEVICE, passes it down, detaches and deletes its device. Device() is null
//   once it is gone (Removed() tells).
// The destructor takes whatever is left away (a PnP stack is removed, a plain device deleted) and
// drops the driver object; destroy the port before the driver under test is unloaded (declare it
// in the test body, or call Destroy()), since unloading runs the verifier's clean checks. Anything
// attached on top must have detached by then.
#pragma once

#include <hostkernel/harness.h>
#include <hostkernel/pnp.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class FakeSerialPort {
public:
    enum class Io { Buffered, Direct };
    struct Options {
        std::u16string Name = u"\\Device\\Serial0";
        Io Method = Io::Buffered;
        bool PowerPagable = true;  // DO_POWER_PAGABLE, as serial ports have it
        bool Exclusive = false;    // DO_EXCLUSIVE: a second open of the named device is refused
        bool Pnp = false;          // a root-enumerated PDO below, started by the constructor
    };

    struct Answer {
        enum class When { Now, Later, Hold };
        When Timing = When::Now;
        NTSTATUS Status = STATUS_SUCCESS;
        std::chrono::milliseconds Delay{20};
        std::optional<ULONG_PTR> Count;  // the byte count reported, when not the true one
        bool Cancelable = true;          // a held request has a cancel routine
        static Answer Now(NTSTATUS status = STATUS_SUCCESS) { return {When::Now, status, {}, {}}; }
        static Answer Later(NTSTATUS status = STATUS_SUCCESS,
                            std::chrono::milliseconds delay = std::chrono::milliseconds(20))
        {
            return {When::Later, status, delay, {}};
        }
        static Answer Hold() { return {When::Hold, STATUS_SUCCESS, {}, {}}; }
        // Held with no cancel routine, as a driver that can't take a request back holds it: only
        // ReleaseHeld, the cleanup of its file object or the stack's removal end it.
        static Answer HoldUncancelable()
        {
            Answer answer = Hold();
            answer.Cancelable = false;
            return answer;
        }
        Answer WithCount(ULONG_PTR count) const
        {
            Answer answer = *this;
            answer.Count = count;
            return answer;
        }
    };

    struct Seen {
        UCHAR Major;
        UCHAR Minor;
        PIRP Irp;              // for identity only: it may be gone by the time it is looked at
        CHAR StackCount;       // the IRP's, as built for the top of the stack
        PFILE_OBJECT FileObject;
        ULONG IoControlCode;   // device control requests
        ULONG Length;          // read/write length; a control request's output length
        std::vector<UCHAR> Data;     // bytes written; a control request's input buffer
        std::vector<UCHAR> MdlData;  // a METHOD_IN_DIRECT request's buffer, read through its MDL
        KIRQL Irql;                  // at dispatch
        PMDL Mdl;
        bool MdlMapped;              // the MDL had a system address (MappedSystemVa) when it arrived
        PVOID SystemBuffer;
    };

    FakeSerialPort();  // \Device\Serial0 with the defaults above
    explicit FakeSerialPort(Options options);
    ~FakeSerialPort();
    FakeSerialPort(const FakeSerialPort&) = delete;
    FakeSerialPort& operator=(const FakeSerialPort&) = delete;

    PDEVICE_OBJECT Device() const;
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    const std::u16string& Name() const { return options_.Name; }
    bool Removed() const;

    // Bytes that arrived on the line, for reads.
    void Receive(const std::vector<UCHAR>& bytes);
    void Receive(const char* text);
    void SetControlOutput(ULONG code, std::vector<UCHAR> bytes);

    void Script(UCHAR major, Answer answer);
    void SetDefault(UCHAR major, Answer answer);
    // The next Plug and Play request of `minor` (query-remove, query-stop, start …) fails with
    // `status` without going further down.
    void FailNextPnp(UCHAR minor, NTSTATUS status);

    std::vector<Seen> Requests() const;
    std::vector<Seen> Requests(UCHAR major) const;
    std::vector<UCHAR> Written() const;
    std::vector<UCHAR> ImmediateChars() const;
    size_t HeldCount() const;
    // Completes every held request with `status` (reads take their data from Receive() then), at
    // DISPATCH_LEVEL as from the port's DPC; returns how many. WaitHeld waits until `count` are held.
    size_t ReleaseHeld(NTSTATUS status = STATUS_SUCCESS);
    bool WaitHeld(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // Waits until every Later answer has completed.
    void WaitIdle();

    // Plug and Play (Pnp ports only). Each returns what the manager's action returned.
    NTSTATUS Start();
    NTSTATUS Stop();  // query-stop, then stop (Start() starts it again, through the top)
    NTSTATUS QueryRemoveAndRemove();
    void SurpriseRemove();

    // Takes the port away now (as the destructor does).
    void Destroy();

    // ---- For the port's own driver routines ----
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    void CancelHeld(PIRP irp);

private:
    NTSTATUS CreateNamedDevice(PDEVICE_OBJECT* device);
    NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    // The answer scripted (or set as default) for the next request of `major`; false if none.
    bool Scripted(UCHAR major, Answer* answer);
    NTSTATUS Respond(PIRP irp, Answer answer);
    // Fills in a successful request's result (data, Information: `count` when given) and completes
    // it; returns the status it completed with (a failure of its own when the data can't be moved).
    NTSTATUS Finish(PIRP irp, NTSTATUS status, std::optional<ULONG_PTR> count = std::nullopt);
    void CompleteLater(PIRP irp, Answer answer);

    struct HeldRequest {
        PIRP Irp;
        std::optional<ULONG_PTR> Count;
        bool Cancelable;
    };
    // Whether the port may complete the held request now: its cancel routine (if any) is not
    // running. Called under lock_.
    static bool Claim(const HeldRequest& held);

    Options options_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::deque<UCHAR> line_;
    std::map<ULONG, std::vector<UCHAR>> controlOutput_;
    std::map<UCHAR, std::deque<Answer>> scripts_;
    std::map<UCHAR, Answer> defaults_;
    std::map<UCHAR, NTSTATUS> pnpFailures_;
    bool removed_ = false;
    std::vector<Seen> seen_;
    std::vector<UCHAR> written_;
    std::vector<UCHAR> immediate_;
    std::vector<HeldRequest> held_;
    std::vector<std::thread> later_;
    int laterRunning_ = 0;
};
