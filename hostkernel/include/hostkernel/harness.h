// The test harness: what an application, the Plug and Play manager and a test author do to a
// driver loaded into hostkernel, plus the verifier's controls.
#pragma once

#include <ntddk.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hk {

// ---- Verifier ---------------------------------------------------------------------------------
// Every broken kernel rule is reported here. By default a report fails the running test (the
// test main installs that handler); VerifierCapture collects reports instead, for tests of the
// verifier itself.
using ViolationHandler = std::function<void(const std::string& message)>;
void SetViolationHandler(ViolationHandler handler);
void ReportViolation(const char* format, ...) __attribute__((format(printf, 1, 2)));

class VerifierCapture {
public:
    VerifierCapture();
    ~VerifierCapture();
    const std::vector<std::string>& Messages() const { return messages_; }
    bool Saw(const std::string& fragment) const;

private:
    std::vector<std::string> messages_;
    ViolationHandler previous_;
};

// Checks run at unload (and by VerifyClean): pool, device objects, IRPs, and whatever later
// components of hostkernel register (threads, references …). Each reports its own violations.
void RegisterCleanCheck(const char* name, std::function<void()> check);
void VerifyClean();

// ---- Pool -------------------------------------------------------------------------------------
constexpr ULONG Tag(const char (&s)[5])
{
    return (ULONG)(UCHAR)s[0] | ((ULONG)(UCHAR)s[1] << 8) | ((ULONG)(UCHAR)s[2] << 16) |
           ((ULONG)(UCHAR)s[3] << 24);
}
std::string TagText(ULONG tag);
size_t PoolAllocations(ULONG tag = 0);  // live allocations, of one tag or all
size_t PoolBytes(ULONG tag = 0);
// The next `count` allocations (of `tag`, or of any tag when 0) fail, after `skip` that succeed.
void FailNextAllocations(int count, ULONG tag = 0, int skip = 0);
void ResetFaultInjection();

// ---- Processes and their pool quota ----------------------------------------------------------
// Every thread runs in a process. System threads (the driver's, and hostkernel's Plug and Play
// worker) run in the System process, which is charged no quota. Every other thread runs in an
// application process: one shared by default, whose non-paged quota has no limit (the platform
// raises a process's quota for as long as the pool has room), or the one a ProcessScope puts it
// in. ExAllocatePoolWithQuotaTag charges the calling thread's process for the block until the
// block is freed, by whichever thread; a charge beyond the process's limit fails.
struct QuotaAccount;
class Process {
public:
    explicit Process(SIZE_T nonPagedQuota = ~(SIZE_T)0);
    SIZE_T NonPagedCharged() const;  // bytes of live quota blocks charged to it

private:
    friend class ProcessScope;
    std::shared_ptr<QuotaAccount> account_;
};
// The calling thread runs in `process` while this lives.
class ProcessScope {
public:
    explicit ProcessScope(const Process& process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    std::shared_ptr<QuotaAccount> previous_;
};
// What the default application process is charged now.
SIZE_T DefaultProcessNonPagedCharged();

// ---- Buffers ----------------------------------------------------------------------------------
// What a buffer fresh from pool holds, a system buffer beyond its input among them: not zeroes. A
// driver that reports more bytes than it wrote hands these to the application.
constexpr UCHAR kStalePoolByte = 0xA5;

// ---- IRQL -------------------------------------------------------------------------------------
// Runs `body` with the calling thread at `irql`, as a DPC or a completion routine would.
void RunAtIrql(KIRQL irql, const std::function<void()>& body);

// ---- Time -------------------------------------------------------------------------------------
// Moves the system time seen by KeQuerySystemTime (100 ns units); the real clock keeps running.
void AdvanceSystemTime(LONGLONG units100ns);
// Stops the system time where it is: KeQuerySystemTime answers the same value until the thaw
// (AdvanceSystemTime still moves it). ResetSystemTime thaws it too.
void FreezeSystemTime();
void ThawSystemTime();
void ResetSystemTime();
// The platform's clock tick. Off (0) by default: a delay or a wait's time-out ends when it is
// due. With a tick, they end only at the first tick at or after that moment, as the platform's
// timers do: expiry is looked at on each clock interrupt. 156250 (15.625 ms) is the platform's
// default timer resolution. A signalled object still ends a wait at once.
constexpr LONGLONG kDefaultClockTick = 156250;
void SetClockTick(LONGLONG units100ns);
LONGLONG ClockTick();
// The tick ordinary timers, delays and time-outs end on: the modelled tick, or the finer clock
// rate a driver asked for with ExSetTimerResolution while it holds that request (0: no tick).
LONGLONG EffectiveClockTick();
// What a driver asked of ExSetTimerResolution and has not withdrawn; 0 for nothing.
LONGLONG TimerResolutionRequested();
// The routines of Windows 8.1's executive timers and precise interrupt time (ExAllocateTimer,
// ExSetTimer, ExCancelTimer, ExDeleteTimer, KeQueryInterruptTimePrecise) in the table
// MmGetSystemRoutineAddress answers from (the default), or absent, as on an older kernel.
void SetHighResolutionTimers(bool available);
// Executive timers allocated and not yet deleted.
size_t LiveExecutiveTimers();

// ---- Objects ----------------------------------------------------------------------------------
size_t LiveDeviceCount();
// The name a device was created with (given, or made up for FILE_AUTOGENERATED_DEVICE_NAME): what
// an application opens it by, as \\?\GLOBALROOT\Device\... Empty for an unnamed device, which
// no application can open.
std::u16string DeviceObjectName(PDEVICE_OBJECT device);
LONG ObjectReferenceCount(PVOID object);  // -1 for an unknown object

// ---- Drivers ----------------------------------------------------------------------------------
// Creates a driver object whose every dispatch entry is the I/O manager's invalid-request
// handler, then calls `entry` at PASSIVE_LEVEL. On failure the driver object is gone again.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, PCWSTR registryPath, PDRIVER_OBJECT* driver,
                    PCWSTR name = L"\\Driver\\test");
