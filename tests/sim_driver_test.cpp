// SPDX-License-Identifier: Apache-2.0
// The simulated GPU kernel driver (libqrvd-sim): when it answers, what its
// transfer request moves, what it refuses, its fault modes and its counters.
// Each case runs in its own sandboxed child (with a plain-file /dev/qrvd
// unless said otherwise).  This program links the stand-in, which must see
// open/close/ioctl in the sanitizer builds too.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "dgrt.h"
#include "qrv_runtime.h"
#include "qrvd_ioctl.h"
#include "qrvd_sim.h"
#include "support/run.h"
#include "support/transfer.h"

extern "C" int __open_2(const char* path, int flags);
extern "C" int __openat_2(int dirfd, const char* path, int flags);

namespace {

using support::Bytes;
using support::DeviceBytes;
using support::RawBytes;
using support::Env;
using support::ScratchFile;
using Args = qrvd_ioctl_file_inout_vram_args;

constexpr size_t kAlloc = 256 * 1024;

// `n` bytes of the pattern of `generation`.
Bytes Pattern(std::size_t n, unsigned generation) { return support::PatternBytes(0, n, generation); }

sandbox::Result RunSandboxed(const std::function<void()>& body, Env env = {},
                             bool device_node = true) {
    sandbox::Options o;
    o.env = std::move(env);
    o.device_node = device_node;
    return support::Sandboxed(o, body);
}

// One device allocation with known contents, its pointer-query identity, a
// scratch file with other known contents, and an open simulated device.
struct Rig {
    char* dev = nullptr;
    qrv_vendor_pointer_info_t info{};
    Bytes device_before = Pattern(kAlloc, 11);
    Bytes file_before = Pattern(kAlloc, 22);
    ScratchFile file{file_before};
    int node = -1;

    Rig() {
        qrvd_sim_set_enabled(1);
        void* p = nullptr;
        EXPECT_EQ(dgMalloc(&p, kAlloc), dgSuccess);
        dev = static_cast<char*>(p);
        EXPECT_EQ(dgMemcpy(dev, device_before.data(), kAlloc, dgMemcpyHostToDevice), dgSuccess);
        info.size = sizeof info;
        EXPECT_EQ(qrv_vendor_pointer_info(dev, &info, nullptr, nullptr, nullptr), 0);
        node = ::open(QRVD_DEVICE_PATH, O_RDWR);
        EXPECT_GE(node, 0);
    }
    ~Rig() {
        ::close(node);
        dgFree(dev);
    }

