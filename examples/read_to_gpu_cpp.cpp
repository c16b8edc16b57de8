// SPDX-License-Identifier: Apache-2.0
// read_to_gpu_cpp: read_to_gpu.c written with the C++ interface, <dgfile.hpp>.
//
// Writes a scratch file with a known pattern, reads it straight into GPU
// memory, copies the GPU bytes back to the host and checks them.  Exit
// status 0 when every byte matches, 1 otherwise (also on any error, which
// arrives as an exception saying what failed).
//
//   read_to_gpu_cpp [directory for the scratch file, default "."]
//
// The directory must be on a file system that accepts O_DIRECT.  Without a
// GPU kernel driver the library takes its CPU fallback, with the same result.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <dgfile.hpp>  // libdgfile, the C++ way
#include <dgrt.h>      // the application GPU runtime: dgMalloc, dgMemcpy, dgFree

namespace {

constexpr std::size_t kSize = 1024 * 1024;  // a multiple of the block size, as O_DIRECT needs

// Device memory released by scope, like everything of libdgfile here.
using DeviceMemory = std::unique_ptr<void, decltype(&dgFree)>;

}  // namespace

int main(int argc, char** argv) try {
    // 1. A scratch file holding a pattern, written the ordinary way.
    std::string path = std::string(argc > 1 ? argv[1] : ".") + "/read_to_gpu.XXXXXX";
    std::vector<unsigned char> pattern(kSize), back(kSize);
    for (std::size_t i = 0; i < kSize; ++i) pattern[i] = static_cast<unsigned char>(i * 7 + i / 4096);
    int fd = ::mkstemp(path.data());
    if (fd < 0 || ::write(fd, pattern.data(), kSize) != static_cast<ssize_t>(kSize)) {
        std::perror("scratch file");
        return 1;
    }
    ::close(fd);

    // 2. Open and register it in one step: open() adds O_DIRECT, and the
    //    file owns the descriptor and the registration until it goes out of
    //    scope.
    dgfile::file file = dgfile::file::open(path, O_RDONLY);
    ::unlink(path.c_str());  // the open descriptor keeps the file alive

    void* gpu = nullptr;
    if (dgMalloc(&gpu, kSize) != 0) {
        std::fprintf(stderr, "dgMalloc failed\n");
        return 1;
    }
    DeviceMemory memory(gpu, &dgFree);

    // 3. The whole file into GPU memory: file offset 0, device offset 0.
    //    read_exact repeats the read over short transfers and throws if the
    //    range cannot be read whole.
    std::size_t n = file.read_exact(gpu, kSize, /*file_offset=*/0, /*device_offset=*/0);

    // 4. GPU memory is not host memory: copy it back before looking.
    bool ok = dgMemcpy(back.data(), gpu, kSize, dgMemcpyDeviceToHost) == 0 && back == pattern;
    std::printf("read_exact moved %zu of %zu bytes into GPU memory: %s\n", n, kSize,
                ok ? "bytes match" : "BYTES DIFFER");
    return ok ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "read_to_gpu_cpp: %s\n", e.what());
    return 1;
}
