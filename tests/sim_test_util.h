// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the simulated-platform tests: scratch files on a file
// system that takes O_DIRECT, byte patterns, and looks at device memory.
// Used from sandboxed children only (the platform is per process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<unsigned char>;

// `n` bytes that differ for different seeds and offsets.
Bytes Pattern(size_t n, unsigned seed);

// A directory for scratch files whose file system accepts O_DIRECT: /tmp if
// it does, else /var/tmp.
const std::string& ScratchDir();

// An unnamed scratch file (created and unlinked at once, so nothing is left
// behind even if the process dies) holding `contents`.
class ScratchFile {
public:
    explicit ScratchFile(const Bytes& contents);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    int fd() const { return fd_; }
    // A new descriptor of the same file with `flags` (e.g. O_RDWR | O_DIRECT).
    int Reopen(int flags) const;
    Bytes Contents() const;

private:
    int fd_ = -1;
};

// The device bytes [p, p + n), read through the simulator's private view.
Bytes DeviceBytes(const void* p, size_t n);
// Writes device bytes through the private view.
void SetDeviceBytes(void* p, const Bytes& bytes);

// The raw bytes of an object, for comparing records byte for byte.
template <typename T>
Bytes RawBytes(const T& object) {
    const auto* p = reinterpret_cast<const unsigned char*>(&object);
    return Bytes(p, p + sizeof object);
}

}  // namespace simtest
