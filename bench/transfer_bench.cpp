// SPDX-License-Identifier: Apache-2.0
// Transfer throughput against hand-written baselines, in one run on the
// simulated platform:
//  1. the direct path against a plain O_DIRECT pread into the same device
//     memory's host view (what the simulated driver does underneath);
//  2. the CPU fallback against its limit: a plain read into a host buffer
//     reused from call to call, then one memcpy into device memory;
//  3. the C++ interface (dgfile.hpp) against the C calls it makes: a 4 KiB
//     dgfile::file::read against dgFileRead on the same handle, and
//     dgfile::load with one lane (1 MiB chunks, moved by the calling thread
//     through the caller's handle) against the same loop of dgFileRead
//     written in C.  The loader's lanes, which open the file anew, are
//     loader_bench's to measure.
// Candidate and baseline alternate call by call (or batch by batch for small
// sizes) so that drift of the machine hits both alike; the median is kept.
//
// Usage: transfer_bench [--quick] [directory for the test file, default /var/tmp]
// --quick runs every path once on small sizes (a smoke run, no figures).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dgfile.h"
#include "dgfile.hpp"
#include "dgrt.h"
#include "qrv_runtime.h"
#include "qrvd_sim.h"
#include "timing.h"

namespace {

constexpr std::size_t KiB = 1024, MiB = 1024 * KiB;

// Times `batch` calls per round, candidate and baseline in alternating rounds
// (bench::Alternate); the baseline works on the other half of the file so
// that it does not read what the candidate just brought into a cache.
// Returns the median seconds per call of each.
std::pair<double, double> Compare(int rounds, int batch, std::size_t slots,
                                  const std::function<bool(std::size_t)>& candidate,
                                  const std::function<bool(std::size_t)>& baseline) {
    auto timed = [&](const std::function<bool(std::size_t)>& fn, std::size_t first) {
        auto t0 = bench::Clock::now();
        for (int i = 0; i < batch; ++i)
            if (!fn((first + static_cast<std::size_t>(i)) % slots)) {
                std::fprintf(stderr, "transfer failed\n");
                std::exit(1);
            }
        return bench::SecondsSince(t0) / batch;
    };
    return bench::Alternate(
        rounds,
        [&](int r) { return timed(candidate, static_cast<std::size_t>(r * batch)); },
        [&](int r) { return timed(baseline, static_cast<std::size_t>(r * batch) + slots / 2); });
}

// Reads the whole file once so that the page cache holds it.
bool WarmCache(int fd, std::size_t file_size) {
    std::vector<char> sink(8 * MiB);
    for (std::size_t off = 0; off < file_size; off += sink.size())
        if (::pread(fd, sink.data(), sink.size(), static_cast<off_t>(off)) < 0) return false;
    return true;
}

// A read callback that moves nothing and claims the whole size.
__attribute__((noinline)) ssize_t NoIo(void*, char* buffer, std::size_t size, loff_t,
                                       dgfileRDMAInfo_t*) {
    asm volatile("" : : "r"(buffer) : "memory");
    return static_cast<ssize_t>(size);
}

// A serving object for dgfile::file whose read moves nothing and claims the
// whole size, as NoIo does.
struct NoIoObject {
    ssize_t read(void* buffer, std::size_t size, off_t) {
        asm volatile("" : : "r"(buffer) : "memory");
        return static_cast<ssize_t>(size);
    }
};

// dgfile::load's one-lane loop written against the C interface: chunks of
// `io` bytes, each read with dgFileRead until whole.  True when every byte
// came.
bool LoadInC(DGfileHandle_t fh, void* dev, std::size_t size, off_t file_offset, std::size_t io) {
    for (std::size_t next = 0; next < size;) {
        ssize_t n = dgFileRead(fh, static_cast<char*>(dev) + next, std::min(io, size - next),
                               file_offset + static_cast<off_t>(next), 0);
        if (n <= 0) return false;
        next += static_cast<std::size_t>(n);
    }
    return true;
}

void Report(const char* what, std::size_t size, std::pair<double, double> t) {
    double gib = 1024.0 * 1024.0 * 1024.0;
    std::printf("%-9s %8zu KiB  candidate %8.3f GiB/s %10.2f us   baseline %8.3f GiB/s %10.2f us"
                "   ratio %.3f   added %+.2f us/call\n",
                what, size / KiB, size / t.first / gib, t.first * 1e6, size / t.second / gib,
                t.second * 1e6, t.second / t.first, (t.first - t.second) * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    const bench::SimArgs args = bench::SimArgs::Parse(argc, argv);
    const bool quick = args.quick;
    const std::string& dir = args.dir;
    if (!qrvd_sim_enable_if_no_device()) {
        std::fprintf(stderr, "a real /dev/qrvd exists; this benchmark runs on the simulator only\n");
        return 2;
    }
    const std::size_t file_size = quick ? 32 * MiB : 512 * MiB;
    const std::size_t device_size = quick ? 16 * MiB : 256 * MiB;
    std::string path = dir + "/dgfile-transfer-bench.dat";
    {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) { std::perror(path.c_str()); return 1; }
        std::vector<char> block(8 * MiB);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
        for (std::size_t off = 0; off < file_size; off += block.size())
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
                std::perror("write");
                return 1;
            }
        ::fsync(fd);
        ::close(fd);
    }
    int direct_fd = ::open(path.c_str(), O_RDWR | O_DIRECT);
    int plain_fd = ::open(path.c_str(), O_RDONLY);
    if (direct_fd < 0 || plain_fd < 0) { std::perror("open"); return 1; }

    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = direct_fd;
    DGfileHandle_t fh = nullptr;
    if (dgFileHandleRegister(&fh, &descr).err != DG_FILE_SUCCESS) { std::puts("register failed"); return 1; }
    // The C++ interface's own registration of the same descriptor.
    dgfile::file cxx = dgfile::file::wrap(direct_fd);

