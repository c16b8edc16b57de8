// SPDX-License-Identifier: Apache-2.0
// batch_cookies: a small batch of reads, in C++, whose completions are
// matched to their requests by cookie.
//
// Eight requests each read one 64 KiB chunk of a scratch file into GPU
// memory, in reverse order of placement.  Completions come back in whatever
// order the batch hands them out; each carries the cookie of its request,
// here a pointer to our own record of that request.  The program checks that
// every request completed exactly once with its full size and that every
// chunk landed where its request said.  Exit status 0 when all holds.
//
//   batch_cookies [directory for the scratch file, default "."]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dgfile.h>
#include <dgrt.h>

namespace {

constexpr unsigned kRequests = 8;
constexpr size_t kChunk = 64 * 1024;  // a multiple of 4096, as O_DIRECT needs
constexpr size_t kSize = kRequests * kChunk;

// What we remember of one request; its address is the request's cookie.
struct Request {
    unsigned index = 0;
    off_t file_offset = 0;
    off_t gpu_offset = 0;
    int completions = 0;  // how often a completion named this request
    size_t result = 0;    // the completion's ret
};

unsigned char PatternAt(size_t i) { return static_cast<unsigned char>(i * 13 + i / kChunk); }

}  // namespace

int main(int argc, char** argv) {
    std::string path = std::string(argc > 1 ? argv[1] : ".") + "/batch_cookies.XXXXXX";
    std::vector<unsigned char> pattern(kSize);
    for (size_t i = 0; i < kSize; ++i) pattern[i] = PatternAt(i);
    int fd = ::mkstemp(path.data());
    if (fd < 0 || ::write(fd, pattern.data(), kSize) != static_cast<ssize_t>(kSize)) {
        std::perror("scratch file");
        return 1;
    }
    ::close(fd);
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECT);  // registration requires O_DIRECT
    ::unlink(path.c_str());
    if (fd < 0) {
        std::perror("open with O_DIRECT");
        return 1;
    }

    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = fd;
    DGfileHandle_t fh = nullptr;
    void* gpu = nullptr;
    if (dgFileHandleRegister(&fh, &descr).err != DG_FILE_SUCCESS || dgMalloc(&gpu, kSize) != 0) {
        std::fprintf(stderr, "registration or GPU allocation failed\n");
        return 1;
    }

    // Request i reads file chunk i into GPU chunk (kRequests - 1 - i).  Each
    // request is the same as one dgFileRead call with the same values.
    std::vector<Request> requests(kRequests);
    std::vector<DGfileIOParams_t> params(kRequests);
    for (unsigned i = 0; i < kRequests; ++i) {
        Request& r = requests[i];
        r.index = i;
        r.file_offset = static_cast<off_t>(i * kChunk);
        r.gpu_offset = static_cast<off_t>((kRequests - 1 - i) * kChunk);
        DGfileIOParams_t& p = params[i];
        p = DGfileIOParams_t{};
        p.mode = DGFILE_BATCH;
        p.u.batch.devPtr_base = gpu;
        p.u.batch.file_offset = r.file_offset;
        p.u.batch.devPtr_offset = r.gpu_offset;
        p.u.batch.size = kChunk;
        p.fh = fh;
        p.opcode = DGFILE_READ;
        p.cookie = &r;  // how we recognise the completion
    }

    // A batch handle has a fixed number of slots; one batch at a time.
    DGfileBatchHandle_t batch = nullptr;
    if (dgFileBatchIOSetUp(&batch, kRequests).err != DG_FILE_SUCCESS ||
        dgFileBatchIOSubmit(batch, kRequests, params.data(), 0).err != DG_FILE_SUCCESS) {
        std::fprintf(stderr, "batch set-up or submission failed\n");
        return 1;
    }

    // Collect completions until every request has come back.  Each call
    // waits for at least one and hands out each completion only once.
    unsigned collected = 0;
    while (collected < kRequests) {
        DGfileIOEvents_t events[kRequests];
        unsigned nr = kRequests;  // in: room in events; out: records written
        if (dgFileBatchIOGetStatus(batch, 1, &nr, events, nullptr).err != DG_FILE_SUCCESS) break;
        for (unsigned k = 0; k < nr; ++k) {
            auto* r = static_cast<Request*>(events[k].cookie);
            r->completions += 1;
            // ret is the transfer's signed result as an unsigned value:
            // a failed transfer (-1) still completes, with all bits set.
            r->result = events[k].status == DGFILE_COMPLETE ? events[k].ret : 0;
        }
        collected += nr;
    }
    dgFileBatchIODestroy(batch);

    std::vector<unsigned char> back(kSize);
    bool ok = dgMemcpy(back.data(), gpu, kSize, dgMemcpyDeviceToHost) == 0;
    for (const Request& r : requests) {
        bool landed = true;
        for (size_t i = 0; i < kChunk; ++i)
            landed &= back[static_cast<size_t>(r.gpu_offset) + i] ==
                      pattern[static_cast<size_t>(r.file_offset) + i];
        bool good = r.completions == 1 && r.result == kChunk && landed;
        std::printf("request %u: file %6lld -> GPU %6lld, %d completion(s), ret %lld: %s\n",
                    r.index, static_cast<long long>(r.file_offset),
                    static_cast<long long>(r.gpu_offset), r.completions,
                    static_cast<long long>(r.result), good ? "ok" : "WRONG");
        ok &= good;
    }

    dgFileHandleDeregister(fh);  // only after every request has finished
    ::close(fd);
    dgFree(gpu);
    std::printf("%s\n", ok ? "all requests matched" : "MISMATCH");
    return ok ? 0 : 1;
}
