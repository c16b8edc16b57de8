// SPDX-License-Identifier: Apache-2.0
// A program that never loaded a runtime providing the copy call: the CPU
// fallback must fail the transfer, not stop the process; a runtime loaded
// later is found.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "sandbox.h"

namespace {

TEST(NoRuntime, FallbackFailsUntilARuntimeIsLoaded) {
    sandbox::Options opts;
    opts.device_node = false;
    auto r = sandbox::Run(opts, [] {
        ASSERT_EQ(::dlsym(RTLD_DEFAULT, "dgMemcpy"), nullptr) << "this test must not link a runtime";
        char name[] = "/var/tmp/dgfile-noruntime-XXXXXX";
        int fd = ::mkstemp(name);
        ASSERT_GE(fd, 0);
        std::string data(8192, 'x');
        ASSERT_EQ(::write(fd, data.data(), data.size()), 8192);
        ::close(fd);
        fd = ::open(name, O_RDWR | O_DIRECT);
        DGfileDescr_t descr{};
        descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
        descr.handle.fd = fd;
        DGfileHandle_t fh = nullptr;
        ASSERT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_SUCCESS);

        std::vector<char> host(4096, 'h');
        EXPECT_EQ(dgFileRead(fh, host.data(), 4096, 0, 0), -1);
        EXPECT_EQ(host[0], 'h');
        EXPECT_EQ(dgFileWrite(fh, host.data(), 4096, 0, 0), -1);
        EXPECT_EQ(sandbox::ReadFile(name), data);

        // The application loads a runtime now; the next transfer uses it.
        ASSERT_NE(::dlopen(DGRT_LIBRARY, RTLD_NOW | RTLD_GLOBAL), nullptr) << ::dlerror();
        EXPECT_EQ(dgFileRead(fh, host.data(), 4096, 0, 0), 4096);
        EXPECT_EQ(host[0], 'x');
        dgFileHandleDeregister(fh);
        ::close(fd);
        ::unlink(name);
    });
    EXPECT_SANDBOX_OK(r);
}

}  // namespace
