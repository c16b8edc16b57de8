// SPDX-License-Identifier: Apache-2.0
// Batch I/O through the shipped library and the simulated platform, each case
// in its own sandboxed child.  This program answers pthread_create itself:
// it counts the threads that have ended, and fails chosen calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/run.h"
#include "support/transfer.h"

// The slot-allocation case asks for more memory than exists; under
// AddressSanitizer that must come back as a failed allocation, as it does
// without it.  (Options read from the environment still take precedence.)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

// ---- Threads --------------------------------------------------------------------
// Every thread of this program starts through here.  A batch whose request
// threads have all ended has completed every slot (a request thread
// completes its slot before it leaves), which the interface cannot show
// without handing the slots out.
namespace spawn {
std::atomic<unsigned> started{0}, ended{0};
std::atomic<unsigned> calls{0};      // counted from 0 again by a case that fails some
std::atomic<unsigned> fail_mask{0};  // bit n: call n fails
std::atomic<unsigned> failed{0};

struct Start {
    void* (*routine)(void*);
    void* arg;
};

void* CountedEnd(void* p) {
    const Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    void* result = start.routine(start.arg);
    ended.fetch_add(1);
    return result;
}
}  // namespace spawn

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*routine)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    const unsigned n = spawn::calls.fetch_add(1);
    if (n < 32 && (spawn::fail_mask.load() >> n) & 1u) {
        spawn::failed.fetch_add(1);
        return EAGAIN;
    }
    auto* start = new spawn::Start{routine, arg};
    const int rc = next(thread, attr, spawn::CountedEnd, start);
    if (rc != 0) delete start;
    else spawn::started.fetch_add(1);
    return rc;
}

