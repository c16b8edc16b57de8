// SPDX-License-Identifier: Apache-2.0
#include "support/scratch.h"

#include <fcntl.h>
#include <errno.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "direct_io_probe.h"
#include "sandbox.h"

namespace support {

namespace {

// Whether the file system of `dir` refuses a misaligned O_DIRECT read, as a
// disk's does; several tests rely on that refusal.  tmpfs, for one, takes
// O_DIRECT without holding anyone to its alignment.
bool RefusesMisalignedDirectIo(const std::string& dir) {
    std::string name = dir + "/dgfile-probe.XXXXXX";
    const int made = ::mkstemp(name.data());
    if (made < 0) return false;
    const int fd = ::open(name.c_str(), O_RDWR | O_DIRECT);
    ::unlink(name.c_str());
    ::close(made);
    if (fd < 0) return false;
    alignas(4096) static char block[2 * 4096];
    const bool refused = ::pwrite(fd, block, 4096, 0) == 4096 &&
                         ::pread(fd, block + 1, 4096, 0) < 0 && errno == EINVAL;
    ::close(fd);
    return refused;
}

}  // namespace

// The first directory whose file system takes O_DIRECT and refuses it
// misaligned; else the first that takes it at all.
const std::string& DirectIoDir() {
    static const std::string dir = [] {
        const std::string dirs[] = {"/var/tmp", "/tmp", DGFILE_TEST_BINARY_DIR};
        for (const std::string& d : dirs)
            if (dgbench::TakesDirectIo(d) && RefusesMisalignedDirectIo(d)) return d;
        for (const std::string& d : dirs)
            if (dgbench::TakesDirectIo(d)) return d;
        throw std::runtime_error("no directory whose file system takes O_DIRECT");
    }();
    return dir;
}

ScratchFile::ScratchFile(const Bytes& contents, const std::string& dir) {
    std::string name = dir + "/dgfile-test.XXXXXX";
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) throw std::runtime_error("cannot make a scratch file in " + dir);
    ::unlink(name.c_str());
    if (::pwrite(fd_, contents.data(), contents.size(), 0) != static_cast<ssize_t>(contents.size()))
        throw std::runtime_error("cannot fill a scratch file in " + dir);
}

ScratchFile::ScratchFile(std::size_t size, unsigned generation)
    : ScratchFile(PatternBytes(0, size, generation)) {}

ScratchFile::~ScratchFile() { ::close(fd_); }

int ScratchFile::Open(int flags) const {
    return ::open(("/proc/self/fd/" + std::to_string(fd_)).c_str(), flags);
}

Bytes ScratchFile::Contents() const {
    Bytes all(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END)));
    if (::pread(fd_, all.data(), all.size(), 0) != static_cast<ssize_t>(all.size()))
        throw std::runtime_error("cannot read a scratch file");
    return all;
}

ScratchDir::ScratchDir() : path_(DirectIoDir() + "/dgfile-test.XXXXXX") {
    if (::mkdtemp(path_.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch directory in " + DirectIoDir());
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDir::Entries() const { return sandbox::DirectoryEntries(path_); }

}  // namespace support
