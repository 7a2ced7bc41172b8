// vcombus's benchmark: the driver in hostkernel measured beside a socat pseudo-terminal pair in
// the same run. Latency of a parked read and of a parked event wait from the partner's write to
// the completion, the round trip of a 64-byte frame and its answer with the package's settings,
// pair throughput with and without pacing, the ring's copy against memcpy, plugging in many ports
// and what their service threads cost idle and with a read parked on each, and how close a timed
// line's writes come to their line time. The latency and throughput
// figures are taken twice: as hostkernel runs by default, and with the platform's clock tick
// modelled (hk::SetClockTick), which is what the image sees on the platform.
//
// Prints Google Benchmark's table, then the figures beside their targets; writes under --out
// (default out/bench) the library's JSON (benchmark.json), every figure (figures.csv) and the
// flat summary.json that a script compares with the last run's. --smoke runs a few rounds of
// each, for the test suite: it judges nothing but that everything ran.
#include <benchmark/benchmark.h>
#include <hostkernel/harness.h>
#include <hostkernel/threads.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "session.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    bool smoke = false;
    std::string outDir = "out/bench";
    int rounds = 2000;                      // latency rounds per figure
    size_t throughputBytes = 64u << 20;     // per throughput figure
    size_t pacedTickBytes = 2u << 20;       // paced with the tick: each block costs a whole tick
    ULONG scalePorts = 256;
    double idleSeconds = 5.0;
    int copyIterations = 0;                 // 0: as many as Google Benchmark wants
};
Settings g_settings;

std::map<std::string, double> g_figures;
std::atomic<int> g_violations{0};
int g_errors = 0;

constexpr ULONG kBlock = 4096;
// The receiving port's queue for the throughput runs, as an application sets it (SetupComm);
// the writer keeps at most this less one block in flight, its own flow control, since a write
// never waits for room.
constexpr ULONG kThroughputQueue = 64 * 1024;
// A pattern whose period (a prime) differs from the block size, so that every block differs.
constexpr size_t kPatternPeriod = 4099;

const std::vector<UCHAR>& Pattern()
{
    static std::vector<UCHAR> pattern = [] {
        std::vector<UCHAR> bytes(kPatternPeriod + kBlock);
        for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (UCHAR)((i % kPatternPeriod) * 131 + 7);
        return bytes;
    }();
    return pattern;
}
const UCHAR* PatternAt(size_t offset) { return Pattern().data() + offset % kPatternPeriod; }

void Fail(benchmark::State& state, const std::string& why)
{
    g_errors++;
    fprintf(stderr, "bench: %s\n", why.c_str());
    state.SkipWithError(why.c_str());
}

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A byte arrives at a random moment, not in step with the receiver's thread: a pause spread over
// one period of whatever the thread may be doing (a 1 ms poll, or a whole tick when the tick is
// modelled, since a thread woken by the timer sits on a tick), after the receiver is blocked.
struct RandomPause {
    explicit RandomPause(bool tick) : micros(200, 200 + (tick ? (int)(hk::kDefaultClockTick / 10) : 1000) - 1) {}
    std::mt19937 generator{17};
    std::uniform_int_distribution<int> micros;
    void operator()() { std::this_thread::sleep_for(std::chrono::microseconds(micros(generator))); }
};

// Hostkernel with the platform's clock tick modelled for the life of the scope.
struct ClockTickScope {
    explicit ClockTickScope(bool tick) { hk::SetClockTick(tick ? hk::kDefaultClockTick : 0); }
    ~ClockTickScope() { hk::SetClockTick(0); }
};

std::string Suffix(bool tick) { return tick ? "_tick" : ""; }

double Percentile(std::vector<double> values, double q)
{
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    size_t rank = (size_t)std::ceil(q * values.size());
    return values[rank == 0 ? 0 : rank - 1];
}

void ReportLatencies(benchmark::State& state, const std::string& name, const std::string& suffix,
                     const std::vector<double>& micros)
{
    double p50 = Percentile(micros, 0.50);
    double p99 = Percentile(micros, 0.99);
    double max = Percentile(micros, 1.0);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["max_us"] = max;
    g_figures[name + "_p50_us" + suffix] = p50;
    g_figures[name + "_p99_us" + suffix] = p99;
    g_figures[name + "_max_us" + suffix] = max;
}

// A pair 9-10 with both ends open: the writer on 9, the receiver on 10 with all read time-outs 0
// (a read waits for all its bytes, never times out).
struct OpenPair {
    explicit OpenPair(DriverSettings settings = DriverSettings::Bare) : session(settings) {}
    DriverSession session;
    PDEVICE_OBJECT port9 = nullptr;
    PDEVICE_OBJECT port10 = nullptr;
    hk::File* writer = nullptr;
    hk::File* receiver = nullptr;

    bool Open(benchmark::State& state)
    {
        if (!session.Ok()) {
            Fail(state, session.Error());
            return false;
        }
        port9 = session.Plug(9);
        port10 = session.Plug(10);
        if (port9 == nullptr || port10 == nullptr) {
            Fail(state, "ports 9 and 10 did not start");
            return false;
        }
        writer = session.Open(port9);
        receiver = session.Open(port10);
        if (writer == nullptr || receiver == nullptr || SetReadTimeouts(*receiver, 0, 0, 0) != STATUS_SUCCESS) {
            Fail(state, "the pair did not open");
            return false;
        }
        return true;
    }

