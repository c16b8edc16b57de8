// SPDX-License-Identifier: Apache-2.0
// dgfile-bench: moves data between files and GPU memory through libdgfile
// (and its C++ loader), checks it and measures it.  This file holds the command line and the demo;
// the runs are in workload.cpp and worker.cpp, the output in report.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "dgfile.hpp"
#include "direct_io_probe.h"
#include "report.h"
#include "units.h"
#include "workload.h"

#ifndef DGFILE_BENCH_VERSION
#define DGFILE_BENCH_VERSION "0"
#endif

namespace {

using namespace dgbench;

constexpr const char* kFooter = R"(Sizes are whole numbers of bytes with an optional K, M, G or T (binary: 4K is
4096).  Device memory comes from the GPU runtime; with no /dev/qrvd on the
machine the simulated driver is used (see --sim), and the output says which.

Exit codes:
  0  success (with --verify: every byte moved matched)
  1  --verify: bytes moved differ from the file's (the first offset and the
     count are reported): a read put other data in GPU memory than the file
     holds, or a write left other data in the file than it was given
  2  bad arguments or input: unknown option, a value that is not a number,
     an I/O size of 0, a missing file, a range beyond the end of the file,
     a write over an existing file without --overwrite or --create
  3  set-up failed: the file cannot be created or opened for direct I/O,
     the library refused it, device or host memory cannot be allocated
  4  a transfer failed or moved fewer bytes than asked
  5  pattern check: where this run wrote the offset pattern (--create, the
     demo's write), the file no longer holds it, although every byte moved
     matched the file)";

struct Options {
    std::string file;
    std::string size = "0";
    std::string io_size = "1M";
    std::string offset = "0";
    std::string create;
    bool random = false;
    std::uint64_t seed = 1;
    unsigned threads = 1;
    bool shared_handle = false;
    unsigned batch = 0;
    std::string path = "default";
    std::string sim = "auto";
    bool verify = false;
    bool overwrite = false;  // write
    bool json = false;
    std::string dir;  // demo
};

TransferPath PathOf(const Options& o) {
    return o.path == "cpu" ? TransferPath::Cpu : o.path == "direct" ? TransferPath::Direct
                                                                    : TransferPath::Default;
}

SimMode SimOf(const Options& o) {
    return o.sim == "on" ? SimMode::On : o.sim == "off" ? SimMode::Off : SimMode::Auto;
}

std::uint64_t Size(const std::string& text) {
    return ParseSize(text).value_or(0);  // validated while parsing
}

// Validators without a description of their own: the option's value name
// says what it takes, and its text gives any range.
CLI::Validator SizeText() {
    return CLI::Validator(
        [](std::string& text) {
            std::string why;
            return ParseSize(text, &why) ? std::string() : why;
        },
        "");
}

CLI::Validator Within(unsigned low, unsigned high) { return CLI::Range(low, high).description(""); }

CLI::Validator OneOf(std::vector<std::string> words) {
    return CLI::IsMember(std::move(words), CLI::ignore_case).description("");
}

int Error(int code, const std::string& message) {
    std::fprintf(stderr, "dgfile-bench: error: %s\n", message.c_str());
    return code;
}

void AddPlatformOptions(CLI::App* cmd, Options& o) {
    cmd->add_option("--sim", o.sim,
                    "Simulated driver: auto (when there is no real /dev/qrvd; QRVD_SIM may "
                    "force it), on, or off")
        ->check(OneOf({"auto", "on", "off"}))
        ->type_name("{auto,on,off}")
        ->capture_default_str();
    cmd->add_flag("--json", o.json, "Print one JSON object instead of the table");
}

