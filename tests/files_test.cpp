// SPDX-License-Identifier: Apache-2.0
// File handles and the four file entry points, through the shipped library
// and the simulated platform, each case in its own sandboxed child.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/kcmp.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "direct_io_probe.h"
#include "qrv_runtime.h"
#include "support/records.h"
#include "support/run.h"
#include "support/transfer.h"

// ---- Platform calls this program answers itself ------------------------------
// The library's fstat, gettimeofday and runtime copy bind to these
// definitions first.  Each passes straight through until a case sets its
// switch: a file whose stated size understates its content, a wall clock that
// steps back at every reading, a copy that waits until it is let go, copies
// that wait until several are inside at once.
namespace interposed {
std::atomic<int> understated_fd{-1};
std::atomic<off_t> stated_size{0};
std::atomic<bool> clock_steps_back{false};
enum Gate { kOpen, kArmed, kHeld };
std::atomic<int> copy_gate{kOpen};  // kArmed: the next copy waits as kHeld until kOpen
// copies_meet > 0: each copy waits until that many are inside at once (then
// copies_met), 5 s at most.
std::atomic<int> copies_meet{0}, copies_inside{0};
std::atomic<bool> copies_met{false};

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}
}  // namespace interposed

extern "C" int fstat(int fd, struct stat* st) noexcept {
    static const auto next = interposed::Next<int (*)(int, struct stat*)>("fstat");
    const int result = next(fd, st);
    if (result == 0 && fd == interposed::understated_fd.load()) st->st_size = interposed::stated_size;
    return result;
}

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict tz) noexcept {
    static const auto next = interposed::Next<int (*)(struct timeval*, void*)>("gettimeofday");
    static std::atomic<long> steps{0};
    const int result = next(tv, tz);
    if (result == 0 && interposed::clock_steps_back) tv->tv_sec -= ++steps;
    return result;
}

extern "C" int dgMemcpy(void* dst, const void* src, std::size_t count, enum _dgMemcpyKind kind) {
    static const auto next =
        interposed::Next<int (*)(void*, const void*, std::size_t, _dgMemcpyKind)>("dgMemcpy");
    int armed = interposed::kArmed;
    if (interposed::copy_gate.compare_exchange_strong(armed, interposed::kHeld))
        while (interposed::copy_gate.load() == interposed::kHeld) ::usleep(1000);
    if (const int want = interposed::copies_meet; want > 0) {
        if (++interposed::copies_inside == want) interposed::copies_met = true;
        for (int ms = 0; !interposed::copies_met && ms < 5000; ++ms) ::usleep(1000);
        --interposed::copies_inside;
    }
    return next(dst, src, count, kind);
}

namespace {

using namespace support;

sandbox::Options Logged(Env env = {}) {
    sandbox::Options o;
    env.emplace_back("DGFILE_DEBUG", "DEBUG");
    o.env = env;
    return o;
}

// The shapes of the records `function` emitted in `r`.
std::vector<std::string> ShapesOf(const sandbox::Result& r, const std::string& function) {
    return Shapes(Messages(r.out, function));
}

constexpr std::size_t kChunk = 64 * 1024;

// ---- Registration ---------------------------------------------------------

TEST(Register, RefusesDescriptorsWithoutDirectIoAndBadArguments) {
    auto r = Sandboxed(Logged(), [] {
        qrvd_sim_set_enabled(1);
        ScratchFile file(4096);
        int plain = file.Open(O_RDWR);
        DGfileDescr_t descr{};
        descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
        descr.handle.fd = plain;
        DGfileHandle_t fh = reinterpret_cast<DGfileHandle_t>(0x1234);
        EXPECT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_DIO_NOT_SET);
        EXPECT_EQ(fh, reinterpret_cast<DGfileHandle_t>(0x1234));
        ::close(plain);

        descr.handle.fd = 987;  // not open
        EXPECT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_INVALID_VALUE);
        EXPECT_EQ(fh, reinterpret_cast<DGfileHandle_t>(0x1234));
        EXPECT_EQ(dgFileHandleRegister(nullptr, &descr).err, DG_FILE_INVALID_VALUE);
        EXPECT_EQ(dgFileHandleRegister(&fh, nullptr).err, DG_FILE_INVALID_VALUE);
        EXPECT_EQ(fh, reinterpret_cast<DGfileHandle_t>(0x1234));

        char buf[16];
        EXPECT_EQ(dgFileRead(nullptr, buf, sizeof buf, 0, 0), -1);
        EXPECT_EQ(dgFileWrite(nullptr, buf, sizeof buf, 0, 0), -1);
        dgFileHandleDeregister(nullptr);
    });
    auto reg = Messages(r.out, "dgFileHandleRegister");
    ASSERT_EQ(reg.size(), 4u) << r.out;
    EXPECT_EQ(reg[3], "API_CALL descr->handle.fd = -1, descr->type = 0");
    EXPECT_EQ(Messages(r.out, "dgFileHandleDeregister"), std::vector<std::string>{"API_CALL "});
}

TEST(Register, UnsupportedFlagsAreRecordedAndAccepted) {
    auto r = Sandboxed(Logged(), [] {
        ScratchFile file(4096);
        int fd = file.Open(O_RDWR | O_DIRECT | O_APPEND);
        std::printf("flags-seen %o\n", static_cast<unsigned>(::fcntl(fd, F_GETFL)));
        DGfileHandle_t fh = Register(fd);
        EXPECT_NE(fh, nullptr);
        dgFileHandleDeregister(fh);
        ::close(fd);
        // An ordinary O_DIRECT descriptor carries the kernel's large-file bit
        // on 64-bit systems; it must not be reported.
        Registered clean(file, O_RDONLY | O_DIRECT);
    });
    std::size_t at = r.out.find("flags-seen ");
    ASSERT_NE(at, std::string::npos);
    std::string seen = r.out.substr(at + 11, r.out.find('\n', at) - at - 11);
    auto reg = Messages(r.out, "dgFileHandleRegister");
    // Trace, flags record (with its own newline, so an empty line follows),
    // then the second registration's trace only.
    ASSERT_EQ(reg.size(), 3u) << r.out;
    char expected[128];
    std::snprintf(expected, sizeof expected, "file flags: %s maybe not support, unsupport flag: %o",
                  seen.c_str(), static_cast<unsigned>(O_APPEND));
    EXPECT_EQ(reg[1], expected);
    EXPECT_EQ(reg[2].rfind("API_CALL descr->handle.fd = ", 0), 0u);
}

// ---- The direct path --------------------------------------------------------