    Args Request(uint8_t op, uint64_t mem_offset, uint64_t size, uint64_t fpos, int fd) const {
        Args a;
        std::memset(&a, 0, sizeof a);
        a.gpu_id = info.agentOwner.gpu_id;
        a.handle = info.agentOwner.handle;
        a.mem_offset = mem_offset;
        a.size = size;
        a.fd = static_cast<__u32>(fd);
        a.fpos = fpos;
        a.op = op;
        return a;
    }
    Bytes Device() const { return DeviceBytes(dev, kAlloc); }
    bool Unchanged() const { return Device() == device_before && file.Contents() == file_before; }
};

// The expected device and file after moving [fpos, fpos+n) <-> [off, off+n).
Bytes AfterRead(const Rig& r, uint64_t off, uint64_t fpos, uint64_t n) {
    Bytes d = r.device_before;
    std::memcpy(d.data() + off, r.file_before.data() + fpos, n);
    return d;
}
Bytes AfterWrite(const Rig& r, uint64_t off, uint64_t fpos, uint64_t n) {
    Bytes f = r.file_before;
    if (f.size() < fpos + n) f.resize(fpos + n);
    std::memcpy(f.data() + fpos, r.device_before.data() + off, n);
    return f;
}

qrvd_sim_counters Counters() {
    qrvd_sim_counters c;
    qrvd_sim_get_counters(&c);
    return c;
}

// ---- When the stand-in answers -------------------------------------------

bool AnsweredBySimulator(int fd) {
    Args a;
    std::memset(&a, 0, sizeof a);  // size 0: the simulator refuses with EINVAL
    errno = 0;
    return ::ioctl(fd, QRVD_IOC_VRAM_IO, &a) == -1 && errno == EINVAL;
}

TEST(SimDriverEnable, OffUnlessAskedAndTheVariableForcesBothWays) {
    RunSandboxed([] {
        EXPECT_FALSE(qrvd_sim_enabled());
        int fd = ::open(QRVD_DEVICE_PATH, O_RDWR);
        ASSERT_GE(fd, 0) << "the sandbox's plain file";
        EXPECT_FALSE(AnsweredBySimulator(fd)) << "a plain file knows no requests";
        ::close(fd);
        EXPECT_EQ(Counters().opens, 0u);
    });
    RunSandboxed(
        [] {
            EXPECT_TRUE(qrvd_sim_enabled());
            int fd = ::open(QRVD_DEVICE_PATH, O_RDWR);
            ASSERT_GE(fd, 0);
            EXPECT_TRUE(AnsweredBySimulator(fd));
            // An explicit call outranks the variable.
            qrvd_sim_set_enabled(0);
            EXPECT_FALSE(qrvd_sim_enabled());
            ::close(fd);
        },
        {{"QRVD_SIM", "on"}});
    for (const char* off : {"0", "off", "NO"}) {
        RunSandboxed(
            [] {
                EXPECT_FALSE(qrvd_sim_enable_if_no_device());
                int fd = ::open(QRVD_DEVICE_PATH, O_RDWR);
                EXPECT_FALSE(AnsweredBySimulator(fd));
                ::close(fd);
                qrvd_sim_set_enabled(1);
                fd = ::open(QRVD_DEVICE_PATH, O_RDWR);
                EXPECT_TRUE(AnsweredBySimulator(fd));
                ::close(fd);
            },
            {{"QRVD_SIM", off}});
    }
}

TEST(SimDriverEnable, ProgramsEnableItOnlyWithoutARealDevice) {
    // A plain file, or nothing at all, is no real device.
    for (bool node : {true, false}) {
        RunSandboxed(
            [] {
                EXPECT_TRUE(qrvd_sim_enable_if_no_device());
                int fd = ::open(QRVD_DEVICE_PATH, O_RDWR);
                ASSERT_GE(fd, 0);
                EXPECT_TRUE(AnsweredBySimulator(fd));
                ::close(fd);
            },
            {}, node);
    }
    if (!sandbox::CanDropPrivileges(sandbox::Identity::Root))
        GTEST_SKIP() << "a character device node needs real root";
    auto make_node = [] {
        ::unlink(QRVD_DEVICE_PATH);
        // Any character device will do; it is never opened here.
        return ::mknod(QRVD_DEVICE_PATH, S_IFCHR | 0666, makedev(1, 3)) == 0;
    };
    RunSandboxed([&] {
        ASSERT_TRUE(make_node());
        EXPECT_FALSE(qrvd_sim_enable_if_no_device());
    });
    RunSandboxed(
        [&] {
            ASSERT_TRUE(make_node());
            EXPECT_TRUE(qrvd_sim_enable_if_no_device());
        },
        {{"QRVD_SIM", "1"}});
}

// ---- Opening and closing ---------------------------------------------------

TEST(SimDriverOpen, EveryOpenCallReachesTheDeviceAndOthersPassThrough) {
    RunSandboxed([] {
        qrvd_sim_set_enabled(1);
        int tmp_dir = ::open(support::DirectIoDir().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(tmp_dir, 0);
        struct Way {
            const char* name;
            std::function<int()> open;
        };
        const Way ways[] = {
            {"open", [] { return ::open(QRVD_DEVICE_PATH, O_RDWR); }},
            {"open64", [] { return ::open64(QRVD_DEVICE_PATH, O_RDWR); }},
            {"openat", [] { return ::openat(AT_FDCWD, QRVD_DEVICE_PATH, O_RDWR); }},
            {"openat, other directory", [=] { return ::openat(tmp_dir, QRVD_DEVICE_PATH, O_RDWR); }},
            {"openat64", [] { return ::openat64(AT_FDCWD, QRVD_DEVICE_PATH, O_RDWR); }},
            {"__open_2", [] { return __open_2(QRVD_DEVICE_PATH, O_RDWR); }},
            {"__openat_2", [] { return __openat_2(AT_FDCWD, QRVD_DEVICE_PATH, O_RDWR); }},
            {"with O_CREAT and O_TRUNC",
             [] { return ::open(QRVD_DEVICE_PATH, O_RDWR | O_CREAT | O_TRUNC, 0600); }},
        };
        uint64_t opens = 0;
        for (const Way& way : ways) {
            int fd = way.open();
            ASSERT_GE(fd, 0) << way.name;
            EXPECT_EQ(Counters().opens, ++opens) << way.name;
            EXPECT_TRUE(AnsweredBySimulator(fd)) << way.name;
            ::close(fd);
        }
        // Other paths and descriptors are the C library's.
        int null_fd = ::open("/dev/null", O_RDWR);
        ASSERT_GE(null_fd, 0);
        EXPECT_FALSE(AnsweredBySimulator(null_fd));
        ::close(null_fd);
        int relative = ::openat(tmp_dir, "qrvd-not-here", O_RDONLY);
        EXPECT_EQ(relative, -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(Counters().opens, opens);
        errno = 0;
        EXPECT_EQ(::open(QRVD_DEVICE_PATH, O_RDONLY | O_DIRECTORY), -1);
        EXPECT_EQ(errno, ENOTDIR);
        ::close(tmp_dir);
    });
}

TEST(SimDriverOpen, DescriptorsKeepTheirOwnFlagsAndAreRecognisedAfterDup) {
    RunSandboxed([] {
        qrvd_sim_set_enabled(1);
        int a = ::open(QRVD_DEVICE_PATH, O_RDWR | O_CLOEXEC);
        ASSERT_GE(a, 0);
        EXPECT_EQ(Counters().last_open_flags, O_RDWR | O_CLOEXEC);
        EXPECT_EQ(::fcntl(a, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        int b = ::open(QRVD_DEVICE_PATH, O_RDONLY | O_NONBLOCK);
        ASSERT_GE(b, 0);
        EXPECT_EQ(Counters().last_open_flags, O_RDONLY | O_NONBLOCK);
        EXPECT_EQ(::fcntl(b, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(::fcntl(a, F_GETFL) & O_NONBLOCK, 0) << "one open's flags are its own";
        EXPECT_EQ(::fcntl(a, F_GETFL) & O_ACCMODE, O_RDWR);
        int c = ::dup(a);
        ASSERT_GE(c, 0);
        EXPECT_TRUE(AnsweredBySimulator(c));
        EXPECT_EQ(Counters().opens, 2u);
        ::close(a);
        EXPECT_TRUE(AnsweredBySimulator(c)) << "the duplicate outlives the original";
        ::close(c);
        ::close(b);
        EXPECT_EQ(Counters().closes, 3u);
        ::close(::open("/dev/null", O_RDONLY));
        EXPECT_EQ(Counters().closes, 3u) << "only device descriptors count";
        // A closed number is no device any more (the C library refuses it).
        EXPECT_FALSE(AnsweredBySimulator(c));
    });
}

TEST(SimDriverOpen, CallsFromAnotherLibraryReachTheStandInToo) {
    // libdgfile refers to the C library's versioned open/close; the stand-in's
    // unversioned definitions must still take their place.
    RunSandboxed([] {
        qrvd_sim_set_enabled(1);
        ASSERT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        auto c = Counters();
        EXPECT_EQ(c.opens, 1u);
        EXPECT_EQ(c.last_open_flags & O_ACCMODE, O_RDWR);
        ASSERT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        EXPECT_EQ(Counters().closes, 1u);
    });
}

// ---- Transfers ---------------------------------------------------------------

TEST(SimDriverTransfer, MovesExactlyTheBytesBothWaysWithAndWithoutDirectIo) {
    struct Shape {
        bool direct;
        uint64_t off, fpos, size;
    };
    const Shape shapes[] = {
        {true, 0, 0, kAlloc},         {true, 8192, 4096, 65536},
        {true, 4096, 12288, 4096},    {false, 3, 5, 1001},
        {false, kAlloc - 1, 17, 1},   {false, 0, 0, kAlloc},
    };
    for (const Shape& s : shapes) {
        for (uint8_t op : {uint8_t{QRVD_OP_READ}, uint8_t{QRVD_OP_WRITE}}) {
            RunSandboxed([&] {
                Rig r;
                int fd = r.file.Open(O_RDWR | (s.direct ? O_DIRECT : 0));
                Args a = r.Request(op, s.off, s.size, s.fpos, fd);
                Args sent = a;
                ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0) << std::strerror(errno);
                EXPECT_EQ(a.size, s.size);
                sent.size = a.size;
                EXPECT_EQ(RawBytes(a), RawBytes(sent)) << "only size is written";
                if (op == QRVD_OP_READ) {
                    EXPECT_EQ(r.Device(), AfterRead(r, s.off, s.fpos, s.size));
                    EXPECT_EQ(r.file.Contents(), r.file_before);
                } else {
                    EXPECT_EQ(r.Device(), r.device_before);
                    EXPECT_EQ(r.file.Contents(), AfterWrite(r, s.off, s.fpos, s.size));
                }
                auto c = Counters();
                EXPECT_EQ(c.requests, 1u);
                EXPECT_EQ(c.requests_failed, 0u);
                EXPECT_EQ(op == QRVD_OP_READ ? c.bytes_read : c.bytes_written, s.size);
                ::close(fd);
            });
        }
    }
}

TEST(SimDriverTransfer, WritesPastTheEndGrowTheFileAndReadsStopAtIt) {
    RunSandboxed([] {
        Rig r;
        // Read across the end of the file: only what is there.
        Args a = r.Request(QRVD_OP_READ, 0, 8192, kAlloc - 100, r.file.fd());
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        EXPECT_EQ(a.size, 100u);
        EXPECT_EQ(r.Device(), AfterRead(r, 0, kAlloc - 100, 100));
        // At or past the end: nothing moves, and the driver says so.
        a = r.Request(QRVD_OP_READ, 0, 4096, kAlloc + 4096, r.file.fd());
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        EXPECT_EQ(a.size, 0u);
        // Writing past the end extends the file.
        a = r.Request(QRVD_OP_WRITE, 100, 5000, kAlloc + 10, r.file.fd());
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        EXPECT_EQ(a.size, 5000u);
        Bytes expect = AfterWrite(r, 100, kAlloc + 10, 5000);
        EXPECT_EQ(r.file.Contents(), expect);
    });
}

TEST(SimDriverTransfer, MisalignedDirectIoIsRefusedByTheKernel) {
    struct Shape {
        uint64_t off, fpos, size;
        const char* what;
    };
    const Shape shapes[] = {
        {0, 1, 4096, "file offset"},
        {0, 0, 4095, "size"},
        {1, 0, 4096, "device offset"},
    };
    for (const Shape& s : shapes) {
        for (uint8_t op : {uint8_t{QRVD_OP_READ}, uint8_t{QRVD_OP_WRITE}}) {
            RunSandboxed([&] {
                Rig r;
                int fd = r.file.Open(O_RDWR | O_DIRECT);
                Args a = r.Request(op, s.off, s.size, s.fpos, fd);
                Bytes before = RawBytes(a);
                errno = 0;
                EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), -1) << s.what;
                EXPECT_EQ(errno, EINVAL) << s.what;
                EXPECT_EQ(RawBytes(a), before);
                EXPECT_TRUE(r.Unchanged()) << s.what;
                // The same request without O_DIRECT goes through.
                Args b = r.Request(op, s.off, s.size, s.fpos, r.file.fd());
                EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &b), 0) << s.what;
                EXPECT_EQ(Counters().requests_failed, 1u);
                ::close(fd);
            });
        }
    }
}

TEST(SimDriverTransfer, EveryValidationFailureIsRefusedAndChangesNothing) {
    RunSandboxed(
        [] {
            Rig r;
            void* other_gpu_mem = nullptr;
            ASSERT_EQ(dgSetDevice(1), dgSuccess);
            ASSERT_EQ(dgMalloc(&other_gpu_mem, 4096), dgSuccess);
            ASSERT_EQ(dgSetDevice(0), dgSuccess);
            qrv_vendor_pointer_info_t other{};
            other.size = sizeof other;
            ASSERT_EQ(qrv_vendor_pointer_info(other_gpu_mem, &other, nullptr, nullptr, nullptr), 0);
            void* freed = nullptr;
            ASSERT_EQ(dgMalloc(&freed, 4096), dgSuccess);
            qrv_vendor_pointer_info_t gone{};
            gone.size = sizeof gone;
            ASSERT_EQ(qrv_vendor_pointer_info(freed, &gone, nullptr, nullptr, nullptr), 0);
            ASSERT_EQ(dgFree(freed), dgSuccess);
            int closed = ::dup(r.file.fd());
            ::close(closed);

            struct Case {
                const char* what;
                std::function<void(Args&)> spoil;
                int error;
            };
            const Case cases[] = {
                {"unknown gpu", [](Args& a) { a.gpu_id += 1000; }, ENODEV},
                {"gpu id 0", [](Args& a) { a.gpu_id = 0; }, ENODEV},
                {"unknown handle", [](Args& a) { a.handle += 1000; }, EINVAL},
                {"handle 0", [](Args& a) { a.handle = 0; }, EINVAL},
                {"freed allocation", [&](Args& a) { a.handle = gone.agentOwner.handle; }, EINVAL},
                {"handle of another GPU", [&](Args& a) { a.handle = other.agentOwner.handle; }, EINVAL},
                {"offset at the end", [](Args& a) { a.mem_offset = kAlloc; a.size = 1; }, EFAULT},
                {"one byte too many", [](Args& a) { a.mem_offset = 4096; a.size = kAlloc - 4095; }, EFAULT},
                {"offset wraps", [](Args& a) { a.mem_offset = ~uint64_t{0} - 10; a.size = 4096; }, EFAULT},
                {"size wraps", [](Args& a) { a.size = ~uint64_t{0}; }, EFAULT},
                {"op 2", [](Args& a) { a.op = 2; }, EINVAL},
                {"op 255", [](Args& a) { a.op = 255; }, EINVAL},
                {"flags", [](Args& a) { a.flags = 1; }, EINVAL},
                {"size 0", [](Args& a) { a.size = 0; }, EINVAL},
                {"file offset past the largest", [](Args& a) { a.fpos = ~uint64_t{0} - 100; }, EINVAL},
                {"closed file descriptor", [&](Args& a) { a.fd = static_cast<__u32>(closed); }, EBADF},
                {"descriptor out of range", [](Args& a) { a.fd = 0xFFFFFFFFu; }, EBADF},
            };
            uint64_t failed = 0;
            for (const Case& c : cases) {
                for (uint8_t op : {uint8_t{QRVD_OP_READ}, uint8_t{QRVD_OP_WRITE}}) {
                    Args a = r.Request(op, 4096, 8192, 4096, r.file.fd());
                    c.spoil(a);
                    Bytes before = RawBytes(a);
                    errno = 0;
                    EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), -1) << c.what;
                    EXPECT_EQ(errno, c.error) << c.what << ": " << std::strerror(errno);
                    EXPECT_EQ(RawBytes(a), before) << c.what;
                    EXPECT_TRUE(r.Unchanged()) << c.what;
                    EXPECT_EQ(Counters().requests_failed, ++failed) << c.what;
                }
            }
            auto c = Counters();
            EXPECT_EQ(c.reads + c.writes, 0u);
            EXPECT_EQ(c.bytes_read + c.bytes_written, 0u);
        },
        {{"QRV_SIM_GPUS", "2"}});
}