    // One round of a parked-request measurement: once port 10's service thread holds `request`
    // (`held` names the one it holds), a random pause, `byte` written on 9, and the time until
    // `request` completes. False, with the reason given to the benchmark, when the request was
    // never held or never ended.
    bool TimeByteFor(benchmark::State& state, hk::Request& request, PIRP (*held)(PDEVICE_OBJECT),
                     const std::string& what, RandomPause& pause, UCHAR byte, Clock::duration* elapsed)
    {
        if (!WaitUntil([&] { return held(port10) == request.Irp(); })) {
            Fail(state, what + " was never held by its service thread");
            request.Cancel();
            request.Wait();
            return false;
        }
        pause();
        auto start = Clock::now();
        writer->Write(&byte, 1);
        bool done = request.Wait(std::chrono::seconds(10));
        *elapsed = Clock::now() - start;
        if (!done) Fail(state, what + " never ended after the byte was written");
        return done;
    }
};

// ---- Latency -----------------------------------------------------------------------------------

// A 1-byte read parked on port 10 and held by its service thread; one byte written on 9; the
// time from the write to the read's completion.
void ParkedRead(benchmark::State& state, bool tick)
{
    ClockTickScope scope(tick);
    OpenPair pair;
    if (!pair.Open(state)) return;
    RandomPause pause(tick);
    std::vector<double> micros;
    UCHAR byte = 0;
    for (auto _ : state) {
        auto read = pair.receiver->ReadAsync(1);
        Clock::duration elapsed;
        if (!pair.TimeByteFor(state, *read, CurrentReadIrp, "the read", pause, ++byte, &elapsed)) break;
        if (read->Status() != STATUS_SUCCESS || read->Output() != std::vector<UCHAR>{byte}) {
            Fail(state, "the parked read did not complete with the byte written");
            break;
        }
        micros.push_back(Seconds(elapsed) * 1e6);
        state.SetIterationTime(Seconds(elapsed));
    }
    ReportLatencies(state, "read", Suffix(tick), micros);
}

// The same for IOCTL_SERIAL_WAIT_ON_MASK with SERIAL_EV_RXCHAR; the byte is read afterwards.
void ParkedWait(benchmark::State& state, bool tick)
{
    ClockTickScope scope(tick);
    OpenPair pair;
    if (!pair.Open(state)) return;
    if (SetWaitMask(*pair.receiver, SERIAL_EV_RXCHAR) != STATUS_SUCCESS) {
        Fail(state, "the wait mask was refused");
        return;
    }
    RandomPause pause(tick);
    std::vector<double> micros;
    UCHAR byte = 0;
    for (auto _ : state) {
        auto wait = pair.receiver->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        Clock::duration elapsed;
        if (!pair.TimeByteFor(state, *wait, CurrentWaitIrp, "the wait", pause, ++byte, &elapsed)) break;
        ULONG events = 0;
        if (wait->Output().size() == sizeof(events)) memcpy(&events, wait->Output().data(), sizeof(events));
        if (wait->Status() != STATUS_SUCCESS || events != SERIAL_EV_RXCHAR) {
            Fail(state, "the parked wait did not complete with SERIAL_EV_RXCHAR");
            break;
        }
        if (pair.receiver->Read(1)->Output() != std::vector<UCHAR>{byte}) {
            Fail(state, "the byte that ended the wait was not there to read");
            break;
        }
        micros.push_back(Seconds(elapsed) * 1e6);
        state.SetIterationTime(Seconds(elapsed));
    }
    ReportLatencies(state, "wait", Suffix(tick), micros);
}

// The peer: a reader blocked in read() on one end, one byte written on the other.
void PeerLatency(benchmark::State& state)
{
    PtyPair pty;
    if (!pty.Ok()) {
        Fail(state, "peer: " + pty.Error());
        return;
    }
    std::mutex lock;
    std::condition_variable arrived;
    bool stop = false;
    int seen = 0;
    Clock::time_point arrival;
    std::thread reader([&] {
        for (;;) {
            UCHAR byte;
            ssize_t n = read(pty.B(), &byte, 1);
            auto now = Clock::now();
            std::lock_guard guard(lock);
            if (n != 1 || stop) {
                stop = true;
                arrived.notify_all();
                return;
            }
            arrival = now;
            seen++;
            arrived.notify_all();
        }
    });
    RandomPause pause(false);
    std::vector<double> micros;
    int sent = 0;
    for (auto _ : state) {
        pause();
        UCHAR byte = (UCHAR)++sent;
        auto start = Clock::now();
        if (write(pty.A(), &byte, 1) != 1) {
            Fail(state, "peer: the write failed");
            break;
        }
        std::unique_lock guard(lock);
        if (!arrived.wait_for(guard, std::chrono::seconds(10), [&] { return seen == sent || stop; }) || stop) {
            guard.unlock();
            Fail(state, "peer: the byte did not arrive");
            break;
        }
        double elapsed = Seconds(arrival - start);
        micros.push_back(elapsed * 1e6);
        state.SetIterationTime(elapsed);
    }
    {
        std::lock_guard guard(lock);
        stop = true;
    }
    UCHAR last = 0;
    (void)!write(pty.A(), &last, 1);
    reader.join();
    ReportLatencies(state, "peer_latency", "", micros);
}