    void* dev = nullptr;
    if (dgMalloc(&dev, device_size) != 0) { std::puts("dgMalloc failed"); return 1; }
    char* view = static_cast<char*>(qrvd_sim_host_view(dev, device_size));
    std::memset(view, 0, device_size);  // fault the view in once, for both sides
    // The candidate of the comparisons on the file: dgFileRead of slot i.
    auto read_slot = [&](std::size_t size) {
        return [&, size](std::size_t i) {
            return dgFileRead(fh, dev, size, static_cast<off_t>(i * size), 0) ==
                   static_cast<ssize_t>(size);
        };
    };

    std::printf("file %s, %zu MiB; simulated platform; log %s; statistics %s\n", path.c_str(),
                file_size / MiB,
                std::getenv("DGFILE_DEBUG") ? std::getenv("DGFILE_DEBUG") : "as configured",
                std::getenv("DGFILE_STATS") ? std::getenv("DGFILE_STATS") : "off");

    // What a transfer costs the library itself, without any I/O: a handle
    // whose read callback returns at once, against the callback called
    // directly.  With DGFILE_STATS set, the difference to a run without it
    // is what collecting statistics adds to every transfer.
    {
        DGfileFSOps_t ops{};
        ops.read = NoIo;
        DGfileDescr_t cb{};
        cb.type = DG_FILE_HANDLE_TYPE_USERSPACE_FS;
        cb.fs_ops = &ops;
        DGfileHandle_t cfh = nullptr;
        if (dgFileHandleRegister(&cfh, &cb).err != DG_FILE_SUCCESS) return 1;
        char target[64];
        auto t = Compare(
            quick ? 3 : 41, quick ? 1 : 20000, 1,
            [&](std::size_t) { return dgFileRead(cfh, target, 4096, 0, 0) == 4096; },
            [&](std::size_t) { return ops.read(nullptr, target, 4096, 0, nullptr) == 4096; });
        std::puts("== user callback (candidate: dgFileRead; baseline: the callback called directly)");
        std::printf("callback  candidate %8.1f ns   baseline %8.1f ns   added %+.1f ns/call\n",
                    t.first * 1e9, t.second * 1e9, (t.first - t.second) * 1e9);
        dgFileHandleDeregister(cfh);

        // The same call through the C++ interface, on a file served by an
        // object: dgfile::file::read against dgFileRead on its handle.
        dgfile::file served = dgfile::file::serve(NoIoObject{});
        t = Compare(
            quick ? 3 : 41, quick ? 1 : 20000, 1,
            [&](std::size_t) { return served.read(target, 4096, 0, 0) == 4096; },
            [&](std::size_t) {
                return dgFileRead(served.native_handle(), target, 4096, 0, 0) == 4096;
            });
        std::puts("== C++ interface, 4 KiB read of a served file (candidate: dgfile::file::read; "
                  "baseline: dgFileRead on the same handle)");
        std::printf("C++ read  candidate %8.1f ns   baseline %8.1f ns   added %+.1f ns/call\n",
                    t.first * 1e9, t.second * 1e9, (t.first - t.second) * 1e9);
    }
    std::puts("== direct path (candidate: dgFileRead; baseline: O_DIRECT pread into the device view)");
    for (std::size_t size : {4 * KiB, 1 * MiB, 64 * MiB}) {
        if (size > device_size) continue;
        std::size_t slots = file_size / size;
        int batch = quick ? 1 : size <= 4 * KiB ? 256 : 1;
        int rounds = quick ? 3 : size <= 4 * KiB ? 41 : size <= MiB ? 301 : 15;
        auto t = Compare(
            rounds, batch, slots,
            read_slot(size),
            [&](std::size_t i) {
                off_t off = static_cast<off_t>(i * size);
                return ::pread(direct_fd, view, size, off) == static_cast<ssize_t>(size);
            });
        Report("direct", size, t);
    }