TEST(SimDriverTransfer, UnreadableRecordsAndOtherRequestCodesAreRefused) {
    RunSandboxed([] {
        Rig r;
        // A record on a page without access rights (as the kernel would see a
        // bad user address), and one in device memory.
        void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(page, MAP_FAILED);
        for (void* bad : {page, static_cast<void*>(r.dev)}) {
            errno = 0;
            EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, bad), -1);
            EXPECT_EQ(errno, EFAULT);
        }
        // A record that can be read but not written back: the size could not
        // be reported, so the request is refused before anything moves.
        auto* ro = static_cast<Args*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(static_cast<void*>(ro), MAP_FAILED);
        *ro = r.Request(QRVD_OP_READ, 0, 4096, 0, r.file.fd());
        ASSERT_EQ(::mprotect(ro, 4096, PROT_READ), 0);
        errno = 0;
        EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, ro), -1);
        EXPECT_EQ(errno, EFAULT);
        EXPECT_EQ(Counters().requests, 3u);
        EXPECT_EQ(Counters().requests_failed, 3u);
        // Other request codes, including the right number with another size.
        Args a = r.Request(QRVD_OP_READ, 0, 4096, 0, r.file.fd());
        for (unsigned long code : {0x4b1bul, static_cast<unsigned long>(_IOWR('K', 27, uint64_t)),
                                   static_cast<unsigned long>(_IOWR('K', 28, Args))}) {
            errno = 0;
            EXPECT_EQ(::ioctl(r.node, code, &a), -1) << code;
            EXPECT_EQ(errno, ENOTTY) << code;
        }
        EXPECT_EQ(Counters().requests, 3u) << "only transfer requests count";
        EXPECT_TRUE(r.Unchanged());
        ::munmap(page, 4096);
        ::munmap(ro, 4096);
    });
}

