// SPDX-License-Identifier: Apache-2.0
#include "sim_test_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "direct_io_probe.h"
#include "qrvd_sim.h"

namespace simtest {

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<unsigned char>(x >> 16);
    }
    return b;
}

const std::string& ScratchDir() {
    static const std::string dir = dgbench::TakesDirectIo("/tmp") ? "/tmp" : "/var/tmp";
    return dir;
}

ScratchFile::ScratchFile(const Bytes& contents) {
    std::string path = ScratchDir() + "/sim-test.XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) throw std::runtime_error("mkstemp in " + ScratchDir());
    ::unlink(name.data());
    if (!contents.empty() &&
        ::pwrite(fd_, contents.data(), contents.size(), 0) != static_cast<ssize_t>(contents.size()))
        throw std::runtime_error("cannot fill scratch file");
}

ScratchFile::~ScratchFile() {
    if (fd_ >= 0) ::close(fd_);
}

int ScratchFile::Reopen(int flags) const {
    std::string proc = "/proc/self/fd/" + std::to_string(fd_);
    int fd = ::open(proc.c_str(), flags);
    if (fd < 0) throw std::runtime_error("cannot reopen scratch file");
    return fd;
}

Bytes ScratchFile::Contents() const {
    Bytes all;
    unsigned char buf[65536];
    off_t at = 0;
    ssize_t n;
    while ((n = ::pread(fd_, buf, sizeof buf, at)) > 0) {
        all.insert(all.end(), buf, buf + n);
        at += n;
    }
    return all;
}

Bytes DeviceBytes(const void* p, size_t n) {
    auto* view = static_cast<const unsigned char*>(qrvd_sim_host_view(p, n));
    if (view == nullptr) throw std::runtime_error("not device memory");
    return Bytes(view, view + n);
}

void SetDeviceBytes(void* p, const Bytes& bytes) {
    auto* view = static_cast<unsigned char*>(qrvd_sim_host_view(p, bytes.size()));
    if (view == nullptr) throw std::runtime_error("not device memory");
    std::memcpy(view, bytes.data(), bytes.size());
}

}  // namespace simtest
