// SPDX-License-Identifier: Apache-2.0
// The device connection and the nine driver-level entry points, through the
// shipped library, each case in its own sandboxed child process.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "sandbox.h"

namespace {

using sandbox::Identity;

constexpr const char* kNode = "/dev/qrvd";

size_t OpenCount() { return sandbox::DescriptorsOn(kNode).size(); }

// The flags the kernel shows for an O_RDWR | O_CLOEXEC open of a file like
// the node; comparing with it keeps processor-specific bits (the large-file
// bit) out of the test.
int PlainReadWriteFlags() {
    int probe = ::open("/opt/tavo/etc/.probe", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(probe, 0);
    int flags = sandbox::DescriptorFlags(probe);
    ::close(probe);
    ::unlink("/opt/tavo/etc/.probe");
    return flags;
}

class Driver : public ::testing::TestWithParam<Identity> {
protected:
    sandbox::Options Opts() const {
        sandbox::Options o;
        o.identity = GetParam();
        return o;
    }
    void Run(const sandbox::Options& o, const std::function<void()>& body) {
        auto r = sandbox::Run(o, body);
        EXPECT_SANDBOX_OK(r);
    }
    void Run(const std::function<void()>& body) { Run(Opts(), body); }
};

// The device descriptor is the library's: programs the application executes
// must not inherit it.
TEST_P(Driver, OpenTwiceOpensTheNodeOnceReadWriteAndCloseOnExec) {
    Run([] {
        EXPECT_EQ(OpenCount(), 0u);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        auto fds = sandbox::DescriptorsOn(kNode);
        ASSERT_EQ(fds.size(), 1u);
        EXPECT_EQ(sandbox::DescriptorFlags(fds[0]), PlainReadWriteFlags());
        EXPECT_NE(::fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
    });
}

TEST_P(Driver, CloseWithoutConnectionSucceedsAndReopenOpensAgain) {
    Run([] {
        EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        auto first = sandbox::DescriptorsOn(kNode);
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 0u);
        EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        // Hold the old number so that a new open must show up under another.
        ASSERT_EQ(::dup2(STDIN_FILENO, first[0]), first[0]);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        auto second = sandbox::DescriptorsOn(kNode);
        ASSERT_EQ(second.size(), 1u);
        EXPECT_NE(second[0], first[0]);
        EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 0u);
    });
}

TEST_P(Driver, DisableGdsOnlyForTheExactWordYes) {
    auto o = Opts();
    o.env = {{"DGFILE_DISABLE_GDS", "YES"}};
    Run(o, [] {
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverSetMaxCacheSize(1).err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 0u);
    });
    for (const char* value : {"yes", "YES ", " YES", "YESS", "Yes", "", "1"}) {
        o.env = {{"DGFILE_DISABLE_GDS", value}};
        Run(o, [value] {
            EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS) << "'" << value << "'";
            EXPECT_EQ(OpenCount(), 1u) << "'" << value << "'";
        });
    }
}

TEST_P(Driver, DisableGdsIsReadAtEveryLazyOpen) {
    Run([] {
        ::setenv("DGFILE_DISABLE_GDS", "YES", 1);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 0u);
        ::unsetenv("DGFILE_DISABLE_GDS");
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 1u);
        // Disabling an open connection neither closes it nor fails the open.
        ::setenv("DGFILE_DISABLE_GDS", "YES", 1);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 1u);
        EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 0u);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 0u);
    });
}

TEST_P(Driver, MissingNodeFailsOnlyTheExplicitOpen) {
    auto o = Opts();
    o.device_node = false;
    Run(o, [] {
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_DEVICE_NOT_FOUND);
        EXPECT_EQ(dgFileDriverGetProperties(nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverSetPollMode(true, 4096).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverSetMaxDirectIOSize(1 << 20).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverSetMaxCacheSize(1 << 20).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverSetMaxPinnedMemSize(1 << 20).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
        // A failed open leaves nothing behind: once the node appears, the
        // next open succeeds.
        sandbox::WriteFile(kNode, "");
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 1u);
    });
}

