// SPDX-License-Identifier: Apache-2.0
// The C side of python_bench.py, which loads this library with ctypes: the
// same transfers as the Python side, made and timed in C, in the same
// process on the same file and device memory.  Not part of libdgfile.
// Any thread may call it; each call uses only what it is given.
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include "dgfile.h"

#define BENCH_API extern "C" __attribute__((visibility("default")))

namespace {
double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

// A handle on fd (opened with O_DIRECT), or NULL.
BENCH_API void* bench_register(int fd) {
    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = fd;
    DGfileHandle_t fh = nullptr;
    return dgFileHandleRegister(&fh, &descr).err == DG_FILE_SUCCESS ? fh : nullptr;
}

BENCH_API void bench_deregister(void* fh) { dgFileHandleDeregister(fh); }

// Seconds for `count` reads of `size` bytes at slot (first + i) % slots of
// the file into `device`; negative when one came up short.
BENCH_API double bench_reads(void* fh, void* device, std::size_t size, std::size_t first,
                             std::size_t count, std::size_t slots) {
    auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        off_t offset = static_cast<off_t>((first + i) % slots * size);
        if (dgFileRead(fh, device, size, offset, 0) != static_cast<ssize_t>(size)) return -1;
    }
    return Seconds(t0);
}

// Seconds for `threads` threads to read [0, file_size) in blocks of `block`
// bytes, thread t taking every threads-th block into device + t * block.
BENCH_API double bench_threads(void* fh, void* device, std::size_t block, int threads,
                               std::size_t file_size) {
    std::vector<std::thread> pool;
    bool short_read = false;
    auto t0 = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            char* mine = static_cast<char*>(device) + static_cast<std::size_t>(t) * block;
            for (std::size_t off = static_cast<std::size_t>(t) * block; off < file_size;
                 off += static_cast<std::size_t>(threads) * block)
                if (dgFileRead(fh, mine, block, static_cast<off_t>(off), 0) != static_cast<ssize_t>(block))
                    short_read = true;  // benign race: only ever set to true
        });
    for (std::thread& t : pool) t.join();
    return short_read ? -1 : Seconds(t0);
}