TEST(Direct, ReadAndWriteMoveTheBytesWithTheRequestTheDriverExpects) {
    auto r = Sandboxed(Logged(), [] {
        qrvd_sim_set_enabled(1);
        TransferRig rig;
        // A pointer inside the allocation plus a device offset.
        char* inside = rig.dev.At(8192);
        ssize_t n = dgFileRead(rig.fh, inside, kChunk, 131072, 4096);
        EXPECT_EQ(n, static_cast<ssize_t>(kChunk));
        qrvd_ioctl_file_inout_vram_args last{};
        ASSERT_EQ(qrvd_sim_last_request(&last), 0);
        qrv_vendor_pointer_info_t info{};
        info.size = sizeof info;
        ASSERT_EQ(qrv_vendor_pointer_info(inside, &info, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(last.gpu_id, info.agentOwner.gpu_id);
        EXPECT_EQ(last.handle, info.agentOwner.handle);
        EXPECT_EQ(last.mem_offset, 8192u + 4096u);
        EXPECT_EQ(last.size, kChunk);
        EXPECT_EQ(last.fd, static_cast<__u32>(rig.fd));
        EXPECT_EQ(last.fpos, 131072u);
        EXPECT_EQ(last.flags, 0u);
        EXPECT_EQ(last.op, 0);
        EXPECT_TRUE(MatchesPattern(rig.dev.View() + 12288, kChunk, 131072));
        EXPECT_TRUE(AllEqual(rig.dev.View(), 12288, 0xee));
        EXPECT_TRUE(AllEqual(rig.dev.View() + 12288 + kChunk, 4096, 0xee));

        // Write untouched device bytes (0xee) at 512K to file offset 512K.
        n = dgFileWrite(rig.fh, rig.dev.ptr, kChunk, 524288, 524288);
        EXPECT_EQ(n, static_cast<ssize_t>(kChunk));
        ASSERT_EQ(qrvd_sim_last_request(&last), 0);
        EXPECT_EQ(last.op, 1);
        EXPECT_EQ(last.mem_offset, 524288u);
        EXPECT_EQ(last.fpos, 524288u);
        auto contents = rig.file.Contents();
        EXPECT_TRUE(AllEqual(contents.data() + 524288, kChunk, 0xee));
        EXPECT_TRUE(MatchesPattern(contents.data(), 524288, 0));
        EXPECT_TRUE(MatchesPattern(contents.data() + 524288 + kChunk, 4096, 524288 + kChunk));

        qrvd_sim_counters c{};
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.reads, 1u);
        EXPECT_EQ(c.writes, 1u);
    });
    const std::vector<std::string> direct = {"timing size = 65536", "KMD"};
    EXPECT_EQ(ShapesOf(r, "read"), direct);
    EXPECT_EQ(ShapesOf(r, "write"), direct);
}

// ---- Driver outcomes, with the fallback on and off -----------------------------

struct Outcome {
    const char* name;
    int mode;
    std::uint64_t param;
    bool disable_cpu;
    ssize_t result;                        // what dgFileRead returns
    std::size_t device_bytes;              // bytes of the file that reach device memory
    std::vector<std::string> shapes;       // the records of "read", variable parts dropped
};

void PrintTo(const Outcome& o, std::ostream* os) { *os << o.name; }

class DriverOutcome : public ::testing::TestWithParam<Outcome> {};

TEST_P(DriverOutcome, GivesTheResultRecordsAndBytes) {
    const Outcome& o = GetParam();
    auto opts = Logged();
    if (o.disable_cpu) opts.env.emplace_back("DGFILE_DISABLE_CPU", "YES");
    auto r = Sandboxed(opts, [&o] {
        qrvd_sim_set_enabled(1);
        ASSERT_EQ(qrvd_sim_set_fault(o.mode, o.param, 1), 0);
        TransferRig rig;
        EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, kChunk, 65536, 0), o.result);
        EXPECT_TRUE(MatchesPattern(rig.dev.View(), o.device_bytes, 65536));
        EXPECT_TRUE(AllEqual(rig.dev.View() + o.device_bytes, (1 << 20) - o.device_bytes, 0xee));
        // The fallback leaves O_DIRECT as registered.
        EXPECT_NE(::fcntl(rig.fd, F_GETFL) & O_DIRECT, 0);
    });
    EXPECT_EQ(ShapesOf(r, "read"), o.shapes) << r.out;
}

const std::string kFallbackStart = "direct copy failed, fallback to cpu copy";
const std::string kRefusedEio =
    "ioctl<QRVD_IOC_VRAM_IO> failed, ret = -1, errno = 5, args.size = 65536";

INSTANTIATE_TEST_SUITE_P(
    Faults, DriverOutcome,
    ::testing::Values(
        Outcome{"Refused", QRVD_SIM_FAULT_REFUSE, EIO, false, 65536, 65536,
                {kRefusedEio, kFallbackStart, "timing size = 65536", "Host"}},
        Outcome{"RefusedNoFallback", QRVD_SIM_FAULT_REFUSE, EIO, true, -1, 0,
                {kRefusedEio, "Fail"}},
        Outcome{"SizeZero", QRVD_SIM_FAULT_ZERO, 0, false, 65536, 65536,
                {"timing size = 65536", kFallbackStart, "timing size = 65536", "Host"}},
        Outcome{"SizeZeroNoFallback", QRVD_SIM_FAULT_ZERO, 0, true, -1, 0,
                {"timing size = 65536", "Fail"}},
        Outcome{"Short", QRVD_SIM_FAULT_SHORT, 4096, false, 4096, 4096,
                {"timing size = 65536", "KMD"}},
        Outcome{"ShortNoFallback", QRVD_SIM_FAULT_SHORT, 4096, true, 4096, 4096,
                {"timing size = 65536", "KMD"}},
        Outcome{"Untouched", QRVD_SIM_FAULT_UNTOUCHED, 0, false, 65536, 65536,
                {"timing size = 65536", "KMD"}},
        Outcome{"UntouchedNoFallback", QRVD_SIM_FAULT_UNTOUCHED, 0, true, 65536, 65536,
                {"timing size = 65536", "KMD"}}),
    [](const ::testing::TestParamInfo<Outcome>& p) { return std::string(p.param.name); });

// ---- Without a direct path ----------------------------------------------------

TEST(NoDevice, AbsentDisabledOrUnknownPointerFallsBack) {
    struct Case {
        bool node;
        bool sim;
        const char* disable_gds;
    };
    for (const Case& c : {Case{false, false, nullptr}, Case{true, true, "YES"}}) {
        auto opts = Logged();
        opts.device_node = c.node;
        if (c.disable_gds) opts.env.emplace_back("DGFILE_DISABLE_GDS", c.disable_gds);
        auto r = Sandboxed(opts, [&c] {
            qrvd_sim_set_enabled(c.sim);
            TransferRig rig;
            EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, kChunk, 0, 4096), static_cast<ssize_t>(kChunk));
            EXPECT_TRUE(MatchesPattern(rig.dev.View() + 4096, kChunk, 0));
            qrvd_sim_counters counters{};
            qrvd_sim_get_counters(&counters);
            EXPECT_EQ(counters.opens, 0u);
            EXPECT_EQ(counters.requests, 0u);
        });
        EXPECT_EQ(ShapesOf(r, "read"),
                  (std::vector<std::string>{kFallbackStart, "timing size = 65536", "Host"}));
    }
    // A pointer the runtime does not know: no request, CPU copy into it.
    Sandboxed(Logged(), [] {
        qrvd_sim_set_enabled(1);
        TransferRig rig;
        std::vector<unsigned char> host(kChunk, 0);
        EXPECT_EQ(dgFileRead(rig.fh, host.data(), kChunk, 4096, 0), static_cast<ssize_t>(kChunk));
        EXPECT_TRUE(MatchesPattern(host.data(), kChunk, 4096));
        qrvd_sim_counters counters{};
        qrvd_sim_get_counters(&counters);
        EXPECT_EQ(counters.opens, 1u);
        EXPECT_EQ(counters.requests, 0u);
    });
}

TEST(NoDevice, DisableCpuIsReadPerHandleAtRegistration) {
    auto opts = Logged({{"DGFILE_DISABLE_CPU", "YES"}});
    opts.device_node = false;
    auto r = Sandboxed(opts, [] {
        TransferRig strict;
        ::unsetenv("DGFILE_DISABLE_CPU");
        Registered relaxed(strict.file);
        ::setenv("DGFILE_DISABLE_CPU", "YES", 1);
        EXPECT_EQ(dgFileRead(strict.fh, strict.dev.ptr, kChunk, 0, 0), -1);
        EXPECT_EQ(dgFileWrite(strict.fh, strict.dev.ptr, kChunk, 0, 0), -1);
        EXPECT_TRUE(AllEqual(strict.dev.View(), 1 << 20, 0xee));
        EXPECT_EQ(dgFileRead(relaxed.fh, strict.dev.ptr, kChunk, 0, 0), static_cast<ssize_t>(kChunk));
        EXPECT_TRUE(MatchesPattern(strict.dev.View(), kChunk, 0));
    });
    EXPECT_EQ(ShapesOf(r, "read"),
              (std::vector<std::string>{"Fail", kFallbackStart, "timing size = 65536", "Host"}));
    EXPECT_EQ(Messages(r.out, "write"), std::vector<std::string>{"Fail"});
}

// ---- The CPU fallback ---------------------------------------------------------

// No device node: every transfer takes the CPU copy.
sandbox::Options CpuOnly() {
    sandbox::Options o = Logged();
    o.device_node = false;
    return o;
}

// Each case's body runs in a sandboxed child without a device node, with a
// registered scratch file of `file_size` bytes and `device_size` bytes of
// device memory.
class Fallback : public ::testing::Test {
protected:
    static sandbox::Result Run(std::size_t file_size, std::size_t device_size,
                               const std::function<void(TransferRig&)>& body) {
        return Sandboxed(CpuOnly(), [&] {
            TransferRig rig(file_size, device_size);
            body(rig);
        });
    }
};

