// SPDX-License-Identifier: Apache-2.0
// consumer.c through the C++ interface, <dgfile.hpp>: loads a file into GPU
// memory on the simulated platform with dgfile::load and compares.  Exit
// status 0 when the bytes match and the direct path moved them.
//
//   consumer_cpp DIR   (DIR must accept O_DIRECT)
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <dgfile.hpp>
#include <dgrt.h>
#include <qrvd_sim.h>

int main(int argc, char** argv) {
    if (argc != 2 || !qrvd_sim_enable_if_no_device()) return 2;
    constexpr std::size_t kSize = 256 * 1024;
    std::vector<unsigned char> pattern(kSize), back(kSize);
    for (std::size_t i = 0; i < kSize; ++i) pattern[i] = static_cast<unsigned char>(i * 13 + i / 4096);
    std::string path = std::string(argv[1]) + "/consumer_cpp.XXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd < 0 || ::write(fd, pattern.data(), kSize) != static_cast<ssize_t>(kSize)) return 2;
    ::close(fd);
    dgfile::file f = dgfile::file::open(path, O_RDONLY);  // throws on failure
    ::unlink(path.c_str());
    void* gpu = nullptr;
    if (dgMalloc(&gpu, kSize) != 0) return 2;
    bool match = dgfile::load(f, gpu, f.size(), 0, {64 * 1024, 2}) == kSize &&
                 dgMemcpy(back.data(), gpu, kSize, dgMemcpyDeviceToHost) == 0 && back == pattern;
    qrvd_sim_counters counters{};
    qrvd_sim_get_counters(&counters);
    std::printf("C++: %s; direct path moved %llu bytes\n", match ? "bytes match" : "BYTES DIFFER",
                static_cast<unsigned long long>(counters.bytes_read));
    dgFree(gpu);
    return match && counters.bytes_read == kSize ? 0 : 1;
}