namespace {

using namespace support;

constexpr std::size_t kBlock = 16384;
constexpr std::size_t kAllBits = ~std::size_t{0};

DGfileIOParams_t Request(DGfileHandle_t fh, int op, void* dev, std::size_t size,
                         off_t file_offset, off_t dev_offset, void* cookie) {
    DGfileIOParams_t p{};
    p.mode = DGFILE_BATCH;
    std::memcpy(&p.opcode, &op, sizeof op);  // also values no enumerator names
    p.u.batch.devPtr_base = dev;
    p.u.batch.size = size;
    p.u.batch.file_offset = file_offset;
    p.u.batch.devPtr_offset = dev_offset;
    p.fh = fh;
    p.cookie = cookie;
    return p;
}

void* Cookie(std::uintptr_t n) { return reinterpret_cast<void*>(0xc00c1e00 + n); }

// Waits for `n` completions in one call, which returns the moment the last
// of them is published.
std::vector<DGfileIOEvents_t> AwaitAll(DGfileBatchHandle_t batch, unsigned n) {
    std::vector<DGfileIOEvents_t> got(n);
    unsigned nr = n;
    EXPECT_EQ(dgFileBatchIOGetStatus(batch, n, &nr, got.data(), nullptr).err, DG_FILE_SUCCESS);
    EXPECT_EQ(nr, n);
    got.resize(std::min(nr, n));
    return got;
}

// Collects `n` completions, however they come, with a clear failure instead of
// a hang.
std::vector<DGfileIOEvents_t> Collect(DGfileBatchHandle_t batch, unsigned n) {
    std::vector<DGfileIOEvents_t> got(n);
    unsigned have = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (have < n) {
        unsigned cap = n - have;
        EXPECT_EQ(dgFileBatchIOGetStatus(batch, 0, &cap, got.data() + have, nullptr).err,
                  DG_FILE_SUCCESS);
        have += cap;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "only " << have << " of " << n << " completions after 20 s";
            got.resize(have);
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return got;
}

// A registered file, device memory and a batch handle of eight slots: what
// most cases need.
struct Fixture : TransferRig {
    Fixture() { EXPECT_EQ(dgFileBatchIOSetUp(&batch, 8).err, DG_FILE_SUCCESS); }
    ~Fixture() { dgFileBatchIODestroy(batch); }
    // Reads of blocks 0 to n - 1 (4096 bytes) to the same device offsets;
    // the cookie is the block's number.
    std::vector<DGfileIOParams_t> Reads(unsigned n) const {
        std::vector<DGfileIOParams_t> reqs;
        for (unsigned i = 0; i < n; ++i)
            reqs.push_back(Request(fh, DGFILE_READ, dev.ptr, 4096, 4096 * i, 4096 * i, Cookie(i)));
        return reqs;
    }
    DGfileBatchHandle_t batch = nullptr;
};

void RunSandboxed(const std::function<void()>& body, const sandbox::Options& opts = {}) {
    Sandboxed(opts, [&] {
        qrvd_sim_set_enabled(1);
        body();
    });
}

TEST(Batch, SubmitChecksItsArgumentsBeforeAnything) {
    RunSandboxed([] {
        Fixture s;
        auto all = s.Reads(9);
        DGfileIOParams_t* reqs = all.data();
        EXPECT_EQ(dgFileBatchIOSubmit(s.batch, 9, reqs, 0).err, DG_FILE_BATCH_SUBMIT_FAILED);
        EXPECT_EQ(dgFileBatchIOSubmit(s.batch, 0, nullptr, 0).err, DG_FILE_BATCH_SUBMIT_FAILED);
        EXPECT_EQ(dgFileBatchIOSubmit(s.batch, 1, reqs, 1).err, DG_FILE_BATCH_SUBMIT_FAILED);
        EXPECT_EQ(dgFileBatchIOSubmit(nullptr, 1, reqs, 0).err, DG_FILE_BATCH_SUBMIT_FAILED);
        qrvd_sim_counters c{};
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.requests, 0u);
        // Exactly max_nr is accepted, and every request's bytes arrive.
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 8, reqs, 0).err, DG_FILE_SUCCESS);
        auto done = Collect(s.batch, 8);
        ASSERT_EQ(done.size(), 8u);
        for (unsigned i = 0; i < 8; ++i) {
            EXPECT_EQ(done[i].status, DGFILE_COMPLETE);
            EXPECT_EQ(done[i].ret, 4096u);
        }
        EXPECT_TRUE(MatchesPattern(s.dev.View(), 8 * 4096, 0));

        DGfileBatchHandle_t empty = nullptr;
        ASSERT_EQ(dgFileBatchIOSetUp(&empty, 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBatchIOSubmit(empty, 1, reqs, 0).err, DG_FILE_BATCH_SUBMIT_FAILED);
        EXPECT_EQ(dgFileBatchIOSubmit(empty, 0, reqs, 0).err, DG_FILE_SUCCESS);
        dgFileBatchIODestroy(empty);
        EXPECT_EQ(dgFileBatchIOSetUp(nullptr, 4).err, DG_FILE_INVALID_VALUE);
        dgFileBatchIODestroy(nullptr);
    });
}

TEST(Batch, GetStatusRefusesWhatItCouldNeverSatisfy) {
    RunSandboxed([] {
        Fixture s;
        DGfileIOParams_t req = Request(s.fh, DGFILE_READ, s.dev.ptr, 4096, 0, 0, Cookie(0));
        DGfileIOEvents_t events[4] = {};
        unsigned nr = 4;
        // An empty batch: nothing to wait for, nothing to hand out.
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 0, &req, 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, events, nullptr).err,
                  DG_FILE_INVALID_VALUE);
        EXPECT_EQ(nr, 4u);
        EXPECT_EQ(dgFileBatchIOGetStatus(s.batch, 0, &nr, events, nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(nr, 0u);

        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 1, &req, 0).err, DG_FILE_SUCCESS);
        nr = 0;  // a capacity below min_nr would wait forever
        EXPECT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, events, nullptr).err,
                  DG_FILE_INVALID_VALUE);
        EXPECT_EQ(nr, 0u);
        nr = 1;
        EXPECT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, nullptr, nullptr).err,
                  DG_FILE_INVALID_VALUE);
        EXPECT_EQ(dgFileBatchIOGetStatus(s.batch, 1, nullptr, events, nullptr).err,
                  DG_FILE_INVALID_VALUE);
        EXPECT_EQ(dgFileBatchIOGetStatus(nullptr, 0, &nr, events, nullptr).err,
                  DG_FILE_INVALID_VALUE);
        EXPECT_EQ(dgFileBatchIOCancel(nullptr).err, DG_FILE_INVALID_VALUE);
        EXPECT_EQ(nr, 1u);
        EXPECT_EQ(events[0].cookie, nullptr);  // nothing written by the refusals
        // The request was not lost to the refusals.
        timespec never{0, 1};
        EXPECT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, events, &never).err, DG_FILE_SUCCESS);
        EXPECT_EQ(nr, 1u);
        EXPECT_EQ(events[0].cookie, Cookie(0));
        EXPECT_EQ(events[0].status, DGFILE_COMPLETE);
    });
}