TEST_F(Fallback, ShortReadAtEndOfFileFillsOnlyWhatWasRead) {
    Run(10000, 65536, [](TransferRig& rig) {
        EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, 16384, 8192, 512), 1808);
        EXPECT_TRUE(AllEqual(rig.dev.View(), 512, 0xee));
        EXPECT_TRUE(MatchesPattern(rig.dev.View() + 512, 1808, 8192));
        EXPECT_TRUE(AllEqual(rig.dev.View() + 512 + 1808, 65536 - 512 - 1808, 0xee));
        EXPECT_EQ(::lseek(rig.fd, 0, SEEK_CUR), 10000);  // after the bytes moved
        // At and past the end: nothing to read.
        EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, 4096, 10000, 0), 0);
        EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, 4096, 1 << 20, 0), 0);
        // Zero-size transfers move nothing and report 0.
        EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, 0, 0, 0), 0);
        EXPECT_EQ(dgFileWrite(rig.fh, rig.dev.ptr, 0, 0, 0), 0);
        EXPECT_EQ(::lseek(rig.fd, 0, SEEK_CUR), 0);
        EXPECT_TRUE(AllEqual(rig.dev.View(), 512, 0xee));
        EXPECT_EQ(rig.file.Contents().size(), 10000u);
    });
}

TEST_F(Fallback, RestoresTheRegistrationFlagsAndRefusesNegativeOffsets) {
    auto r = Run(1 << 20, 1 << 20, [](TransferRig& rig) {
        const int registered = ::fcntl(rig.fd, F_GETFL);
        // The application clears O_DIRECT in between: the fallback still
        // leaves the flags as they were at registration.
        ASSERT_EQ(::fcntl(rig.fd, F_SETFL, registered & ~O_DIRECT), 0);
        EXPECT_EQ(dgFileWrite(rig.fh, rig.dev.ptr, 4096, 8192, 0), 4096);
        EXPECT_EQ(::fcntl(rig.fd, F_GETFL), registered);
        EXPECT_EQ(::lseek(rig.fd, 0, SEEK_CUR), 8192 + 4096);
        EXPECT_TRUE(AllEqual(rig.file.Contents().data() + 8192, 4096, 0xee));

        EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, 4096, -4096, 0), -1);
        EXPECT_EQ(::fcntl(rig.fd, F_GETFL), registered);
        EXPECT_TRUE(AllEqual(rig.dev.View(), 1 << 20, 0xee));
    });
    EXPECT_EQ(ShapesOf(r, "read"), std::vector<std::string>{kFallbackStart});  // no timing, no "Host"
}

TEST_F(Fallback, AFailingCopyFailsTheTransferAndNeverWritesTheBuffer) {
    auto r = Run(1 << 20, 65536, [](TransferRig& rig) {
        // The page after the allocation: device memory, but in no allocation,
        // so the runtime knows no allocation to check the range against and
        // refuses the copy.  The read must not claim the bytes arrived ...
        char* unmapped = rig.dev.At(65536);
        EXPECT_EQ(dgFileRead(rig.fh, unmapped, 8192, 0, 0), -1);
        EXPECT_TRUE(AllEqual(rig.dev.View(), 65536, 0xee));
        // ... and the write must not put the host buffer's garbage in the file.
        EXPECT_EQ(dgFileWrite(rig.fh, unmapped, 8192, 0, 0), -1);
        EXPECT_TRUE(MatchesPattern(rig.file.Contents().data(), 1 << 20, 0));
        // A file range the file system refuses: read() fails, -1.
        Registered wronly(rig.file, O_WRONLY | O_DIRECT);
        EXPECT_EQ(dgFileRead(wronly.fh, rig.dev.ptr, 4096, 0, 0), -1);
        EXPECT_TRUE(AllEqual(rig.dev.View(), 65536, 0xee));
    });
    // Every one of the three ran to the end of the fallback.
    auto shapes = ShapesOf(r, "read");
    EXPECT_EQ(std::count(shapes.begin(), shapes.end(), "Host"), 2);
    EXPECT_EQ(ShapesOf(r, "write"),
              (std::vector<std::string>{kFallbackStart, "timing size = 8192", "Host"}));
}

// Regression: with the device connection open the driver refuses a range
// outside the allocation, and the CPU copy then wrote into whatever lay
// there (the next allocation) and reported success; without a connection no
// one checked at all.  A range outside the allocation the runtime reports
// for the pointer now moves nothing, in either direction.
TEST_F(Fallback, DeviceRangeOutsideItsAllocationMovesNothing) {
    for (bool device : {true, false}) {
        auto opts = Logged();
        opts.device_node = device;
        auto r = sandbox::Run(opts, [device] {
            qrvd_sim_set_enabled(device);
            ScratchFile file(65536);
            Registered reg(file);
            DeviceBuffer a(4096), b(4096);  // b right after a and its guard page
            const off_t next = static_cast<char*>(b.ptr) - static_cast<char*>(a.ptr);
            struct Range {
                void* base;
                std::size_t size;
                off_t offset;
            };
            for (const Range& bad : {Range{a.ptr, 4096, next},           // wholly in b
                                     Range{a.ptr, 8192, 0},              // runs past a's end
                                     Range{a.At(1024), 4096, 0},         // the same, from inside
                                     Range{b.ptr, 4096, -4096},          // before b's start
                                     Range{a.ptr, 4096, off_t{1} << 40},  // off the device
                                     Range{a.ptr, SIZE_MAX, 0}}) {       // wraps around
                EXPECT_EQ(dgFileRead(reg.fh, bad.base, bad.size, 0, bad.offset), -1)
                    << bad.size << " at " << bad.offset;
                EXPECT_EQ(dgFileWrite(reg.fh, bad.base, bad.size, 0, bad.offset), -1)
                    << bad.size << " at " << bad.offset;
            }
            EXPECT_TRUE(AllEqual(a.View(), 4096, 0xee));
            EXPECT_TRUE(AllEqual(b.View(), 4096, 0xee));
            EXPECT_TRUE(MatchesPattern(file.Contents().data(), 65536, 0));
            // Ranges that end exactly at the allocation's end still move.
            EXPECT_EQ(dgFileRead(reg.fh, a.At(1024), 3072, 4096, 0), 3072);
            EXPECT_EQ(dgFileRead(reg.fh, b.ptr, 2048, 8192, 2048), 2048);
            EXPECT_TRUE(MatchesPattern(a.View() + 1024, 3072, 4096));
            EXPECT_TRUE(MatchesPattern(b.View() + 2048, 2048, 8192));
        });
        EXPECT_SANDBOX_OK(r) << (device ? "with" : "without") << " the device";
    }
}

// A directory for large scratch files: a memory file system (with huge
// pages) private to this sandboxed child where it takes O_DIRECT (recent
// kernels), so that gigabytes cost memory copies rather than disk writes;
// the usual scratch directory otherwise.
std::string LargeScratchDir() {
    const char* dir = "/mnt";
    if ((::mount("tmpfs", dir, "tmpfs", 0, "size=8g,huge=always,mode=0755") == 0 ||
         ::mount("tmpfs", dir, "tmpfs", 0, "size=8g,mode=0755") == 0) &&
        dgbench::TakesDirectIo(dir))
        return dir;
    ::umount(dir);
    return DirectIoDir();
}