TEST_P(Driver, NodeWithoutPermissionIsNotFound) {
    if (!sandbox::CanDropPrivileges(GetParam()))
        GTEST_SKIP() << "needs real root to run the body as another user";
    Run([] {
        ASSERT_EQ(::chmod(kNode, 0600), 0);
        ASSERT_EQ(::setresuid(65534, 65534, 65534), 0);
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_DEVICE_NOT_FOUND);
        EXPECT_EQ(OpenCount(), 0u);
        EXPECT_EQ(dgFileDriverSetMaxCacheSize(1).err, DG_FILE_SUCCESS);
    });
}

TEST_P(Driver, EverySetterOpensLazilyAndSucceeds) {
    using Call = DGfileError_t (*)();
    const Call calls[] = {
        [] { return dgFileDriverGetProperties(nullptr); },
        [] { return dgFileDriverSetPollMode(false, 0); },
        [] { return dgFileDriverSetMaxDirectIOSize(~size_t{0}); },
        [] { return dgFileDriverSetMaxCacheSize(0); },
        [] { return dgFileDriverSetMaxPinnedMemSize(12345); },
    };
    for (Call call : calls) {
        Run([call] {
            EXPECT_EQ(call().err, DG_FILE_SUCCESS);
            EXPECT_EQ(OpenCount(), 1u);
            EXPECT_EQ(call().err, DG_FILE_SUCCESS);
            EXPECT_EQ(OpenCount(), 1u);
        });
    }
}

TEST_P(Driver, GetPropertiesLeavesEveryByteOfTheRecord) {
    Run([] {
        DGfileDrvProps_t props;
        unsigned char before[sizeof props];
        for (size_t i = 0; i < sizeof props; ++i)
            before[i] = static_cast<unsigned char>(0xA5 ^ i);
        std::memcpy(&props, before, sizeof props);
        EXPECT_EQ(dgFileDriverGetProperties(&props).err, DG_FILE_SUCCESS);
        EXPECT_EQ(std::memcmp(&props, before, sizeof props), 0);
    });
}

TEST_P(Driver, BufferCallsSucceedWithoutOpeningTheDevice) {
    Run([] {
        int local = 0;
        EXPECT_EQ(dgFileBufRegister(&local, sizeof local, 0).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBufRegister(nullptr, 0, -1).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBufDeregister(&local).err, DG_FILE_SUCCESS);
        EXPECT_EQ(dgFileBufDeregister(nullptr).err, DG_FILE_SUCCESS);
        EXPECT_EQ(OpenCount(), 0u);
    });
}

TEST_P(Driver, ConcurrentLazyOpensMakeOneConnection) {
    Run([] {
        for (int round = 0; round < 20; ++round) {
            std::atomic<bool> go{false};
            std::atomic<int> failures{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < 8; ++t) {
                threads.emplace_back([&, t] {
                    while (!go.load()) std::this_thread::yield();
                    DGfileError_t r = (t % 2) ? dgFileDriverOpen()
                                              : dgFileDriverSetMaxCacheSize(1);
                    if (r.err != DG_FILE_SUCCESS) failures.fetch_add(1);
                });
            }
            go.store(true);
            for (auto& th : threads) th.join();
            EXPECT_EQ(failures.load(), 0);
            EXPECT_EQ(OpenCount(), 1u) << "round " << round;
            EXPECT_EQ(dgFileDriverClose().err, DG_FILE_SUCCESS);
            EXPECT_EQ(OpenCount(), 0u);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(AsRootAndDeveloper, Driver,
                         ::testing::Values(Identity::Root, Identity::Developer),
                         [](const ::testing::TestParamInfo<Identity>& p) {
                             return p.param == Identity::Root ? "Root" : "Developer";
                         });

}  // namespace
