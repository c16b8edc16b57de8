// SPDX-License-Identifier: Apache-2.0
// dgfile-bench: its units (sizes, the data pattern and its checks), its runs
// in sandboxed children (path counts against the simulator's counters, the
// table against the JSON object), and the program itself, started with its
// own scratch directory: arguments, error messages and exit codes, --verify
// against a corrupted byte and a file the user changed, the short last I/O,
// the loader's runs, --json, the progress line and the demo.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "dgrt.h"
#include "pattern.h"
#include "qrvd_sim.h"
#include "report.h"
#include "support/run.h"
#include "support/scratch.h"
#include "units.h"
#include "workload.h"

extern char** environ;

namespace {

using namespace dgbench;
using json = nlohmann::json;
using Env = std::vector<std::pair<std::string, std::string>>;

// ---- Sizes -------------------------------------------------------------------

TEST(BenchUnits, SizesTakeBinaryUnitsInAnyCase) {
    const std::pair<const char*, std::uint64_t> good[] = {
        {"0", 0}, {"4096", 4096}, {"8B", 8}, {"4K", 4096}, {"4k", 4096}, {"4KiB", 4096},
        {"64MiB", 64 * MiB}, {"3m", 3 * MiB}, {"1G", GiB}, {"2gb", 2 * GiB},
        {"1T", 1024 * GiB}, {"18446744073709551615", UINT64_MAX}};
    for (const auto& [text, value] : good) {
        auto got = ParseSize(text);
        ASSERT_TRUE(got.has_value()) << text;
        EXPECT_EQ(*got, value) << text;
    }
}

TEST(BenchUnits, WhatIsNotASizeIsRefusedWithAReason) {
    for (const char* text : {"", "abc", "-1", "+4", "1.5M", " 4K", "4 K", "4X", "K", "0x10",
                             "18446744073709551616", "16777216T"}) {
        std::string why;
        EXPECT_FALSE(ParseSize(text, &why).has_value()) << text;
        EXPECT_NE(why.find('\'' + std::string(text) + '\''), std::string::npos) << why;
    }
}

TEST(BenchUnits, SizesReadAsPeopleReadThem) {
    EXPECT_EQ(FormatSize(0), "0 B");
    EXPECT_EQ(FormatSize(1023), "1023 B");
    EXPECT_EQ(FormatSize(4096), "4.00 KiB");
    EXPECT_EQ(FormatSize(64 * MiB), "64.0 MiB");
    EXPECT_EQ(FormatSize(1536 * MiB), "1.50 GiB");
    EXPECT_EQ(FormatSize(512 * GiB), "512 GiB");
}

// ---- The pattern and the checks -------------------------------------------

std::vector<Byte> Pattern(std::uint64_t offset, std::size_t len, std::uint8_t generation = 0) {
    std::vector<Byte> b(len);
    FillPattern(b.data(), len, offset, generation);
    return b;
}

TEST(BenchPattern, AnyRangeIsTheSliceOfTheWholeAndEveryWordNamesItsOffset) {
    auto whole = Pattern(0, 8192, 7);
    for (std::uint64_t from : {0u, 1u, 7u, 8u, 13u, 4095u, 4100u})
        for (std::size_t len : {0u, 1u, 3u, 8u, 9u, 100u, 4000u}) {
            auto part = Pattern(from, len, 7);
            ASSERT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(from)))
                << from << "+" << len;
        }
    // Little-endian words: the generation in the top byte, distinct words
    // for distinct offsets.
    EXPECT_EQ(whole[7], 7);
    EXPECT_EQ(whole[4095], 7);
    EXPECT_NE(std::vector<Byte>(whole.begin(), whole.begin() + 4096),
              std::vector<Byte>(whole.begin() + 4096, whole.end()));
    EXPECT_EQ(PatternGeneration(whole.data() + 3, 100, 3), 7);
    EXPECT_EQ(PatternGeneration(whole.data() + 8, 8, 0), std::nullopt);  // the wrong place
    std::vector<Byte> zeros(64, 0);
    EXPECT_EQ(PatternGeneration(zeros.data(), zeros.size(), 0), std::nullopt);
}

std::string Hex(Byte b) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", b);
    return text;
}

TEST(BenchPattern, AFlippedByteIsReportedAtItsOffsetAndNotAsMisplaced) {
    const std::uint64_t base = 1 << 20;
    auto want = Pattern(base, 65536, 1);
    auto got = want;
    got[4100] = static_cast<Byte>(~got[4100]);
    got[9000] ^= 0x10;
    CheckResult r = CompareBytes(got.data(), want.data(), got.size(), base, true);
    EXPECT_EQ(r.bytes_checked, 65536u);
    EXPECT_EQ(r.bad_bytes, 2u);
    ASSERT_TRUE(r.first.has_value());
    EXPECT_EQ(r.first->offset, base + 4100);
    EXPECT_EQ(r.first->expected, want[4100]);
    EXPECT_EQ(r.first->found, static_cast<Byte>(~want[4100]));
    EXPECT_FALSE(r.first->belongs_at.has_value());
    EXPECT_EQ(Describe(*r.first), "file offset " + std::to_string(base + 4100) + ": expected 0x" +
                                      Hex(want[4100]) + ", found 0x" + Hex(got[4100]));
    EXPECT_TRUE(CompareBytes(want.data(), want.data(), want.size(), base, true).ok());
}