// Regression: Linux moves at most 0x7ffff000 bytes per read() or write(), and
// the CPU copy made one call, so a transfer above 2 GiB came back short far
// from the end of the file.  The memory is host memory the runtime does not
// know (copied into as it is) backed by huge pages: simulated device memory
// would cost a page fault per 4 KiB, which is all this test would measure.
TEST_F(Fallback, TransfersAbove2GiBMoveEveryByte) {
#if defined(__SANITIZE_THREAD__)
    // The thread checker shadows every byte a call touches four times over:
    // 6 GiB of ranges would need more memory and time than a test may take,
    // and this single-threaded loop gives it nothing to check.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    Sandboxed(CpuOnly().Long(), [] {
        constexpr std::uint64_t kLimit = 0x7ffff000;
        constexpr std::size_t kSize = kLimit + 8192;
        const std::vector<std::uint64_t> spots = {0, kLimit - 4096, kLimit, kSize - 4096};
        const std::string dir = LargeScratchDir();
        // A sparse file whose only data are pattern blocks at the spots.
        ScratchFile in({}, dir);
        ASSERT_EQ(::ftruncate(in.fd(), static_cast<off_t>(kSize)), 0);
        for (std::uint64_t at : spots)
            ASSERT_EQ(::pwrite(in.fd(), PatternBytes(at, 4096).data(), 4096, static_cast<off_t>(at)),
                      4096);
        void* mem = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                           -1, 0);
        ASSERT_NE(mem, MAP_FAILED);
        ::madvise(mem, kSize, MADV_HUGEPAGE);
        auto* bytes = static_cast<unsigned char*>(mem);
        {
            Registered reg(in, O_RDONLY | O_DIRECT);
            EXPECT_EQ(dgFileRead(reg.fh, mem, kSize, 0, 0), static_cast<ssize_t>(kSize));
        }
        for (std::uint64_t at : spots) EXPECT_TRUE(MatchesPattern(bytes + at, 4096, at)) << at;
        EXPECT_TRUE(AllEqual(bytes + 4096, 4096, 0));

        ScratchFile out({}, dir);
        {
            Registered reg(out, O_WRONLY | O_DIRECT);
            EXPECT_EQ(dgFileWrite(reg.fh, mem, kSize, 0, 0), static_cast<ssize_t>(kSize));
        }
        ::munmap(mem, kSize);
        struct stat st {};
        EXPECT_EQ(::fstat(out.fd(), &st), 0);
        EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kSize);
        std::vector<unsigned char> block(4096);
        for (std::uint64_t at : spots) {
            EXPECT_EQ(::pread(out.fd(), block.data(), 4096, static_cast<off_t>(at)), 4096);
            EXPECT_TRUE(MatchesPattern(block.data(), 4096, at)) << at;
        }
    });
}

// Regression: a read asking for far more than the file holds committed a
// host buffer of the whole requested size.  The buffer is now bounded by
// what lies between the offset and the end of the file.
TEST_F(Fallback, ReadOfAHugeSizeFromASmallFileCostsTheFilesSize) {
    Run(4096, 4096, [](TransferRig& rig) {
        constexpr std::size_t kHuge = std::size_t{4} << 30;
        // Host memory the runtime does not know: copied into as it is.
        void* host = ::mmap(nullptr, kHuge, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(host, MAP_FAILED);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        EXPECT_EQ(dgFileRead(rig.fh, host, kHuge, 0, 0), 4096);
        EXPECT_EQ(dgFileRead(rig.fh, host, kHuge, 1024, 0), 3072);
        EXPECT_EQ(dgFileRead(rig.fh, host, kHuge, 4096, 0), 0);
        ::getrusage(RUSAGE_SELF, &after);
        EXPECT_TRUE(MatchesPattern(static_cast<unsigned char*>(host), 3072, 1024));
        // Peak resident memory in KiB: the file's size, not the request's.
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);
        ::munmap(host, kHuge);
    });
}

// Regression: a read of 32 MiB or more sized its host buffer by the file's
// stated size and moved nothing when that was 0, although read() delivers
// the data (user-space and network file systems state such sizes, and a
// growing file outruns its size).  The count is what read() delivers, and
// host memory still follows what the file holds, not the request.
TEST_F(Fallback, AFileThatUnderstatesItsSizeIsReadToItsEnd) {
    constexpr std::size_t kHeld = 3 << 20, kAsked = 64 << 20;
    Run(kHeld, kAsked, [](TransferRig& rig) {
        interposed::understated_fd = rig.fd;
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        for (off_t stated : {off_t{0}, off_t{1} << 20}) {
            interposed::stated_size = stated;
            EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, kAsked, 0, 0), static_cast<ssize_t>(kHeld));
            EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, kAsked - kHeld, 4096, kHeld),
                      static_cast<ssize_t>(kHeld - 4096));
        }
        ::getrusage(RUSAGE_SELF, &after);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024);  // KiB
        EXPECT_TRUE(MatchesPattern(rig.dev.View(), kHeld, 0));
        EXPECT_TRUE(MatchesPattern(rig.dev.View() + kHeld, kHeld - 4096, 4096));
        interposed::understated_fd = -1;
    });
    // A buffer large enough to be a mapping grows as one.
    Run(40 << 20, kAsked, [](TransferRig& rig) {
        interposed::understated_fd = rig.fd;
        interposed::stated_size = 33 << 20;
        EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, kAsked, 0, 0), 40 << 20);
        EXPECT_TRUE(MatchesPattern(rig.dev.View(), 40 << 20, 0));
        interposed::understated_fd = -1;
    });
}

TEST_F(Fallback, AHostBufferThatCannotBeAllocatedFailsCleanly) {
    Run(1 << 20, 65536, [](TransferRig& rig) {
        const int registered = ::fcntl(rig.fd, F_GETFL);
        for (std::size_t size : {std::size_t{1} << 50, SIZE_MAX / 2, SIZE_MAX}) {
            EXPECT_EQ(dgFileRead(rig.fh, rig.dev.ptr, size, 0, 0), -1);
            EXPECT_EQ(dgFileWrite(rig.fh, rig.dev.ptr, size, 0, 0), -1);
            EXPECT_EQ(::fcntl(rig.fd, F_GETFL), registered);
        }
        EXPECT_TRUE(AllEqual(rig.dev.View(), 65536, 0xee));
        EXPECT_TRUE(MatchesPattern(rig.file.Contents().data(), 1 << 20, 0));
    });
}

// Whether CPU copies through `handles`, 5000 bytes each to a range of its
// own, were all inside the runtime's copy call, made under their locks, at
// once.  Every byte is checked.
bool CopiesAtOnce(const std::vector<DGfileHandle_t>& handles, const DeviceBuffer& dev) {
    interposed::copies_met = false;
    interposed::copies_meet = static_cast<int>(handles.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < handles.size(); ++i)
        threads.emplace_back([&, i] {
            EXPECT_EQ(dgFileRead(handles[i], dev.ptr, 5000, i * 8192, i * 8192), 5000);
        });
    for (std::thread& t : threads) t.join();
    interposed::copies_meet = 0;
    for (std::size_t i = 0; i < handles.size(); ++i)
        EXPECT_TRUE(MatchesPattern(dev.View() + i * 8192, 5000, i * 8192));
    return interposed::copies_met;
}

// Regression: separately opened descriptors of one file, which share
// neither flags nor position, took turns for their CPU copies.  They copy at
// once, and so does a descriptor number closed and reused for another open
// of the file while a dup() of the old one stays registered.  Nothing the
// library opens for this outlives the handles.
TEST_F(Fallback, SeparateOpensOfOneFileCopyAtOnce) {
    Run(1 << 20, 1 << 20, [](TransferRig& rig) {
        const std::size_t before = sandbox::DirectoryEntries("/proc/self/fd").size();
        {
            const Registered a(rig.file), b(rig.file);
            EXPECT_TRUE(CopiesAtOnce({rig.fh, a.fh, b.fh}, rig.dev));
            const int old_fd = rig.file.Open(O_RDWR | O_DIRECT), kept = ::dup(old_fd);
            const DGfileHandle_t first = Register(old_fd), second = Register(kept);
            dgFileHandleDeregister(first);
            ::close(old_fd);
            const Registered reused(rig.file);
            ASSERT_EQ(reused.fd, old_fd);
            EXPECT_TRUE(CopiesAtOnce({second, reused.fh}, rig.dev));
            dgFileHandleDeregister(second);
            ::close(kept);
        }
        EXPECT_EQ(sandbox::DirectoryEntries("/proc/self/fd").size(), before);
    });
}

