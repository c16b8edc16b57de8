// SPDX-License-Identifier: Apache-2.0
// Stress program: the whole library under sustained mixed load, in one
// sandboxed child (private settings file, log directory and device node).
//
//   stress [--seconds N] [--threads T] [--batchers B]
//
// Phases of equal length run one after another until the time is up.  In each
// phase transfer threads read and write a shared file through three handles
// (two on one descriptor, one on a dup() of it) and their own files through
// handles of their own, and batch threads run batches (some of them
// cancelled) mixing those handles on batch handles of their own; some
// transfers run past the end of their device memory and must fail with
// nothing changed.  Between phases every thread has
// stopped, the device connection is closed and re-opened and the simulated
// driver's fault injection is switched to the next setting (off every other
// phase).  The log runs at DEBUG into files rotated at a small size.
//
// Checked: every byte each transfer reports moved (and, for writes, that the
// rest of the range kept its old contents); a watchdog fails the run naming
// any call that has not returned within the limit; every log file holds only
// whole records of this process and stays within one record of the size
// limit; this process's log files never number more than the configured
// count for longer than a rotation takes.  The volume is printed at the end.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "dgrt.h"
#include "qrvd_sim.h"
#include "sandbox.h"
#include "support/scratch.h"

namespace {

// ---- Parameters --------------------------------------------------------------
int g_seconds = 5;
int g_threads = 4;   // transfer threads
int g_batchers = 2;  // batch threads, one batch handle each

constexpr std::size_t kBlock = 4096;           // O_DIRECT granule
constexpr std::size_t kSharedBlocks = 256;     // read-only part of the shared file
constexpr std::size_t kRegionBlocks = 32;      // each writer's part of a file
constexpr std::size_t kMaxBlocks = 8;          // largest transfer
constexpr unsigned kBatchSlots = 8;
constexpr int kMaxFiles = 3;
constexpr int kMaxFileSizeKiB = 16;
constexpr int kPhasesPerSecond = 2;
constexpr auto kStuckLimit = std::chrono::seconds(30);
const char* const kLogDir = "/opt/tavo/log";

// Byte i of a file holding generation g (0 is the initial contents).
using support::PatternByte;

// ---- Failures and the watchdog ------------------------------------------------
std::mutex g_fail_mutex;
std::atomic<int> g_failures{0};

void Fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* fmt, ...) {
    std::lock_guard<std::mutex> lock(g_fail_mutex);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    // Only the first few: one fault tends to repeat on every transfer.
    if (g_failures.fetch_add(1) == 20) {
        std::fprintf(stderr, "too many failures, stopping\n");
        std::_Exit(1);
    }
}

using Clock = std::chrono::steady_clock;

// What one thread is doing: the library call it is in and since when.  Set
// around every call that could block; read by the watchdog.
struct Activity {
    std::atomic<const char*> call{nullptr};
    std::atomic<Clock::rep> since{0};
};
std::vector<Activity> g_activity(64);

class InCall {
public:
    InCall(int slot, const char* name) : a_(g_activity[static_cast<std::size_t>(slot)]) {
        a_.since.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        a_.call.store(name, std::memory_order_release);
    }
    ~InCall() { a_.call.store(nullptr, std::memory_order_release); }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

private:
    Activity& a_;
};

// ---- Volume ---------------------------------------------------------------------
std::atomic<std::uint64_t> g_transfers{0}, g_bytes{0}, g_batches{0}, g_batch_requests{0},
    g_cancellations{0}, g_short{0}, g_phases{0}, g_unaligned{0}, g_outside{0};

// The shared file is registered three times each phase: twice on one
// descriptor and once on a dup() of it.  All three share the open file's
// flags and position, which the CPU copy changes.
constexpr int kSharedHandles = 3;
using SharedHandles = std::array<DGfileHandle_t, kSharedHandles>;

// ---- Files ------------------------------------------------------------------------
// A scratch file of the pattern: O_DIRECT descriptors for the library and
// a plain one to check what reached the disk.
struct DataFile {
    DataFile(const std::string& name, std::size_t blocks) : path(name), file(blocks * kBlock) {}
    const std::string path;  // what the messages call it
    const support::ScratchFile file;
    const int check_fd = file.fd();
    int OpenDirect() const { return file.Open(O_RDWR | O_DIRECT); }
};

DGfileHandle_t Register(int fd) {
    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = fd;
    DGfileHandle_t fh = nullptr;
    DGfileError_t status = dgFileHandleRegister(&fh, &descr);
    if (status.err != DG_FILE_SUCCESS) Fail("dgFileHandleRegister: status %d", status.err);
    return fh;
}