// What the device holds after a transfer that put one block at the wrong
// place: the check of the read names where the data came from.
TEST(BenchPattern, AMisplacedBlockIsCaughtAndNamed) {
    const std::uint64_t base = 0;
    auto want = Pattern(base, 8 * 4096, 0);
    auto got = want;
    // Block 2 holds the data of block 5.
    std::copy(want.begin() + 5 * 4096, want.begin() + 6 * 4096, got.begin() + 2 * 4096);
    CheckResult r = CompareBytes(got.data(), want.data(), got.size(), base, true);
    ASSERT_FALSE(r.ok());
    ASSERT_TRUE(r.first.has_value());
    EXPECT_EQ(r.first->offset / 4096, 2u);
    ASSERT_TRUE(r.first->belongs_at.has_value());
    EXPECT_EQ(*r.first->belongs_at, r.first->offset + 3 * 4096);
    EXPECT_NE(Describe(*r.first).find("a misplaced block"), std::string::npos);
    // The file-content check catches the same block in a file, whatever
    // generation its words carry.
    CheckResult content = CheckPatternOffsets(got.data(), got.size(), base);
    EXPECT_EQ(content.bad_bytes, r.bad_bytes);
    EXPECT_EQ(content.first->offset, r.first->offset);
    EXPECT_TRUE(CheckPatternOffsets(Pattern(base, 4096, 200).data(), 4096, base).ok());
    EXPECT_TRUE(CheckPatternOffsets(Pattern(13, 4000, 9).data(), 4000, 13).ok());
    // A merge keeps the lowest first mismatch and adds the counts.
    CheckResult later = CompareBytes(got.data(), want.data(), got.size(), base, true);
    later.first->offset += 1;
    CheckResult merged;
    merged.Merge(later);
    merged.Merge(r);
    EXPECT_EQ(merged.first->offset, r.first->offset);
    EXPECT_EQ(merged.bad_bytes, 2 * r.bad_bytes);
}

// ---- The program -----------------------------------------------------------

using support::ScratchDir;
using ToolRun = support::ProgramRun;

// Runs dgfile-bench with `args` and a clean environment (no DGFILE_* or
// simulator variables of the caller, the debug log silent) plus `env`.
// With `terminal`, standard error is a pseudo-terminal.
ToolRun RunTool(const std::vector<std::string>& args, const Env& env = {}, bool terminal = false) {
    std::vector<std::string> argv{DGFILE_BENCH_PATH}, vars{"DGFILE_DEBUG=NONE"};
    argv.insert(argv.end(), args.begin(), args.end());
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string v = *e;
        if (v.rfind("DGFILE_", 0) != 0 && v.rfind("QRVD_SIM", 0) != 0 &&
            v.rfind("QRV_SIM", 0) != 0 && v.rfind("TMPDIR=", 0) != 0)
            vars.push_back(v);
    }
    for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
    return support::RunProgram(argv, &vars, terminal);
}

std::string Show(const ToolRun& r) {
    return "exit " + std::to_string(r.exit_code) + "\n--- stdout ---\n" + r.out + "--- stderr ---\n" + r.err;
}

std::vector<Byte> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A scratch directory holding "data", a pattern file of `size` bytes made by
// the tool itself.
struct DataFile {
    explicit DataFile(const std::string& size) : file(dir.File("data")) {
        ToolRun r = RunTool({"read", file, "--create", size, "--size", "4K", "--io-size", "4K"});
        EXPECT_EQ(r.exit_code, 0) << Show(r);
    }
    ScratchDir dir;
    const std::string file;
};

json ParseJson(const ToolRun& r) {
    json j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << Show(r);
    return j;
}

// Table rows by run name, each a map from column name to text.
std::map<std::string, std::map<std::string, std::string>> TableRows(const std::string& text) {
    std::map<std::string, std::map<std::string, std::string>> rows;
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> header;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> cells;
        for (std::string w; words >> w;) cells.push_back(w);
        if (!cells.empty() && cells[0] == "run" && cells.size() > 10) {
            header = cells;
        } else if (!header.empty() && cells.size() == header.size()) {
            for (std::size_t i = 0; i < cells.size(); ++i) rows[cells[0]][header[i]] = cells[i];
        } else if (!header.empty()) {
            header.clear();  // the table ended
        }
    }
    return rows;
}

// ---- Arguments, messages, exit codes ---------------------------------------