// The library closes no descriptor of a registered file: a close would drop
// the process's POSIX record locks on it, which the application still holds
// through its own descriptor after the handle is gone.
TEST_F(Fallback, DeregisteringKeepsTheApplicationsRecordLocks) {
    Run(8192, 8192, [](TransferRig& rig) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_len = 4096;
        ASSERT_EQ(::fcntl(rig.fd, F_SETLK, &lock), 0);
        dgFileHandleDeregister(Register(rig.file.Open(O_RDONLY | O_DIRECT)));
        const pid_t child = ::fork();
        if (child == 0) {  // another process sees the lock, or it is gone
            struct flock probe {};
            probe.l_type = F_WRLCK;
            probe.l_len = 4096;
            _exit(::fcntl(rig.fd, F_GETLK, &probe) == 0 && probe.l_type == F_WRLCK ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the record lock was dropped";
    });
}

// ---- User callbacks -------------------------------------------------------------

struct CallbackLog {
    void* handle = nullptr;
    const char* buffer = nullptr;
    std::size_t size = 0;
    loff_t offset = -1;
    dgfileRDMAInfo_t* rdma = nullptr;
    int calls = 0;
};
CallbackLog g_read_calls, g_write_calls;

ssize_t RecordRead(void* h, char* buf, std::size_t n, loff_t off, dgfileRDMAInfo_t* rdma) {
    g_read_calls = {h, buf, n, off, rdma, g_read_calls.calls + 1};
    return 4242;
}
ssize_t RecordWrite(void* h, const char* buf, std::size_t n, loff_t off, dgfileRDMAInfo_t* rdma) {
    g_write_calls = {h, buf, n, off, rdma, g_write_calls.calls + 1};
    return -7;
}

TEST(Callbacks, ComeFirstForEveryKindWithOrWithoutTheDevice) {
    for (bool device : {true, false}) {
        auto opts = Logged();
        opts.device_node = device;
        auto r = Sandboxed(opts, [device] {
            qrvd_sim_set_enabled(device);
            ScratchFile file(65536);
            const int fd = file.Open(O_RDWR | O_DIRECT);
            DGfileFSOps_t ops{};
            ops.read = RecordRead;
            ops.write = RecordWrite;
            DeviceBuffer dev(65536);
            for (auto kind : {DG_FILE_HANDLE_TYPE_OPAQUE_FD, DG_FILE_HANDLE_TYPE_OPAQUE_WIN32,
                              DG_FILE_HANDLE_TYPE_USERSPACE_FS}) {
                DGfileDescr_t descr{};
                descr.type = kind;
                descr.handle.fd = fd;
                descr.fs_ops = &ops;
                DGfileHandle_t fh = nullptr;
                ASSERT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_SUCCESS);
                g_read_calls = g_write_calls = {};
                EXPECT_EQ(dgFileRead(fh, dev.ptr, 1000, 77, 512), 4242);
                EXPECT_EQ(dgFileWrite(fh, dev.At(4096), 2000, 99, 1024), -7);
                EXPECT_EQ(g_read_calls.calls, 1);
                EXPECT_EQ(g_read_calls.handle, descr.handle.handle);
                EXPECT_EQ(g_read_calls.buffer, dev.ptr);  // no device offset added
                EXPECT_EQ(g_read_calls.size, 1000u);
                EXPECT_EQ(g_read_calls.offset, 77);
                EXPECT_NE(g_read_calls.rdma, nullptr);
                EXPECT_EQ(g_write_calls.calls, 1);
                EXPECT_EQ(g_write_calls.buffer, dev.At(4096));
                EXPECT_EQ(g_write_calls.size, 2000u);
                EXPECT_EQ(g_write_calls.offset, 99);
                EXPECT_EQ(g_write_calls.rdma, g_read_calls.rdma);  // the handle's own record
                dgFileHandleDeregister(fh);
            }
            // Without callbacks a kind other than a POSIX descriptor has no
            // transfer path: 0, and nothing touched.  That includes values no
            // kind is named for.
            ops.read = nullptr;
            ops.write = nullptr;
            for (int kind : {int{DG_FILE_HANDLE_TYPE_USERSPACE_FS}, 0, 99}) {
                DGfileDescr_t descr{};
                std::memcpy(&descr.type, &kind, sizeof kind);
                descr.handle.fd = fd;
                descr.fs_ops = &ops;
                DGfileHandle_t fh = nullptr;
                ASSERT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_SUCCESS);
                EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, 0, 0), 0);
                EXPECT_EQ(dgFileWrite(fh, dev.ptr, 4096, 0, 0), 0);
                dgFileHandleDeregister(fh);
            }
            EXPECT_TRUE(AllEqual(dev.View(), 65536, 0xee));
            ::close(fd);
        });
        EXPECT_TRUE(Messages(r.out, "read").empty()) << r.out;
        EXPECT_TRUE(Messages(r.out, "write").empty()) << r.out;
    }
}

// ---- The device connection seen through a handle -----------------------------------

TEST(Connection, AHandleUsesWhateverConnectionIsOpenAtEachTransfer) {
    auto r = Sandboxed(Logged(), [] {
        qrvd_sim_set_enabled(1);
        TransferRig rig;
        const DGfileHandle_t fh = rig.fh;
        const DeviceBuffer& dev = rig.dev;
        qrvd_sim_counters c{};
        EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, 0, 0), 4096);
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.requests, 1u);
        EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, 4096, 4096), 4096);  // CPU copy
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.requests, 1u);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, 8192, 8192), 4096);
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.requests, 2u);
        EXPECT_EQ(c.opens, 2u);
        EXPECT_TRUE(MatchesPattern(dev.View(), 12288, 0));
    });
    EXPECT_EQ(ShapesOf(r, "read"),
              (std::vector<std::string>{"timing size = 4096", "KMD", kFallbackStart,
                                        "timing size = 4096", "Host", "timing size = 4096",
                                        "KMD"}));
}


// ---- Transfer statistics ---------------------------------------------------------------

using json = nlohmann::json;

// A user-space file system's handle with the callbacks of `ops`.
DGfileHandle_t RegisterCallbacks(const DGfileFSOps_t* ops) {
    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_USERSPACE_FS;
    descr.fs_ops = ops;
    DGfileHandle_t fh = nullptr;
    EXPECT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_SUCCESS);
    return fh;
}

constexpr const char* kStatsDir = "/opt/tavo/etc";

// Every path, every reason a direct attempt did not complete with what
// followed, and every reason a CPU copy failed, in one process whose
// statistics are then read back.
void EveryOutcomeOnce() {
    qrvd_sim_set_enabled(1);
    // Regression: the statistics timed the direct path and the CPU copy with
    // the wall clock, and a step back added about 2^64 microseconds.
    interposed::clock_steps_back = true;
    ScratchFile file(1 << 20);
    const Registered direct(file), wronly(file, O_WRONLY | O_DIRECT);
    const DGfileHandle_t fh = direct.fh, wfh = wronly.fh;
    ::setenv("DGFILE_DISABLE_CPU", "YES", 1);
    const DGfileHandle_t strict = Register(direct.fd);
    ::unsetenv("DGFILE_DISABLE_CPU");
    DGfileFSOps_t ops{};
    ops.read = RecordRead;
    ops.write = RecordWrite;
    const DGfileHandle_t cfh = RegisterCallbacks(&ops);
    DeviceBuffer dev(1 << 20), small(4096);
    std::vector<unsigned char> host(4096);

    EXPECT_EQ(dgFileRead(fh, dev.ptr, 65536, 0, 0), 65536);  // direct
    EXPECT_EQ(dgFileWrite(fh, dev.ptr, 65536, 65536, 0), 65536);  // direct
    ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, EIO, 1), 0);
    EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, 0, 0), 4096);  // refused (EIO), CPU copy
    EXPECT_EQ(dgFileRead(strict, dev.ptr, 4096, 0, 0), -1);  // refused (EIO), disabled
    ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_ZERO, 0, 1), 0);
    EXPECT_EQ(dgFileWrite(fh, dev.ptr, 4096, 8192, 0), 4096);  // 0 bytes, CPU copy
    qrvd_sim_clear_fault();
    EXPECT_EQ(dgFileRead(fh, small.ptr, 8192, 0, 0), -1);  // refused (EFAULT), outside
    EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, -4096, 0), -1);  // refused (EINVAL), seek
    EXPECT_EQ(dgFileRead(wfh, dev.ptr, 4096, 0, 0), -1);  // refused (EBADF), read()
    EXPECT_EQ(dgFileRead(fh, host.data(), 4096, 0, 0), 4096);  // unknown pointer, CPU copy
    EXPECT_EQ(dgFileRead(fh, small.At(4096), 4096, 0, 0), -1);  // unknown, runtime copy
    EXPECT_EQ(dgFileRead(cfh, dev.ptr, 100, 0, 0), 4242);  // callback
    EXPECT_EQ(dgFileWrite(cfh, dev.ptr, 100, 0, 0), -7);  // callback failed
    EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
    EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, 0, 0), 4096);  // no device, CPU copy
    for (DGfileHandle_t h : {strict, cfh}) dgFileHandleDeregister(h);
}