// Waits until every thread started so far has ended: every submitted
// request's slot is then complete (or cancelled), not yet handed out.
void AwaitRequestThreads() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (spawn::ended.load() != spawn::started.load()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "request threads never ended";
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

TEST(Batch, FourFinishedRequestsPolledTwoAtATimeInSlotOrder) {
    RunSandboxed([] {
        Fixture s;
        DGfileIOParams_t reqs[4];
        for (unsigned i = 0; i < 4; ++i)
            reqs[i] = Request(s.fh, i % 2 ? DGFILE_WRITE : DGFILE_READ, s.dev.ptr, 4096,
                              static_cast<off_t>(65536 * (i + 1)), 4096 * i, Cookie(i));
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 4, reqs, 0).err, DG_FILE_SUCCESS);
        AwaitRequestThreads();
        DGfileIOEvents_t ev[2];
        for (unsigned pair = 0; pair < 2; ++pair) {
            unsigned nr = 2;
            ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 2, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
            ASSERT_EQ(nr, 2u);
            for (unsigned k = 0; k < 2; ++k) {
                EXPECT_EQ(ev[k].cookie, Cookie(2 * pair + k));
                EXPECT_EQ(ev[k].status, DGFILE_COMPLETE);
                EXPECT_EQ(ev[k].ret, 4096u);
            }
        }
        unsigned nr = 2;
        ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(nr, 0u);
        // Reads put file bytes at their device offsets; writes put the device
        // bytes at theirs (still 0xee) in the file.
        EXPECT_TRUE(MatchesPattern(s.dev.View(), 4096, 65536));
        EXPECT_TRUE(MatchesPattern(s.dev.View() + 8192, 4096, 65536 * 3));
        auto contents = s.file.Contents();
        EXPECT_TRUE(AllEqual(contents.data() + 65536 * 2, 4096, 0xee));
        EXPECT_TRUE(AllEqual(contents.data() + 65536 * 4, 4096, 0xee));
        EXPECT_TRUE(MatchesPattern(contents.data() + 65536 * 2 + 4096, 4096, 65536 * 2 + 4096));
    });
}

TEST(Batch, SubmitWaitsForThePreviousBatchNotForItsCollection) {
    RunSandboxed([] {
        Fixture s;
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 300000, 1), 0);  // 0.3 s per request
        DGfileIOParams_t req = Request(s.fh, DGFILE_READ, s.dev.ptr, 4096, 0, 0, Cookie(7));
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 1, &req, 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBatchIOSubmit(s.batch, 1, &req, 0).err, DG_FILE_BATCH_SUBMIT_FAILED);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        DGfileIOParams_t next = Request(s.fh, DGFILE_READ, s.dev.ptr, 4096, 8192, 4096, Cookie(8));
        while (dgFileBatchIOSubmit(s.batch, 1, &next, 0).err != DG_FILE_SUCCESS) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the first batch never ended";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        qrvd_sim_counters c{};
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.reads, 1u);  // admitted only after the first request finished
        // The first batch's completion was never collected: it is gone, and
        // only the new one comes out.
        auto done = Collect(s.batch, 1);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].cookie, Cookie(8));
        EXPECT_EQ(done[0].ret, 4096u);
        EXPECT_TRUE(MatchesPattern(s.dev.View(), 4096, 0));
        EXPECT_TRUE(MatchesPattern(s.dev.View() + 4096, 4096, 8192));
    });
}

