// SPDX-License-Identifier: Apache-2.0
// Scratch files and directories for the tests, on a file system that takes
// O_DIRECT.  Each object removes what it made when it ends; a scratch file
// has no name from the start, so nothing is left behind even by a process
// that dies.  The only shared state is the directory, chosen once: any
// thread, any process (sandboxed children included).  Failures throw.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/pattern.h"

namespace support {

// The first of /var/tmp, /tmp and the build's test directory whose file
// system moves an aligned block with O_DIRECT (tools/direct_io_probe.h).
const std::string& DirectIoDir();

class ScratchFile {
public:
    // A file holding `contents`, made in `dir`.
    explicit ScratchFile(const Bytes& contents = {}, const std::string& dir = DirectIoDir());
    // A file holding `size` bytes of the pattern of `generation`.
    explicit ScratchFile(std::size_t size, unsigned generation = 0);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // A descriptor open read-write for the object's life.
    int fd() const { return fd_; }
    // A new open of the same file with `flags` (its own flags and position);
    // -1 when the kernel refuses it.
    int Open(int flags) const;
    Bytes Contents() const;

private:
    int fd_ = -1;
};

// A directory in DirectIoDir(), removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // The names in it, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string path_;
};

}  // namespace support