// 140 reads refused with 140 errnos (some without a name) by each of two
// threads, each read then copied by the CPU.
constexpr int kRefusals = 140;
void EveryErrnoTwice() {
    qrvd_sim_set_enabled(1);
    TransferRig rig(4096, 4096);
    const DGfileHandle_t fh = rig.fh;
    const DeviceBuffer& dev = rig.dev;
    std::mutex fault;
    auto refused = [&] {
        for (int e = 1; e <= kRefusals; ++e) {
            std::lock_guard<std::mutex> lock(fault);
            ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, e, 1), 0);
            EXPECT_EQ(dgFileRead(fh, dev.ptr, 4096, 0, 0), 4096);
        }
    };
    std::thread other(refused);
    refused();
    other.join();
}

// Ten user-callback reads, the tenth 5 ms long.
ssize_t SlowTenth(void*, char*, std::size_t n, loff_t, dgfileRDMAInfo_t*) {
    static int calls = 0;
    if (++calls % 10 == 0) ::usleep(5000);
    return static_cast<ssize_t>(n);
}
void TenCallbacksOneSlow() {
    DGfileFSOps_t ops{};
    ops.read = SlowTenth;
    const DGfileHandle_t fh = RegisterCallbacks(&ops);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(dgFileRead(fh, nullptr, 100, 0, 0), 100);
    dgFileHandleDeregister(fh);
}

// The JSON summary of `body` run to exit in a child (in kStatsDir, named
// after the child, then removed); discarded when it does not parse.
json JsonSummaryOf(const std::function<void()>& body) {
    ::setenv("DGFILE_STATS", "/opt/tavo/etc/stats.%p.json", 1);
    ::setenv("DGFILE_STATS_FORMAT", "json", 1);
    EXPECT_EQ(RunToExit(body), 0);
    json stats(json::value_t::discarded);
    for (const std::string& n : sandbox::DirectoryEntries(kStatsDir)) {
        if (n.rfind("stats.", 0) != 0) continue;
        stats = json::parse(sandbox::ReadFile(std::string(kStatsDir) + "/" + n), nullptr, false);
        EXPECT_TRUE(stats.is_object() && n == "stats." + stats["process"].dump() + ".json") << n;
        ::unlink((std::string(kStatsDir) + "/" + n).c_str());
    }
    return stats;
}

// The (then_cpu_copy, then_failure) pair of a direct miss in the JSON.
std::pair<int, int> Missed(const json& stats, const std::string& reason, int error = -1) {
    for (const json& m : stats["direct_misses"])
        if (m["reason"] == reason && (error < 0 || m["errno"] == error))
            return {m["then_cpu_copy"].get<int>(), m["then_failure"].get<int>()};
    return {-1, -1};
}

TEST(Stats, EveryReasonLandsInItsCounterWithWhatFollowed) {
    auto r = Sandboxed(Logged(), [] {
        const json stats = JsonSummaryOf(EveryOutcomeOnce);
        ASSERT_TRUE(stats.is_object());
        const json& paths = stats["paths"];
        EXPECT_EQ(paths["direct"]["transfers"], 2);
        EXPECT_EQ(paths["direct"]["bytes"], 131072);
        EXPECT_EQ(paths["cpu_copy"]["transfers"], 4);
        EXPECT_EQ(paths["cpu_copy"]["bytes"], 16384);
        EXPECT_EQ(paths["callbacks"]["transfers"], 1);
        EXPECT_EQ(paths["callbacks"]["bytes"], 4242);
        EXPECT_EQ(paths["callbacks"]["failed"], 1);
        for (const char* p : {"direct", "cpu_copy", "callbacks"}) {
            int sum = 0;
            for (const json& n : paths[p]["latency_us_under_2_pow"]) sum += n.get<int>();
            EXPECT_EQ(sum, paths[p]["transfers"]) << p;
            EXPECT_LT(paths[p]["microseconds"].get<std::uint64_t>(), 10000000u) << p;
        }
        EXPECT_EQ(Missed(stats, "no_device"), std::make_pair(1, 0));
        EXPECT_EQ(Missed(stats, "unknown_pointer"), std::make_pair(1, 1));
        EXPECT_EQ(Missed(stats, "zero_bytes"), std::make_pair(1, 0));
        EXPECT_EQ(Missed(stats, "driver_refused", EIO), std::make_pair(1, 1));
        EXPECT_EQ(Missed(stats, "driver_refused", EFAULT), std::make_pair(0, 1));
        EXPECT_EQ(Missed(stats, "driver_refused", EINVAL), std::make_pair(0, 1));
        EXPECT_EQ(Missed(stats, "driver_refused", EBADF), std::make_pair(0, 1));
        EXPECT_EQ(stats["direct_misses"].size(), 7u);
        EXPECT_EQ(stats["cpu_copy_failures"],
                  json::parse(R"({"outside_allocation":1,"disabled":1,"flags":0,"seek":1,)"
                              R"("buffer":0,"io":1,"copy":1})"));
        EXPECT_EQ(stats["handles"], json::parse(R"({"registered":4,"deregistered":4})"));
        EXPECT_EQ(stats["device_connection"], json::parse(R"({"opened":1,"closed":1})"));
        EXPECT_EQ(stats["batches"]["submitted"], 0);
        EXPECT_EQ(stats["verdict"],
                  "86.4 % of bytes moved by the direct path; 4 transfers fell back: no device "
                  "connection 1, pointer unknown to the runtime 1, driver refused (EIO) 1, driver "
                  "moved 0 bytes 1; 5 failed: device range outside its allocation 1, CPU copy "
                  "disabled 1, seek 1, read/write 1, runtime copy 1");

        // The same process as a text summary on standard error: the same
        // figures and verdict.
        ::setenv("DGFILE_STATS", "stderr", 1);
        ::unsetenv("DGFILE_STATS_FORMAT");
        ASSERT_EQ(RunToExit(EveryOutcomeOnce), 0);
        std::printf("json verdict: %s\n", stats["verdict"].get<std::string>().c_str());
    });
    const auto lines = sandbox::Lines(r.err);
    auto row = [&lines](const std::string& start) {
        for (const std::string& l : lines)
            if (l.rfind(start, 0) == 0) return l;
        return std::string();
    };
    EXPECT_EQ(row("dgfile statistics, process ").empty(), false) << r.err;
    EXPECT_EQ(row("  direct ").substr(0, 40), "  direct              2           131072") << r.err;
    EXPECT_EQ(row("  CPU copy ").substr(0, 40), "  CPU copy            4            16384") << r.err;
    EXPECT_EQ(row("    driver refused (EIO) "),
              "    driver refused (EIO)                                 1             1");
    EXPECT_EQ(row("  CPU copies that failed: "),
              "  CPU copies that failed: device range outside its allocation 1, CPU copy "
              "disabled 1, seek 1, read/write 1, runtime copy 1");
    const std::string verdict = r.out.substr(r.out.find("json verdict: ") + 14);
    EXPECT_EQ("  " + verdict.substr(0, verdict.find('\n')), lines.back());
}

TEST(Stats, EveryErrnoGetsItsEntryAndNoSummaryIsCut) {
    auto r = Sandboxed(Logged(), [] {
        const json stats = JsonSummaryOf(EveryErrnoTwice);
        ASSERT_TRUE(stats.is_object());
        EXPECT_EQ(stats["direct_misses"].size(), 3u + kRefusals);
        for (int e = 1; e <= kRefusals; ++e)
            EXPECT_EQ(Missed(stats, "driver_refused", e), std::make_pair(2, 0)) << e;
        ::setenv("DGFILE_STATS", "stderr", 1);
        ::unsetenv("DGFILE_STATS_FORMAT");
        ASSERT_EQ(RunToExit(EveryErrnoTwice), 0);
    });
    ASSERT_FALSE(r.err.empty());
    const std::string verdict = sandbox::Lines(r.err).back();
    int reasons = 0;
    for (std::size_t at = 0; (at = verdict.find("driver refused (", at)) != std::string::npos; ++at)
        ++reasons;
    EXPECT_EQ(reasons, kRefusals) << verdict;
    EXPECT_TRUE(verdict.ends_with(", driver refused (140) 2")) << verdict;
}

// The slowest of ten transfers is the 99th percentile (nearest rank).
TEST(Stats, PercentilesAreNearestRank) {
    Sandboxed(Logged(), [] {
        const json stats = JsonSummaryOf(TenCallbacksOneSlow);
        ASSERT_TRUE(stats.is_object());
        const json& callbacks = stats["paths"]["callbacks"];
        EXPECT_GT(callbacks["p99_us_under"], 5000) << callbacks;
        EXPECT_LT(callbacks["p50_us_under"], 5000) << callbacks;
    });
}