// ---- Fault injection ---------------------------------------------------------

struct FaultCase {
    uint8_t op;
    bool direct;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << (c.op == QRVD_OP_READ ? "read" : "write") << (c.direct ? ", O_DIRECT" : "");
}

class SimDriverFault : public ::testing::TestWithParam<FaultCase> {
protected:
    // Runs `body` in a sandbox with a rig and a descriptor for the file.
    void Run(const std::function<void(Rig&, int fd, uint8_t op)>& body, Env env = {}) {
        FaultCase p = GetParam();
        RunSandboxed(
            [&] {
                Rig r;
                int fd = r.file.Open(O_RDWR | (p.direct ? O_DIRECT : 0));
                body(r, fd, p.op);
                ::close(fd);
            },
            std::move(env));
    }
    // What the device and the file should hold after moving n bytes.
    static void ExpectMoved(const Rig& r, uint8_t op, uint64_t off, uint64_t fpos, uint64_t n) {
        if (op == QRVD_OP_READ) {
            EXPECT_EQ(r.Device(), AfterRead(r, off, fpos, n));
            EXPECT_EQ(r.file.Contents(), r.file_before);
        } else {
            EXPECT_EQ(r.Device(), r.device_before);
            EXPECT_EQ(r.file.Contents(), AfterWrite(r, off, fpos, n));
        }
    }
};