// Calls DriverUnload, frees the driver object and runs every clean check.
void UnloadDriver(PDRIVER_OBJECT driver);
// The I/O manager's handler for requests a driver leaves unhandled.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// ---- Applications -----------------------------------------------------------------------------
enum class User { LocalSystem, Administrator, PlainUser };

class File;

// One I/O request as an application issues it: built against the top of the device's stack,
// buffers handled the way the I/O manager handles them for the target's I/O method.
class Request {
public:
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    PIRP Irp() const { return irp_; }
    NTSTATUS DispatchStatus() const { return dispatchStatus_; }
    bool Completed() const;
    // Waits for completion; false on time-out.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    // The bytes a read or an output-returning control request delivered.
    const std::vector<UCHAR>& Output() const { return output_; }
    // Cancels the request as an application's CancelIo does (IoCancelIrp at APC_LEVEL).
    BOOLEAN Cancel();
    // Cancels it as a driver that sent it does, from a DPC or under a spin lock (DISPATCH_LEVEL).
    BOOLEAN CancelAtDispatchLevel();

private:
    friend class File;
    friend struct RequestAccess;
    Request() = default;
    PIRP irp_ = nullptr;
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
    std::vector<UCHAR> input_;
    std::vector<UCHAR> output_;
    ULONG outputLength_ = 0;
    PVOID mdlBuffer_ = nullptr;
};

class File {
public:
    // Opens `device` (the top of its stack receives IRP_MJ_CREATE) as `user` asking for `access`.
    static std::unique_ptr<File> Open(PDEVICE_OBJECT device, ACCESS_MASK access, NTSTATUS* status,
                                      User user = User::LocalSystem);
    ~File();  // cleanup and close, if not done yet

    PFILE_OBJECT Object() const { return file_; }
    ACCESS_MASK GrantedAccess() const { return granted_; }

    // Asynchronous forms return the request after its dispatch; synchronous ones wait.
    std::unique_ptr<Request> ReadAsync(ULONG length);
    std::unique_ptr<Request> WriteAsync(const void* data, ULONG length);
    // `outputContents` (outputLength bytes, or none: stale pool) is what the application's output
    // buffer holds when it sends the request: data for the driver with METHOD_IN_DIRECT, which
    // hands that buffer over through an MDL.
    std::unique_ptr<Request> IoctlAsync(ULONG code, const void* input, ULONG inputLength,
                                        ULONG outputLength, const void* outputContents = nullptr);
    std::unique_ptr<Request> SendAsync(UCHAR major, UCHAR minor = 0);
    std::unique_ptr<Request> Read(ULONG length);
    std::unique_ptr<Request> Write(const void* data, ULONG length);
    std::unique_ptr<Request> Ioctl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                                   const void* outputContents = nullptr);

    NTSTATUS Cleanup();
    NTSTATUS Close();  // cleanup (if not done) then the last reference: IRP_MJ_CLOSE

    // Requests of `major` sent through this handle are built as always, then handed to `routine`
    // in place of the target driver's dispatch entry (nullptr: back to the driver). For tests
    // that drive one routine of a driver with requests exactly as the I/O manager builds them.
    void Route(UCHAR major, PDRIVER_DISPATCH routine);

    // The MDLs of direct I/O describe the application's locked pages and have no system address
    // until a driver asks MmGetSystemAddressForMdlSafe for one (MappedSystemVa null), as the I/O
    // manager hands them over. `true`: later requests' MDLs come already mapped, as when a driver
    // above has mapped them.
    void MapDirectBuffers(bool mapped);

private:
    File() = default;
    std::unique_ptr<Request> Build(UCHAR major, UCHAR minor);
    std::unique_ptr<Request> Dispatch(std::unique_ptr<Request> request);
    std::unique_ptr<Request> Refuse(std::unique_ptr<Request> request, NTSTATUS status);
    PDEVICE_OBJECT top_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
    ACCESS_MASK granted_ = 0;
    bool cleanedUp_ = false;
    bool closed_ = false;
    bool mapDirect_ = false;
    PDRIVER_DISPATCH routes_[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
};

// The calling thread ends, as an application thread that leaves requests behind: the I/O manager
// cancels each request it issued that has not come back, at APC_LEVEL. Returns how many had a
// cancel routine. The requests still complete as the driver decides; wait for them as usual.
size_t CancelThreadRequests();

// Sends a request with no file object to the top of `device`'s stack (as the Plug and Play or
// power manager does) and waits for it. The stack location is filled by `prepare`.
struct DirectResult {
    NTSTATUS Status;
    ULONG_PTR Information;
};
DirectResult SendDirect(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& prepare = nullptr,
                        ULONG_PTR initialInformation = 0, NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

}  // namespace hk