void AddWorkloadOptions(CLI::App* cmd, Options& o, Workload workload) {
    const bool loader = ByLoader(workload);
    cmd->add_option("FILE", o.file, "The file (a regular file on a file system with direct I/O)")
        ->type_name("")
        ->required();
    cmd->add_option("-s,--size", o.size,
                    loader ? "Bytes to move (default: all from --offset to the end of the file)"
                           : "Bytes to move (default: all from --offset to the end of the file); the "
                             "last I/O takes what is left of them when they are not a whole number "
                             "of I/Os")
        ->check(SizeText())->type_name("SIZE");
    cmd->add_option("-b,--io-size", o.io_size, loader ? "Bytes per chunk (per transfer of a lane)" : "Bytes per transfer")
        ->check(SizeText())->type_name("SIZE")->capture_default_str();
    cmd->add_option("-o,--offset", o.offset, "File offset of the range")->check(SizeText())->type_name("SIZE")->capture_default_str();
    cmd->add_option("-t,--threads", o.threads,
                    loader ? "Lanes, 1 to 1024: threads of the call taking the next chunk, each "
                             "with a file handle of its own"
                           : "Threads, 1 to 1024, each with its own share of the range")
        ->check(Within(1, 1024))
        ->type_name("N")
        ->capture_default_str();
    if (!loader) {
        cmd->add_flag("-r,--random", o.random, "Random order (each block once) instead of sequential");
        cmd->add_option("--seed", o.seed, "Seed of the random order")->type_name("N")->capture_default_str();
        cmd->add_flag("--shared-handle", o.shared_handle,
                      "All threads use one file handle (default: one file handle each)");
        cmd->add_option("-q,--batch", o.batch,
                        "Batch mode: submit DEPTH requests at a time, 1 to 1024, through the batch "
                        "entry points (0: one dgFileRead/dgFileWrite call per I/O)")
            ->check(Within(0, 1024))
            ->type_name("DEPTH")
            ->capture_default_str();
    }
    cmd->add_option("--path", o.path,
                    "default (the driver, falling back to the CPU copy), cpu (CPU copy only) or "
                    "direct (the driver only, no fallback); set through DGFILE_DISABLE_GDS and "
                    "DGFILE_DISABLE_CPU")
        ->check(OneOf({"default", "cpu", "direct"}))
        ->type_name("{default,cpu,direct}")
        ->capture_default_str();
    cmd->add_flag("--verify", o.verify,
                  "Check every byte moved: data read against a plain read of the file, data "
                  "written by reading it back; a read of a file made by --create in the same "
                  "command also checks the file against the pattern written there");
    cmd->add_option("--create", o.create,
                    "First make the file, replacing any file of that name: SIZE bytes (rounded "
                    "up to whole 4 KiB blocks) of a pattern that encodes each block's offset")
        ->check(SizeText())->type_name("SIZE");
    // A write replaces the data of the range with the tool's pattern.
    if (!Reads(workload))
        cmd->add_flag("--overwrite", o.overwrite,
                      "Write over an existing file (without it, write refuses a file it did not "
                      "make with --create)");
    AddPlatformOptions(cmd, o);
}

// Prints the report; returns the exit code.
int Finish(Report& report, const Options& o, const std::string& heading) {
    for (const RunResult& r : report.runs)
        if (report.exit_code == kExitOk) report.exit_code = r.error_code;
    if (o.json) {
        std::fputs(FormatJson(report).c_str(), stdout);
    } else {
        std::printf("%s\n", heading.c_str());
        for (const RunResult& r : report.runs) std::printf("%s\n", DescribeRun(r).c_str());
        std::printf("\n%s", FormatTable(report).c_str());
    }
    std::fflush(stdout);
    for (const RunResult& r : report.runs)
        if (!r.ok()) std::fprintf(stderr, "dgfile-bench: %s: %s\n", r.name.c_str(), r.error.c_str());
    return report.exit_code;
}