// A link or a FIFO planted at the summary's name: one message, nothing
// written through it, and the process still exits; a regular file there is
// replaced whole.
TEST(Stats, ALinkOrFifoAtTheSummarysNameIsRefusedWithoutWaiting) {
    const std::string at = std::string(kStatsDir) + "/s.txt", target = at + ".target";
    sandbox::Options opts;
    opts.env = {{"DGFILE_STATS", at}};
    auto r = Sandboxed(opts, [&] {
        sandbox::WriteFile(target, "kept");
        ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0);
        EXPECT_EQ(RunToExit(TenCallbacksOneSlow), 0);
        EXPECT_EQ(sandbox::ReadFile(target), "kept");
        ASSERT_EQ(::unlink(at.c_str()) == 0 && ::mkfifo(at.c_str(), 0644) == 0, true);
        EXPECT_EQ(RunToExit(TenCallbacksOneSlow, 20000), 0);
        ASSERT_EQ(::unlink(at.c_str()), 0);
        sandbox::WriteFile(at, std::string(8192, 'x'));
        EXPECT_EQ(RunToExit(TenCallbacksOneSlow), 0);
        EXPECT_EQ(sandbox::ReadFile(at).find('x'), std::string::npos);
    });
    EXPECT_EQ(r.err, "dgfile: cannot write statistics to " + at +
                         ": Too many levels of symbolic links\n"
                         "dgfile: cannot write statistics to " + at +
                         ": No such device or address\n");
}

TEST(Stats, OnePerProcessNothingWhenOffOrAfterUnderscoreExit) {
    auto opts = Logged({{"DGFILE_STATS", std::string(kStatsDir) + "/s.%p.txt"}});
    opts.device_node = false;
    auto r = Sandboxed(opts, [] {
        ScratchFile file(65536);
        DeviceBuffer dev(65536);
        auto reads = [&](int n) {
            const Registered reg(file);
            for (int i = 0; i < n; ++i) EXPECT_EQ(dgFileRead(reg.fh, dev.ptr, 4096, 0, 0), 4096);
        };
        // A forked child starts from zero and writes its own summary.
        ASSERT_EQ(RunToExit([&] {
                      reads(1);
                      ASSERT_EQ(RunToExit([&] { reads(2); }), 0);
                  }),
                  0);
        auto names = sandbox::DirectoryEntries(kStatsDir);
        std::vector<std::string> rows;
        for (const std::string& n : names) {
            if (n.rfind("s.", 0) != 0) continue;
            const std::string text = sandbox::ReadFile(std::string(kStatsDir) + "/" + n);
            const std::string pid = n.substr(2, n.size() - 6);
            EXPECT_NE(text.find("dgfile statistics, process " + pid + "\n"), std::string::npos);
            for (const std::string& l : sandbox::Lines(text))
                if (l.rfind("  CPU copy ", 0) == 0) rows.push_back(l.substr(0, 23));
        }
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, (std::vector<std::string>{"  CPU copy            1",
                                                  "  CPU copy            2"}));
        for (const std::string& n : names)
            if (n.rfind("s.", 0) == 0) ::unlink((std::string(kStatsDir) + "/" + n).c_str());

        // _exit writes nothing; unset or empty collects nothing; invalid
        // values say so once and collect nothing.
        const pid_t quick = ::fork();
        if (quick == 0) {
            reads(1);
            _exit(0);
        }
        ::waitpid(quick, nullptr, 0);
        for (auto [where, how] : {std::pair<const char*, const char*>{nullptr, nullptr},
                                  {"", nullptr},
                                  {"/opt/tavo/etc/s.%d", nullptr},
                                  {"/opt/tavo/etc/s.txt", "xml"}}) {
            if (where != nullptr)
                ::setenv("DGFILE_STATS", where, 1);
            else
                ::unsetenv("DGFILE_STATS");
            if (how != nullptr) ::setenv("DGFILE_STATS_FORMAT", how, 1);
            ASSERT_EQ(RunToExit([&] { reads(1); }), 0);
        }
        names = sandbox::DirectoryEntries(kStatsDir);
        EXPECT_EQ(std::count_if(names.begin(), names.end(),
                                [](const std::string& n) { return n.rfind("s.", 0) == 0; }),
                  0);
    });
    EXPECT_EQ(r.err,
              "dgfile: DGFILE_STATS must be \"stderr\" or a file path (\"%p\" stands for the "
              "process id, \"%%\" for \"%\"), not \"/opt/tavo/etc/s.%d\": no statistics are "
              "collected\n"
              "dgfile: DGFILE_STATS_FORMAT must be \"text\" or \"json\", not \"xml\": no "
              "statistics are collected\n");
}

// ---- Concurrency ---------------------------------------------------------------------

// From now on kcmp fails with EPERM on this thread and the threads it
// starts, as where a security policy forbids it.  False where the kernel
// takes no filter (a user-mode emulator refuses them).
bool RefuseKcmp() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_kcmp, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        return false;
    errno = 0;
    EXPECT_EQ(::syscall(SYS_kcmp, ::getpid(), ::getpid(), KCMP_FILE, 1, 1), -1);
    EXPECT_EQ(errno, EPERM);
    return true;
}

// Threads read and write disjoint ranges through one shared handle and through
// handles of their own; every byte is checked afterwards.
void ManyThreads(bool direct) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 16;
    constexpr std::size_t kBlock = 16384;
    qrvd_sim_set_enabled(direct);
    TransferRig rig(kThreads * kRounds * kBlock * 2, kThreads * kRounds * kBlock);
    const DGfileHandle_t shared = rig.fh;
    const DeviceBuffer& dev = rig.dev;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const Registered own(rig.file);
            for (int round = 0; round < kRounds; ++round) {
                DGfileHandle_t fh = (round % 2) ? own.fh : shared;
                std::size_t slot = (static_cast<std::size_t>(t) * kRounds + round) * kBlock;
                if (dgFileRead(fh, dev.ptr, kBlock, static_cast<off_t>(slot),
                               static_cast<off_t>(slot)) != static_cast<ssize_t>(kBlock))
                    failures.fetch_add(1);
                // Copy the block just read to the second half of the file.
                off_t target = static_cast<off_t>(kThreads * kRounds * kBlock + slot);
                if (dgFileWrite(fh, dev.ptr, kBlock, target, static_cast<off_t>(slot)) !=
                    static_cast<ssize_t>(kBlock))
                    failures.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    std::size_t half = kThreads * kRounds * kBlock;
    EXPECT_TRUE(MatchesPattern(dev.View(), half, 0));
    auto contents = rig.file.Contents();
    EXPECT_TRUE(MatchesPattern(contents.data(), half, 0));
    EXPECT_TRUE(MatchesPattern(contents.data() + half, half, 0));
}