TEST_P(SimDriverFault, RefuseOnEveryNthRequest) {
    Run([](Rig& r, int fd, uint8_t op) {
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, EIO, 3), 0);
        for (int i = 1; i <= 6; ++i) {
            Args a = r.Request(op, 4096, 8192, 8192, fd);
            Bytes before = RawBytes(a);
            int result = ::ioctl(r.node, QRVD_IOC_VRAM_IO, &a);
            if (i % 3 == 0) {
                EXPECT_EQ(result, -1) << i;
                EXPECT_EQ(errno, EIO) << i;
                EXPECT_EQ(RawBytes(a), before) << i;
            } else {
                EXPECT_EQ(result, 0) << i;
                EXPECT_EQ(a.size, 8192u) << i;
            }
        }
        EXPECT_EQ(Counters().requests_failed, 2u);
        // With every request refused nothing ever moves.
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, ENOMEM, 1), 0);
        Rig fresh;
        Args a = fresh.Request(op, 0, 4096, 0, fresh.file.fd());
        EXPECT_EQ(::ioctl(fresh.node, QRVD_IOC_VRAM_IO, &a), -1);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_TRUE(fresh.Unchanged());
    });
}

TEST_P(SimDriverFault, ZeroReportsNothingMovedAndMovesNothing) {
    Run([](Rig& r, int fd, uint8_t op) {
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_ZERO, 0, 1), 0);
        Args a = r.Request(op, 4096, 8192, 8192, fd);
        EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        EXPECT_EQ(a.size, 0u);
        EXPECT_TRUE(r.Unchanged());
    });
}