int RunCommand(Workload workload, const Options& o) {
    DriverInfo driver = SelectDriver(SimOf(o));
    if (!driver.error.empty()) return Error(kExitSetup, driver.error);
    SelectPath(PathOf(o), false);
    std::string heading = std::string("dgfile-bench ") + DGFILE_BENCH_VERSION + ", " + DescribeDriver(driver);
    struct stat st;
    const bool exists = ::stat(o.file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (!Reads(workload) && o.create.empty() && exists && !o.overwrite)
        return Error(kExitUsage, o.file + " exists (" + std::to_string(st.st_size) + " bytes): " +
                                     Name(workload) + " would replace its data with the tool's "
                                     "pattern; add --overwrite to write over it, or --create SIZE "
                                     "to make it anew");
    if (!o.create.empty()) {
        CreateResult made = CreatePatternFile(o.file, Size(o.create));
        if (!made.error.empty()) return Error(kExitSetup, made.error);
        heading += "\ncreated " + o.file + ": " + std::to_string(made.size) + " bytes of the offset pattern";
        if (exists) heading += " (replacing a file of " + std::to_string(st.st_size) + " bytes)";
    }
    RunConfig c;
    c.workload = workload;
    c.file = o.file;
    c.offset = Size(o.offset);
    c.size = Size(o.size);
    c.io_size = Size(o.io_size);
    c.random = o.random;
    c.seed = o.seed;
    c.threads = o.threads;
    c.shared_handle = o.shared_handle;
    c.batch_depth = o.batch;
    c.path = PathOf(o);
    c.verify = o.verify;
    c.pattern_written = !o.create.empty();
    c.progress = ::isatty(STDERR_FILENO) == 1;
    RunResult r = RunWorkload(c);
    // Nothing ran: the message is the whole story.
    if (r.ios == 0 && (r.error_code == kExitUsage || r.error_code == kExitSetup))
        return Error(r.error_code, r.error);
    Report report{DGFILE_BENCH_VERSION, driver, {r}, kExitOk};
    return Finish(report, o, heading);
}

// The demo's temporary file, removed on exit and on the usual signals.
char g_demo_path[4096];

void RemoveDemoFile(int sig) {
    if (g_demo_path[0] != '\0') ::unlink(g_demo_path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string DemoDirectory(const Options& o, std::string& error) {
    std::vector<std::string> candidates;
    if (!o.dir.empty()) {
        candidates.push_back(o.dir);
    } else {
        if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') candidates.push_back(tmp);
        candidates.insert(candidates.end(), {"/var/tmp", "/tmp", "."});
    }
    for (const std::string& dir : candidates)
        if (TakesDirectIo(dir)) return dir;
    error = o.dir.empty() ? "found no directory for the temporary file that takes direct I/O "
                            "(tried $TMPDIR, /var/tmp, /tmp and .); name one with --dir"
                          : o.dir + ": cannot make a file there that takes direct I/O (ramfs "
                                    "does not, nor tmpfs on older kernels; choose another with --dir)";
    return {};
}

// Makes the demo's temporary file of `size` bytes in `dir`, named in
// g_demo_path so that the usual signals remove it.  Returns kExitOk, or the
// exit code once the message is out.
int MakeDemoFile(const std::string& dir, std::uint64_t size) {
    std::string path = dir + "/dgfile-bench-demo.XXXXXX";
    if (path.size() >= sizeof g_demo_path) return Error(kExitUsage, "--dir is too long");
    std::memcpy(g_demo_path, path.c_str(), path.size() + 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, RemoveDemoFile);
    int fd = ::mkstemp(g_demo_path);
    if (fd < 0) {
        g_demo_path[0] = '\0';
        return Error(kExitSetup, dir + ": cannot create a temporary file: " + std::strerror(errno));
    }
    path = g_demo_path;
    int made = ::ftruncate(fd, static_cast<off_t>(size));
    int made_errno = errno;
    ::close(fd);
    if (made == 0) return kExitOk;
    ::unlink(g_demo_path);
    g_demo_path[0] = '\0';
    return Error(kExitSetup, path + ": cannot size the file: " + std::strerror(made_errno));
}

// The demo's runs, every byte verified: a write of the file, then reads
// through the driver only and through the CPU copy only; once the write
// has passed, the reads also check the file against the pattern it wrote.
std::vector<RunResult> DemoRuns(const std::string& path, std::uint64_t size, std::uint64_t io) {
    const struct {
        Workload workload;
        TransferPath path;
    } kSteps[] = {{Workload::Write, TransferPath::Default},
                  {Workload::Read, TransferPath::Direct},
                  {Workload::Read, TransferPath::Cpu}};
    std::vector<RunResult> runs;
    for (const auto& step : kSteps) {
        SelectPath(step.path, true);
        RunConfig c;
        c.workload = step.workload;
        c.file = path;
        c.io_size = io;
        c.size = size;
        c.path = step.path;
        c.verify = true;
        c.pattern_written = step.workload == Workload::Read && runs.front().ok();
        c.progress = ::isatty(STDERR_FILENO) == 1;
        runs.push_back(RunWorkload(c));
    }
    return runs;
}

int RunDemo(const Options& o) {
    DriverInfo driver = SelectDriver(SimOf(o));
    if (!driver.error.empty()) return Error(kExitSetup, driver.error);
    std::uint64_t size = Size(o.size), io = Size(o.io_size);
    if (io == 0) return Error(kExitUsage, "--io-size must be at least 1 byte");
    if (size == 0 || size % io != 0)
        return Error(kExitUsage, "--size must be a nonzero whole number of I/Os of " +
                                     std::to_string(io) + " bytes");
    std::string error;
    std::string dir = DemoDirectory(o, error);
    if (dir.empty()) return Error(kExitSetup, error);
    if (int code = MakeDemoFile(dir, size); code != kExitOk) return code;
    Report report{DGFILE_BENCH_VERSION, driver, DemoRuns(g_demo_path, size, io), kExitOk};
    ::unlink(g_demo_path);
    g_demo_path[0] = '\0';

    std::string heading = std::string("dgfile-bench demo: ") + FormatSize(size) +
                          " temporary file in " + dir + " (removed), I/O size " + FormatSize(io) +
                          ", every byte verified\n" + DescribeDriver(driver);
    int code = Finish(report, o, heading);
    const RunResult& direct = report.runs[1];
    const RunResult& cpu = report.runs[2];
    if (!o.json && direct.ok() && cpu.ok() && cpu.GiBps() > 0)
        std::printf("\nread: direct path %.3f GiB/s, CPU fallback %.3f GiB/s (direct/fallback %.2fx; "
                    "the fallback reads through the page cache, which the checks have filled)\n",
                    direct.GiBps(), cpu.GiBps(), direct.GiBps() / cpu.GiBps());
    return code;
}

// A command line that does not parse: says what is wrong, in the words of
// this program where the parser's would not help.
int UsageError(const CLI::ParseError& e, const CLI::App& app, int argc, char** argv) {
    if (argc > 1 && app.get_subcommands().empty()) {
        if (argv[1][0] != '-')
            return Error(kExitUsage, std::string("unknown command '") + argv[1] +
                                         "': name read, write, load, store or demo");
        return Error(kExitUsage, std::string("unknown option '") + argv[1] +
                                     "' (options follow the command: dgfile-bench "
                                     "read|write|load|store|demo [OPTIONS])");
    }
    if (argc == 1) {
        std::fputs("Usage: dgfile-bench read|write|load|store FILE [OPTIONS], or dgfile-bench demo\n",
                   stderr);
        return Error(kExitUsage, "name a command: read, write, load, store or demo ('dgfile-bench "
                                 "--help' tells more)");
    }
    std::fprintf(stderr, "dgfile-bench: error: %s\nRun 'dgfile-bench --help' (or 'dgfile-bench COMMAND --help') "
                         "for the options.\n", e.what());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"dgfile-bench: move, verify and measure data between files and GPU memory "
                 "through libdgfile.",
                 "dgfile-bench"};
    app.set_version_flag("--version", DGFILE_BENCH_VERSION);
    app.require_subcommand(1);
    app.footer(kFooter);
    Options o;   // read, write, load and store (only one command is parsed)
    Options dm;  // demo
    dm.size = "64M";
    CLI::App* read = app.add_subcommand("read", "Read a file range into GPU memory");
    CLI::App* write = app.add_subcommand("write", "Write GPU memory into a file range");
    CLI::App* demo = app.add_subcommand(
        "demo",
        "Write a temporary file from GPU memory, read it back through the direct path and "
        "through the CPU fallback, verify every byte and compare; removes the file");
    CLI::App* load = app.add_subcommand(
        "load", "Read a file range into GPU memory with one call of the C++ loader (dgfile::load)");
    CLI::App* store = app.add_subcommand(
        "store", "Write GPU memory into a file range with one call of the C++ loader (dgfile::store)");
    AddWorkloadOptions(read, o, Workload::Read);
    AddWorkloadOptions(write, o, Workload::Write);
    // The loader's own defaults for its chunk and lanes.
    Options lo;
    const std::size_t chunk = dgfile::load_options{}.chunk_size;
    lo.io_size = chunk % (1 << 20) == 0 ? std::to_string(chunk >> 20) + "M" : std::to_string(chunk);
    lo.threads = dgfile::load_options{}.lanes;
    AddWorkloadOptions(load, lo, Workload::Load);
    AddWorkloadOptions(store, lo, Workload::Store);
    demo->add_option("--dir", dm.dir,
                     "Directory for the temporary file (default: the first of $TMPDIR, /var/tmp, "
                     "/tmp and . that takes direct I/O)")
        ->type_name("DIR");
    demo->add_option("-s,--size", dm.size, "Size of the temporary file")->check(SizeText())->type_name("SIZE")->capture_default_str();
    demo->add_option("-b,--io-size", dm.io_size, "Bytes per transfer")->check(SizeText())->type_name("SIZE")->capture_default_str();
    AddPlatformOptions(demo, dm);
    for (CLI::App* cmd : {read, write, load, store, demo}) cmd->footer(kFooter);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageError(e, app, argc, argv);
    }
    if (*demo) return RunDemo(dm);
    if (*load || *store) return RunCommand(*load ? Workload::Load : Workload::Store, lo);
    return RunCommand(*read ? Workload::Read : Workload::Write, o);
}
