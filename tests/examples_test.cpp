// SPDX-License-Identifier: Apache-2.0
// The example programs under examples/: each builds, runs to exit 0 on the
// simulated platform and on the CPU fallback, and fails (exit 1, saying so)
// when what it checks is wrong: the simulated driver corrupts a byte or moves
// too little.  Each run is a sandboxed child (private settings file and /dev)
// that starts the example.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/run.h"
#include "support/scratch.h"

namespace {

using support::Env;

struct Case {
    const char* name;
    const char* path;
};

const Case kExamples[] = {
    {"read_to_gpu", EXAMPLE_READ_TO_GPU},
    {"batch_cookies", EXAMPLE_BATCH_COOKIES},
    {"callback_fs", EXAMPLE_CALLBACK_FS},
    {"read_to_gpu_cpp", EXAMPLE_READ_TO_GPU_CPP},
    {"batch_loader", EXAMPLE_BATCH_LOADER},
};

// Runs `example` in a sandbox with the simulator variables cleared, then
// `env`; the debug log writes DEBUG records to standard output, which shows
// the path each transfer took ("KMD": the driver, "Host": the CPU copy).
support::ProgramRun RunExample(const char* example, const Env& env, bool device_node = true) {
    sandbox::Options o;
    o.device_node = device_node;
    o.env = {{"DGFILE_DEBUG", "DEBUG"}};
    o.env.insert(o.env.end(), env.begin(), env.end());
    return support::RunInSandbox(o, {example, support::DirectIoDir()});
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Example : public ::testing::TestWithParam<Case> {};

TEST_P(Example, RunsOnTheSimulatedDriverAndUsesIt) {
    auto run = RunExample(GetParam().path, {{"QRVD_SIM", "1"}});
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "[DGFILE DEBUG] (read:")) << run.out;
    EXPECT_TRUE(Has(run.out, ") KMD")) << "no direct transfer:\n" << run.out;
    EXPECT_FALSE(Has(run.out, "fallback to cpu copy")) << run.out;
}

TEST_P(Example, RunsOnTheCpuFallbackWithoutADevice) {
    auto run = RunExample(GetParam().path, {}, /*device_node=*/false);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, ") Host")) << "no CPU copy:\n" << run.out;
    EXPECT_FALSE(Has(run.out, ") KMD")) << run.out;
}

TEST_P(Example, FailsWhenTheDriverCorruptsAByte) {
    auto run = RunExample(GetParam().path, {{"QRVD_SIM", "1"}, {"QRVD_SIM_FAULT", "corrupt:100"}});
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    EXPECT_EQ(run.signal, 0);
    EXPECT_TRUE(Has(run.out, "DIFFER") || Has(run.out, "MISMATCH")) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Examples, Example, ::testing::ValuesIn(kExamples),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(ExampleChecks, ReadToGpuFailsOnAShortTransfer) {
    auto run = RunExample(EXAMPLE_READ_TO_GPU, {{"QRVD_SIM", "1"}, {"QRVD_SIM_FAULT", "short:4096"}});
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_TRUE(Has(run.out, "moved 4096 of 1048576 bytes")) << run.out;
}

TEST(ExampleChecks, ReadToGpuCppRepeatsShortTransfersUntilTheWholeRange) {
    auto run = RunExample(EXAMPLE_READ_TO_GPU_CPP, {{"QRVD_SIM", "1"}, {"QRVD_SIM_FAULT", "short:4096"}});
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "moved 1048576 of 1048576 bytes into GPU memory: bytes match")) << run.out;
}

TEST(ExampleChecks, BatchCookiesNamesTheRequestThatCameBackShort) {
    // Every third request passing the driver's checks moves one block only.
    auto run = RunExample(EXAMPLE_BATCH_COOKIES, {{"QRVD_SIM", "1"}, {"QRVD_SIM_FAULT", "short:4096@3"}});
    EXPECT_EQ(run.exit_code, 1) << run.out;
    int wrong = 0, right = 0;
    for (const std::string& line : sandbox::Lines(run.out)) {
        if (line.rfind("request ", 0) != 0) continue;
        if (Has(line, "ret 4096: WRONG")) ++wrong;
        if (Has(line, "1 completion(s), ret 65536: ok")) ++right;
    }
    EXPECT_EQ(wrong, 2) << run.out;  // requests 3 and 6 of 8
    EXPECT_EQ(right, 6) << run.out;
    EXPECT_TRUE(Has(run.out, "MISMATCH"));
}

TEST(ExampleChecks, CallbackFsChecksTheGpuBytesOnItsOwn) {
    // Only the second request (the read back) is corrupted: the image file
    // is right, the GPU copy is not.
    auto run = RunExample(EXAMPLE_CALLBACK_FS, {{"QRVD_SIM", "1"}, {"QRVD_SIM_FAULT", "corrupt:0@2"}});
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_TRUE(Has(run.out, "GPU bytes DIFFER, image file matches")) << run.out;
}

}  // namespace
