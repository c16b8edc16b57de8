// SPDX-License-Identifier: Apache-2.0
// A request thread that cannot be started must not leave its batch hanging.
// This program interposes pthread_create to fail on chosen calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "dgrt.h"
#include "qrvd_sim.h"
#include "sandbox.h"
#include "transfer_util.h"

namespace {

std::atomic<unsigned> g_calls{0};
std::atomic<unsigned> g_fail_mask{0};  // bit n: call n fails
std::atomic<unsigned> g_failed{0};

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*start)(void*), void* arg) {
    using real_fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static real_fn real = reinterpret_cast<real_fn>(::dlsym(RTLD_NEXT, "pthread_create"));
    unsigned n = g_calls.fetch_add(1);
    if (n < 32 && (g_fail_mask.load() >> n) & 1u) {
        g_failed.fetch_add(1);
        return EAGAIN;
    }
    return real(thread, attr, start, arg);
}

namespace {

using namespace transfer_util;

TEST(BatchThreadFailure, TheRequestFailsAndNothingWaitsForIt) {
    auto r = sandbox::Run({}, [] {
        qrvd_sim_set_enabled(1);
        TempFile file(1 << 20);
        int fd = file.Open(O_RDWR | O_DIRECT);
        DGfileHandle_t fh = Register(fd);
        DeviceBuffer dev(1 << 20);
        DGfileBatchHandle_t batch = nullptr;
        ASSERT_EQ(dgFileBatchIOSetUp(&batch, 4).err, DG_FILE_SUCCESS);
        DGfileIOParams_t reqs[3];
        for (unsigned i = 0; i < 3; ++i) {
            reqs[i] = {};
            reqs[i].u.batch.devPtr_base = dev.ptr;
            reqs[i].u.batch.size = 4096;
            reqs[i].u.batch.file_offset = 4096 * i;
            reqs[i].u.batch.devPtr_offset = 4096 * i;
            reqs[i].fh = fh;
            reqs[i].opcode = DGFILE_READ;
            reqs[i].cookie = reinterpret_cast<void*>(std::uintptr_t{100} + i);
        }
        g_calls = 0;
        g_fail_mask = 1u << 1;  // the second request's thread
        ASSERT_EQ(dgFileBatchIOSubmit(batch, 3, reqs, 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(g_failed.load(), 1u) << "the failure was never injected";
        DGfileIOEvents_t ev[3];
        unsigned nr = 3;
        ASSERT_EQ(dgFileBatchIOGetStatus(batch, 3, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
        ASSERT_EQ(nr, 3u);
        for (const auto& e : ev) {
            EXPECT_EQ(e.status, DGFILE_COMPLETE);
            bool failed = e.cookie == reinterpret_cast<void*>(101);
            EXPECT_EQ(e.ret, failed ? ~std::size_t{0} : 4096u) << e.cookie;
        }
        EXPECT_TRUE(MatchesFile(dev.View(), 4096, 0));
        EXPECT_TRUE(AllEqual(dev.View() + 4096, 4096, 0xee));
        EXPECT_TRUE(MatchesFile(dev.View() + 8192, 4096, 8192));

        // Every thread failing: the batch still completes, the next submit is
        // admitted, and destruction returns.
        g_fail_mask = ~0u;
        g_calls = 0;
        ASSERT_EQ(dgFileBatchIOSubmit(batch, 3, reqs, 0).err, DG_FILE_SUCCESS);
        nr = 3;
        ASSERT_EQ(dgFileBatchIOGetStatus(batch, 3, &nr, ev, nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(nr, 3u);
        g_fail_mask = 0;
        EXPECT_EQ(dgFileBatchIOSubmit(batch, 1, reqs, 0).err, DG_FILE_SUCCESS);
        dgFileBatchIODestroy(batch);
        dgFileHandleDeregister(fh);
        ::close(fd);
    });
    EXPECT_SANDBOX_OK(r);
}

}  // namespace
