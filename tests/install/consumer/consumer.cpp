// SPDX-License-Identifier: Apache-2.0
// A library user's C++ program, built against an installed libdgfile through
// <dgfile.hpp>: loads a file into GPU memory on the simulated platform with
// dgfile::load, copies it back and compares, and asks the driver stand-in
// whether the bytes took the direct path.
//
//   consumer_cpp DIR   (DIR must accept O_DIRECT)
//
// Exit status 0 when the bytes match and the direct path moved them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <dgfile.hpp>
#include <dgrt.h>
#include <qrvd_sim.h>

int main(int argc, char** argv) try {
    if (argc != 2 || !qrvd_sim_enable_if_no_device()) return 2;
    constexpr std::size_t kSize = 256 * 1024;
    std::vector<unsigned char> pattern(kSize), back(kSize);
    for (std::size_t i = 0; i < kSize; ++i) pattern[i] = static_cast<unsigned char>(i * 13 + i / 4096);
    std::string path = std::string(argv[1]) + "/consumer_cpp.XXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd < 0 || ::write(fd, pattern.data(), kSize) != static_cast<ssize_t>(kSize)) return 2;
    ::close(fd);
    dgfile::file f = dgfile::file::open(path, O_RDONLY);
    ::unlink(path.c_str());
    void* gpu = nullptr;
    if (dgMalloc(&gpu, kSize) != 0) return 2;
    std::size_t n = dgfile::load(f, gpu, f.size(), 0, {64 * 1024, 2});
    bool match = n == kSize && dgMemcpy(back.data(), gpu, kSize, dgMemcpyDeviceToHost) == 0 &&
                 back == pattern;
    qrvd_sim_counters counters{};
    qrvd_sim_get_counters(&counters);
    std::printf("C++: loaded %zu bytes: %s; direct path moved %llu bytes\n", n,
                match ? "bytes match" : "BYTES DIFFER",
                static_cast<unsigned long long>(counters.bytes_read));
    dgFree(gpu);
    return match && counters.bytes_read == kSize ? 0 : 1;
} catch (const dgfile::error& e) {
    std::fprintf(stderr, "consumer_cpp: %s\n", e.what());
    return 1;
}