// Regression: the CPU copy changes the flags and the position of the open
// file, which every handle registered on the descriptor or on a dup() of it
// shares.  Threads on such handles, and a batch naming them, read unaligned
// ranges (so the driver refuses them and the CPU copy runs) and write each
// range back where it came from: every result must be whole, every device
// byte right, and the file unchanged.  With `refuse_kcmp`, the kernel
// refuses to compare descriptors from the second registration on.
void HandlesSharingOneFile(bool direct, bool refuse_kcmp) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 300;
    constexpr std::size_t kFile = 1 << 20;
    constexpr std::size_t kMost = 20000;
    qrvd_sim_set_enabled(direct);
    if (direct) {
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, EIO, 3), 0);
    }
    ScratchFile file(kFile);
    const int fd = file.Open(O_RDWR | O_DIRECT);
    const int dup_fd = ::dup(fd);
    const DGfileHandle_t first = Register(fd);
    if (refuse_kcmp && !RefuseKcmp()) {
        std::fprintf(stderr, "the kernel takes no seccomp filter here\n");
        _exit(sandbox::kRefused);  // the test is marked skipped
    }
    const DGfileHandle_t handles[] = {first, Register(dup_fd), Register(fd)};
    std::atomic<int> failures{0};
    auto next = [](std::uint64_t& state) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return state >> 33;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            DeviceBuffer dev(kMost);
            std::uint64_t state = static_cast<std::uint64_t>(t) + 1;
            for (int round = 0; round < kRounds && failures.load() < 5; ++round) {
                const std::size_t n = 1 + next(state) % kMost;
                const off_t at = static_cast<off_t>(next(state) % (kFile - n));
                const DGfileHandle_t fh = handles[(t + round) % 3];
                dgMemset(dev.ptr, 0xee, kMost);
                if (dgFileRead(fh, dev.ptr, n, at, 0) != static_cast<ssize_t>(n) ||
                    !MatchesPattern(dev.View(), n, static_cast<std::uint64_t>(at)) ||
                    dgFileWrite(fh, dev.ptr, n, at, 0) != static_cast<ssize_t>(n)) {
                    ADD_FAILURE() << "thread " << t << ": " << n << " bytes at " << at;
                    failures.fetch_add(1);
                }
            }
        });
    }
    // Meanwhile batches whose requests alternate between the handles.
    DGfileBatchHandle_t batch = nullptr;
    ASSERT_EQ(dgFileBatchIOSetUp(&batch, 4).err, DG_FILE_SUCCESS);
    DeviceBuffer dev(4 * kMost);
    std::uint64_t state = 99;
    for (int round = 0; round < kRounds / 4 && failures.load() < 5; ++round) {
        DGfileIOParams_t reqs[4] = {};
        for (unsigned i = 0; i < 4; ++i) {
            reqs[i].mode = DGFILE_BATCH;
            reqs[i].opcode = DGFILE_READ;
            reqs[i].fh = handles[i % 2];
            reqs[i].u.batch.devPtr_base = dev.ptr;
            reqs[i].u.batch.devPtr_offset = static_cast<off_t>(i * kMost);
            reqs[i].u.batch.size = 1 + next(state) % kMost;
            reqs[i].u.batch.file_offset =
                static_cast<off_t>(next(state) % (kFile - reqs[i].u.batch.size));
            reqs[i].cookie = &reqs[i];
        }
        dgMemset(dev.ptr, 0xee, 4 * kMost);
        ASSERT_EQ(dgFileBatchIOSubmit(batch, 4, reqs, 0).err, DG_FILE_SUCCESS);
        DGfileIOEvents_t events[4];
        unsigned nr = 4;
        ASSERT_EQ(dgFileBatchIOGetStatus(batch, 4, &nr, events, nullptr).err, DG_FILE_SUCCESS);
        ASSERT_EQ(nr, 4u);
        for (const DGfileIOEvents_t& e : events) {
            const auto* q = static_cast<const DGfileIOParams_t*>(e.cookie);
            const std::size_t dev_off = static_cast<std::size_t>(q->u.batch.devPtr_offset);
            if (e.ret != q->u.batch.size ||
                !MatchesPattern(dev.View() + dev_off, q->u.batch.size,
                             static_cast<std::uint64_t>(q->u.batch.file_offset))) {
                ADD_FAILURE() << "batch: " << q->u.batch.size << " bytes at "
                              << q->u.batch.file_offset << " gave " << e.ret;
                failures.fetch_add(1);
            }
        }
    }
    for (auto& th : threads) th.join();
    dgFileBatchIODestroy(batch);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(MatchesPattern(file.Contents().data(), kFile, 0));
    for (DGfileHandle_t fh : handles) dgFileHandleDeregister(fh);
    ::close(dup_fd);
    ::close(fd);
}

// Runs body(direct) in a sandboxed child with a device node (direct) and
// without one.
void WithAndWithoutDevice(void (*body)(bool)) {
    for (bool direct : {true, false}) {
        sandbox::Options opts;
        opts.device_node = direct;
        SCOPED_TRACE(direct ? "with the device" : "without the device");
        Sandboxed(opts, [&] { body(direct); });
    }
}

TEST(Concurrency, HandlesSharingOneFileNeverMixTheirBytes) {
    WithAndWithoutDevice([](bool direct) { HandlesSharingOneFile(direct, false); });
}

// The later handles cannot be matched with the first, which holds its
// description's lock: the file's whole lock they take must exclude it too.
TEST(Concurrency, HandlesOfAnOpenFileTheKernelCannotTellNeverMixTheirBytes) {
    sandbox::Options cpu_only;
    cpu_only.device_node = false;
    Sandboxed(cpu_only, [] { HandlesSharingOneFile(false, true); });
}

TEST(Concurrency, ThreadsOnSharedAndOwnHandlesMoveEveryByte) { WithAndWithoutDevice(ManyThreads); }

// ---- fork --------------------------------------------------------------------------

// Regression: a child made by fork while other threads of the parent held
// the library's locks (one in a CPU copy, holding its handle's lock and its
// file's; one a batch request inside a slow driver request, holding its
// handle's lock) blocked for ever on the first of them it needed.  The
// child transfers through a new handle on the same file, through both busy
// handles and through one that needs the file's whole lock, and the
// inherited batch, whose request never runs in the child, ends there
// instead of being waited for.
TEST(Fork, AChildNeverWaitsForLocksItsParentsThreadsHeld) {
    Sandboxed([] {
        qrvd_sim_set_enabled(1);
        ScratchFile file(1 << 20);
        const int fd = file.Open(O_RDWR | O_DIRECT);
        DGfileHandle_t copying = Register(fd), requesting = Register(fd);
        DeviceBuffer dev(1 << 20);
        interposed::copy_gate = interposed::kArmed;
        // The driver refuses the first request, so it takes the CPU copy
        // (whether or not the file system takes a misaligned O_DIRECT one).
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, EIO, 1), 0);
        std::thread copier([&] { EXPECT_EQ(dgFileRead(copying, dev.ptr, 5000, 0, 0), 5000); });
        while (interposed::copy_gate.load() != interposed::kHeld) ::usleep(1000);
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 500000, 1), 0);
        DGfileBatchHandle_t batch = nullptr;
        ASSERT_EQ(dgFileBatchIOSetUp(&batch, 1).err, DG_FILE_SUCCESS);
        DGfileIOParams_t request{};
        request.mode = DGFILE_BATCH;
        request.opcode = DGFILE_READ;
        request.fh = requesting;
        request.u.batch = {dev.ptr, 65536, 65536, 4096};
        ASSERT_EQ(dgFileBatchIOSubmit(batch, 1, &request, 0).err, DG_FILE_SUCCESS);
        qrvd_sim_counters c{};
        do {
            ::usleep(1000);
            qrvd_sim_get_counters(&c);
        } while (c.requests < 2);

        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(20);  // a child that hangs ends by SIGALRM
            qrvd_sim_clear_fault();
            interposed::copy_gate = interposed::kOpen;
            const int own = file.Open(O_RDWR | O_DIRECT);
            DGfileHandle_t fresh = Register(own);
            dgMemset(dev.ptr, 0xee, 1 << 20);
            bool ok = dgFileRead(fresh, dev.ptr, 5000, 8192, 0) == 5000 &&
                      dgFileRead(copying, dev.At(16384), 5000, 16384, 0) == 5000 &&
                      dgFileRead(requesting, dev.At(32768), 4096, 32768, 0) == 4096 &&
                      MatchesPattern(dev.View(), 5000, 8192) &&
                      MatchesPattern(dev.View() + 16384, 5000, 16384) &&
                      MatchesPattern(dev.View() + 32768, 4096, 32768);
            // With kcmp refused (where the kernel takes the filter), a new
            // handle takes the file's whole lock, which the copier held shared.
            RefuseKcmp();
            const DGfileHandle_t whole = Register(file.Open(O_RDWR | O_DIRECT));
            ok = ok && dgFileRead(whole, dev.At(49152), 5000, 49152, 0) == 5000 &&
                 MatchesPattern(dev.View() + 49152, 5000, 49152);
            DGfileIOEvents_t event{};
            unsigned nr = 1;
            ok = ok && dgFileBatchIOGetStatus(batch, 1, &nr, &event, nullptr).err == 0 &&
                 nr == 1 && event.status == DGFILE_CANCELED && event.ret == SIZE_MAX;
            dgFileBatchIODestroy(batch);
            dgFileHandleDeregister(fresh);
            sandbox::ExitChild(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0) << "the child hung (signal 14) or failed";
        interposed::copy_gate = interposed::kOpen;
        copier.join();
        DGfileIOEvents_t event{};
        unsigned nr = 1;
        ASSERT_EQ(dgFileBatchIOGetStatus(batch, 1, &nr, &event, nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(event.status, DGFILE_COMPLETE);
        EXPECT_EQ(event.ret, 4096u);
        dgFileBatchIODestroy(batch);
        dgFileHandleDeregister(copying);
        dgFileHandleDeregister(requesting);
        ::close(fd);
    });
}

}  // namespace
