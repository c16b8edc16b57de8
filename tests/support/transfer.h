// SPDX-License-Identifier: Apache-2.0
// Transfers on the simulated platform for the tests: registered scratch
// files, device memory and its bytes, and processes that end as
// applications do.  Header only; a program that uses the device helpers
// links the simulated platform (dgfile::sim).  Used from sandboxed children
// (the platform and the library's state are per process); any thread.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "dgrt.h"
#include "qrvd_sim.h"
#include "support/pattern.h"
#include "support/scratch.h"

namespace support {

inline DGfileHandle_t Register(int fd) {
    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = fd;
    DGfileHandle_t fh = nullptr;
    EXPECT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_SUCCESS);
    return fh;
}

// A new open of `file` with `flags`, registered; deregistered and closed at
// the end of its scope.
struct Registered {
    explicit Registered(const ScratchFile& file, int flags = O_RDWR | O_DIRECT)
        : fd(file.Open(flags)), fh(Register(fd)) {}
    ~Registered() {
        dgFileHandleDeregister(fh);
        ::close(fd);
    }
    Registered(const Registered&) = delete;
    Registered& operator=(const Registered&) = delete;
    const int fd;
    const DGfileHandle_t fh;
};

// The device bytes [p, p + n), seen through the simulator's private view.
inline unsigned char* DeviceView(const void* p, std::size_t n) {
    auto* view = static_cast<unsigned char*>(qrvd_sim_host_view(p, n));
    if (view == nullptr) throw std::runtime_error("not device memory");
    return view;
}
inline Bytes DeviceBytes(const void* p, std::size_t n) {
    const unsigned char* view = DeviceView(p, n);
    return Bytes(view, view + n);
}
inline void SetDeviceBytes(void* p, const Bytes& bytes) {
    std::memcpy(DeviceView(p, bytes.size()), bytes.data(), bytes.size());
}

// The raw bytes of an object, for comparing records byte for byte.
template <typename T>
Bytes RawBytes(const T& object) {
    const auto* p = reinterpret_cast<const unsigned char*>(&object);
    return Bytes(p, p + sizeof object);
}

// Device memory of the simulated GPU, filled with `fill`.
struct DeviceBuffer {
    explicit DeviceBuffer(std::size_t n, int fill = 0xee) : size(n) {
        EXPECT_EQ(dgMalloc(&ptr, n), 0);
        EXPECT_EQ(dgMemset(ptr, fill, n), 0);
    }
    ~DeviceBuffer() { dgFree(ptr); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    const unsigned char* View() const { return DeviceView(ptr, size); }
    char* At(std::size_t off) const { return static_cast<char*>(ptr) + off; }
    void* ptr = nullptr;
    std::size_t size;
};

// A scratch file of the pattern, registered through an O_DIRECT descriptor,
// and device memory filled with 0xee: what most transfer cases move between.
struct TransferRig {
    explicit TransferRig(std::size_t file_size = 1 << 20, std::size_t device_size = 1 << 20)
        : file(file_size), reg(file), fd(reg.fd), fh(reg.fh), dev(device_size) {}
    ScratchFile file;
    Registered reg;
    const int fd;
    const DGfileHandle_t fh;
    DeviceBuffer dev;
};

// Runs `body` in a child of this (sandboxed) process that ends through
// exit(), as an application does, so that the library writes its statistics
// summary; returns the child's exit code (1 when an assertion failed in it).
// A child still running after `deadline_ms` (0: no deadline) is killed.
inline int RunToExit(const std::function<void()>& body, int deadline_ms = 0) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        std::exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    for (int ms = 0; ::waitpid(pid, &status, WNOHANG) != pid; ++ms) {
        if (deadline_ms > 0 && ms >= deadline_ms) ::kill(pid, SIGKILL);
        ::usleep(1000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace support
