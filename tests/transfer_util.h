// SPDX-License-Identifier: Apache-2.0
// Test support for transfers on the simulated platform: files with a known
// pattern, device buffers, and the transfer records the log printed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "dgrt.h"
#include "qrvd_sim.h"
#include "sandbox.h"

namespace transfer_util {

// Byte i of every test file: depends on the block as well as the position,
// so a misplaced block is caught as surely as a flipped bit.
inline unsigned char Pattern(std::uint64_t i) {
    return static_cast<unsigned char>((i * 131u) ^ (i >> 12) ^ 0x5a);
}

// A file on a disk file system that accepts O_DIRECT, removed on exit.
class TempFile {
public:
    explicit TempFile(std::size_t size) {
        char name[] = "/var/tmp/dgfile-test-XXXXXX";
        int fd = ::mkstemp(name);
        EXPECT_GE(fd, 0);
        path_ = name;
        std::vector<unsigned char> data(size);
        for (std::size_t i = 0; i < size; ++i) data[i] = Pattern(i);
        EXPECT_EQ(::write(fd, data.data(), size), static_cast<ssize_t>(size));
        ::close(fd);
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    int Open(int flags) const { return ::open(path_.c_str(), flags); }
    const std::string& Path() const { return path_; }
    std::vector<unsigned char> Contents() const {
        std::string text = sandbox::ReadFile(path_);
        return {text.begin(), text.end()};
    }

private:
    std::string path_;
};

inline DGfileHandle_t Register(int fd) {
    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = fd;
    DGfileHandle_t fh = nullptr;
    EXPECT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_SUCCESS);
    return fh;
}

// Device memory of the simulated GPU, filled with `fill`.
struct DeviceBuffer {
    explicit DeviceBuffer(std::size_t n, int fill = 0xee) : size(n) {
        EXPECT_EQ(dgMalloc(&ptr, n), 0);
        EXPECT_EQ(dgMemset(ptr, fill, n), 0);
    }
    ~DeviceBuffer() { dgFree(ptr); }
    // The device bytes, seen through the simulator's private view.
    const unsigned char* View() const {
        return static_cast<const unsigned char*>(qrvd_sim_host_view(ptr, size));
    }
    char* At(std::size_t off) const { return static_cast<char*>(ptr) + off; }
    void* ptr = nullptr;
    std::size_t size;
};

inline bool MatchesFile(const unsigned char* bytes, std::size_t n, std::uint64_t file_offset) {
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != Pattern(file_offset + i)) return false;
    return true;
}

inline bool AllEqual(const unsigned char* bytes, std::size_t n, unsigned char value) {
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != value) return false;
    return true;
}

// The messages of the records that `func` emitted, in order, from the
// child's standard output (the log writes there at DEBUG without a log_dir).
inline std::vector<std::string> Records(const std::string& out, const std::string& func) {
    std::vector<std::string> found;
    const std::string tag = "[DGFILE DEBUG] (" + func + ":";
    std::size_t pos = 0;
    while ((pos = out.find(tag, pos)) != std::string::npos) {
        std::size_t start = out.find(") ", pos) + 2;
        std::size_t end = out.find('\n', start);
        found.push_back(out.substr(start, end - start));
        pos = end;
    }
    return found;
}

// Drops the variable parts of the timing record.
inline std::string Shape(const std::string& record) {
    if (record.rfind("size = ", 0) == 0) return "timing " + record.substr(0, record.find(','));
    return record;
}

inline std::vector<std::string> Shapes(const std::vector<std::string>& records) {
    std::vector<std::string> shapes;
    for (const auto& r : records) shapes.push_back(Shape(r));
    return shapes;
}

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

}  // namespace transfer_util