// Regression: a caller that has collected every completion was refused the
// next batch while the request threads were still leaving the running count,
// more often when it cancelled the batch in between (the cancel overwrote
// the state admission looked at).
TEST(Batch, NextSubmitAdmittedOnceEveryCompletionWasCollected) {
    for (bool cancel : {false, true}) {
        RunSandboxed([cancel] {
            Fixture s;
            auto reqs = s.Reads(2);
            int refused = 0;
            for (int round = 0; round < 1500; ++round) {
                if (dgFileBatchIOSubmit(s.batch, 2, reqs.data(), 0).err != DG_FILE_SUCCESS) {
                    ++refused;
                    continue;
                }
                // Poll without waiting, so each completion is seen the moment
                // its request thread publishes it.
                DGfileIOEvents_t ev[2];
                unsigned have = 0;
                while (have < 2) {
                    unsigned nr = 2 - have;
                    ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 0, &nr, ev + have, nullptr).err,
                              DG_FILE_SUCCESS);
                    have += nr;
                }
                if (cancel) {
                    ASSERT_EQ(dgFileBatchIOCancel(s.batch).err, DG_FILE_SUCCESS);
                }
            }
            EXPECT_EQ(refused, 0) << "of 1500 submits" << (cancel ? ", with cancel" : "");
        }, sandbox::Options().Long());
    }
}


// Transfer statistics under several threads and batches: every count exact,
// the batch counters included.
TEST(Batch, StatisticsCountEveryTransferOfThreadsAndBatches) {
    sandbox::Options opts;
    opts.env = {{"DGFILE_STATS", "/opt/tavo/etc/stats.json"}, {"DGFILE_STATS_FORMAT", "json"}};
    RunSandboxed(
        [] {
            ASSERT_EQ(RunToExit([] {
                          qrvd_sim_set_enabled(1);
                          Fixture s;
                          std::vector<std::thread> threads;
                          for (int t = 0; t < 4; ++t)
                              threads.emplace_back([&s, t] {
                                  DeviceBuffer dev(4096);
                                  for (int i = 0; i < 50; ++i)
                                      EXPECT_EQ(dgFileRead(s.fh, dev.ptr, 4096, 4096 * t, 0), 4096);
                              });
                          std::vector<DGfileIOParams_t> reqs;
                          for (unsigned i = 0; i < 8; ++i)
                              reqs.push_back(Request(s.fh, DGFILE_READ, s.dev.ptr, 8192, 8192 * i,
                                                     8192 * i, Cookie(i)));
                          for (int round = 0; round < 10; ++round) {
                              ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 8, reqs.data(), 0).err,
                                        DG_FILE_SUCCESS);
                              for (const DGfileIOEvents_t& e : Collect(s.batch, 8))
                                  EXPECT_EQ(e.ret, 8192u);
                          }
                          for (auto& th : threads) th.join();
                          EXPECT_EQ(dgFileBatchIOCancel(s.batch).err, DG_FILE_SUCCESS);
                      }),
                      0);
            const auto stats = nlohmann::json::parse(sandbox::ReadFile("/opt/tavo/etc/stats.json"));
            EXPECT_EQ(stats["paths"]["direct"]["transfers"], 200 + 80);
            EXPECT_EQ(stats["paths"]["direct"]["bytes"], 200 * 4096 + 80 * 8192);
            EXPECT_EQ(stats["paths"]["cpu_copy"]["transfers"], 0);
            EXPECT_EQ(stats["batches"], nlohmann::json::parse(R"({"submitted":10,"requests":80,)"
                                                              R"("cancellations":1,"max_in_flight":8})"));
            EXPECT_EQ(stats["handles"], nlohmann::json::parse(R"({"registered":1,"deregistered":1})"));
        },
        opts);
}

