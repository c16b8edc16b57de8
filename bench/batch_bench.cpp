// SPDX-License-Identifier: Apache-2.0
// Batch I/O against a hand-written baseline, in one run on the simulated
// platform, files on a disk file system opened with O_DIRECT:
//  1. 64 requests of 1 MiB over 4 file handles, from submit to the last
//     completion, against 4 threads doing the same 64 O_DIRECT preads, one
//     thread per file (the parallelism the handles' locks allow);
//  2. the latency from submit to the first completion of one 4 KiB request.
// Rounds alternate between candidate and baseline; medians are reported.
//
// Usage: batch_bench [--quick] [directory, default /var/tmp]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dgfile.h"
#include "dgrt.h"
#include "qrvd_sim.h"
#include "timing.h"

namespace {

constexpr std::size_t MiB = 1 << 20;
constexpr unsigned kFiles = 4;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "batch_bench: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const bench::SimArgs args = bench::SimArgs::Parse(argc, argv);
    const bool quick = args.quick;
    const std::string& dir = args.dir;
    if (!qrvd_sim_enable_if_no_device()) Fail("a real /dev/qrvd exists; this runs on the simulator only");

    const unsigned requests = quick ? 8 : 64;
    const unsigned per_file = requests / kFiles;
    const std::size_t file_size = per_file * MiB * 2;  // two halves: candidate, baseline
    const int rounds = quick ? 1 : 15;

    std::vector<std::string> paths;
    std::vector<int> fds;
    std::vector<DGfileHandle_t> handles;
    std::vector<char> block(MiB);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 13);
    for (unsigned f = 0; f < kFiles; ++f) {
        paths.push_back(dir + "/dgfile-batch-bench." + std::to_string(f));
        int fd = ::open(paths.back().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) Fail("cannot create the test files");
        for (std::size_t off = 0; off < file_size; off += MiB)
            if (::write(fd, block.data(), MiB) != static_cast<ssize_t>(MiB)) Fail("write");
        ::fsync(fd);
        ::close(fd);
        fds.push_back(::open(paths.back().c_str(), O_RDWR | O_DIRECT));
        if (fds.back() < 0) Fail("the directory's file system refuses O_DIRECT");
        DGfileDescr_t descr{};
        descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
        descr.handle.fd = fds.back();
        DGfileHandle_t fh = nullptr;
        if (dgFileHandleRegister(&fh, &descr).err != DG_FILE_SUCCESS) Fail("register");
        handles.push_back(fh);
    }
    void* dev = nullptr;
    if (dgMalloc(&dev, requests * MiB) != 0) Fail("dgMalloc");
    char* view = static_cast<char*>(qrvd_sim_host_view(dev, requests * MiB));
    std::memset(view, 0, requests * MiB);

    DGfileBatchHandle_t batch = nullptr;
    if (dgFileBatchIOSetUp(&batch, requests).err != DG_FILE_SUCCESS) Fail("set-up");
    std::vector<DGfileIOParams_t> params(requests);
    for (unsigned i = 0; i < requests; ++i) {
        DGfileIOParams_t& p = params[i];
        p = {};
        p.mode = DGFILE_BATCH;
        p.fh = handles[i % kFiles];
        p.opcode = DGFILE_READ;
        p.u.batch.devPtr_base = dev;
        p.u.batch.devPtr_offset = static_cast<off_t>(i * MiB);
        p.u.batch.file_offset = static_cast<off_t>((i / kFiles) * MiB);  // first half
        p.u.batch.size = MiB;
    }
    std::vector<DGfileIOEvents_t> events(requests);

    auto run_batch = [&] {
        auto t0 = bench::Clock::now();
        if (dgFileBatchIOSubmit(batch, requests, params.data(), 0).err != DG_FILE_SUCCESS) Fail("submit");
        unsigned got = 0;
        while (got < requests) {
            unsigned nr = requests - got;
            if (dgFileBatchIOGetStatus(batch, 1, &nr, events.data() + got, nullptr).err !=
                DG_FILE_SUCCESS)
                Fail("get status");
            got += nr;
        }
        double s = bench::SecondsSince(t0);
        for (const auto& e : events)
            if (e.status != DGFILE_COMPLETE || e.ret != MiB) Fail("a request failed");
        // The next submit is admitted once every request thread has finished.
        while (dgFileBatchIOSubmit(batch, 0, params.data(), 0).err != DG_FILE_SUCCESS)
            std::this_thread::yield();
        return s;
    };
    auto run_baseline = [&] {
        auto t0 = bench::Clock::now();
        std::vector<std::thread> threads;
        for (unsigned f = 0; f < kFiles; ++f) {
            threads.emplace_back([&, f] {
                for (unsigned k = 0; k < per_file; ++k) {
                    unsigned i = k * kFiles + f;
                    off_t off = static_cast<off_t>((per_file + k) * MiB);  // second half
                    if (::pread(fds[f], view + i * MiB, MiB, off) != static_cast<ssize_t>(MiB))
                        Fail("baseline pread");
                }
            });
        }
        for (auto& t : threads) t.join();
        return bench::SecondsSince(t0);
    };

    auto [c, b] = bench::Alternate(rounds, [&](int) { return run_batch(); },
                                   [&](int) { return run_baseline(); });
    double bytes = static_cast<double>(requests) * MiB;
    std::printf("batch of %u x 1 MiB over %u O_DIRECT handles (%s), median of %d rounds\n",
                requests, kFiles, dir.c_str(), rounds);
    std::printf("  batch     %8.2f ms  %7.3f GiB/s\n", c * 1e3, bytes / c / (1 << 30));
    std::printf("  baseline  %8.2f ms  %7.3f GiB/s  (%u threads of O_DIRECT pread)\n", b * 1e3,
                bytes / b / (1 << 30), kFiles);
    std::printf("  ratio     %.3f (batch throughput / baseline)\n", b / c);

    // Latency of one 4 KiB request: submit to first completion.
    params[0].u.batch.size = 4096;
    std::vector<double> lat;
    for (int r = 0; r < (quick ? 3 : 201); ++r) {
        auto t0 = bench::Clock::now();
        if (dgFileBatchIOSubmit(batch, 1, params.data(), 0).err != DG_FILE_SUCCESS) Fail("submit");
        unsigned nr = 1;
        if (dgFileBatchIOGetStatus(batch, 1, &nr, events.data(), nullptr).err != DG_FILE_SUCCESS ||
            nr != 1 || events[0].ret != 4096)
            Fail("4 KiB request");
        lat.push_back(bench::SecondsSince(t0));
        while (dgFileBatchIOSubmit(batch, 0, params.data(), 0).err != DG_FILE_SUCCESS)
            std::this_thread::yield();
    }
    std::vector<double> plain;
    for (int r = 0; r < (quick ? 3 : 201); ++r) {
        auto t0 = bench::Clock::now();
        if (::pread(fds[0], view, 4096, static_cast<off_t>(per_file * MiB)) != 4096) Fail("pread");
        plain.push_back(bench::SecondsSince(t0));
    }
    std::printf("one 4 KiB request, submit to first completion: median %.1f us "
                "(a plain O_DIRECT pread: %.1f us)\n",
                bench::Median(lat) * 1e6, bench::Median(plain) * 1e6);

    dgFileBatchIODestroy(batch);
    for (unsigned f = 0; f < kFiles; ++f) {
        dgFileHandleDeregister(handles[f]);
        ::close(fds[f]);
        ::unlink(paths[f].c_str());
    }
    dgFree(dev);
    return 0;
}