TEST_P(SimDriverFault, ShortMovesOnlyTheFirstBytes) {
    Run([](Rig& r, int fd, uint8_t op) {
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_SHORT, 4096, 1), 0);
        Args a = r.Request(op, 8192, 16384, 4096, fd);
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        EXPECT_EQ(a.size, 4096u);
        ExpectMoved(r, op, 8192, 4096, 4096);
        // A limit above the request moves it all.
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_SHORT, 1u << 30, 1), 0);
        a = r.Request(op, 8192, 16384, 4096, fd);
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        EXPECT_EQ(a.size, 16384u);
        ExpectMoved(r, op, 8192, 4096, 16384);
    });
}

TEST_P(SimDriverFault, UntouchedMovesEverythingButNeverWritesTheSize) {
    Run([](Rig& r, int fd, uint8_t op) {
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_UNTOUCHED, 0, 1), 0);
        // On a read-only page: a driver that wrote the size would fault.
        auto* a = static_cast<Args*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(static_cast<void*>(a), MAP_FAILED);
        *a = r.Request(op, 4096, 12288, 8192, fd);
        Bytes before = RawBytes(*a);
        ASSERT_EQ(::mprotect(a, 4096, PROT_READ), 0);
        EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, a), 0) << std::strerror(errno);
        EXPECT_EQ(RawBytes(*a), before);
        ExpectMoved(r, op, 4096, 8192, 12288);
        ::munmap(a, 4096);
    });
}

TEST_P(SimDriverFault, CorruptInvertsOneChosenByteAtTheDestination) {
    Run([](Rig&, int fd, uint8_t op) {
        bool direct = (::fcntl(fd, F_GETFL) & O_DIRECT) != 0;
        for (uint64_t at : {uint64_t{0}, uint64_t{5}, uint64_t{8191}, uint64_t{1} << 40}) {
            Rig fresh;
            int own = direct ? fresh.file.Open(O_RDWR | O_DIRECT) : fresh.file.fd();
            ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_CORRUPT, at, 1), 0);
            Args a = fresh.Request(op, 4096, 8192, 12288, own);
            ASSERT_EQ(::ioctl(fresh.node, QRVD_IOC_VRAM_IO, &a), 0);
            EXPECT_EQ(a.size, 8192u);
            uint64_t flip = std::min<uint64_t>(at, 8191);
            if (op == QRVD_OP_READ) {
                Bytes expect = AfterRead(fresh, 4096, 12288, 8192);
                expect[4096 + flip] = static_cast<unsigned char>(~expect[4096 + flip]);
                EXPECT_EQ(fresh.Device(), expect) << at;
                EXPECT_EQ(fresh.file.Contents(), fresh.file_before) << at;
            } else {
                Bytes expect = AfterWrite(fresh, 4096, 12288, 8192);
                expect[12288 + flip] = static_cast<unsigned char>(~expect[12288 + flip]);
                EXPECT_EQ(fresh.file.Contents(), expect) << at;
                EXPECT_EQ(fresh.Device(), fresh.device_before) << at;
            }
            if (own != fresh.file.fd()) ::close(own);
        }
    });
}