// Regression: a request on a null file handle got a thread of its own, and
// with an unknown opcode completed with ret 0 (the opcode was tested first).
// Only a read or a write on a file handle starts a thread; every other
// request is complete when submit returns and leaves nothing running.
TEST(Batch, NullHandleFailsWhateverTheOpcodeAndNoRequestThatCannotRunGetsAThread) {
    RunSandboxed([] {
        Fixture s;
        const struct {
            DGfileHandle_t fh;
            int op;
            std::size_t ret;
        } table[] = {
            {nullptr, DGFILE_READ, kAllBits}, {nullptr, DGFILE_WRITE, kAllBits},
            {nullptr, 7, kAllBits},           {nullptr, -1, kAllBits},
            {s.fh, 7, 0},                     {s.fh, -1, 0},
            {s.fh, DGFILE_READ, 4096},  // the one with a thread
        };
        constexpr unsigned kRows = std::size(table);
        std::vector<DGfileIOParams_t> reqs;
        for (unsigned i = 0; i < kRows; ++i)
            reqs.push_back(Request(table[i].fh, table[i].op, s.dev.ptr, 4096, 0, 0, Cookie(i)));
        const unsigned threads = spawn::started.load();
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, kRows, reqs.data(), 0).err, DG_FILE_SUCCESS);
        for (const DGfileIOEvents_t& e : AwaitAll(s.batch, kRows)) {
            const auto row = reinterpret_cast<std::uintptr_t>(e.cookie) & 0xff;
            EXPECT_EQ(e.status, DGFILE_COMPLETE) << "row " << row;
            EXPECT_EQ(e.ret, table[row].ret) << "row " << row;
        }
        EXPECT_TRUE(AllEqual(s.dev.View() + 4096, (1 << 20) - 4096, 0xee));
        // Those without a thread leave nothing running: the next batch of
        // them is admitted at once.
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, kRows - 1, reqs.data(), 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBatchIOSubmit(s.batch, kRows - 1, reqs.data(), 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(spawn::started.load() - threads, 1u);
    });
}

// Regression: a cancelled request was handed out as soon as cancel marked
// it, with ret 0, while its transfer still ran and then wrote device memory.
TEST(Batch, CancelledTransferComesOutOnlyOnceItsBytesLanded) {
    RunSandboxed([] {
        Fixture s;
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 300000, 1), 0);
        DGfileIOParams_t req = Request(s.fh, DGFILE_READ, s.dev.ptr, 65536, 0, 0, Cookie(0));
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 1, &req, 0).err, DG_FILE_SUCCESS);
        // Cancelled once the driver holds the request: the transfer is under way.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (qrvd_sim_counters c{}; qrvd_sim_get_counters(&c), c.requests == 0;) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the request never started";
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ASSERT_EQ(dgFileBatchIOCancel(s.batch).err, DG_FILE_SUCCESS);
        DGfileIOEvents_t ev{};
        unsigned nr = 1;
        ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 0, &nr, &ev, nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(nr, 0u) << "handed out while its transfer still ran";
        nr = 1;
        ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, &ev, nullptr).err, DG_FILE_SUCCESS);
        ASSERT_EQ(nr, 1u);
        EXPECT_EQ(ev.status, DGFILE_CANCELED);
        EXPECT_EQ(ev.ret, 65536u);
        EXPECT_TRUE(MatchesPattern(s.dev.View(), 65536, 0));  // landed before the record
    });
}