TEST(BenchProgram, HelpListsTheCommandsAndEveryExitCode) {
    ToolRun r = RunTool({"--help"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    for (const char* text : {"read", "write", "load", "store", "demo", "Exit codes:", "  0  success", "  1  --verify",
                             "  2  bad arguments", "  3  set-up failed", "  4  a transfer failed"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    ToolRun sub = RunTool({"write", "--help"});
    ASSERT_EQ(sub.exit_code, 0) << Show(sub);
    // Each value by its own name, without the parser's type and check names.
    for (const char* option : {"--size SIZE ", "--io-size SIZE=1M ", "--offset SIZE=0 ", "--random",
                               "--threads N=1 ", "--shared-handle", "--batch DEPTH=0 ",
                               "--path {default,cpu,direct}=default\n", "--sim {auto,on,off}=auto ",
                               "--verify", "--create SIZE ", "--overwrite", "--json", "  5  pattern check"})
        EXPECT_NE(sub.out.find(option), std::string::npos) << option << "\n" << sub.out;
}

TEST(BenchProgram, BadInputGetsAClearMessageExitTwoAndNoReport) {
    const DataFile data("64K");
    const std::string& file = data.file;
    const std::string missing = data.dir.File("missing");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "name a command: read, write, load, store or demo"},
        {{"read"}, "FILE is required"},
        {{"frobnicate"}, "unknown command 'frobnicate': name read, write, load, store or demo"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"read", missing}, missing + ": no such file (--create SIZE makes one)"},
        {{"write", missing, "--verify"}, "no such file"},
        {{"read", file, "--size", "abc"}, "--size: 'abc' is not a size"},
        {{"read", file, "--io-size", "1.5K"}, "'1.5K' is not a size"},
        {{"read", file, "--offset", "-4096"}, "is not a size"},
        {{"read", file, "--io-size", "0"}, "--io-size must be at least 1 byte"},
        {{"read", file, "--size", "128K", "-b", "4K"}, "the range of 131072 bytes from offset 0 runs beyond the end of"},
        {{"write", file, "--offset", "60K", "--size", "8K", "-b", "4K", "--overwrite"}, "runs beyond the end of"},
        {{"write", file, "-s", "4K"},
         file + " exists (65536 bytes): write would replace its data with the tool's pattern; add --overwrite"},
        {{"store", file}, file + " exists (65536 bytes): store would replace its data"},
        {{"load", file, "--random"}, "--random"},
        {{"load", file, "-b", "0"}, "--io-size must be at least 1 byte"},
        {{"read", file, "--offset", "68K"}, "--offset 69632 lies beyond the end of"},
        {{"read", file, "--offset", "64K"}, "nothing to move: " + file + " ends at --offset 65536"},
        {{"read", file, "-b", "32K", "-t", "3"}, "--threads 3 is more than the 2 I/Os"},
        {{"read", file, "-t", "0"}, "--threads"},
        {{"read", file, "--path", "fast"}, "--path: fast not in {default,cpu,direct}"},
        {{"read", file, "--sim", "maybe"}, "--sim"},
        {{"read", file, "--bogus"}, "--bogus"},
        {{"read", data.dir.path()}, "not a regular file"},
        {{"demo", "--size", "100K", "--io-size", "64K"}, "--size must be a nonzero whole number of I/Os"},
    };
    for (const auto& c : cases) {
        ToolRun r = RunTool(c.args);
        std::string what;
        for (const auto& a : c.args) what += a + " ";
        EXPECT_EQ(r.exit_code, kExitUsage) << what << Show(r);
        EXPECT_NE(r.err.find("dgfile-bench: error: "), std::string::npos) << what << Show(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << what << "\nwanted: " << c.message << "\n" << Show(r);
        EXPECT_EQ(r.out, "") << what;
    }
    // Nothing was made or changed by the refused runs.
    EXPECT_EQ(data.dir.Entries(), std::vector<std::string>{"data"});
    EXPECT_EQ(FileBytes(file), Pattern(0, 64 * 1024));
}

TEST(BenchProgram, SetUpFailuresExitThree) {
    const DataFile data("256K");
    const std::string& file = data.file;
    // Device memory the simulated GPU does not have.
    ToolRun r = RunTool({"read", file, "-b", "128K"}, {{"QRV_SIM_MEM_SIZE", "64K"}});
    EXPECT_EQ(r.exit_code, kExitSetup) << Show(r);
    EXPECT_NE(r.err.find("cannot allocate 128 KiB of device memory: dgMalloc: out of device memory"),
              std::string::npos) << Show(r);
    // Batches need depth x I/O size of device memory.
    r = RunTool({"read", file, "-b", "32K", "-q", "4"}, {{"QRV_SIM_MEM_SIZE", "64K"}});
    EXPECT_EQ(r.exit_code, kExitSetup) << Show(r);
    EXPECT_NE(r.err.find("cannot allocate 128 KiB of device memory"), std::string::npos) << Show(r);
    // A file that cannot be created.
    r = RunTool({"read", data.dir.File("no/such/dir"), "--create", "4K"});
    EXPECT_EQ(r.exit_code, kExitSetup) << Show(r);
    EXPECT_NE(r.err.find("cannot create"), std::string::npos) << Show(r);
    // A demo directory where nothing can be made.
    r = RunTool({"demo", "--dir", data.dir.File("absent")});
    EXPECT_EQ(r.exit_code, kExitSetup) << Show(r);
    EXPECT_NE(r.err.find("cannot make a file there that takes direct I/O"), std::string::npos) << Show(r);
    EXPECT_EQ(data.dir.Entries(), std::vector<std::string>{"data"});
}

TEST(BenchProgram, DirectOnlyFailsOnWhatTheDriverRefusesAndExitsFour) {
    const DataFile data("64K");
    const std::string& file = data.file;
    // Misaligned direct I/O: the kernel refuses it, and there is no fallback.
    ToolRun r = RunTool({"read", file, "--path", "direct", "-b", "1000", "-s", "3000", "--json"});
    EXPECT_EQ(r.exit_code, kExitTransfer) << Show(r);
    EXPECT_NE(r.err.find("dgFileRead failed at file offset 0 (I/O of 1000 bytes)"), std::string::npos) << Show(r);
    json j = ParseJson(r);
    EXPECT_EQ(j["exit_code"], kExitTransfer);
    EXPECT_EQ(j["runs"][0]["ios"], 0);
    EXPECT_EQ(j["runs"][0]["error"]["code"], kExitTransfer);
    // Every request refused by the driver.
    r = RunTool({"write", file, "--path", "direct", "-b", "4K", "--overwrite"},
                {{"QRVD_SIM_FAULT", "refuse:EIO@3"}});
    EXPECT_EQ(r.exit_code, kExitTransfer) << Show(r);
    EXPECT_NE(r.err.find("dgFileWrite failed at file offset 8192"), std::string::npos) << Show(r);
    EXPECT_NE(r.out.find("write/direct"), std::string::npos) << Show(r);
    // The default path falls back on the same faults and succeeds.
    r = RunTool({"read", file, "-b", "1000", "-s", "3000", "--verify"});
    EXPECT_EQ(r.exit_code, kExitOk) << Show(r);
    // A short transfer is a failure, not a success.
    r = RunTool({"read", file, "-b", "8K"}, {{"QRVD_SIM_FAULT", "short:4096@2"}});
    EXPECT_EQ(r.exit_code, kExitTransfer) << Show(r);
    EXPECT_NE(r.err.find("dgFileRead moved 4096 of 8192 bytes at file offset 8192"), std::string::npos) << Show(r);
}

// ---- --verify ----------------------------------------------------------------

TEST(BenchVerify, ACorruptedByteIsFoundInReadsAndWritesWithItsOffset) {
    const DataFile data("1M");
    const std::string& file = data.file;
    // Every third request gets byte 100 of its range inverted: I/Os 2, 5,
    // 8, 11 and 14 of sixteen.
    for (const char* workload : {"read", "write"}) {
        ToolRun r = RunTool({workload, file, "--create", "1M", "-b", "64K", "--verify", "--json"},
                            {{"QRVD_SIM_FAULT", "corrupt:100@3"}});
        ASSERT_EQ(r.exit_code, kExitMismatch) << workload << Show(r);
        EXPECT_NE(r.err.find("; the first at file offset 131172"), std::string::npos) << Show(r);
        json v = ParseJson(r)["runs"][0]["verify"];
        EXPECT_EQ(v["bytes_checked"], 1 << 20);
        EXPECT_EQ(v["mismatched_bytes"], 5);
        EXPECT_EQ(v["first_mismatch"]["offset"], 131172);
        int expected = v["first_mismatch"]["expected"], found = v["first_mismatch"]["found"];
        EXPECT_EQ(found, ~expected & 0xff);
        EXPECT_TRUE(v["first_mismatch"]["belongs_at"].is_null());
    }
    // Without the fault, a write and then a read pass, and the table says so.
    ToolRun w = RunTool({"write", file, "-b", "64K", "--verify", "--overwrite"});
    ASSERT_EQ(w.exit_code, 0) << Show(w);
    EXPECT_NE(w.out.find("1048576 bytes checked read back against the data written: all match"),
              std::string::npos) << Show(w);
    ToolRun r = RunTool({"read", file, "-b", "64K", "--verify"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_NE(r.out.find("1048576 bytes checked against the file: all match"), std::string::npos) << Show(r);
    EXPECT_EQ(r.err, "");
}

// Data moved is checked against the file as it is; only where this process
// wrote the pattern is the file checked against it, a finding of its own.
TEST(BenchVerify, AFileTheUserChangedReadsBackCleanAndThePatternIsCheckedOnlyWhereWritten) {
    const DataFile data("256K");
    const std::string& file = data.file;
    {
        // Block 9 (4 KiB) gets the content of block 40.
        int fd = ::open(file.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        std::vector<Byte> block(4096);
        ASSERT_EQ(::pread(fd, block.data(), 4096, 40 * 4096), 4096);
        ASSERT_EQ(::pwrite(fd, block.data(), 4096, 9 * 4096), 4096);
        ::close(fd);
    }
    ToolRun r = RunTool({"write", file, "-s", "16K", "--overwrite", "--verify"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    r = RunTool({"read", file, "-b", "16K", "--verify"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    support::Sandboxed([&] {
        RunConfig config;
        config.file = file;
        config.io_size = 16 * 1024;
        config.verify = config.pattern_written = true;
        RunResult run = RunWorkload(config);
        EXPECT_EQ(run.error_code, kExitPattern) << run.error;  // not a mismatch: the data moved was right
        ASSERT_TRUE(run.pattern && run.pattern->first);
        EXPECT_EQ(run.pattern->first->belongs_at, run.pattern->first->offset + 31 * 4096);
        const std::string table = FormatTable(Report{"test", {}, {run}, kExitPattern});
        EXPECT_NE(table.find("read/default: pattern check of the file: 262144 bytes checked against the "
                             "offset pattern written in this run: 1024 differ, the first at file offset 36865"),
                  std::string::npos) << table;
    });
}

// The short last I/O: a read moves the file's tail, through the driver too,
// and a write fills it without growing the file.
TEST(BenchVerify, TheShortLastIoMovesTheFilesTail) {
    const DataFile data("320K");
    const std::string& file = data.file;
    ASSERT_EQ(::truncate(file.c_str(), 300003), 0);
    ToolRun r = RunTool({"read", file, "-b", "64K", "--verify", "--json", "--path", "direct", "-r", "-t", "2",
                         "-q", "2"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(ParseJson(r)["runs"][0]["bytes"], 300003);
    // The driver corrupts the fifth request, the tail.
    r = RunTool({"read", file, "-b", "64K", "--verify"}, {{"QRVD_SIM_FAULT", "corrupt:100@5"}});
    EXPECT_EQ(r.exit_code, kExitMismatch) << Show(r);
    EXPECT_NE(r.err.find("1 byte(s) read differ from the file; the first at file offset 262244"),
              std::string::npos) << Show(r);
    EXPECT_NE(r.out.find("(300003 bytes) from offset 0 to the end of the file, I/O size 64.0 KiB, the last "
                         "I/O 37859 bytes"), std::string::npos) << Show(r);
    r = RunTool({"write", file, "-b", "64K", "--verify", "--overwrite"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(FileBytes(file), Pattern(0, 300003, 1));
}

TEST(BenchVerify, RandomMultiThreadedBatchedWritesCoverEveryBlockOnce) {
    const DataFile data("512K");
    const std::string& file = data.file;
    ToolRun r = RunTool({"write", file, "-b", "4K", "--random", "--seed", "7", "-t", "3", "-q", "4",
                         "--verify", "--json", "--overwrite"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    json run = ParseJson(r)["runs"][0];
    EXPECT_EQ(run["ios"], 128);
    EXPECT_EQ(run["verify"]["bytes_checked"], 512 * 1024);
    // The write run put its own generation into every word of the file:
    // every block was written, so (128 I/Os, 128 blocks) each exactly once.
    EXPECT_EQ(FileBytes(file), Pattern(0, 512 * 1024, 1));
    // The next write run uses the next generation.
    r = RunTool({"write", file, "-b", "64K", "-t", "2", "--shared-handle", "--overwrite"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(FileBytes(file), Pattern(0, 512 * 1024, 2));
}

// load and store: one call of the loader moves the range, verified; a
// refused request names where the range stopped, and moved only that much.
TEST(BenchLoader, LoadAndStoreMoveTheRangeAndAFailureSaysWhereItStopped) {
    const DataFile data("1M");
    const std::string& file = data.file;
    ToolRun r = RunTool({"store", file, "-b", "64K", "-t", "3", "--verify", "--overwrite", "--json"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    json run = ParseJson(r)["runs"][0];
    EXPECT_EQ(run["workload"], "store");
    EXPECT_EQ(run["threads"], 3);
    EXPECT_EQ(run["verify"]["bytes_checked"], 1 << 20);
    EXPECT_TRUE(run["latency_us"].is_null());
    EXPECT_EQ(FileBytes(file), Pattern(0, 1 << 20, 1));
    r = RunTool({"load", file, "-b", "64K", "-t", "5", "-o", "4K", "-s", "300001", "--verify"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(TableRows(r.out)["load/default"]["bytes"], "300001") << Show(r);
    EXPECT_EQ(TableRows(r.out)["load/default"]["mean_us"], "n/a") << Show(r);
    EXPECT_NE(r.out.find("one call of dgfile::load, chunks of 64.0 KiB, 5 lanes"), std::string::npos) << Show(r);
    r = RunTool({"load", file, "-b", "64K", "-t", "2", "--path", "direct", "--json"},
                {{"QRVD_SIM_FAULT", "refuse:EIO@5"}});
    ASSERT_EQ(r.exit_code, kExitTransfer) << Show(r);
    run = ParseJson(r)["runs"][0];
    const std::uint64_t moved = run["bytes"];
    EXPECT_TRUE(moved % 65536 == 0 && moved < (1 << 20)) << moved;
    EXPECT_NE(r.err.find("dgfile::load moved " + std::to_string(moved) + " of 1048576 bytes: transfer "
                         "failed at file offset " + std::to_string(moved)), std::string::npos) << Show(r);
}

// ---- Reports ----------------------------------------------------------------

TEST(BenchReport, JsonHasTheDocumentedFields) {
    const DataFile data("256K");
    const std::string& file = data.file;
    ToolRun r = RunTool({"read", file, "--create", "256K", "-b", "16K", "-o", "32K", "-s", "128K",
                         "--random", "-t", "2", "--verify", "--json"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(r.err, "");
    json j = ParseJson(r);
    EXPECT_EQ(j["tool"], "dgfile-bench");
    EXPECT_TRUE(j["version"].is_string());
    EXPECT_EQ(j["driver"]["simulated"], true);
    EXPECT_TRUE(j["driver"]["reason"].is_string());
    // The runtime files the program loaded: the build tree's simulated ones.
    EXPECT_EQ(j["driver"]["gpu_runtime"], std::filesystem::canonical(SIM_GPU_RUNTIME).string());
    EXPECT_EQ(j["driver"]["app_runtime"], std::filesystem::canonical(SIM_APP_RUNTIME).string());
    EXPECT_EQ(j["exit_code"], 0);
    ASSERT_EQ(j["runs"].size(), 1u);
    json run = j["runs"][0];
    const char* fields[] = {"name", "workload", "path", "file", "offset", "size", "io_size",
                            "access", "seed", "threads", "shared_handle", "batch_depth", "bytes",
                            "ios", "seconds", "gib_per_s", "mib_per_s", "iops", "latency_us",
                            "direct", "fallback", "verify", "pattern_check", "error"};
    EXPECT_EQ(run.size(), std::size(fields));
    for (const char* f : fields) EXPECT_TRUE(run.contains(f)) << f;
    EXPECT_EQ(run["name"], "read/default");
    EXPECT_EQ(run["workload"], "read");
    EXPECT_EQ(run["path"], "default");
    EXPECT_EQ(run["file"], file);
    EXPECT_EQ(run["offset"], 32 * 1024);
    EXPECT_EQ(run["io_size"], 16 * 1024);
    EXPECT_EQ(run["access"], "random");
    EXPECT_EQ(run["threads"], 2);
    EXPECT_EQ(run["shared_handle"], false);
    EXPECT_EQ(run["batch_depth"], 0);
    EXPECT_EQ(run["bytes"], 128 * 1024);
    EXPECT_EQ(run["ios"], 8);
    double seconds = run["seconds"];
    ASSERT_GT(seconds, 0);
    EXPECT_DOUBLE_EQ(run["gib_per_s"].get<double>(), 128 * 1024 / seconds / GiB);
    EXPECT_DOUBLE_EQ(run["mib_per_s"].get<double>(), 128 * 1024 / seconds / MiB);
    EXPECT_DOUBLE_EQ(run["iops"].get<double>(), 8 / seconds);
    json lat = run["latency_us"];
    EXPECT_GT(lat["mean"].get<double>(), 0);
    EXPECT_LE(lat["p50"].get<double>(), lat["p99"].get<double>());
    EXPECT_LE(lat["p99"].get<double>(), lat["max"].get<double>());
    EXPECT_LE(lat["mean"].get<double>(), lat["max"].get<double>());
    EXPECT_EQ(run["direct"], 8);
    EXPECT_EQ(run["fallback"], 0);
    EXPECT_TRUE(run["verify"]["first_mismatch"].is_null());
    EXPECT_EQ(run["pattern_check"]["bytes_checked"], 128 * 1024);  // the file was made in this run
    EXPECT_EQ(run["pattern_check"]["mismatched_bytes"], 0);
    EXPECT_TRUE(run["error"].is_null());
    // Without --verify the field is null.
    r = RunTool({"write", file, "--json", "--path", "cpu", "-q", "2", "-b", "64K", "--overwrite"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    run = ParseJson(r)["runs"][0];
    EXPECT_TRUE(run["verify"].is_null());
    EXPECT_EQ(run["name"], "write/cpu");
    EXPECT_EQ(run["batch_depth"], 2);
    EXPECT_EQ(run["direct"], 0);
    EXPECT_EQ(run["fallback"], 4);
}

// ---- Path counts -------------------------------------------------------------

TEST(BenchPaths, CountsFollowTheDriverFaultsAndAreUnknownWithoutTheSimulator) {
    const DataFile data("256K");
    const std::string& file = data.file;
    const struct {
        std::vector<std::string> extra;
        Env env;
        int direct, fallback;
    } cases[] = {
        {{}, {}, 16, 0},
        {{}, {{"QRVD_SIM_FAULT", "refuse@2"}}, 8, 8},
        {{}, {{"QRVD_SIM_FAULT", "zero@4"}}, 12, 4},          // a success that moved nothing
        {{}, {{"QRVD_SIM_FAULT", "untouched"}}, 16, 0},       // size not written back
        {{"--path", "cpu"}, {}, 0, 16},
        {{"-q", "4", "-t", "2"}, {{"QRVD_SIM_FAULT", "refuse@4"}}, 12, 4},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"read", file, "-b", "16K", "--json"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ToolRun r = RunTool(args, c.env);
        ASSERT_EQ(r.exit_code, 0) << Show(r);
        json run = ParseJson(r)["runs"][0];
        EXPECT_EQ(run["direct"], c.direct) << Show(r);
        EXPECT_EQ(run["fallback"], c.fallback) << Show(r);
    }
    // The simulator switched off: no real device here, so every transfer
    // takes the fallback, and the counts are not known.
    ToolRun r = RunTool({"read", file, "-b", "64K", "--sim", "off"});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_NE(r.out.find("driver: none (--sim off; no /dev/qrvd, so transfers take the CPU fallback)"),
              std::string::npos) << Show(r);
    auto rows = TableRows(r.out);
    ASSERT_EQ(rows.count("read/default"), 1u) << r.out;
    EXPECT_EQ(rows["read/default"]["direct"], "n/a");
    EXPECT_EQ(rows["read/default"]["fallback"], "n/a");
    r = RunTool({"read", file, "-b", "64K", "--json"}, {{"QRVD_SIM", "0"}});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    json j = ParseJson(r);
    EXPECT_EQ(j["driver"]["simulated"], false);
    EXPECT_EQ(j["driver"]["device_node"], false);
    EXPECT_EQ(j["driver"]["reason"], "QRVD_SIM=0");
    EXPECT_TRUE(j["runs"][0]["direct"].is_null());
    EXPECT_TRUE(j["runs"][0]["fallback"].is_null());
}

// In one process: the counts a run reports against the simulator's own
// counters, and the table against the JSON object of the same run.
TEST(BenchPaths, CountsMatchTheSimulatorsCountersAndTheTableMatchesTheJson) {
    const DataFile data("512K");
    const std::string& file = data.file;
    support::Sandboxed([&] {
        DriverInfo driver = SelectDriver(SimMode::On);
        ASSERT_TRUE(driver.simulated);
        struct Case {
            Workload workload;
            TransferPath path;
            unsigned threads, depth;
            int fault;
            unsigned every;
        };
        const Case cases[] = {
            {Workload::Read, TransferPath::Default, 1, 0, QRVD_SIM_FAULT_NONE, 0},
            {Workload::Write, TransferPath::Default, 2, 0, QRVD_SIM_FAULT_REFUSE, 3},
            {Workload::Read, TransferPath::Default, 2, 3, QRVD_SIM_FAULT_ZERO, 2},
            {Workload::Write, TransferPath::Cpu, 1, 2, QRVD_SIM_FAULT_NONE, 0},
        };
        Report report{"test", driver, {}, kExitOk};
        for (const Case& c : cases) {
            SelectPath(c.path, true);
            if (c.fault == QRVD_SIM_FAULT_NONE) qrvd_sim_clear_fault();
            else ASSERT_EQ(qrvd_sim_set_fault(c.fault, EIO, c.every), 0);
            RunConfig config;
            config.workload = c.workload;
            config.file = file;
            config.io_size = 32 * 1024;
            config.threads = c.threads;
            config.batch_depth = c.depth;
            config.path = c.path;
            config.verify = true;
            config.random = c.threads > 1;
            config.label = "run" + std::to_string(report.runs.size());
            qrvd_sim_counters before{}, after{};
            qrvd_sim_get_counters(&before);
            RunResult r = RunWorkload(config);
            qrvd_sim_get_counters(&after);
            ASSERT_TRUE(r.ok()) << r.error;
            ASSERT_EQ(r.ios, 16u);
            bool read = c.workload == Workload::Read;
            std::uint64_t moved = read ? after.bytes_read - before.bytes_read
                                       : after.bytes_written - before.bytes_written;
            std::uint64_t refused = after.requests_failed - before.requests_failed;
            ASSERT_TRUE(r.direct.has_value());
            ASSERT_TRUE(r.fallback.has_value());
            EXPECT_EQ(*r.direct * config.io_size, moved);
            EXPECT_EQ(*r.direct + *r.fallback, r.ios);
            if (c.path == TransferPath::Cpu) {
                EXPECT_EQ(after.requests, before.requests);
            }
            if (c.fault == QRVD_SIM_FAULT_REFUSE) {
                EXPECT_EQ(*r.fallback, refused);
            }
            if (c.fault == QRVD_SIM_FAULT_ZERO) {
                EXPECT_EQ(*r.fallback, 8u);
            }
            if (c.fault == QRVD_SIM_FAULT_NONE && c.path == TransferPath::Default) {
                EXPECT_EQ(*r.fallback, 0u);
            }
            report.runs.push_back(r);
        }
        qrvd_sim_clear_fault();

        // Every figure of the table is the JSON value, rounded as printed.
        auto rows = TableRows(FormatTable(report));
        json j = json::parse(FormatJson(report));
        ASSERT_EQ(rows.size(), report.runs.size());
        ASSERT_EQ(j["runs"].size(), report.runs.size());
        auto near = [](const std::string& text, double value, int decimals) {
            double half = 0.5 * std::pow(10.0, -decimals) * (1 + 1e-9) + 1e-12;
            EXPECT_NEAR(std::stod(text), value, half) << text;
        };
        for (const json& run : j["runs"]) {
            auto& row = rows.at(run["name"].get<std::string>());
            EXPECT_EQ(row["bytes"], std::to_string(run["bytes"].get<std::uint64_t>()));
            near(row["seconds"], run["seconds"], 6);
            near(row["GiB/s"], run["gib_per_s"], 3);
            near(row["MiB/s"], run["mib_per_s"], 1);
            near(row["IOPS"], run["iops"], 0);
            near(row["mean_us"], run["latency_us"]["mean"], 1);
            near(row["p50_us"], run["latency_us"]["p50"], 1);
            near(row["p99_us"], run["latency_us"]["p99"], 1);
            near(row["max_us"], run["latency_us"]["max"], 1);
            EXPECT_EQ(row["direct"], std::to_string(run["direct"].get<std::uint64_t>()));
            EXPECT_EQ(row["fallback"], std::to_string(run["fallback"].get<std::uint64_t>()));
            EXPECT_EQ(row["verify"], "ok");
            EXPECT_EQ(run["verify"]["mismatched_bytes"], 0);
            EXPECT_EQ(run["verify"]["bytes_checked"], run["bytes"]);
        }
    });
}

// ---- Progress line and demo --------------------------------------------------

TEST(BenchProgram, AProgressLineOnlyOnATerminalAndOnlyForRunsOverASecond) {
    const DataFile data("384K");
    const std::string& file = data.file;
    // 24 requests of 50 ms each: about 1.2 seconds.
    const Env slow{{"QRVD_SIM_FAULT", "delay:50000"}};
    ToolRun r = RunTool({"read", file, "-b", "16K", "--json"}, slow, /*terminal=*/true);
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_NE(r.err.find("\rread: "), std::string::npos) << Show(r);
    EXPECT_NE(r.err.find(" of 384 KiB ("), std::string::npos) << Show(r);
    EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K") << Show(r);  // cleared at the end
    EXPECT_EQ(ParseJson(r)["runs"][0]["ios"], 24);  // standard output untouched
    r = RunTool({"read", file, "-b", "16K"}, slow);
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(r.err, "");
    // A short run on a terminal shows none either.
    r = RunTool({"read", file, "-b", "16K"}, {}, /*terminal=*/true);
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(r.err, "");
}

TEST(BenchDemo, WritesThenReadsThroughBothPathsVerifiesAndRemovesItsFile) {
    ScratchDir dir;
    ToolRun r = RunTool({"demo", "--size", "2M", "--io-size", "256K"}, {{"TMPDIR", dir.path()}});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("dgfile-bench demo: 2.00 MiB temporary file in " + dir.path()), std::string::npos)
        << Show(r);
    EXPECT_NE(r.out.find("driver: simulated (no /dev/qrvd)\nruntimes: GPU " +
                         std::filesystem::canonical(SIM_GPU_RUNTIME).string() + ", application " +
                         std::filesystem::canonical(SIM_APP_RUNTIME).string() + "\n"),
              std::string::npos)
        << Show(r);
    auto rows = TableRows(r.out);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    const struct { const char* name; const char* direct; const char* fallback; } expected[] = {
        {"write/default", "8", "0"}, {"read/direct", "8", "0"}, {"read/cpu", "0", "8"}};
    for (const auto& e : expected) {
        auto& row = rows[e.name];
        EXPECT_EQ(row["bytes"], "2097152") << e.name;
        EXPECT_EQ(row["direct"], e.direct) << e.name;
        EXPECT_EQ(row["fallback"], e.fallback) << e.name;
        EXPECT_EQ(row["verify"], "ok") << e.name;
        EXPECT_NE(r.out.find(std::string(e.name) + ": verify: 2097152 bytes checked"), std::string::npos);
        // The reads check the file against the pattern the write put there.
        EXPECT_EQ(r.out.find(std::string(e.name) + ": pattern check of the file: 2097152 bytes checked") !=
                      std::string::npos,
                  e.name[0] == 'r') << e.name;
    }
    EXPECT_NE(r.out.find("read: direct path "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" GiB/s, CPU fallback "), std::string::npos) << r.out;
    EXPECT_TRUE(dir.Entries().empty());

    // With statistics on standard error: the library's summary at exit
    // agrees with the demo's own counts (16 direct I/Os of 256 KiB, 8 through
    // the CPU copy, which the demo forces by leaving no device connection).
    r = RunTool({"demo", "--size", "2M", "--io-size", "256K", "--json"},
                {{"TMPDIR", dir.path()}, {"DGFILE_STATS", "stderr"}, {"DGFILE_STATS_FORMAT", "json"}});
    ASSERT_EQ(r.exit_code, 0) << Show(r);
    std::uint64_t direct = 0, fallback = 0;
    const json report = ParseJson(r);
    for (const json& run : report["runs"]) {
        direct += run["direct"].get<std::uint64_t>();
        fallback += run["fallback"].get<std::uint64_t>();
    }
    const json stats = json::parse(r.err);
    EXPECT_EQ(stats["paths"]["direct"]["transfers"], direct);
    EXPECT_EQ(stats["paths"]["cpu_copy"]["transfers"], fallback);
    EXPECT_EQ(stats["paths"]["direct"]["bytes"], direct * 256 * 1024);
    EXPECT_EQ(stats["paths"]["cpu_copy"]["bytes"], fallback * 256 * 1024);
    EXPECT_EQ(stats["direct_misses"][0]["reason"], "no_device");
    EXPECT_EQ(stats["direct_misses"][0]["then_cpu_copy"], fallback);

    // A corrupting driver: the demo fails, and still removes its file.
    r = RunTool({"demo", "--size", "1M", "--io-size", "128K", "--dir", dir.path(), "--json"},
                {{"QRVD_SIM_FAULT", "corrupt:5@7"}});
    EXPECT_EQ(r.exit_code, kExitMismatch) << Show(r);
    json j = ParseJson(r);
    ASSERT_EQ(j["runs"].size(), 3u);
    EXPECT_EQ(j["exit_code"], kExitMismatch);
    std::uint64_t bad = 0;
    for (const json& run : j["runs"]) bad += run["verify"]["mismatched_bytes"].get<std::uint64_t>();
    EXPECT_GT(bad, 0u);
    EXPECT_TRUE(dir.Entries().empty());
}

}  // namespace