// Device memory and the simulator's host view of it.
struct DeviceBuffer {
    void* ptr = nullptr;
    unsigned char* view = nullptr;
    explicit DeviceBuffer(std::size_t n) {
        if (dgMalloc(&ptr, n) != 0) Fail("dgMalloc(%zu) failed", n);
        view = static_cast<unsigned char*>(qrvd_sim_host_view(ptr, n));
        if (view == nullptr) Fail("no host view of device memory");
    }
    ~DeviceBuffer() { dgFree(ptr); }
};

// The fault setting of the current phase; SHORT is the only one under which a
// transfer may legitimately move fewer bytes than asked (every other fault
// ends in the full transfer, by the driver or by the CPU copy).
struct Fault {
    int mode;
    std::uint64_t param;
    unsigned every;
    const char* name;
};
const Fault kFaults[] = {
    {QRVD_SIM_FAULT_REFUSE, 5 /* EIO */, 3, "refuse:EIO@3"},
    {QRVD_SIM_FAULT_SHORT, 2 * kBlock, 2, "short:8192@2"},
    {QRVD_SIM_FAULT_ZERO, 0, 4, "zero@4"},
    {QRVD_SIM_FAULT_UNTOUCHED, 0, 2, "untouched@2"},
    {QRVD_SIM_FAULT_DELAY, 300, 5, "delay:300@5"},
};
std::atomic<int> g_short_allowed{0};  // bytes a SHORT fault lets through, 0 when off