// ---- Line timing --------------------------------------------------------------------------------

constexpr ULONG kTimedBytes = 1024;

// 1 KiB written on a timed line at `baud` (8N1, 10 bits a character) with the clock tick modelled:
// the time from the write to its completion against the line time. The tick is what a timer that
// isn't a high-resolution one would end on; the driver's timer is one where the kernel has it.
// The median error of the rounds, in percent of the line time. `older`: a kernel without
// high-resolution timers (before Windows 8.1), where the driver asks for a 1 ms tick instead.
void LineTime(benchmark::State& state, ULONG baud, bool older)
{
    ClockTickScope scope(true);
    hk::SetHighResolutionTimers(!older);
    OpenPair pair(DriverSettings::LineTiming);
    if (!pair.Open(state)) return;
    SERIAL_BAUD_RATE rate = {baud};
    if (pair.writer->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate), 0)->Status() != STATUS_SUCCESS) {
        Fail(state, "the baud rate was refused");
        return;
    }
    double line = kTimedBytes * 10.0 / baud;
    std::vector<double> errors;
    size_t round = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        auto written = pair.writer->WriteAsync(PatternAt(round++ * kTimedBytes), kTimedBytes);
        bool done = written->Wait(std::chrono::seconds(30));
        double elapsed = Seconds(Clock::now() - start);
        ULONG purge = SERIAL_PURGE_RXCLEAR;
        pair.receiver->Ioctl(IOCTL_SERIAL_PURGE, &purge, sizeof(purge), 0);
        if (!done || written->Status() != STATUS_SUCCESS || written->Information() != kTimedBytes) {
            Fail(state, "the timed write did not complete whole");
            break;
        }
        errors.push_back(std::fabs(elapsed - line) / line * 100);
        state.SetIterationTime(elapsed);
    }
    hk::SetHighResolutionTimers(true);
    std::string key = "baud_timing_" + std::to_string(baud) + (older ? "_older_kernel" : "") + "_error_percent";
    g_figures[key] = Percentile(errors, 0.50);
    state.counters["error_percent"] = g_figures[key];
}

// ---- Round trip --------------------------------------------------------------------------------

constexpr ULONG kFrame = 64;

// A request and its answer as instrument protocols exchange them: a 64-byte frame written on 9,
// read whole on 10, answered with 64 bytes, read whole on 9; the time from the frame's write to
// the answer's arrival. The driver is loaded with the package's settings, as users of the
// installed package run it. Both ends read with all time-outs 0, so each read waits for its 64.
void RoundTrip(benchmark::State& state, bool tick)
{
    ClockTickScope scope(tick);
    OpenPair pair(DriverSettings::PackageDefaults);
    if (!pair.Open(state)) return;
    if (SetReadTimeouts(*pair.writer, 0, 0, 0) != STATUS_SUCCESS) {
        Fail(state, "the time-outs of port 9 were refused");
        return;
    }
    // The answering end: reads a frame, sends back its bytes in reverse order.
    std::atomic<bool> stop{false};
    std::atomic<bool> answererFailed{false};
    std::thread answerer([&] {
        while (!stop) {
            auto read = pair.receiver->ReadAsync(kFrame);
            if (!read->Wait(std::chrono::seconds(10))) {
                read->Cancel();
                read->Wait();
                if (!stop) answererFailed = true;
                return;
            }
            if (read->Status() != STATUS_SUCCESS || read->Output().size() != kFrame) {
                answererFailed = !stop;
                return;
            }
            std::vector<UCHAR> answer(read->Output().rbegin(), read->Output().rend());
            if (pair.receiver->Write(answer.data(), kFrame)->Information() != kFrame) {
                answererFailed = true;
                return;
            }
        }
    });
    std::vector<double> micros;
    size_t round = 0;
    for (auto _ : state) {
        const UCHAR* frame = PatternAt(round++ * kFrame);
        auto start = Clock::now();
        auto written = pair.writer->Write(frame, kFrame);
        auto answer = pair.writer->ReadAsync(kFrame);
        bool done = answer->Wait(std::chrono::seconds(10));
        auto elapsed = Clock::now() - start;
        if (!done) {
            answer->Cancel();
            answer->Wait();
        }
        std::vector<UCHAR> expected(frame, frame + kFrame);
        std::reverse(expected.begin(), expected.end());
        if (written->Information() != kFrame || !done || answer->Status() != STATUS_SUCCESS ||
            answer->Output() != expected) {
            Fail(state, answererFailed ? "the answering end failed" : "the answer did not come back whole");
            break;
        }
        micros.push_back(Seconds(elapsed) * 1e6);
        state.SetIterationTime(Seconds(elapsed));
    }
    // The answerer's last read ends with the close of port 10 (the session's end) if not before.
    stop = true;
    UCHAR last[kFrame] = {};
    pair.writer->Write(last, kFrame);
    answerer.join();
    ReportLatencies(state, "rtt64", Suffix(tick), micros);
}