TEST(Batch, CancelMarksTheBatchAndKeepsResultsOfTransfersUnderWay) {
    RunSandboxed([] {
        Fixture s;
        DGfileBatchHandle_t fresh = nullptr;
        ASSERT_EQ(dgFileBatchIOSetUp(&fresh, 4).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBatchIOCancel(fresh).err, DG_FILE_SUCCESS);  // never had a batch
        unsigned nr = 0;
        EXPECT_EQ(dgFileBatchIOGetStatus(fresh, 0, &nr, nullptr, nullptr).err, DG_FILE_SUCCESS);
        dgFileBatchIODestroy(fresh);

        // Cancelled while the driver sleeps on them.
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 200000, 1), 0);
        auto reqs = s.Reads(4);
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 4, reqs.data(), 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBatchIOCancel(s.batch).err, DG_FILE_SUCCESS);
        DGfileIOEvents_t ev[4];
        nr = 4;
        ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 4, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
        ASSERT_EQ(nr, 4u);
        for (const auto& e : ev) EXPECT_EQ(e.status, DGFILE_CANCELED);
        // Every record came out after its transfer: 0 where it was skipped,
        // the whole result where it ran, and those bytes are in place.
        qrvd_sim_counters c{};
        qrvd_sim_get_counters(&c);
        unsigned with_bytes = 0, moved = 0;
        for (const auto& e : ev) {
            EXPECT_TRUE(e.ret == 0 || e.ret == 4096) << e.ret;
            with_bytes += e.ret == 4096;
        }
        for (unsigned i = 0; i < 4; ++i) {
            const unsigned char* slot = s.dev.View() + 4096 * i;
            if (MatchesPattern(slot, 4096, 4096 * i)) ++moved;
            else EXPECT_TRUE(AllEqual(slot, 4096, 0xee)) << "slot " << i;
        }
        EXPECT_EQ(with_bytes, moved);
        EXPECT_EQ(moved, c.reads);
        EXPECT_EQ(c.reads, c.requests);
        dgFileBatchIODestroy(s.batch);
        s.batch = nullptr;
        qrvd_sim_clear_fault();

        // Cancelled after completing: handed out as cancelled with the result
        // kept; cancelled after being handed out: not handed out again.
        ASSERT_EQ(dgFileBatchIOSetUp(&s.batch, 8).err, DG_FILE_SUCCESS);
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 2, reqs.data(), 0).err, DG_FILE_SUCCESS);
        AwaitRequestThreads();
        nr = 1;
        ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(ev[0].status, DGFILE_COMPLETE);
        EXPECT_EQ(dgFileBatchIOCancel(s.batch).err, DG_FILE_SUCCESS);
        nr = 4;
        ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 1, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
        ASSERT_EQ(nr, 1u);
        EXPECT_EQ(ev[0].cookie, Cookie(1));
        EXPECT_EQ(ev[0].status, DGFILE_CANCELED);
        EXPECT_EQ(ev[0].ret, 4096u);
        nr = 4;
        ASSERT_EQ(dgFileBatchIOGetStatus(s.batch, 0, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(nr, 0u);
    });
}

TEST(Batch, DestroyWaitsForRunningRequests) {
    RunSandboxed([] {
        Fixture s;
        ASSERT_EQ(qrvd_sim_set_fault(QRVD_SIM_FAULT_DELAY, 300000, 1), 0);
        auto reqs = s.Reads(2);
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 2, reqs.data(), 0).err, DG_FILE_SUCCESS);
        dgFileBatchIODestroy(s.batch);
        s.batch = nullptr;
        qrvd_sim_counters c{};
        qrvd_sim_get_counters(&c);
        EXPECT_EQ(c.reads, 2u);  // both finished before destruction returned
        EXPECT_TRUE(MatchesPattern(s.dev.View(), 8192, 0));
    });
}

TEST(Batch, SetUpReportsSlotsThatCannotBeAllocated) {
    RunSandboxed([] {
        DGfileBatchHandle_t batch = reinterpret_cast<DGfileBatchHandle_t>(0x42);
        EXPECT_EQ(dgFileBatchIOSetUp(&batch, UINT_MAX).err, DG_FILE_INTERNAL_ERROR);
        EXPECT_EQ(batch, reinterpret_cast<DGfileBatchHandle_t>(0x42));
    });
}