    // The same path with the page cache in front of the file: the descriptor
    // loses O_DIRECT after registration (the driver then reads through the
    // cache), so what remains of the difference is the cost of the call
    // itself, free of the disk's noise.
    {
        int registered = ::fcntl(direct_fd, F_GETFL);
        ::fcntl(direct_fd, F_SETFL, registered & ~O_DIRECT);
        if (!WarmCache(plain_fd, file_size)) return 1;
        // Both sizes, dgFileRead against baseline(size, slot).
        auto compare_cached = [&](const char* label, const auto& baseline) {
            for (std::size_t size : {4 * KiB, 1 * MiB})
                Report(label, size,
                       Compare(quick ? 3 : 41, quick ? 1 : 256, file_size / size, read_slot(size),
                               [&](std::size_t i) { return baseline(size, i); }));
        };
        std::puts("== direct path, cached file (candidate: dgFileRead; baseline: pread into the "
                  "device view)");
        compare_cached("cached", [&](std::size_t size, std::size_t i) {
            return ::pread(plain_fd, view, size, static_cast<off_t>(i * size)) ==
                   static_cast<ssize_t>(size);
        });
        // What the simulated platform itself costs: the pointer query and the
        // driver request made by hand, as a caller without the library would.
        std::puts("== direct path, cached file (candidate: dgFileRead; baseline: the same pointer "
                  "query and driver request made by hand)");
        int device = ::open(QRVD_DEVICE_PATH, O_RDWR);
        compare_cached("raw", [&](std::size_t size, std::size_t i) {
            qrv_vendor_pointer_info_t info{};
            info.size = sizeof info;
            if (qrv_vendor_pointer_info(dev, &info, nullptr, nullptr, nullptr) != 0) return false;
            qrvd_ioctl_file_inout_vram_args request{};
            request.gpu_id = info.agentOwner.gpu_id;
            request.handle = info.agentOwner.handle;
            request.mem_offset = static_cast<char*>(dev) - static_cast<char*>(info.agentBaseAddress);
            request.size = size;
            request.fd = static_cast<__u32>(direct_fd);
            request.fpos = i * size;
            request.op = QRVD_OP_READ;
            return ::ioctl(device, QRVD_IOC_VRAM_IO, &request) == 0 && request.size == size;
        });
        ::close(device);

        // The C++ interface on the same cached file.
        std::puts("== C++ interface, cached file (candidate: dgfile::file::read; baseline: "
                  "dgFileRead on the same handle)");
        auto read_4k = [&](std::size_t i) {
            return cxx.read(dev, 4 * KiB, static_cast<off_t>(i * 4 * KiB), 0) == 4 * KiB;
        };
        Report("C++ read", 4 * KiB,
               Compare(quick ? 3 : 41, quick ? 1 : 256, file_size / (4 * KiB), read_4k,
                       [&](std::size_t i) {
                           return dgFileRead(cxx.native_handle(), dev, 4 * KiB,
                                             static_cast<off_t>(i * 4 * KiB), 0) ==
                                  static_cast<ssize_t>(4 * KiB);
                       }));
        std::puts("== C++ loader, cached file (candidate: dgfile::load, one lane of 1 MiB "
                  "chunks; baseline: the same loop of dgFileRead in C)");
        const std::size_t load_size = quick ? 8 * MiB : 64 * MiB;
        Report("C++ load", load_size,
               Compare(quick ? 3 : 31, 1, file_size / load_size,
                       [&](std::size_t i) {
                           off_t off = static_cast<off_t>(i * load_size);
                           return dgfile::load(cxx, dev, load_size, off, {MiB, 1}) == load_size;
                       },
                       [&](std::size_t i) {
                           off_t off = static_cast<off_t>(i * load_size);
                           return LoadInC(cxx.native_handle(), dev, load_size, off, MiB);
                       }));
        ::fcntl(direct_fd, F_SETFL, registered);
    }

