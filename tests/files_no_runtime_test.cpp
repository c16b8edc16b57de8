// SPDX-License-Identifier: Apache-2.0
// A program that never loaded a runtime providing the copy call: the CPU
// fallback must fail the transfer, not stop the process; a runtime loaded
// later is found.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "support/run.h"
#include "support/scratch.h"

namespace {

using namespace support;

TEST(NoRuntime, FallbackFailsUntilARuntimeIsLoaded) {
    sandbox::Options opts;
    opts.device_node = false;
    Sandboxed(opts, [] {
        ASSERT_EQ(::dlsym(RTLD_DEFAULT, "dgMemcpy"), nullptr) << "this test must not link a runtime";
        const ScratchFile file(8192);
        const int fd = file.Open(O_RDWR | O_DIRECT);
        DGfileDescr_t descr{};
        descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
        descr.handle.fd = fd;
        DGfileHandle_t fh = nullptr;
        ASSERT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_SUCCESS);

        Bytes host(4096, 'h');
        EXPECT_EQ(dgFileRead(fh, host.data(), 4096, 0, 0), -1);
        EXPECT_EQ(host[0], 'h');
        EXPECT_EQ(dgFileWrite(fh, host.data(), 4096, 0, 0), -1);
        EXPECT_EQ(file.Contents(), PatternBytes(0, 8192));

        // The application loads a runtime now; the next transfer uses it.
        ASSERT_NE(::dlopen(DGRT_LIBRARY, RTLD_NOW | RTLD_GLOBAL), nullptr) << ::dlerror();
        EXPECT_EQ(dgFileRead(fh, host.data(), 4096, 0, 0), 4096);
        EXPECT_EQ(host, PatternBytes(0, 4096));
        dgFileHandleDeregister(fh);
        ::close(fd);
    });
}

}  // namespace