// Reads exactly `length` bytes from `fd`, waiting at most 10 s for each piece.
bool ReadWhole(int fd, UCHAR* buffer, size_t length)
{
    for (size_t got = 0; got < length;) {
        pollfd poller = {fd, POLLIN, 0};
        if (poll(&poller, 1, 10000) <= 0) return false;
        ssize_t n = read(fd, buffer + got, length - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += (size_t)n;
    }
    return true;
}

bool WriteWhole(int fd, const UCHAR* buffer, size_t length)
{
    for (size_t put = 0; put < length;) {
        ssize_t n = write(fd, buffer + put, length - put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        put += (size_t)n;
    }
    return true;
}

// The same exchange over the pseudo-terminal pair.
void PeerRoundTrip(benchmark::State& state)
{
    PtyPair pty;
    if (!pty.Ok()) {
        Fail(state, "peer: " + pty.Error());
        return;
    }
    std::atomic<bool> stop{false};
    std::thread answerer([&] {
        UCHAR frame[kFrame];
        while (!stop && ReadWhole(pty.B(), frame, kFrame)) {
            std::reverse(frame, frame + kFrame);
            if (!WriteWhole(pty.B(), frame, kFrame)) return;
        }
    });
    std::vector<double> micros;
    size_t round = 0;
    for (auto _ : state) {
        const UCHAR* frame = PatternAt(round++ * kFrame);
        UCHAR answer[kFrame];
        auto start = Clock::now();
        bool ok = WriteWhole(pty.A(), frame, kFrame) && ReadWhole(pty.A(), answer, kFrame);
        auto elapsed = Clock::now() - start;
        std::reverse(answer, answer + kFrame);
        if (!ok || memcmp(answer, frame, kFrame) != 0) {
            Fail(state, "peer: the answer did not come back whole");
            break;
        }
        micros.push_back(Seconds(elapsed) * 1e6);
        state.SetIterationTime(Seconds(elapsed));
    }
    stop = true;
    UCHAR last[kFrame] = {};
    WriteWhole(pty.A(), last, kFrame);
    answerer.join();
    ReportLatencies(state, "peer_rtt64", "", micros);
}

// ---- Throughput --------------------------------------------------------------------------------

// A writer on 9 and a reader on 10 moving `bytes` in 4 KiB requests, every byte checked.
void PairThroughput(benchmark::State& state, bool paced, bool tick, size_t bytes)
{
    ClockTickScope scope(tick);
    OpenPair pair;
    if (!pair.Open(state)) return;
    if (SetQueueSize(*pair.receiver, kThroughputQueue) != STATUS_SUCCESS) {
        Fail(state, "the queue size was refused");
        return;
    }
    NoPacing = paced ? FALSE : TRUE;
    size_t blocks = bytes / kBlock;
    double seconds = 0;
    for (auto _ : state) {
        std::counting_semaphore<kThroughputQueue / kBlock> credits(kThroughputQueue / kBlock - 1);
        std::atomic<bool> failed{false};
        std::string why;
        auto start = Clock::now();
        std::thread reader([&] {
            for (size_t k = 0; k < blocks; k++) {
                auto read = pair.receiver->ReadAsync(kBlock);
                bool done = read->Wait(std::chrono::seconds(60));
                if (!done || read->Status() != STATUS_SUCCESS || read->Output().size() != kBlock ||
                    memcmp(read->Output().data(), PatternAt(k * kBlock), kBlock) != 0) {
                    why = done ? "a block arrived wrong" : "a block never arrived";
                    if (!done) {
                        read->Cancel();
                        read->Wait();
                    }
                    failed = true;
                    credits.release(kThroughputQueue / kBlock - 1);
                    return;
                }
                credits.release();
            }
        });
        for (size_t k = 0; k < blocks && !failed; k++) {
            credits.acquire();
            if (failed) break;
            if (pair.writer->Write(PatternAt(k * kBlock), kBlock)->Information() != kBlock) {
                why = "a write was cut short";
                failed = true;
            }
        }
        reader.join();
        seconds = Seconds(Clock::now() - start);
        if (failed) {
            Fail(state, why);
            break;
        }
        state.SetIterationTime(seconds);
    }
    NoPacing = FALSE;
    double mbs = seconds > 0 ? bytes / seconds / 1e6 : NAN;
    state.counters["MB/s"] = mbs;
    g_figures[std::string(paced ? "throughput_paced_mbs" : "throughput_nopacing_mbs") + Suffix(tick)] = mbs;
}

void PeerThroughput(benchmark::State& state, size_t bytes)
{
    PtyPair pty;
    if (!pty.Ok()) {
        Fail(state, "peer: " + pty.Error());
        return;
    }
    double seconds = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        auto start = Clock::now();
        std::thread writer([&] {
            for (size_t offset = 0; offset < bytes && !stop;) {
                ssize_t n = write(pty.A(), PatternAt(offset), std::min<size_t>(kBlock, bytes - offset));
                if (n < 0 && errno != EINTR) return;
                if (n > 0) offset += (size_t)n;
            }
        });
        std::vector<UCHAR> buffer(64 * 1024);
        size_t received = 0;
        bool ok = true;
        while (received < bytes) {
            pollfd fd = {pty.B(), POLLIN, 0};
            if (poll(&fd, 1, 10000) <= 0) {
                ok = false;
                break;
            }
            ssize_t n = read(pty.B(), buffer.data(), std::min(buffer.size(), bytes - received));
            if (n <= 0) continue;
            for (size_t done = 0; done < (size_t)n;) {
                size_t run = std::min<size_t>((size_t)n - done, kBlock);
                if (memcmp(buffer.data() + done, PatternAt(received + done), run) != 0) ok = false;
                done += run;
            }
            received += (size_t)n;
            if (!ok) break;
        }
        stop = true;
        seconds = Seconds(Clock::now() - start);
        writer.join();
        if (!ok) {
            Fail(state, "peer: the bytes did not all arrive intact");
            break;
        }
        state.SetIterationTime(seconds);
    }
    double mbs = seconds > 0 ? bytes / seconds / 1e6 : NAN;
    state.counters["MB/s"] = mbs;
    g_figures["peer_throughput_mbs"] = mbs;
}

// ---- Ring copy ---------------------------------------------------------------------------------

// RingWrite then RingRead of the same 4 KiB, against two memcpy of it (into a buffer and out).
// Both copy between the very same three buffers, the memcpy through the ring's own storage: the
// speed of a 4 KiB copy depends on how the buffers lie relative to each other (alignment, and
// addresses 4 KiB apart, which the processor takes for a store-to-load dependency). With
// buffers of their own, each a fresh heap block wherever it fell that run, the ratio measured
// the heap's layout as much as the ring (0.8 in one run, 2.6 in another).
struct CopyBuffers {
    CopyBuffers() : source(PatternAt(0), PatternAt(0) + kBlock), destination(kBlock)
    {
        RingInitialize(&ring);
        RingEnable(&ring, TRUE);
    }
    ~CopyBuffers() { RingFree(&ring); }
    ReceiveRing ring{};
    std::vector<UCHAR> source, destination;
};

// Made by the first of the two benchmarks and kept until both have run, every call of each
// (Google Benchmark calls them again with more iterations): registered after every measurement
// that loads the driver, whose unload would find the ring's storage still allocated.
std::unique_ptr<CopyBuffers> g_copyBuffers;

CopyBuffers& SharedCopyBuffers()
{
    if (!g_copyBuffers) g_copyBuffers = std::make_unique<CopyBuffers>();
    return *g_copyBuffers;
}

void RingCopy(benchmark::State& state)
{
    CopyBuffers& b = SharedCopyBuffers();
    NoPacing = TRUE;  // a block in one piece: the copy, not the pacing pause, is measured
    std::fill(b.destination.begin(), b.destination.end(), 0);
    auto start = Clock::now();
    for (auto _ : state) {
        ULONG in = RingWrite(&b.ring, b.source.data(), kBlock);
        ULONG out = RingRead(&b.ring, b.destination.data(), kBlock);
        benchmark::DoNotOptimize(in + out);
        benchmark::ClobberMemory();
    }
    double nsPerBlock = Seconds(Clock::now() - start) * 1e9 / std::max<double>(1, (double)state.iterations());
    NoPacing = FALSE;
    if (b.destination != b.source) Fail(state, "the ring gave back other bytes");
    state.SetBytesProcessed((int64_t)state.iterations() * kBlock);
    g_figures["ring_copy_ns_per_4k"] = nsPerBlock;
}

void MemcpyCopy(benchmark::State& state)
{
    CopyBuffers& b = SharedCopyBuffers();
    UCHAR* middle = b.ring.Buffer;
    auto start = Clock::now();
    for (auto _ : state) {
        memcpy(middle, b.source.data(), kBlock);
        benchmark::ClobberMemory();
        memcpy(b.destination.data(), middle, kBlock);
        benchmark::ClobberMemory();
    }
    double nsPerBlock = Seconds(Clock::now() - start) * 1e9 / std::max<double>(1, (double)state.iterations());
    state.SetBytesProcessed((int64_t)state.iterations() * kBlock);
    g_figures["memcpy_ns_per_4k"] = nsPerBlock;
    if (g_figures.count("ring_copy_ns_per_4k")) {
        g_figures["ring_copy_ratio"] = nsPerBlock / g_figures["ring_copy_ns_per_4k"];
    }
}

// ---- Scale -------------------------------------------------------------------------------------

double ProcessCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double CpuPercentOver(double seconds)
{
    double before = ProcessCpuSeconds();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double wall = Seconds(Clock::now() - start);
    return (ProcessCpuSeconds() - before) / wall * 100.0;
}

// Plugging in N ports until Plug and Play has started them all; then the process's CPU time over
// a few seconds with every port open and idle, and again with a read parked on each.
void Scale(benchmark::State& state)
{
    DriverSession session;
    if (!session.Ok()) {
        Fail(state, session.Error());
        return;
    }
    ULONG count = g_settings.scalePorts;
    std::string name = std::to_string(count);
    for (auto _ : state) {
        auto start = Clock::now();
        for (ULONG i = 0; i < count; i++) session.Plug(11 + i, false);
        bool settled = session.Settle();
        double seconds = Seconds(Clock::now() - start);
        if (!settled || session.PortCount() != count) {
            Fail(state, "not every port started");
            return;
        }
        state.SetIterationTime(seconds);
        g_figures["plug" + name + "_s"] = seconds;
    }
    std::vector<PDEVICE_OBJECT> ports;
    std::vector<hk::File*> files;
    for (ULONG i = 0; i < count; i++) {
        ports.push_back(session.Port(11 + i));
        files.push_back(ports.back() ? session.Open(ports.back()) : nullptr);
        if (files.back() == nullptr) {
            Fail(state, "a port did not open");
            return;
        }
    }
    double idle = CpuPercentOver(g_settings.idleSeconds);
    state.counters["idle_cpu_%"] = idle;
    g_figures["idle" + name + "_cpu_percent"] = idle;

    std::vector<std::unique_ptr<hk::Request>> reads;
    for (ULONG i = 0; i < count; i++) reads.push_back(files[i]->ReadAsync(1));
    bool held = WaitUntil([&] {
        for (ULONG i = 0; i < count; i++) {
            if (CurrentReadIrp(ports[i]) != reads[i]->Irp()) return false;
        }
        return true;
    });
    if (held) {
        double parked = CpuPercentOver(g_settings.idleSeconds);
        state.counters["parked_cpu_%"] = parked;
        g_figures["parked" + name + "_cpu_percent"] = parked;
    } else {
        Fail(state, "not every read was held by its thread");
    }
    for (auto& read : reads) {
        read->Cancel();
        read->Wait();
    }
    if (!held) return;

    // Again with a 100 ms interval time-out on each port. No byte arrives, so no interval clock
    // starts: what the figure shows is what the time-outs' bookkeeping costs a held read.
    reads.clear();
    for (ULONG i = 0; i < count; i++) {
        if (SetReadTimeouts(*files[i], 100, 0, 0) != STATUS_SUCCESS) {
            Fail(state, "the interval time-out was refused");
            return;
        }
        reads.push_back(files[i]->ReadAsync(1));
    }
    held = WaitUntil([&] {
        for (ULONG i = 0; i < count; i++) {
            if (CurrentReadIrp(ports[i]) != reads[i]->Irp()) return false;
        }
        return true;
    });
    if (held) {
        double parked = CpuPercentOver(g_settings.idleSeconds);
        state.counters["parked_timeouts_cpu_%"] = parked;
        g_figures["parked" + name + "_timeouts_cpu_percent"] = parked;
    } else {
        Fail(state, "not every read with a time-out was held by its thread");
    }
    for (auto& read : reads) {
        read->Cancel();
        read->Wait();
    }
}

// ---- Report ------------------------------------------------------------------------------------

double Figure(const std::string& key)
{
    auto it = g_figures.find(key);
    return it == g_figures.end() ? NAN : it->second;
}

std::string Number(double value)
{
    if (std::isnan(value)) return "-";
    char text[32];
    snprintf(text, sizeof(text), value >= 100 ? "%.0f" : value >= 1 ? "%.2f" : "%.3f", value);
    return text;
}

struct Target {
    std::string label;
    std::string key;
    std::string rule;
    bool met;
};

std::vector<Target> Targets()
{
    std::vector<Target> targets;
    double peer = Figure("peer_latency_p50_us");
    for (const char* suffix : {"", "_tick"}) {
        for (const char* what : {"read", "wait"}) {
            std::string base = what;
            std::string s = suffix;
            double p50 = Figure(base + "_p50_us" + s);
            double p99 = Figure(base + "_p99_us" + s);
            targets.push_back({base + " p50" + s, base + "_p50_us" + s, "<= 2 x peer p50", p50 <= 2 * peer});
            targets.push_back({base + " p99" + s, base + "_p99_us" + s, "<= 1500 us", p99 <= 1500});
        }
    }
    double peerRtt = Figure("peer_rtt64_p50_us");
    for (const char* suffix : {"", "_tick"}) {
        std::string s = suffix;
        targets.push_back({"rtt64 p50" + s, "rtt64_p50_us" + s, "<= 2 x peer p50",
                           Figure("rtt64_p50_us" + s) <= 2 * peerRtt});
        targets.push_back({"rtt64 p99" + s, "rtt64_p99_us" + s, "< 1500 us", Figure("rtt64_p99_us" + s) < 1500});
    }
    targets.push_back({"throughput, no pacing", "throughput_nopacing_mbs", ">= 10 x peer",
                       Figure("throughput_nopacing_mbs") >= 10 * Figure("peer_throughput_mbs")});
    targets.push_back({"ring copy / memcpy", "ring_copy_ratio", ">= 0.5", Figure("ring_copy_ratio") >= 0.5});
    targets.push_back({"1 KiB at 9600/115200", "baud_timing_error_percent", "within 5 % of line",
                       Figure("baud_timing_error_percent") <= 5});
    std::string idle = "idle" + std::to_string(g_settings.scalePorts) + "_cpu_percent";
    targets.push_back({"idle open ports, CPU %", idle, "< 1 % of a core", Figure(idle) < 1.0});
    std::string parked = "parked" + std::to_string(g_settings.scalePorts) + "_cpu_percent";
    targets.push_back({"reads parked, CPU %", parked, "< 1 % of a core", Figure(parked) < 1.0});
    return targets;
}

void PrintTable()
{
    struct Row {
        const char* label;
        const char* key;
        const char* peerKey;
    };
    const Row rows[] = {
        {"parked read p50 (us)", "read_p50_us", "peer_latency_p50_us"},
        {"parked read p99 (us)", "read_p99_us", "peer_latency_p99_us"},
        {"parked read max (us)", "read_max_us", "peer_latency_max_us"},
        {"parked wait p50 (us)", "wait_p50_us", "peer_latency_p50_us"},
        {"parked wait p99 (us)", "wait_p99_us", "peer_latency_p99_us"},
        {"parked wait max (us)", "wait_max_us", "peer_latency_max_us"},
        {"64-byte round trip p50 (us)", "rtt64_p50_us", "peer_rtt64_p50_us"},
        {"64-byte round trip p99 (us)", "rtt64_p99_us", "peer_rtt64_p99_us"},
        {"throughput, no pacing (MB/s)", "throughput_nopacing_mbs", "peer_throughput_mbs"},
        {"throughput, paced (MB/s)", "throughput_paced_mbs", "peer_throughput_mbs"},
    };
    printf("\n%-30s %12s %14s %10s\n", "figure", "vcombus", "vcombus tick", "peer");
    for (const Row& row : rows) {
        printf("%-30s %12s %14s %10s\n", row.label, Number(Figure(row.key)).c_str(),
               Number(Figure(std::string(row.key) + "_tick")).c_str(), Number(Figure(row.peerKey)).c_str());
    }
    std::string n = std::to_string(g_settings.scalePorts);
    printf("%-30s %12s\n", "ring copy / memcpy", Number(Figure("ring_copy_ratio")).c_str());
    printf("%-30s %12s\n", ("plug in " + n + " ports (s)").c_str(), Number(Figure("plug" + n + "_s")).c_str());
    printf("%-30s %12s\n", (n + " idle open ports (CPU %)").c_str(),
           Number(Figure("idle" + n + "_cpu_percent")).c_str());
    printf("%-30s %12s\n", (n + " ports, reads parked (CPU %)").c_str(),
           Number(Figure("parked" + n + "_cpu_percent")).c_str());
    printf("%-30s %12s\n", "  + 100 ms interval (CPU %)",
           Number(Figure("parked" + n + "_timeouts_cpu_percent")).c_str());
    printf("%-30s %26s\n", "1 KiB timed at 9600 (error %)", Number(Figure("baud_timing_9600_error_percent")).c_str());
    printf("%-30s %26s\n", "1 KiB timed at 115200 (error %)",
           Number(Figure("baud_timing_115200_error_percent")).c_str());
    printf("%-30s %26s\n", "  before Windows 8.1 (error %)",
           (Number(Figure("baud_timing_9600_older_kernel_error_percent")) + " / " +
            Number(Figure("baud_timing_115200_older_kernel_error_percent")))
               .c_str());
    printf("\n%-26s %-18s %12s  %s\n", "target", "rule", "value", "met");
    for (const Target& target : Targets()) {
        printf("%-26s %-18s %12s  %s\n", target.label.c_str(), target.rule.c_str(),
               Number(Figure(target.key)).c_str(), target.met ? "yes" : "NO");
    }
}

bool WriteOutputs()
{
    mkdir(g_settings.outDir.c_str(), 0755);
    std::ofstream csv(g_settings.outDir + "/figures.csv");
    csv << "figure,value\n";
    for (auto& [key, value] : g_figures) csv << key << ',' << value << '\n';

    // The flat summary: one number per key, the same keys every run (null when not measured).
    std::string n = std::to_string(g_settings.scalePorts);
    std::vector<std::pair<std::string, std::string>> keys = {
        {"read_p50_us", "read_p50_us"},
        {"read_p99_us", "read_p99_us"},
        {"wait_p50_us", "wait_p50_us"},
        {"wait_p99_us", "wait_p99_us"},
        {"throughput_nopacing_mbs", "throughput_nopacing_mbs"},
        {"throughput_paced_mbs", "throughput_paced_mbs"},
        {"ring_copy_ratio", "ring_copy_ratio"},
        {"plug256_s", "plug" + n + "_s"},
        {"idle256_cpu_percent", "idle" + n + "_cpu_percent"},
        {"parked256_cpu_percent", "parked" + n + "_cpu_percent"},
        {"parked256_timeouts_cpu_percent", "parked" + n + "_timeouts_cpu_percent"},
        {"rtt64_p50_us", "rtt64_p50_us"},
        {"rtt64_p99_us", "rtt64_p99_us"},
        {"peer_latency_p50_us", "peer_latency_p50_us"},
        {"peer_rtt64_p50_us", "peer_rtt64_p50_us"},
        {"peer_throughput_mbs", "peer_throughput_mbs"},
        {"baud_timing_error_percent", "baud_timing_error_percent"},
        {"baud_timing_9600_error_percent", "baud_timing_9600_error_percent"},
        {"baud_timing_115200_error_percent", "baud_timing_115200_error_percent"},
        {"baud_timing_9600_older_kernel_error_percent", "baud_timing_9600_older_kernel_error_percent"},
        {"baud_timing_115200_older_kernel_error_percent", "baud_timing_115200_older_kernel_error_percent"},
    };
    for (const char* key : {"read_p50_us", "read_p99_us", "wait_p50_us", "wait_p99_us", "rtt64_p50_us",
                            "rtt64_p99_us", "throughput_nopacing_mbs", "throughput_paced_mbs"}) {
        keys.push_back({std::string(key) + "_tick", std::string(key) + "_tick"});
    }
    std::ofstream summary(g_settings.outDir + "/summary.json");
    summary << "{\n";
    for (size_t i = 0; i < keys.size(); i++) {
        double value = Figure(keys[i].second);
        char text[64];
        snprintf(text, sizeof(text), "%.6g", value);
        summary << "  \"" << keys[i].first << "\": " << (std::isnan(value) ? "null" : text)
                << (i + 1 < keys.size() ? ",\n" : "\n");
    }
    summary << "}\n";
    return csv.good() && summary.good();
}

void RegisterAll()
{
    const Settings& s = g_settings;
    auto manual = [](benchmark::internal::Benchmark* b, int64_t iterations) {
        b->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMicrosecond);
    };
    manual(benchmark::RegisterBenchmark("peer/latency", PeerLatency), s.rounds);
    for (bool tick : {false, true}) {
        std::string t = tick ? "/tick" : "";
        manual(benchmark::RegisterBenchmark(("parked_read" + t).c_str(), ParkedRead, tick), s.rounds);
        manual(benchmark::RegisterBenchmark(("parked_wait" + t).c_str(), ParkedWait, tick), s.rounds);
    }
    manual(benchmark::RegisterBenchmark("peer/rtt64", PeerRoundTrip), s.rounds);
    for (bool tick : {false, true}) {
        manual(benchmark::RegisterBenchmark(tick ? "rtt64/tick" : "rtt64", RoundTrip, tick), s.rounds);
    }
    manual(benchmark::RegisterBenchmark("peer/throughput", PeerThroughput, s.throughputBytes), 1);
    for (bool tick : {false, true}) {
        std::string t = tick ? "/tick" : "";
        manual(benchmark::RegisterBenchmark(("throughput/nopacing" + t).c_str(), PairThroughput, false, tick,
                                            s.throughputBytes),
               1);
        manual(benchmark::RegisterBenchmark(("throughput/paced" + t).c_str(), PairThroughput, true, tick,
                                            tick ? s.pacedTickBytes : s.throughputBytes),
               1);
    }
    // Always with the tick modelled: without it every timer is precise and the figure says nothing.
    for (bool older : {false, true}) {
        std::string o = older ? "/older_kernel" : "";
        manual(benchmark::RegisterBenchmark(("line_time/9600" + o).c_str(), LineTime, 9600, older), s.smoke ? 1 : 5);
        manual(benchmark::RegisterBenchmark(("line_time/115200" + o).c_str(), LineTime, 115200, older),
               s.smoke ? 2 : 20);
    }
    manual(benchmark::RegisterBenchmark(("scale/plug" + std::to_string(s.scalePorts)).c_str(), Scale), 1);
    auto* ring = benchmark::RegisterBenchmark("ring_copy/4k", RingCopy);
    auto* copy = benchmark::RegisterBenchmark("memcpy/4k", MemcpyCopy);
    if (s.copyIterations > 0) {
        ring->Iterations(s.copyIterations);
        copy->Iterations(s.copyIterations);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args = {argv[0]};
    bool outGiven = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--smoke") {
            g_settings.smoke = true;
        } else if (arg.rfind("--out=", 0) == 0) {
            g_settings.outDir = arg.substr(6);
        } else {
            outGiven |= arg.rfind("--benchmark_out=", 0) == 0;
            args.push_back(argv[i]);
        }
    }
    if (g_settings.smoke) {
        g_settings.rounds = 20;
        g_settings.throughputBytes = 1u << 20;
        g_settings.pacedTickBytes = 64u << 10;
        g_settings.scalePorts = 8;
        g_settings.idleSeconds = 0.2;
        g_settings.copyIterations = 1000;
    }
    mkdir(g_settings.outDir.substr(0, g_settings.outDir.rfind('/')).c_str(), 0755);
    mkdir(g_settings.outDir.c_str(), 0755);
    std::string outFlag = "--benchmark_out=" + g_settings.outDir + "/benchmark.json";
    std::string formatFlag = "--benchmark_out_format=json";
    if (!outGiven) {
        args.push_back(outFlag.data());
        args.push_back(formatFlag.data());
    }
    int count = (int)args.size();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    // A broken kernel rule makes every figure meaningless.
    hk::SetViolationHandler([](const std::string& message) {
        g_violations++;
        fprintf(stderr, "bench: verifier: %s\n", message.c_str());
    });
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_copyBuffers.reset();

    // The worse of the two rates; unmeasured if either is.
    double slow = Figure("baud_timing_9600_error_percent");
    double fast = Figure("baud_timing_115200_error_percent");
    g_figures["baud_timing_error_percent"] = std::isnan(slow) || std::isnan(fast) ? NAN : std::max(slow, fast);
    PrintTable();
    bool written = WriteOutputs();
    printf("\nfigures written to %s (summary.json, figures.csv, benchmark.json)\n", g_settings.outDir.c_str());
    if (g_violations > 0 || g_errors > 0 || !written) {
        fprintf(stderr, "bench: %d verifier report(s), %d failed measurement(s)\n", g_violations.load(), g_errors);
        return 1;
    }
    return 0;
}
