// SPDX-License-Identifier: Apache-2.0
#include "direct_io_probe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace dgbench {
namespace {

constexpr size_t kBlock = 4096;

// Moves one block through the O_DIRECT descriptor `fd`, which it closes.
DirectIoProbe Transfer(int fd, bool write, bool read) {
    alignas(kBlock) unsigned char block[kBlock] = {};
    DirectIoProbe probe;  // passed, unless the transfer fails
    ssize_t moved = static_cast<ssize_t>(kBlock);
    if (write) moved = ::pwrite(fd, block, kBlock, 0);
    if (read && moved == static_cast<ssize_t>(kBlock)) moved = ::pread(fd, block, kBlock, 0);
    if (moved != static_cast<ssize_t>(kBlock)) {
        probe.failed = DirectIoProbe::Step::transfer;
        probe.error = moved < 0 ? errno : EIO;  // a short block counts as an I/O error
    }
    ::close(fd);
    return probe;
}

}  // namespace

DirectIoProbe ProbeDirectIoFile(const std::string& path, off_t size) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0) return {DirectIoProbe::Step::open, errno};
    return Transfer(fd, false, size >= static_cast<off_t>(kBlock));
}

DirectIoProbe ProbeDirectIoDirectory(const std::string& dir) {
    std::string name = dir + (!dir.empty() && dir.back() == '/' ? "" : "/") + ".dgfile-probe.XXXXXX";
    int created = ::mkostemp(name.data(), O_CLOEXEC);
    if (created < 0) return {DirectIoProbe::Step::create, errno};
    int fd = ::open(name.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
    const int open_error = errno;
    ::unlink(name.c_str());
    ::close(created);
    if (fd < 0) return {DirectIoProbe::Step::open, open_error};
    return Transfer(fd, true, true);
}

}  // namespace dgbench
