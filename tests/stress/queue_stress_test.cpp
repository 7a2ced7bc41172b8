// Several producers fill one port's ring (paced, so blocks interleave at their split points)
// while reads and waits are parked, served, cancelled and flushed from other threads; then the
// queues are stopped as the port's destruction does. Nothing may be lost or doubled: every
// request completes exactly once, every stored byte is read exactly once and each producer's
// bytes come out in the order it wrote them.
#include "port_fixture.h"

#include <hostkernel/threads.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kProducers = 3;
constexpr ULONG kMaxBlock = 40;
constexpr ULONG kRingSize = 16384;

// Every byte a try takes, in the order the ring gave them out (the lock spans the ring read and
// the append, so the log is the ring's own order).
std::mutex g_logLock;
std::vector<UCHAR> g_log;

NTSTATUS TryRead(PortDeviceData* port, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    auto buffer = ReadBuffer(irp);
    ULONG taken;
    {
        std::lock_guard guard(g_logLock);
        taken = RingRead(&port->Ring, buffer, length);
        g_log.insert(g_log.end(), buffer, buffer + taken);
    }
    if (taken == 0) return STATUS_PENDING;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = taken;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS TryWait(PortDeviceData* port, PIRP irp)
{
    RingAcquireLock(&port->Ring);
    ULONG events = port->Ring.EventBits;
    port->Ring.EventBits = 0;
    RingReleaseLock(&port->Ring);
    if (events == 0) return STATUS_PENDING;
    *(PULONG)irp->AssociatedIrp.SystemBuffer = events;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

using RequestPtr = std::shared_ptr<hk::Request>;

// Requests in flight, shared with the canceller; finished ones are checked and counted.
struct Flight {
    std::mutex lock;
    std::vector<RequestPtr> outstanding;
    size_t completed = 0;
    size_t cancelled = 0;
    size_t bytesDelivered = 0;
    std::vector<std::string> problems;

    void Add(RequestPtr request)
    {
        std::lock_guard guard(lock);
        outstanding.push_back(std::move(request));
    }
    RequestPtr Pick(size_t index)
    {
        std::lock_guard guard(lock);
        return outstanding.empty() ? nullptr : outstanding[index % outstanding.size()];
    }
    size_t Reap()
    {
        std::lock_guard guard(lock);
        for (auto it = outstanding.begin(); it != outstanding.end();) {
            hk::Request& request = **it;
            if (!request.Completed()) {
                ++it;
                continue;
            }
            completed++;
            if (request.Status() == STATUS_CANCELLED) {
                cancelled++;
                if (request.Information() != 0) problems.push_back("cancelled request with data");
            } else if (request.Status() == STATUS_SUCCESS) {
                if (request.Information() == 0 || request.Output().size() != request.Information()) {
                    problems.push_back("completed request without its data");
                }
                bytesDelivered += request.Information();
            } else {
                problems.push_back("unexpected status");
            }
            it = outstanding.erase(it);
        }
        return outstanding.size();
    }
};

class QueueStressTest : public PortQueueTest {
protected:
    void SetUp() override
    {
        PortQueueTest::SetUp();
        g_log.clear();
        SetTryRoutines(TryRead, TryWait);
        NoPacing = FALSE;
    }

    ULONG RingCount()
    {
        RingAcquireLock(&port_->Ring);
        ULONG count = port_->Ring.Count;
        RingReleaseLock(&port_->Ring);
        return count;
    }
};

TEST_F(QueueStressTest, ProducersReadersCancelsAndFlushesLoseAndDoubleNothing)
{
    auto readerFile = Open();
    auto waiterFile = Open();
    ASSERT_TRUE(RingResize(&port_->Ring, kRingSize));
    Flight reads;
    Flight waits;
    std::atomic<bool> producing{true};
    std::atomic<bool> quiet{false};
    std::atomic<int> flushes{0};
    std::atomic<bool> running{true};
    std::atomic<size_t> written[kProducers] = {};

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; p++) {
        threads.emplace_back([&, p] {
            std::mt19937 random(p + 1);
            UCHAR sequence = 0;
            UCHAR block[kMaxBlock];
            while (producing) {
                if (quiet) {
                    std::this_thread::sleep_for(100us);
                    continue;
                }
                // Never overrun: the test is about losing nothing, so leave room for every
                // producer's largest block.
                if (RingCount() > kRingSize - kProducers * kMaxBlock) {
                    std::this_thread::sleep_for(100us);
                    continue;
                }
                ULONG length = 1 + random() % kMaxBlock;
                for (ULONG i = 0; i < length; i++) block[i] = (UCHAR)((p << 6) | (sequence++ & 63));
                ULONG stored = RingWrite(&port_->Ring, block, length);
                WakeReadServiceThread(port_);  // as a producer does
                if (stored != length) {
                    ADD_FAILURE() << "producer " << p << " stored " << stored << " of " << length;
                    return;
                }
                written[p] += stored;
            }
        });
    }
    threads.emplace_back([&] {  // reader: keeps a few reads parked
        std::mt19937 random(7);
        while (running) {
            if (reads.Reap() < 4) reads.Add(RequestPtr(readerFile->ReadAsync(1 + random() % 64)));
            std::this_thread::sleep_for(50us);
        }
    });
    threads.emplace_back([&] {  // waiter: one wait at a time
        while (running) {
            if (waits.Reap() < 1) {
                waits.Add(RequestPtr(waiterFile->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG))));
            }
            std::this_thread::sleep_for(200us);
        }
    });
    threads.emplace_back([&] {  // canceller: an application giving up on some of its I/O
        std::mt19937 random(11);
        while (running) {
            if (RequestPtr request = reads.Pick(random())) request->Cancel();
            if (random() % 4 == 0) {
                if (RequestPtr request = waits.Pick(0)) request->Cancel();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 800));
        }
    });
    threads.emplace_back([&] {  // flusher: cleanups and purges of the queues
        while (running) {
            std::this_thread::sleep_for(3ms);
            FlushReadQueue(device_);
            FlushWaitQueue(device_);
            flushes++;
        }
    });

    auto waitFor = [](auto done) {
        for (auto deadline = Clock::now() + 5s; !done() && Clock::now() < deadline;) std::this_thread::sleep_for(100us);
    };
    for (auto end = Clock::now() + 1500ms; Clock::now() < end;) {
        std::this_thread::sleep_for(100ms);
        // A quiet spell: the producers hold back until the ring has drained and a couple of
        // flushes have passed, so that cancels and flushes also meet parked reads, not only
        // reads that finish at once (which is all a busy ring gives them).
        quiet = true;
        waitFor([&] { return RingCount() == 0; });
        int before = flushes;
        waitFor([&] { return flushes >= before + 2; });
        quiet = false;
    }
    producing = false;
    for (int p = 0; p < kProducers; p++) threads[p].join();
    size_t total = 0;
    for (auto& count : written) total += count;
    // Let the readers drain the ring.
    auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        {
            std::lock_guard guard(g_logLock);
            if (g_log.size() >= total) break;
        }
        std::this_thread::sleep_for(1ms);
    }
    running = false;
    for (size_t i = kProducers; i < threads.size(); i++) threads[i].join();

    EXPECT_FALSE(port_->Ring.Overrun);
    // What is still parked ends with the handles' cleanup and the queues' stop.
    readerFile->Close();
    waiterFile->Close();
    EXPECT_EQ(StopWaitQueue(device_), STATUS_SUCCESS);
    EXPECT_EQ(StopReadQueue(device_), STATUS_SUCCESS);
    EXPECT_EQ(hk::RunningSystemThreadCount(), 0u);
    EXPECT_EQ(reads.Reap(), 0u) << "a read was never completed";
    EXPECT_EQ(waits.Reap(), 0u) << "a wait was never completed";
    for (auto& problem : reads.problems) ADD_FAILURE() << "read: " << problem;
    for (auto& problem : waits.problems) ADD_FAILURE() << "wait: " << problem;

    EXPECT_GT(total, 0u);
    EXPECT_GT(reads.cancelled, 0u) << "the run cancelled nothing: it proved less than it claims";
    EXPECT_GT(reads.completed - reads.cancelled, 0u);
    ASSERT_EQ(g_log.size(), total) << "bytes stored and bytes read differ";
    EXPECT_EQ(reads.bytesDelivered, total) << "bytes taken from the ring and bytes delivered differ";
    size_t seen[kProducers] = {};
    UCHAR next[kProducers] = {};
    for (size_t i = 0; i < g_log.size(); i++) {
        int p = g_log[i] >> 6;
        ASSERT_LT(p, kProducers);
        ASSERT_EQ(g_log[i] & 63, next[p]) << "producer " << p << "'s bytes out of order at " << i;
        next[p] = (UCHAR)((next[p] + 1) & 63);
        seen[p]++;
    }
    for (int p = 0; p < kProducers; p++) EXPECT_EQ(seen[p], written[p].load());
}

}  // namespace