// Many batches of mixed reads and writes on several handles and batch
// handles, every completion and every byte checked.
TEST(Batch, StressMixedBatchesOnSeveralHandles) {
    for (bool direct : {true, false}) {
        auto opts = sandbox::Options().Long();
        opts.device_node = direct;
        SCOPED_TRACE(direct ? "direct" : "CPU copy");
        Sandboxed(opts, [direct] {
            qrvd_sim_set_enabled(direct);
            constexpr unsigned kHandles = 4, kPerBatch = 16, kRounds = 12;
            constexpr std::size_t kHalf = kHandles * kPerBatch * kBlock;
            ScratchFile file(2 * kHalf);
            const Registered registered[kHandles] = {Registered(file), Registered(file),
                                                     Registered(file), Registered(file)};
            DeviceBuffer dev(kHalf);
            std::vector<DGfileBatchHandle_t> batches(3);
            for (auto& b : batches) ASSERT_EQ(dgFileBatchIOSetUp(&b, kPerBatch).err, DG_FILE_SUCCESS);
            for (unsigned round = 0; round < kRounds; ++round) {
                // Round pairs walk the first half a quarter at a time: the
                // even round reads that quarter into device memory, the odd
                // one writes it from there into the second half.
                DGfileBatchHandle_t batch = batches[round % batches.size()];
                bool write = round % 2 == 1;
                std::size_t quarter = (round / 2) % kHandles;
                std::vector<DGfileIOParams_t> reqs;
                for (unsigned i = 0; i < kPerBatch; ++i) {
                    unsigned h = (i + round) % kHandles;
                    std::size_t slot = (quarter * kPerBatch + i) * kBlock;
                    reqs.push_back(Request(registered[h].fh, write ? DGFILE_WRITE : DGFILE_READ,
                                           dev.ptr, kBlock,
                                           static_cast<off_t>(slot + (write ? kHalf : 0)),
                                           static_cast<off_t>(slot), Cookie(i)));
                }
                ASSERT_EQ(dgFileBatchIOSubmit(batch, kPerBatch, reqs.data(), 0).err, DG_FILE_SUCCESS)
                    << "round " << round;
                auto done = Collect(batch, kPerBatch);
                ASSERT_EQ(done.size(), kPerBatch) << "round " << round;
                std::vector<bool> seen(kPerBatch, false);
                for (const auto& e : done) {
                    auto i = reinterpret_cast<std::uintptr_t>(e.cookie) -
                             reinterpret_cast<std::uintptr_t>(Cookie(0));
                    ASSERT_LT(i, kPerBatch);
                    EXPECT_FALSE(seen[i]) << "completion handed out twice";
                    seen[i] = true;
                    EXPECT_EQ(e.status, DGFILE_COMPLETE);
                    EXPECT_EQ(e.ret, kBlock);
                }
            }
            // After all rounds, device memory holds the first half and the
            // second half of the file is a copy of it.
            EXPECT_TRUE(MatchesPattern(dev.View(), kHalf, 0));
            auto contents = file.Contents();
            EXPECT_TRUE(MatchesPattern(contents.data(), kHalf, 0));
            EXPECT_TRUE(MatchesPattern(contents.data() + kHalf, kHalf, 0));
            for (auto b : batches) dgFileBatchIODestroy(b);
        });
    }
}

// A request thread that cannot be started must not leave its batch hanging.
TEST(BatchThreadFailure, TheRequestFailsAndNothingWaitsForIt) {
    RunSandboxed([] {
        Fixture s;
        auto reqs = s.Reads(3);
        spawn::calls = 0;
        spawn::fail_mask = 1u << 1;  // the second request's thread
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 3, reqs.data(), 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(spawn::failed.load(), 1u) << "the failure was never injected";
        for (const DGfileIOEvents_t& e : AwaitAll(s.batch, 3)) {
            EXPECT_EQ(e.status, DGFILE_COMPLETE);
            EXPECT_EQ(e.ret, e.cookie == Cookie(1) ? kAllBits : 4096u) << e.cookie;
        }
        EXPECT_TRUE(MatchesPattern(s.dev.View(), 4096, 0));
        EXPECT_TRUE(AllEqual(s.dev.View() + 4096, 4096, 0xee));
        EXPECT_TRUE(MatchesPattern(s.dev.View() + 8192, 4096, 8192));

        // Every thread failing: the batch still completes, the next submit is
        // admitted, and destruction returns.
        spawn::fail_mask = ~0u;
        spawn::calls = 0;
        ASSERT_EQ(dgFileBatchIOSubmit(s.batch, 3, reqs.data(), 0).err, DG_FILE_SUCCESS);
        AwaitAll(s.batch, 3);
        spawn::fail_mask = 0;
        EXPECT_EQ(dgFileBatchIOSubmit(s.batch, 1, reqs.data(), 0).err, DG_FILE_SUCCESS);
    });
}

}  // namespace
