// SPDX-License-Identifier: Apache-2.0
// The simulated GPU runtimes: the pointer query (libqrv-runtime64) and the
// application runtime (libdgrt).  Each case runs in its own sandboxed child,
// since the simulated GPUs are set up once per process from its environment.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dgrt.h"
#include "qrv_runtime.h"
#include "qrvd_sim.h"
#include "support/run.h"
#include "support/transfer.h"

namespace {

using support::Bytes;
using support::DeviceBytes;

// `n` bytes of the pattern of `generation`.
Bytes Pattern(std::size_t n, unsigned generation) { return support::PatternBytes(0, n, generation); }

void RunSandboxed(const std::function<void()>& body, support::Env env = {},
                  std::string* err = nullptr) {
    sandbox::Options o;
    o.env = std::move(env);
    auto r = support::Sandboxed(o, body);
    if (err != nullptr) *err = r.err;
}

void* Alloc(size_t size) {
    void* p = nullptr;
    EXPECT_EQ(dgMalloc(&p, size), dgSuccess) << size;
    return p;
}

qrv_vendor_pointer_info_t FreshRecord() {
    qrv_vendor_pointer_info_t info;
    std::memset(&info, 0, sizeof info);
    info.size = sizeof info;
    return info;
}

int Query(const void* p, qrv_vendor_pointer_info_t& info) {
    return qrv_vendor_pointer_info(p, &info, nullptr, nullptr, nullptr);
}

// ---- Pointer query -------------------------------------------------------

TEST(SimPointerQuery, FillsEveryFieldFromFirstToLastByte) {
    RunSandboxed([] {
        std::set<uint64_t> handles;
        uint32_t gpu = 0;
        for (size_t size : {size_t{1}, size_t{4096}, size_t{10000}, size_t{3} << 20}) {
            char* base = static_cast<char*>(Alloc(size));
            ASSERT_NE(base, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 4096, 0u) << size;
            uint64_t handle = 0;
            for (size_t at : {size_t{0}, size / 2, size - 1}) {
                auto info = FreshRecord();
                ASSERT_EQ(Query(base + at, info), QRV_STATUS_SUCCESS) << size << " @" << at;
                EXPECT_EQ(info.size, sizeof info);
                EXPECT_EQ(info.type, QRV_EXT_POINTER_TYPE_QRV);
                EXPECT_EQ(info.agentBaseAddress, base);
                EXPECT_EQ(info.hostBaseAddress, nullptr);
                EXPECT_EQ(info.sizeInBytes, size);
                EXPECT_EQ(info.userData, nullptr);
                EXPECT_NE(info.agentOwner.handle, 0u);
                if (at == 0) handle = info.agentOwner.handle;
                EXPECT_EQ(info.agentOwner.handle, handle) << "same allocation, same handle";
                if (gpu == 0) gpu = info.agentOwner.gpu_id;
                EXPECT_EQ(info.agentOwner.gpu_id, gpu) << "all on device 0";
                // The agent's padding stays as the caller zeroed it.
                unsigned char tail[4];
                std::memcpy(tail, reinterpret_cast<unsigned char*>(&info) + 52, 4);
                EXPECT_EQ(tail[0] | tail[1] | tail[2] | tail[3], 0);
            }
            EXPECT_TRUE(handles.insert(handle).second) << "handles differ between allocations";
        }
    });
}

TEST(SimPointerQuery, RefusesAnythingButALiveAllocationAndLeavesTheRecord) {
    RunSandboxed([] {
        char* live = static_cast<char*>(Alloc(8192));
        char* freed = static_cast<char*>(Alloc(4096));
        ASSERT_EQ(dgFree(freed), dgSuccess);
        int on_stack = 0;
        std::vector<char> on_heap(100);
        const void* refused[] = {freed, freed + 100, live + 8192, live - 1, &on_stack,
                                 on_heap.data(), nullptr, reinterpret_cast<void*>(UINTPTR_MAX)};
        for (const void* p : refused) {
            qrv_vendor_pointer_info_t info;
            std::memset(&info, 0xA5, sizeof info);
            info.size = sizeof info;
            Bytes before = support::RawBytes(info);
            EXPECT_EQ(Query(p, info), QRV_STATUS_INVALID_POINTER) << p;
            EXPECT_EQ(support::RawBytes(info), before) << p;
        }
        // A malformed call is refused even for a good pointer.
        for (uint32_t size : {0u, 1u, 55u, 57u, 64u, 0xFFFFFFFFu}) {
            qrv_vendor_pointer_info_t info;
            std::memset(&info, 0x5A, sizeof info);
            info.size = size;
            Bytes before = support::RawBytes(info);
            EXPECT_EQ(Query(live, info), QRV_STATUS_INVALID_ARGUMENT) << size;
            EXPECT_EQ(support::RawBytes(info), before) << size;
        }
        EXPECT_EQ(qrv_vendor_pointer_info(live, nullptr, nullptr, nullptr, nullptr),
                  QRV_STATUS_INVALID_ARGUMENT);
        int dummy = 0;
        for (int which = 0; which < 3; ++which) {
            auto info = FreshRecord();
            Bytes before = support::RawBytes(info);
            void* r[3] = {nullptr, nullptr, nullptr};
            r[which] = &dummy;
            EXPECT_EQ(qrv_vendor_pointer_info(live, &info, r[0], r[1], r[2]),
                      QRV_STATUS_INVALID_ARGUMENT) << which;
            EXPECT_EQ(support::RawBytes(info), before);
        }
        auto info = FreshRecord();
        EXPECT_EQ(Query(live, info), QRV_STATUS_SUCCESS);
    });
}

// ---- Device memory is not host memory -----------------------------------

// Forks a process that touches `p` on the host and returns how it ended.
int HostTouch(volatile char* p, bool store) {
    pid_t pid = ::fork();
    if (pid == 0) {
        // Sanitizers catch the fault themselves; let the kernel's default act.
        ::signal(SIGSEGV, SIG_DFL);
        ::signal(SIGBUS, SIG_DFL);
        if (store)
            *p = 1;
        else
            (void)*p;
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

TEST(SimDeviceMemory, HostDereferenceDiesWithSigsegv) {
    RunSandboxed([] {
        char* p = static_cast<char*>(Alloc(3 * 4096));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(dgMemset(p, 7, 3 * 4096), dgSuccess);
        for (char* at : {p, p + 5000, p + 3 * 4096 - 1, p + 3 * 4096 + 10}) {
            for (bool store : {false, true}) {
                int status = HostTouch(at, store);
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV)
                    << (store ? "store" : "load") << " at +" << (at - p) << ": status "
                    << status;
            }
        }
        // The bytes are there all the same, through the runtime.
        Bytes back(3 * 4096);
        ASSERT_EQ(dgMemcpy(back.data(), p, back.size(), dgMemcpyDeviceToHost), dgSuccess);
        EXPECT_EQ(back, Bytes(back.size(), 7));
    });
}

// ---- Copies ----------------------------------------------------------------

TEST(SimMemcpy, EveryKindMovesExactlyTheBytes) {
    RunSandboxed([] {
        const size_t n = 50000;
        char* a = static_cast<char*>(Alloc(n));
        char* b = static_cast<char*>(Alloc(n));
        Bytes src = Pattern(n, 1);
        Bytes host(n, 0);

        ASSERT_EQ(dgMemcpy(a, src.data(), n, dgMemcpyHostToDevice), dgSuccess);
        EXPECT_EQ(DeviceBytes(a, n), src);
        ASSERT_EQ(dgMemcpy(host.data(), a, n, dgMemcpyDeviceToHost), dgSuccess);
        EXPECT_EQ(host, src);
        ASSERT_EQ(dgMemcpy(b, a, n, dgMemcpyDeviceToDevice), dgSuccess);
        EXPECT_EQ(DeviceBytes(b, n), src);
        Bytes other(n, 0);
        ASSERT_EQ(dgMemcpy(other.data(), host.data(), n, dgMemcpyHostToHost), dgSuccess);
        EXPECT_EQ(other, src);

        // Default tells each side by its address, in all four combinations.
        Bytes src2 = Pattern(n, 2);
        ASSERT_EQ(dgMemcpy(a, src2.data(), n, dgMemcpyDefault), dgSuccess);
        EXPECT_EQ(DeviceBytes(a, n), src2);
        ASSERT_EQ(dgMemcpy(b + 10, a + 20, 1000, dgMemcpyDefault), dgSuccess);
        Bytes expect_b = src;
        std::memcpy(expect_b.data() + 10, src2.data() + 20, 1000);
        EXPECT_EQ(DeviceBytes(b, n), expect_b);
        ASSERT_EQ(dgMemcpy(host.data(), b, n, dgMemcpyDefault), dgSuccess);
        EXPECT_EQ(host, expect_b);
        ASSERT_EQ(dgMemcpy(other.data(), src2.data(), n, dgMemcpyDefault), dgSuccess);
        EXPECT_EQ(other, src2);

        // Overlapping ranges of one allocation behave like memmove.
        ASSERT_EQ(dgMemcpy(a + 1, a, 4096, dgMemcpyDeviceToDevice), dgSuccess);
        Bytes expect_a = src2;
        std::memmove(expect_a.data() + 1, expect_a.data(), 4096);
        EXPECT_EQ(DeviceBytes(a, n), expect_a);

        // The last byte of an allocation is inside it.
        unsigned char last = 0x42;
        EXPECT_EQ(dgMemcpy(a + n - 1, &last, 1, dgMemcpyHostToDevice), dgSuccess);
        EXPECT_EQ(DeviceBytes(a + n - 1, 1), Bytes{0x42});
    });
}

TEST(SimMemcpy, RefusedCopiesChangeNoByte) {
    RunSandboxed([] {
        const size_t n = 8192;
        char* a = static_cast<char*>(Alloc(n));
        char* b = static_cast<char*>(Alloc(n));
        char* freed = static_cast<char*>(Alloc(n));
        ASSERT_EQ(dgFree(freed), dgSuccess);
        Bytes da = Pattern(n, 3), db = Pattern(n, 4);
        ASSERT_EQ(dgMemcpy(a, da.data(), n, dgMemcpyHostToDevice), dgSuccess);
        ASSERT_EQ(dgMemcpy(b, db.data(), n, dgMemcpyHostToDevice), dgSuccess);
        Bytes host = Pattern(2 * n, 5);
        const Bytes host_before = host;
        unsigned char* h = host.data();

        struct Case {
            const char* what;
            void* dst;
            const void* src;
            size_t count;
            int kind;
            int expect;
        };
        const Case cases[] = {
            {"H2D past the end", a + n - 10, h, 11, dgMemcpyHostToDevice, dgErrorInvalidDevicePointer},
            {"D2H past the end", h, a + 1, n, dgMemcpyDeviceToHost, dgErrorInvalidDevicePointer},
            {"D2D across two allocations", b, a, n + 1, dgMemcpyDeviceToDevice, dgErrorInvalidDevicePointer},
            {"default past the end", a + 4096, h, n, dgMemcpyDefault, dgErrorInvalidDevicePointer},
            {"into the guard page", a + n, h, 1, dgMemcpyDefault, dgErrorInvalidDevicePointer},
            {"freed destination", freed, h, 16, dgMemcpyHostToDevice, dgErrorInvalidDevicePointer},
            {"freed source", h, freed, 16, dgMemcpyDefault, dgErrorInvalidDevicePointer},
            {"host range running into device memory", a - 8, h, 16, dgMemcpyDefault, dgErrorInvalidDevicePointer},
            {"wrapping range", h, reinterpret_cast<void*>(UINTPTR_MAX - 7), 16, dgMemcpyDefault, dgErrorInvalidDevicePointer},
            {"H2D with a device source", b, a, 16, dgMemcpyHostToDevice, dgErrorInvalidMemcpyDirection},
            {"H2D with a host destination", h, h + n, 16, dgMemcpyHostToDevice, dgErrorInvalidMemcpyDirection},
            {"D2H with a host source", h, h + n, 16, dgMemcpyDeviceToHost, dgErrorInvalidMemcpyDirection},
            {"D2H with a device destination", b, a, 16, dgMemcpyDeviceToHost, dgErrorInvalidMemcpyDirection},
            {"D2D with a host side", a, h, 16, dgMemcpyDeviceToDevice, dgErrorInvalidMemcpyDirection},
            {"H2H with a device side", h, a, 16, dgMemcpyHostToHost, dgErrorInvalidMemcpyDirection},
            {"unknown kind 5", a, h, 16, 5, dgErrorInvalidMemcpyDirection},
            {"unknown kind -1", a, h, 16, -1, dgErrorInvalidMemcpyDirection},
            {"null destination", nullptr, h, 16, dgMemcpyDefault, dgErrorInvalidValue},
            {"null source", a, nullptr, 16, dgMemcpyDefault, dgErrorInvalidValue},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(dgMemcpy(c.dst, c.src, c.count, static_cast<_dgMemcpyKind>(c.kind)), c.expect)
                << c.what;
            EXPECT_EQ(DeviceBytes(a, n), da) << c.what;
            EXPECT_EQ(DeviceBytes(b, n), db) << c.what;
            EXPECT_EQ(host, host_before) << c.what;
        }
        // Nothing to copy is nothing to check.
        EXPECT_EQ(dgMemcpy(nullptr, freed, 0, dgMemcpyDefault), dgSuccess);
    });
}

TEST(SimMemset, SetsDeviceBytesAndRefusesAnythingElse) {
    RunSandboxed([] {
        const size_t n = 10000;
        char* a = static_cast<char*>(Alloc(n));
        ASSERT_EQ(dgMemset(a, 0x11, n), dgSuccess);
        ASSERT_EQ(dgMemset(a + 100, 0x1FF, 50), dgSuccess);  // only the low byte counts
        Bytes expect(n, 0x11);
        std::fill(expect.begin() + 100, expect.begin() + 150, 0xFF);
        EXPECT_EQ(DeviceBytes(a, n), expect);

        Bytes host(64, 3);
        EXPECT_EQ(dgMemset(a + n - 1, 0, 2), dgErrorInvalidDevicePointer);
        EXPECT_EQ(dgMemset(host.data(), 0, host.size()), dgErrorInvalidDevicePointer);
        EXPECT_EQ(dgMemset(nullptr, 0, 1), dgErrorInvalidValue);
        EXPECT_EQ(DeviceBytes(a, n), expect);
        EXPECT_EQ(host, Bytes(64, 3));
    });
}

// ---- Allocation ------------------------------------------------------------

TEST(SimMalloc, AlignedDisjointAndFreedOnlyByBase) {
    RunSandboxed([] {
        std::vector<std::pair<char*, size_t>> allocs;
        for (size_t size : {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{100000}}) {
            char* p = static_cast<char*>(Alloc(size));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
            for (auto& [q, qsize] : allocs)
                EXPECT_TRUE(p + size <= q || q + qsize <= p) << "allocations overlap";
            allocs.emplace_back(p, size);
        }
        char* p = allocs.back().first;
        EXPECT_EQ(dgFree(p + 1), dgErrorInvalidDevicePointer);
        int local = 0;
        EXPECT_EQ(dgFree(&local), dgErrorInvalidDevicePointer);
        auto info = FreshRecord();
        EXPECT_EQ(Query(p, info), QRV_STATUS_SUCCESS) << "a refused free frees nothing";
        EXPECT_EQ(dgFree(p), dgSuccess);
        EXPECT_EQ(dgFree(p), dgErrorInvalidDevicePointer) << "double free";
        EXPECT_EQ(dgFree(nullptr), dgSuccess);

        void* zero = &local;
        EXPECT_EQ(dgMalloc(&zero, 0), dgSuccess);
        EXPECT_EQ(zero, nullptr);
        EXPECT_EQ(dgMalloc(nullptr, 16), dgErrorInvalidValue);
    });
}

TEST(SimMalloc, MemorySizeFromTheEnvironmentBoundsAllocations) {
    // 64 KiB: every allocation also keeps one unused page after it.
    RunSandboxed(
        [] {
            void* big = reinterpret_cast<void*>(0x1234);
            EXPECT_EQ(dgMalloc(&big, 64 * 1024), dgErrorMemoryAllocation);
            EXPECT_EQ(big, reinterpret_cast<void*>(0x1234)) << "untouched on failure";
            std::vector<void*> pages;
            for (int i = 0; i < 8; ++i) pages.push_back(Alloc(4096));
            void* more = nullptr;
            EXPECT_EQ(dgMalloc(&more, 1), dgErrorMemoryAllocation);
            // Freed ranges merge again: all of it fits once everything is back.
            for (int i : {1, 0, 3, 2, 7, 5, 6, 4}) ASSERT_EQ(dgFree(pages[static_cast<size_t>(i)]), dgSuccess);
            void* all = Alloc(60 * 1024);
            ASSERT_NE(all, nullptr);
            EXPECT_EQ(dgMemset(all, 9, 60 * 1024), dgSuccess);
        },
        {{"QRV_SIM_MEM_SIZE", "64K"}});
}

TEST(SimMalloc, FreedMemoryIsReusedWithoutItsOldBytes) {
    RunSandboxed(
        [] {
            void* p = Alloc(16384);
            ASSERT_EQ(dgMemset(p, 0x77, 16384), dgSuccess);
            ASSERT_EQ(dgFree(p), dgSuccess);
            void* q = Alloc(16384);
            EXPECT_EQ(q, p) << "first fit reuses the range";
            EXPECT_EQ(DeviceBytes(q, 16384), Bytes(16384, 0));
        },
        {{"QRV_SIM_MEM_SIZE", "1M"}});
}

// ---- Devices and configuration -------------------------------------------

TEST(SimDevices, CountAndCurrentDeviceComeFromEnvironmentAndThread) {
    RunSandboxed(
        [] {
            int count = 0;
            ASSERT_EQ(dgGetDeviceCount(&count), dgSuccess);
            ASSERT_EQ(count, 3);
            EXPECT_EQ(dgGetDeviceCount(nullptr), dgErrorInvalidValue);
            std::set<uint32_t> ids;
            std::vector<void*> ptrs;
            for (int d = 0; d < 3; ++d) {
                ASSERT_EQ(dgSetDevice(d), dgSuccess);
                void* p = Alloc(4096);
                auto info = FreshRecord();
                ASSERT_EQ(Query(p, info), QRV_STATUS_SUCCESS);
                EXPECT_NE(info.agentOwner.gpu_id, static_cast<uint32_t>(d))
                    << "GPU ids are not device indices";
                ids.insert(info.agentOwner.gpu_id);
                ptrs.push_back(p);
            }
            EXPECT_EQ(ids.size(), 3u);
            // A copy between two GPUs.
            Bytes data = Pattern(4096, 9);
            ASSERT_EQ(dgMemcpy(ptrs[0], data.data(), 4096, dgMemcpyDefault), dgSuccess);
            ASSERT_EQ(dgMemcpy(ptrs[2], ptrs[0], 4096, dgMemcpyDeviceToDevice), dgSuccess);
            EXPECT_EQ(DeviceBytes(ptrs[2], 4096), data);

            EXPECT_EQ(dgSetDevice(3), dgErrorInvalidDevice);
            EXPECT_EQ(dgSetDevice(-1), dgErrorInvalidDevice);
            // This thread stays on device 2; a new thread starts on device 0.
            uint32_t other_gpu = 0;
            std::thread t([&] {
                void* p = Alloc(4096);
                auto info = FreshRecord();
                if (Query(p, info) == QRV_STATUS_SUCCESS) other_gpu = info.agentOwner.gpu_id;
            });
            t.join();
            auto first = FreshRecord();
            ASSERT_EQ(Query(ptrs[0], first), QRV_STATUS_SUCCESS);
            EXPECT_EQ(other_gpu, first.agentOwner.gpu_id);
            void* here = Alloc(4096);
            auto info = FreshRecord();
            ASSERT_EQ(Query(here, info), QRV_STATUS_SUCCESS);
            auto third = FreshRecord();
            ASSERT_EQ(Query(ptrs[2], third), QRV_STATUS_SUCCESS);
            EXPECT_EQ(info.agentOwner.gpu_id, third.agentOwner.gpu_id);
        },
        {{"QRV_SIM_GPUS", "3"}});
}

TEST(SimDevices, MalformedSettingsFallBackToDefaultsWithAMessage) {
    for (const char* gpus : {"0", "65", "two", "-1", "2x", ""}) {
        std::string err;
        RunSandboxed(
            [] {
                int count = 0;
                ASSERT_EQ(dgGetDeviceCount(&count), dgSuccess);
                EXPECT_EQ(count, 1);
            },
            {{"QRV_SIM_GPUS", gpus}}, &err);
        EXPECT_NE(err.find("QRV_SIM_GPUS"), std::string::npos) << "'" << gpus << "': " << err;
    }
    for (const char* size : {"4095", "12Q", "1KK", "2T", "99999999999999999999"}) {
        std::string err;
        RunSandboxed(
            [] {
                void* p = Alloc(1 << 20);  // fits the default size
                EXPECT_NE(p, nullptr);
            },
            {{"QRV_SIM_MEM_SIZE", size}}, &err);
        EXPECT_NE(err.find("QRV_SIM_MEM_SIZE"), std::string::npos) << "'" << size << "': " << err;
    }
}

TEST(SimRuntime, ConcurrentAllocationsStayDisjoint) {
    RunSandboxed([] {
        constexpr int kThreads = 4;
        std::atomic<int> bad{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &bad] {
                for (int round = 0; round < 200; ++round) {
                    size_t size = 4096 * static_cast<size_t>(1 + (round + t) % 5) + static_cast<size_t>(t);
                    void* p = nullptr;
                    if (dgMalloc(&p, size) != dgSuccess) {
                        ++bad;
                        continue;
                    }
                    int mark = (t * 31 + round) & 0xFF;
                    dgMemset(p, mark, size);
                    Bytes back(size);
                    if (dgMemcpy(back.data(), p, size, dgMemcpyDefault) != dgSuccess ||
                        back != Bytes(size, static_cast<unsigned char>(mark)))
                        ++bad;
                    if (dgFree(p) != dgSuccess) ++bad;
                }
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(bad.load(), 0);
    });
}

}  // namespace