    // From here on the handle sees no device connection: every transfer
    // takes the CPU fallback.
    ::setenv("DGFILE_DISABLE_GDS", "YES", 1);
    dgFileDriverClose();
    if (!WarmCache(plain_fd, file_size)) return 1;
    std::vector<char> reused(device_size);
    std::memset(reused.data(), 1, reused.size());
    std::puts("== CPU fallback, warm page cache (candidate: dgFileRead; baseline: read into a "
              "reused host buffer + memcpy)");
    for (std::size_t size : {4 * KiB, 1 * MiB, 16 * MiB, 64 * MiB, 256 * MiB}) {
        if (size > device_size) continue;
        std::size_t slots = file_size / size;
        int batch = quick ? 1 : size <= 4 * KiB ? 256 : 1;
        int rounds = quick ? 3 : size <= 4 * KiB ? 41 : size <= 16 * MiB ? 61 : 9;
        auto t = Compare(
            rounds, batch, slots,
            read_slot(size),
            [&](std::size_t i) {
                off_t off = static_cast<off_t>(i * size);
                if (::lseek(plain_fd, off, SEEK_SET) != off) return false;
                if (::read(plain_fd, reused.data(), size) != static_cast<ssize_t>(size)) return false;
                std::memcpy(view, reused.data(), size);
                return true;
            });
        Report("fallback", size, t);
    }

    // A read asking for far more than a small file holds costs what the
    // file holds: the host buffer is sized by the file, not by the request.
    {
        const std::string small_path = dir + "/dgfile-transfer-bench-small.dat";
        int small_fd = ::open(small_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (small_fd < 0 || ::write(small_fd, reused.data(), 4 * KiB) != 4 * KiB) return 1;
        ::close(small_fd);
        small_fd = ::open(small_path.c_str(), O_RDWR | O_DIRECT);
        descr.handle.fd = small_fd;
        DGfileHandle_t small = nullptr;
        if (small_fd < 0 || dgFileHandleRegister(&small, &descr).err != DG_FILE_SUCCESS) return 1;
        std::printf("== CPU fallback, 4 KiB file (candidate: dgFileRead of %zu MiB; baseline: "
                    "dgFileRead of 4 KiB)\n", device_size / MiB);
        auto t = Compare(
            quick ? 3 : 41, quick ? 1 : 64, 1,
            [&](std::size_t) { return dgFileRead(small, dev, device_size, 0, 0) == 4 * KiB; },
            [&](std::size_t) { return dgFileRead(small, dev, 4 * KiB, 0, 0) == 4 * KiB; });
        Report("small", 4 * KiB, t);
        dgFileHandleDeregister(small);
        ::close(small_fd);
        ::unlink(small_path.c_str());
    }

    dgFileHandleDeregister(fh);
    cxx = dgfile::file();
    dgFree(dev);
    ::close(direct_fd);
    ::close(plain_fd);
    ::unlink(path.c_str());
    return 0;
}