TEST_P(SimDriverFault, DelayWaitsThenCarriesTheRequestOut) {
    Run([](Rig& r, int fd, uint8_t op) {
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 200000, 1), 0);
        Args a = r.Request(op, 0, 4096, 4096, fd);
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(200));
        EXPECT_EQ(a.size, 4096u);
        ExpectMoved(r, op, 0, 4096, 4096);
    });
}

TEST_P(SimDriverFault, TheVariableSetsAFaultUntilACallReplacesIt) {
    Run(
        [](Rig& r, int fd, uint8_t op) {
            Args a = r.Request(op, 0, 8192, 0, fd);
            ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
            EXPECT_EQ(a.size, 8192u) << "first request passes";
            a = r.Request(op, 0, 8192, 0, fd);
            EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), -1);
            EXPECT_EQ(errno, EAGAIN) << "second is refused";
            qrvd_sim_clear_fault();
            a = r.Request(op, 0, 8192, 0, fd);
            EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
            a = r.Request(op, 0, 8192, 0, fd);
            EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0) << "the call replaced it";
        },
        {{"QRVD_SIM_FAULT", "refuse:EAGAIN@2"}});
}

INSTANTIATE_TEST_SUITE_P(
    ReadAndWrite, SimDriverFault,
    ::testing::Values(FaultCase{QRVD_OP_READ, false}, FaultCase{QRVD_OP_WRITE, false},
                      FaultCase{QRVD_OP_READ, true}, FaultCase{QRVD_OP_WRITE, true}),
    [](const auto& param_info) {
        return std::string(param_info.param.op == QRVD_OP_READ ? "Read" : "Write") +
               (param_info.param.direct ? "Direct" : "Buffered");
    });

TEST(SimDriverFaultSettings, VariableFormsAndMalformedValues) {
    // short:100 moves 100 bytes on every request.
    RunSandboxed(
        [] {
            Rig r;
            Args a = r.Request(QRVD_OP_READ, 0, 4096, 0, r.file.fd());
            ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
            EXPECT_EQ(a.size, 100u);
        },
        {{"QRVD_SIM_FAULT", "short:100"}});
    // A numeric errno, and refuse without one means EIO.
    for (auto [text, error] : {std::pair{"refuse:28", 28}, std::pair{"refuse", EIO}}) {
        RunSandboxed(
            [error = error] {
                Rig r;
                Args a = r.Request(QRVD_OP_READ, 0, 4096, 0, r.file.fd());
                EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), -1);
                EXPECT_EQ(errno, error);
            },
            {{"QRVD_SIM_FAULT", text}});
    }
    // Malformed values are reported and ignored.
    for (const char* text : {"bogus", "refuse:0", "refuse:EWHAT", "short:x", "zero@0", "short:5@",
                             "delay:-1", "REFUSE"}) {
        auto result = RunSandboxed(
            [] {
                Rig r;
                Args a = r.Request(QRVD_OP_READ, 0, 4096, 0, r.file.fd());
                EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
                EXPECT_EQ(a.size, 4096u);
            },
            {{"QRVD_SIM_FAULT", text}});
        EXPECT_NE(result.err.find("QRVD_SIM_FAULT"), std::string::npos) << text;
    }
    RunSandboxed([] {
        EXPECT_EQ(qrvd_sim_set_fault(-1, 0, 1), -1);
        EXPECT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY + 1, 0, 1), -1);
        EXPECT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, 0, 1), -1);
        // every = 0 means every request.
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_ZERO, 0, 0), 0);
        Rig r;
        for (int i = 0; i < 2; ++i) {
            Args a = r.Request(QRVD_OP_READ, 0, 4096, 0, r.file.fd());
            EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
            EXPECT_EQ(a.size, 0u);
        }
    });
}