// Whether `moved` is an acceptable result for a transfer of `size` bytes.
bool AcceptableCount(ssize_t moved, std::size_t size) {
    if (moved == static_cast<ssize_t>(size)) return true;
    const int allowed = g_short_allowed.load(std::memory_order_relaxed);
    if (allowed > 0 && moved == static_cast<ssize_t>(std::min<std::size_t>(allowed, size))) {
        g_short.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// A writer's blocks of one file and the generation each block holds.
struct Region {
    const DataFile* file;
    std::size_t first_block;
    std::vector<unsigned char> gen = std::vector<unsigned char>(kRegionBlocks, 0);

    // Checks the file's bytes over blocks [b, b + n) against the generations.
    void Check(std::size_t b, std::size_t n, const char* what) const {
        std::vector<unsigned char> bytes(n * kBlock);
        const off_t at = static_cast<off_t>((first_block + b) * kBlock);
        if (::pread(file->check_fd, bytes.data(), bytes.size(), at) !=
            static_cast<ssize_t>(bytes.size())) {
            Fail("%s: cannot read back %s", what, file->path.c_str());
            return;
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const unsigned char g = gen[b + i / kBlock];
            if (bytes[i] != PatternByte(static_cast<std::uint64_t>(at) + i, g)) {
                Fail("%s: %s byte %" PRIu64 " is %#x, expected %#x (generation %u)", what,
                     file->path.c_str(), static_cast<std::uint64_t>(at) + i, bytes[i],
                     PatternByte(static_cast<std::uint64_t>(at) + i, g), g);
                return;
            }
        }
    }

    // After a write whose outcome is unknown (a cancelled batch): each block
    // must hold either its old or its new generation; learn which.
    void Settle(std::size_t b, std::size_t n, unsigned char new_gen, const char* what) {
        std::vector<unsigned char> bytes(kBlock);
        for (std::size_t k = b; k < b + n; ++k) {
            const off_t at = static_cast<off_t>((first_block + k) * kBlock);
            if (::pread(file->check_fd, bytes.data(), kBlock, at) != static_cast<ssize_t>(kBlock)) {
                Fail("%s: cannot read back %s", what, file->path.c_str());
                return;
            }
            for (unsigned char g : {gen[k], new_gen}) {
                bool all = true;
                for (std::size_t i = 0; i < kBlock && all; ++i)
                    all = bytes[i] == PatternByte(static_cast<std::uint64_t>(at) + i, g);
                if (all) {
                    gen[k] = g;
                    break;
                }
                if (g == new_gen)
                    Fail("%s: %s block at %" PRIu64 " is neither generation %u nor %u", what,
                         file->path.c_str(), static_cast<std::uint64_t>(at), gen[k], new_gen);
            }
        }
    }
};

// Fills device bytes [dev_off, dev_off + n blocks) with what region block b
// holds at generation g.
void FillForWrite(const DeviceBuffer& dev, std::size_t dev_off, const Region& r, std::size_t b,
                  std::size_t n, unsigned char g) {
    const std::uint64_t at = (r.first_block + b) * kBlock;
    for (std::size_t i = 0; i < n * kBlock; ++i) dev.view[dev_off + i] = PatternByte(at + i, g);
}

// Checks device bytes [dev_off, dev_off + moved) against the file's
// generation-0 contents from file_off on.
void CheckRead(const DeviceBuffer& dev, std::size_t dev_off, std::uint64_t file_off,
               std::size_t moved, const char* what) {
    for (std::size_t i = 0; i < moved; ++i) {
        if (dev.view[dev_off + i] != PatternByte(file_off + i, 0)) {
            Fail("%s: device byte %zu of a read at file offset %" PRIu64 " is %#x, expected %#x",
                 what, i, file_off, dev.view[dev_off + i], PatternByte(file_off + i, 0));
            return;
        }
    }
}

// A transfer whose device range runs past the end of the allocation `dev`:
// it must fail and change nothing, neither device memory nor the file.
void OutsideTransfer(int slot, std::mt19937& rng, const DeviceBuffer& dev, DGfileHandle_t fh,
                     Region& r) {
    constexpr std::size_t kDevSize = kMaxBlocks * kBlock;
    const std::size_t b = rng() % (kRegionBlocks - 1);
    const off_t at = static_cast<off_t>((r.first_block + b) * kBlock);
    const off_t dev_off = static_cast<off_t>(kDevSize - kBlock);
    const bool write = (rng() & 1) != 0;
    std::memset(dev.view, 0xee, kDevSize);
    ssize_t moved;
    {
        InCall in(slot, write ? "dgFileWrite (past the allocation)" : "dgFileRead (past the allocation)");
        moved = write ? dgFileWrite(fh, dev.ptr, 2 * kBlock, at, dev_off)
                      : dgFileRead(fh, dev.ptr, 2 * kBlock, at, dev_off);
    }
    if (moved != -1) Fail("a %s past the allocation returned %zd", write ? "write" : "read", moved);
    if (!std::all_of(dev.view, dev.view + kDevSize, [](unsigned char c) { return c == 0xee; }))
        Fail("a %s past the allocation changed device memory", write ? "write" : "read");
    r.Check(b, 2, "transfer past the allocation");
    g_outside.fetch_add(1, std::memory_order_relaxed);
}

// ---- Transfer threads ------------------------------------------------------------
// Reads of the shared file's read-only part (some unaligned, so that the
// driver refuses them and the CPU copy runs), reads and writes of this
// thread's own region of the shared file, each through any of the shared
// file's handles, and of its own file (through its own handle); now and then
// a transfer past the end of its device memory.
void TransferThread(int slot, unsigned seed, const SharedHandles& shared, Region& shared_region,
                    Region& own_region, DGfileHandle_t own, Clock::time_point end) {
    std::mt19937 rng(seed);
    DeviceBuffer dev(kMaxBlocks * kBlock);
    while (Clock::now() < end && g_failures.load() == 0) {
        const std::size_t n = 1 + rng() % kMaxBlocks;
        const int kind = static_cast<int>(rng() % 16);
        std::memset(dev.view, 0xee, n * kBlock);
        if (kind == 15) {
            OutsideTransfer(slot, rng, dev, own, own_region);
        } else if (kind % 3 == 0) {
            // Unaligned ones start and end anywhere inside the n blocks.
            const bool unaligned = (rng() & 1) != 0;
            const std::size_t skip = unaligned ? rng() % kBlock : 0;
            const std::size_t size = unaligned ? 1 + rng() % (n * kBlock - skip) : n * kBlock;
            const std::uint64_t at = (rng() % (kSharedBlocks - n + 1)) * kBlock + skip;
            ssize_t moved;
            {
                InCall in(slot, "dgFileRead (shared file)");
                moved = dgFileRead(shared[rng() % kSharedHandles], dev.ptr, size,
                                   static_cast<off_t>(at), 0);
            }
            if (!AcceptableCount(moved, size)) {
                Fail("dgFileRead of %zu bytes returned %zd", size, moved);
                continue;
            }
            CheckRead(dev, 0, at, static_cast<std::size_t>(moved), "shared read");
            if (static_cast<std::size_t>(moved) < n * kBlock &&
                dev.view[moved] != 0xee)
                Fail("shared read of %zu bytes changed device byte %zd", size, moved);
            if (unaligned) g_unaligned.fetch_add(1, std::memory_order_relaxed);
            g_bytes.fetch_add(static_cast<std::uint64_t>(moved), std::memory_order_relaxed);
        } else {
            Region& r = (rng() & 1) != 0 ? shared_region : own_region;
            DGfileHandle_t fh = &r == &shared_region ? shared[rng() % kSharedHandles] : own;
            const std::size_t b = rng() % (kRegionBlocks - n + 1);
            const off_t at = static_cast<off_t>((r.first_block + b) * kBlock);
            if (kind % 3 == 1) {
                const unsigned char g = static_cast<unsigned char>(1 + rng() % 255);
                FillForWrite(dev, 0, r, b, n, g);
                ssize_t moved;
                {
                    InCall in(slot, fh != own ? "dgFileWrite (shared file)"
                                              : "dgFileWrite (own handle)");
                    moved = dgFileWrite(fh, dev.ptr, n * kBlock, at, 0);
                }
                if (!AcceptableCount(moved, n * kBlock) || moved % static_cast<ssize_t>(kBlock) != 0) {
                    Fail("dgFileWrite of %zu bytes returned %zd", n * kBlock, moved);
                    continue;
                }
                for (std::size_t k = 0; k < static_cast<std::size_t>(moved) / kBlock; ++k)
                    r.gen[b + k] = g;
                r.Check(b, n, "write");
                g_bytes.fetch_add(static_cast<std::uint64_t>(moved), std::memory_order_relaxed);
            } else {
                ssize_t moved;
                {
                    InCall in(slot, fh != own ? "dgFileRead (shared file, own region)"
                                              : "dgFileRead (own handle)");
                    moved = dgFileRead(fh, dev.ptr, n * kBlock, at, 0);
                }
                if (!AcceptableCount(moved, n * kBlock)) {
                    Fail("dgFileRead of %zu bytes returned %zd", n * kBlock, moved);
                    continue;
                }
                for (std::size_t i = 0; i < static_cast<std::size_t>(moved); ++i) {
                    const unsigned char g = r.gen[b + i / kBlock];
                    if (dev.view[i] != PatternByte(static_cast<std::uint64_t>(at) + i, g)) {
                        Fail("read of %s at %jd: byte %zu is %#x, expected %#x (generation %u)",
                             r.file->path.c_str(), static_cast<intmax_t>(at), i, dev.view[i],
                             PatternByte(static_cast<std::uint64_t>(at) + i, g), g);
                        break;
                    }
                }
                g_bytes.fetch_add(static_cast<std::uint64_t>(moved), std::memory_order_relaxed);
            }
        }
        g_transfers.fetch_add(1, std::memory_order_relaxed);
    }
}

// ---- Batch threads ------------------------------------------------------------------
// Batches of reads of the shared file's read-only part (through all of its
// handles) and writes to this thread's own file, on this thread's batch
// handle; some batches end with a read past the end of the device memory,
// which must fail and change nothing.  One batch in three is cancelled, and
// what landed is settled block by block.
void BatchThread(int slot, unsigned seed, const SharedHandles& shared,
                 Region& region, DGfileHandle_t own, Clock::time_point end) {
    std::mt19937 rng(seed);
    // Each request gets kMaxBlocks blocks of device memory of its own.
    DeviceBuffer dev(kBatchSlots * kMaxBlocks * kBlock);
    DGfileBatchHandle_t batch = nullptr;
    if (dgFileBatchIOSetUp(&batch, kBatchSlots).err != DG_FILE_SUCCESS) {
        Fail("dgFileBatchIOSetUp failed");
        return;
    }
    while (Clock::now() < end && g_failures.load() == 0) {
        const unsigned nr = 1 + static_cast<unsigned>(rng() % kBatchSlots);
        struct Plan {
            bool write;
            bool outside;  // a read running past the end of the device memory
            std::size_t blocks, file_block;  // file_block: of the region for writes
            unsigned char gen;
        };
        // The last request slot's memory is free when the batch is smaller.
        constexpr std::size_t kDevSize = kBatchSlots * kMaxBlocks * kBlock;
        std::vector<Plan> plans(nr);
        std::vector<DGfileIOParams_t> params(nr);
        // Writes of one batch go to distinct blocks: the region is split in
        // kBatchSlots stripes of kRegionBlocks / kBatchSlots blocks.
        constexpr std::size_t kStripe = kRegionBlocks / kBatchSlots;
        for (unsigned i = 0; i < nr; ++i) {
            Plan& p = plans[i];
            p.outside = nr < kBatchSlots && i == nr - 1 && rng() % 4 == 0;
            p.write = !p.outside && (rng() & 1) != 0;
            p.blocks = p.outside ? 2 : 1 + rng() % (p.write ? kStripe : kMaxBlocks);
            p.file_block = p.write ? i * kStripe + rng() % (kStripe - p.blocks + 1)
                                   : rng() % (kSharedBlocks - p.blocks + 1);
            p.gen = static_cast<unsigned char>(1 + rng() % 255);
            const std::size_t dev_off = p.outside ? kDevSize - kBlock : i * kMaxBlocks * kBlock;
            if (p.outside)
                std::memset(dev.view + dev_off, 0xee, kBlock);
            else if (p.write)
                FillForWrite(dev, dev_off, region, p.file_block, p.blocks, p.gen);
            else
                std::memset(dev.view + dev_off, 0xee, p.blocks * kBlock);
            DGfileIOParams_t& q = params[i];
            q = DGfileIOParams_t{};
            q.mode = DGFILE_BATCH;
            q.u.batch.devPtr_base = dev.ptr;
            q.u.batch.devPtr_offset = static_cast<off_t>(dev_off);
            q.u.batch.size = p.blocks * kBlock;
            q.u.batch.file_offset = static_cast<off_t>(
                (p.write ? region.first_block + p.file_block : p.file_block) * kBlock);
            q.fh = p.write ? own : shared[i % kSharedHandles];
            q.opcode = p.write ? DGFILE_WRITE : DGFILE_READ;
            q.cookie = reinterpret_cast<void*>(static_cast<std::uintptr_t>(i + 1));
        }
        DGfileError_t status;
        {
            InCall in(slot, "dgFileBatchIOSubmit");
            status = dgFileBatchIOSubmit(batch, nr, params.data(), 0);
        }
        if (status.err != DG_FILE_SUCCESS) {
            Fail("dgFileBatchIOSubmit of %u requests: status %d", nr, status.err);
            break;
        }
        const bool cancel = rng() % 3 == 0;
        if (cancel) {
            if (rng() & 1) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
            InCall in(slot, "dgFileBatchIOCancel");
            if (dgFileBatchIOCancel(batch).err != DG_FILE_SUCCESS) Fail("dgFileBatchIOCancel failed");
            g_cancellations.fetch_add(1, std::memory_order_relaxed);
        }
        std::vector<DGfileIOEvents_t> events(nr);
        std::vector<bool> seen(nr, false);
        unsigned have = 0;
        while (have < nr) {
            unsigned count = nr - have;
            InCall in(slot, "dgFileBatchIOGetStatus");
            status = dgFileBatchIOGetStatus(batch, 1, &count, events.data() + have, nullptr);
            if (status.err != DG_FILE_SUCCESS) {
                Fail("dgFileBatchIOGetStatus: status %d", status.err);
                break;
            }
            have += count;
        }
        if (have != nr) break;
        if (cancel) {
            // Transfers under way finish before the destruction returns.
            {
                InCall in(slot, "dgFileBatchIODestroy (after a cancellation)");
                dgFileBatchIODestroy(batch);
            }
            batch = nullptr;
            if (dgFileBatchIOSetUp(&batch, kBatchSlots).err != DG_FILE_SUCCESS) {
                Fail("dgFileBatchIOSetUp failed");
                return;
            }
        }
        for (const DGfileIOEvents_t& e : events) {
            const std::uintptr_t index = reinterpret_cast<std::uintptr_t>(e.cookie) - 1;
            if (index >= nr || seen[index]) {
                Fail("batch completion with unknown or repeated cookie %p", e.cookie);
                continue;
            }
            seen[index] = true;
            const Plan& p = plans[index];
            if (p.outside) {
                // Failed or skipped (cancelled before it started), never moved.
                const ssize_t ret = static_cast<ssize_t>(e.ret);
                if (ret != -1 && !(e.status == DGFILE_CANCELED && ret == 0))
                    Fail("batch read past the allocation completed with %zd", ret);
                const unsigned char* last = dev.view + kDevSize - kBlock;
                if (!std::all_of(last, last + kBlock, [](unsigned char c) { return c == 0xee; }))
                    Fail("batch read past the allocation changed device memory");
                g_outside.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            const std::size_t dev_off = index * kMaxBlocks * kBlock;
            const std::size_t size = p.blocks * kBlock;
            if (e.status == DGFILE_CANCELED) {
                if (!cancel) Fail("request cancelled though the batch was not");
                // Its result may not be known: what landed is settled below.
                if (p.write) {
                    region.Settle(p.file_block, p.blocks, p.gen, "cancelled batch write");
                } else {
                    // Each block is untouched or holds the file's bytes.
                    for (std::size_t k = 0; k < p.blocks; ++k) {
                        const unsigned char* at = dev.view + dev_off + k * kBlock;
                        if (std::all_of(at, at + kBlock, [](unsigned char c) { return c == 0xee; }))
                            continue;
                        CheckRead(dev, dev_off + k * kBlock, (p.file_block + k) * kBlock, kBlock,
                                  "cancelled batch read");
                    }
                }
                continue;
            }
            if (e.status != DGFILE_COMPLETE) {
                Fail("batch completion status %d", static_cast<int>(e.status));
                continue;
            }
            const ssize_t moved = static_cast<ssize_t>(e.ret);
            if (!AcceptableCount(moved, size)) {
                Fail("batch %s of %zu bytes completed with %zd", p.write ? "write" : "read", size,
                     moved);
                continue;
            }
            if (p.write) {
                for (std::size_t k = 0; k < static_cast<std::size_t>(moved) / kBlock; ++k)
                    region.gen[p.file_block + k] = p.gen;
                region.Check(p.file_block, p.blocks, "batch write");
            } else {
                CheckRead(dev, dev_off, p.file_block * kBlock, static_cast<std::size_t>(moved),
                          "batch read");
            }
            g_bytes.fetch_add(static_cast<std::uint64_t>(moved), std::memory_order_relaxed);
            g_transfers.fetch_add(1, std::memory_order_relaxed);
        }
        g_batches.fetch_add(1, std::memory_order_relaxed);
        g_batch_requests.fetch_add(nr, std::memory_order_relaxed);
    }
    InCall in(slot, "dgFileBatchIODestroy");
    dgFileBatchIODestroy(batch);
}

// ---- Log files ------------------------------------------------------------------------
// This process's log files: "dgfile.<pid>.log", then "dgfile.<pid>.<n>.log".
// The directory is read through one descriptor kept open for the whole run:
// the watchdog opening and closing descriptors while other threads close
// theirs would let ThreadSanitizer see a reused descriptor number as a race.
int g_log_dir_fd = -1;

std::vector<std::string> OwnLogFiles() {
    std::vector<std::string> names;
    const std::string prefix = "dgfile." + std::to_string(::getpid()) + ".";
    alignas(dirent64) char buffer[16384];
    if (::lseek(g_log_dir_fd, 0, SEEK_SET) != 0) Fail("cannot rewind %s", kLogDir);
    for (;;) {
        const ssize_t n = ::getdents64(g_log_dir_fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const dirent64*>(buffer + at);
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
                names.push_back(e->d_name);
            at += e->d_reclen;
        }
    }
    return names;
}

struct LogWatch {
    std::atomic<int> most{0};        // most files seen at once, after a settle
    std::atomic<int> transient{0};   // samples over the count that vanished at once
    std::mutex mutex;
    std::map<std::string, bool> names;  // every name seen
};

void SampleLogFiles(LogWatch& watch) {
    std::vector<std::string> names = OwnLogFiles();
    if (static_cast<int>(names.size()) > kMaxFiles) {
        // A rotation opens the new file before it deletes the oldest: look
        // again until that has had time to finish, even on a loaded machine
        // where the rotating thread may wait long for a processor.
        std::vector<std::string> again = names;
        for (int tries = 0; tries < 50 && static_cast<int>(again.size()) > kMaxFiles; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            again = OwnLogFiles();
        }
        if (static_cast<int>(again.size()) > kMaxFiles)
            Fail("%zu log files of this process, more than max_files = %d", again.size(), kMaxFiles);
        else
            watch.transient.fetch_add(1);
        names = std::move(again);
    }
    int count = static_cast<int>(names.size());
    int most = watch.most.load();
    while (count > most && !watch.most.compare_exchange_weak(most, count)) {
    }
    std::lock_guard<std::mutex> lock(watch.mutex);
    for (const std::string& n : names) watch.names[n] = true;
}

// Every line of the file is a whole record of this process: the file ends
// with a newline and each non-empty line starts "<host>:<pid>:<tid> " and
// carries a level tag.  (A warning record starts with an empty line.)
void CheckLogFile(const std::string& name) {
    const std::string path = std::string(kLogDir) + "/" + name;
    const std::string text = sandbox::ReadFile(path);
    if (text.empty()) return;
    if (text.back() != '\n') Fail("%s ends inside a record", path.c_str());
    if (text.size() > static_cast<std::size_t>(kMaxFileSizeKiB) * 1024 + 1024)
        Fail("%s holds %zu bytes, more than one record over the limit", path.c_str(), text.size());
    const std::string prefix = "sandbox:" + std::to_string(::getpid()) + ":";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (line.rfind(prefix, 0) != 0 || line.find("[DGFILE ") == std::string::npos) {
            Fail("%s: not a whole record: \"%s\"", path.c_str(), line.substr(0, 200).c_str());
            return;
        }
    }
}

// ---- The run ------------------------------------------------------------------------------
void StressBody() {
    qrvd_sim_set_enabled(1);
    // The library creates the directory at its first record if need be.
    ::mkdir(kLogDir, 0755);
    g_log_dir_fd = ::open(kLogDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_log_dir_fd < 0) Fail("cannot open %s: %s", kLogDir, std::strerror(errno));
    std::atomic<bool> done{false};
    LogWatch watch;
    const int slots = g_threads + g_batchers;

    // The watchdog: names any call that has not returned within the limit and
    // ends the run, so that a hang fails rather than stalls.
    std::thread watchdog([&] {
        int tick = 0;
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const Clock::rep now = Clock::now().time_since_epoch().count();
            for (int s = 0; s <= slots; ++s) {
                Activity& a = g_activity[static_cast<std::size_t>(s)];
                const char* call = a.call.load(std::memory_order_acquire);
                const Clock::duration busy(now - a.since.load(std::memory_order_relaxed));
                if (call != nullptr && busy > kStuckLimit) {
                    std::fprintf(stderr, "watchdog: thread %d stuck in %s for %lld s\n", s, call,
                                 static_cast<long long>(
                                     std::chrono::duration_cast<std::chrono::seconds>(busy).count()));
                    std::_Exit(3);
                }
            }
            if (++tick % 5 == 0) SampleLogFiles(watch);
        }
    });

    DataFile shared_file("dgfile-stress-shared", kSharedBlocks + kRegionBlocks * g_threads);
    std::vector<DataFile*> own_files;
    for (int t = 0; t < slots; ++t)
        own_files.push_back(new DataFile("dgfile-stress-" + std::to_string(t), kRegionBlocks));
    std::vector<Region> shared_regions, own_regions;
    for (int t = 0; t < g_threads; ++t)
        shared_regions.push_back(Region{&shared_file, kSharedBlocks + kRegionBlocks * t});
    for (int t = 0; t < slots; ++t) own_regions.push_back(Region{own_files[t], 0});

    const Clock::time_point stop = Clock::now() + std::chrono::seconds(g_seconds);
    const auto phase_length = std::chrono::milliseconds(1000 / kPhasesPerSecond);
    unsigned seed = 12345;
    for (int phase = 0; Clock::now() < stop && g_failures.load() == 0; ++phase) {
        // Between phases no transfer runs: close the device connection, set
        // the next fault (none in every other phase) and open it again.
        const int main_slot = slots;
        {
            InCall in(main_slot, "dgFileDriverClose");
            dgFileDriverClose();
        }
        const Fault* fault = phase % 2 == 0 ? nullptr : &kFaults[(phase / 2) % std::size(kFaults)];
        if (fault == nullptr) {
            qrvd_sim_clear_fault();
            g_short_allowed.store(0);
        } else {
            if (qrvd_sim_set_fault(fault->mode, fault->param, fault->every) != 0)
                Fail("cannot set fault %s", fault->name);
            g_short_allowed.store(fault->mode == QRVD_SIM_FAULT_SHORT ? static_cast<int>(fault->param) : 0);
        }
        {
            InCall in(main_slot, "dgFileDriverOpen");
            if (dgFileDriverOpen().err != DG_FILE_SUCCESS) Fail("dgFileDriverOpen failed");
        }

        // Handles are registered anew every phase.
        const int shared_fd = shared_file.OpenDirect();
        const int shared_dup = ::dup(shared_fd);
        const SharedHandles shared = {Register(shared_fd), Register(shared_fd),
                                      Register(shared_dup)};
        std::vector<int> fds;
        std::vector<DGfileHandle_t> own;
        for (int t = 0; t < slots; ++t) {
            fds.push_back(own_files[t]->OpenDirect());
            own.push_back(Register(fds.back()));
        }
        const Clock::time_point end = std::min(stop, Clock::now() + phase_length);
        std::vector<std::thread> threads;
        for (int t = 0; t < g_threads; ++t)
            threads.emplace_back(TransferThread, t, seed++, std::cref(shared),
                                 std::ref(shared_regions[t]),
                                 std::ref(own_regions[t]), own[t], end);
        for (int b = 0; b < g_batchers; ++b) {
            const int t = g_threads + b;
            threads.emplace_back(BatchThread, t, seed++, std::cref(shared),
                                 std::ref(own_regions[t]), own[t], end);
        }
        for (std::thread& th : threads) th.join();
        for (DGfileHandle_t fh : shared) dgFileHandleDeregister(fh);
        ::close(shared_dup);
        ::close(shared_fd);
        for (int t = 0; t < slots; ++t) {
            dgFileHandleDeregister(own[t]);
            ::close(fds[t]);
        }
        // Everything written must still be in place.
        for (Region& r : shared_regions) r.Check(0, kRegionBlocks, "end of phase");
        for (Region& r : own_regions) r.Check(0, kRegionBlocks, "end of phase");
        g_phases.fetch_add(1);
    }
    qrvd_sim_clear_fault();
    dgFileDriverClose();

    done.store(true);
    watchdog.join();
    SampleLogFiles(watch);
    std::vector<std::string> finals = OwnLogFiles();
    for (const std::string& name : finals) CheckLogFile(name);
    if (finals.empty()) Fail("no log file in %s", kLogDir);
    // Names are "dgfile.<pid>.log" then ".<n>.log" counting up: the highest
    // number is the number of rotations.
    long rotations = 0;
    for (const auto& [name, unused] : watch.names) {
        (void)unused;
        const std::string prefix = "dgfile." + std::to_string(::getpid()) + ".";
        rotations = std::max(rotations, std::strtol(name.c_str() + prefix.size(), nullptr, 10));
    }
    for (DataFile* f : own_files) delete f;
    ::close(g_log_dir_fd);

    std::printf("stress: %d s, %d transfer threads, %d batch threads, %" PRIu64 " phases\n",
                g_seconds, g_threads, g_batchers, g_phases.load());
    std::printf("stress: %" PRIu64 " transfers (%" PRIu64 " short under the fault), %" PRIu64
                " bytes verified\n",
                g_transfers.load(), g_short.load(), g_bytes.load());
    std::printf("stress: %" PRIu64 " batches (%" PRIu64 " requests), %" PRIu64 " cancelled\n",
                g_batches.load(), g_batch_requests.load(), g_cancellations.load());
    std::printf("stress: %" PRIu64 " unaligned reads through %d handles on one file, %" PRIu64
                " transfers past the allocation refused\n",
                g_unaligned.load(), kSharedHandles, g_outside.load());
    std::printf("stress: %ld log rotations, %zu log file names seen, at most %d at once "
                "(max_files %d), %d transient excess samples\n",
                rotations, watch.names.size(), watch.most.load(), kMaxFiles,
                watch.transient.load());
    std::fflush(stdout);
    if (g_failures.load() != 0) ADD_FAILURE() << g_failures.load() << " failures (see stderr)";
    if (g_transfers.load() == 0 || g_batches.load() == 0 || g_unaligned.load() == 0 ||
        g_outside.load() == 0)
        ADD_FAILURE() << "no work was done";
}

TEST(Stress, MixedLoad) {
    sandbox::Options options;
    options.settings = std::string("[global]\nlog_level = DEBUG\nlog_dir = ") + kLogDir +
                       "\nmax_file_size = " + std::to_string(kMaxFileSizeKiB) +
                       "\nmax_files = " + std::to_string(kMaxFiles) +
                       "\nlog_file_format = %p\nprint_to_console = false\n";
    options.env = {{"DGFILE_DEBUG", "DEBUG"}};
    options.timeout_ms = (g_seconds + 120) * 1000;
    sandbox::Result result = sandbox::Run(options, StressBody);
    EXPECT_SANDBOX_OK(result);
    std::fputs(result.out.c_str(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--seconds" && value > 0) g_seconds = value;
        else if (name == "--threads" && value > 0 && value <= 32) g_threads = value;
        else if (name == "--batchers" && value > 0 && value <= 16) g_batchers = value;
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--threads T] [--batchers B]\n", argv[0]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
