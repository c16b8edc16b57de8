// SPDX-License-Identifier: Apache-2.0
// batch_loader: a file into GPU memory through batches, with <dgfile.hpp>.
//
// First the short way, dgfile::load: the whole file by four lanes (threads
// of the call), each taking the next 1 MiB.  Then the same pieces by hand,
// four at a time, with a dgfile::batch, whose requests carry a typed cookie
// (here the index of the piece) that comes back with each completion.  Both copies are checked against the file.  Exit status
// 0 when both match.
//
//   batch_loader [directory for the scratch file, default "."]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <dgfile.hpp>
#include <dgrt.h>

namespace {

constexpr std::size_t kPiece = 1024 * 1024;
constexpr unsigned kDepth = 4;
// Not a multiple of the piece: the last request is shorter.
constexpr std::size_t kSize = 6 * kPiece + 64 * 1024;

using DeviceMemory = std::unique_ptr<void, decltype(&dgFree)>;

DeviceMemory Allocate(std::size_t size) {
    void* p = nullptr;
    if (dgMalloc(&p, size) != 0) p = nullptr;
    return DeviceMemory(p, &dgFree);
}

bool Matches(const void* gpu, const std::vector<unsigned char>& expected) {
    std::vector<unsigned char> back(expected.size());
    return dgMemcpy(back.data(), gpu, back.size(), dgMemcpyDeviceToHost) == 0 && back == expected;
}

}  // namespace

int main(int argc, char** argv) try {
    std::string path = std::string(argc > 1 ? argv[1] : ".") + "/batch_loader.XXXXXX";
    std::vector<unsigned char> pattern(kSize);
    for (std::size_t i = 0; i < kSize; ++i) pattern[i] = static_cast<unsigned char>(i * 13 + i / kPiece);
    int fd = ::mkstemp(path.data());
    if (fd < 0 || ::write(fd, pattern.data(), kSize) != static_cast<ssize_t>(kSize)) {
        std::perror("scratch file");
        return 1;
    }
    ::close(fd);
    DeviceMemory first = Allocate(kSize), second = Allocate(kSize);
    if (!first || !second) {
        std::fprintf(stderr, "dgMalloc failed\n");
        return 1;
    }

    // The short way: two lines.
    dgfile::file file = dgfile::file::open(path, O_RDONLY);
    std::size_t loaded = dgfile::load(file, first.get(), file.size(), 0, {kPiece, kDepth});
    ::unlink(path.c_str());

    // Full control: the same pieces as requests of a batch with kDepth slots,
    // one batch at a time; every completion is collected before the next
    // submit.  The file, declared before the batch, outlives it.
    dgfile::batch<std::size_t> batch(kDepth);
    std::size_t by_hand = 0;
    for (std::size_t next = 0; next < kSize;) {
        std::vector<dgfile::request<std::size_t>> requests;
        for (; requests.size() < kDepth && next < kSize; next += kPiece) {
            dgfile::request<std::size_t> r;
            r.op = dgfile::opcode::read;
            r.file = &file;
            r.device = second.get();
            r.size = std::min(kPiece, kSize - next);
            r.file_offset = static_cast<off_t>(next);
            r.device_offset = static_cast<off_t>(next);
            r.cookie = next / kPiece;  // which piece
            requests.push_back(r);
        }
        batch.submit(requests);
        for (const dgfile::completion<std::size_t>& c : batch.wait()) {
            bool whole = c.status == dgfile::io_status::complete &&
                         static_cast<std::size_t>(c.result) == std::min(kPiece, kSize - c.cookie * kPiece);
            if (!whole) std::printf("piece %zu: result %zd, NOT WHOLE\n", c.cookie, c.result);
            by_hand += whole ? static_cast<std::size_t>(c.result) : 0;
        }
    }

    bool load_ok = loaded == kSize && Matches(first.get(), pattern);
    bool batch_ok = by_hand == kSize && Matches(second.get(), pattern);
    std::printf("load moved %zu of %zu bytes into GPU memory: %s\n", loaded, kSize,
                load_ok ? "bytes match" : "BYTES DIFFER");
    std::printf("batch moved %zu of %zu bytes into GPU memory: %s\n", by_hand, kSize,
                batch_ok ? "bytes match" : "BYTES DIFFER");
    return load_ok && batch_ok ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "batch_loader: %s\n", e.what());
    return 1;
}