// ---- Counters and views ----------------------------------------------------

TEST(SimDriverCounters, CountEveryDirectionAndKeepTheLastRecordAsReceived) {
    RunSandboxed([] {
        Rig r;
        int second = ::open(QRVD_DEVICE_PATH, O_RDWR | O_CLOEXEC);
        ASSERT_GE(second, 0);
        Args a = r.Request(QRVD_OP_READ, 0, 1000, 0, r.file.fd());
        ASSERT_EQ(::ioctl(second, QRVD_IOC_VRAM_IO, &a), 0);
        a = r.Request(QRVD_OP_READ, 0, 3000, 0, r.file.fd());
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        a = r.Request(QRVD_OP_WRITE, 0, 500, 0, r.file.fd());
        ASSERT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &a), 0);
        // The last one: refused, with padding and count the library never
        // sets, which must come back as they were sent.
        Args odd = r.Request(QRVD_OP_WRITE, 0, 0, 77, r.file.fd());
        odd.pad0 = 0x01020304;
        odd.pad1 = 0x05060708;
        odd.pad2[0] = 9;
        odd.pad2[2] = 10;
        odd.count = 0xDEADBEEFCAFEull;
        EXPECT_EQ(::ioctl(r.node, QRVD_IOC_VRAM_IO, &odd), -1);
        ::close(second);

        auto c = Counters();
        EXPECT_EQ(c.opens, 2u);
        EXPECT_EQ(c.last_open_flags, O_RDWR | O_CLOEXEC);
        EXPECT_EQ(c.closes, 1u);
        EXPECT_EQ(c.requests, 4u);
        EXPECT_EQ(c.requests_failed, 1u);
        EXPECT_EQ(c.reads, 2u);
        EXPECT_EQ(c.writes, 1u);
        EXPECT_EQ(c.bytes_read, 4000u);
        EXPECT_EQ(c.bytes_written, 500u);
        Args last;
        ASSERT_EQ(qrvd_sim_last_request(&last), 0);
        EXPECT_EQ(RawBytes(last), RawBytes(odd));
        EXPECT_EQ(qrvd_sim_last_request(nullptr), -1);

        qrvd_sim_reset_counters();
        c = Counters();
        EXPECT_EQ(RawBytes(c), RawBytes(qrvd_sim_counters{}));
        EXPECT_EQ(qrvd_sim_last_request(&last), -1);
    });
}

TEST(SimDriverCounters, HostViewShowsOnlyLiveDeviceRanges) {
    RunSandboxed([] {
        Rig r;
        auto* view = static_cast<unsigned char*>(qrvd_sim_host_view(r.dev + 100, 50));
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(Bytes(view, view + 50),
                  Bytes(r.device_before.begin() + 100, r.device_before.begin() + 150));
        view[0] = static_cast<unsigned char>(~view[0]);  // writes reach the device
        unsigned char back = 0;
        ASSERT_EQ(dgMemcpy(&back, r.dev + 100, 1, dgMemcpyDefault), dgSuccess);
        EXPECT_EQ(back, static_cast<unsigned char>(~r.device_before[100]));
        EXPECT_NE(qrvd_sim_host_view(r.dev + kAlloc - 1, 1), nullptr);
        EXPECT_EQ(qrvd_sim_host_view(r.dev + kAlloc - 1, 2), nullptr);
        EXPECT_EQ(qrvd_sim_host_view(r.device_before.data(), 1), nullptr);
        void* p = nullptr;
        ASSERT_EQ(dgMalloc(&p, 4096), dgSuccess);
        ASSERT_EQ(dgFree(p), dgSuccess);
        EXPECT_EQ(qrvd_sim_host_view(p, 1), nullptr);
    });
}

TEST(SimDriverConcurrency, ParallelRequestsOnOneDeviceMoveTheirOwnBytes) {
    RunSandboxed([] {
        Rig r;
        constexpr int kThreads = 4;
        constexpr uint64_t kSlice = kAlloc / kThreads;
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 50; ++round) {
                    uint64_t off = kSlice * static_cast<uint64_t>(t);
                    Args a = r.Request(QRVD_OP_READ, off, kSlice, off, r.file.fd());
                    if (::ioctl(r.node, QRVD_IOC_VRAM_IO, &a) != 0 || a.size != kSlice) ++failures;
                }
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(r.Device(), r.file_before);
        auto c = Counters();
        EXPECT_EQ(c.reads, kThreads * 50u);
        EXPECT_EQ(c.bytes_read, kThreads * 50u * kSlice);
    });
}

}  // namespace
