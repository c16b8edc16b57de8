// SPDX-License-Identifier: Apache-2.0
// dgfile-doctor in the situations a private namespace can set up: no device
// node, a plain file or a foreign character device in its place, the
// simulated driver, the two switches, settings files with bad values, log
// directories that cannot be used, paths on a file system that refuses
// O_DIRECT, paths that do not exist, and its command line.  Each case runs
// the program in a sandboxed child (its own settings file, /dev, mounts and
// environment) and checks its verdict lines, its JSON and its exit status.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/run.h"
#include "support/scratch.h"

namespace {

using support::Env;
// Copies, not const references: a missing member then reads as null.
using Json = nlohmann::json;

// ---- Running the doctor ---------------------------------------------------------------

struct Doctor {
    int exit_code = -1;
    std::string out, err;
    std::vector<std::string> lines;

    // The verdict line whose label is `label` ("[tag] label: text").
    std::string Line(const std::string& label) const {
        for (const std::string& line : lines)
            if (line.size() > 7 && line.compare(7, label.size() + 2, label + ": ") == 0) return line;
        ADD_FAILURE() << "no line for " << label << " in:\n" << out;
        return std::string();
    }
    // The line that starts with `tag` ("summary: ", "hint: "), or "".
    std::string Tagged(const std::string& tag) const {
        for (const std::string& line : lines)
            if (line.rfind(tag, 0) == 0) return line;
        return std::string();
    }
    std::string Summary() const { return Tagged("summary: "); }
};

struct Situation {
    Env env;
    std::optional<std::string> settings;
    bool device_node = true;
    // Runs in the sandboxed child before the doctor starts (mounts, files).
    std::function<void()> prepare;
};

// The simulator variables and HOME are set first, so that the caller's
// environment never leaks into a case.
Doctor RunDoctor(std::vector<std::string> args, const Situation& situation = {}) {
    sandbox::Options o;
    o.settings = situation.settings;
    o.device_node = situation.device_node;
    o.env = {{"QRV_SIM_MEM_SIZE", "64M"}, {"HOME", "/opt/tavo/home"}};
    o.env.insert(o.env.end(), situation.env.begin(), situation.env.end());
    args.insert(args.begin(), DGFILE_DOCTOR);
    const support::ProgramRun r = support::RunInSandbox(o, args, situation.prepare);
    return Doctor{r.signal != 0 ? -r.signal : r.exit_code, r.out, r.err, sandbox::Lines(r.out)};
}

// The doctor's JSON, parsed (strictly: valid UTF-8 too).
struct Report {
    Json root;
    int exit_code = -1;
    Json Check(const std::string& id) const {
        std::vector<Json> found = ChecksWithId(id);
        if (found.empty()) ADD_FAILURE() << "no check " << id;
        return found.empty() ? Json() : found.front();
    }
    std::vector<Json> ChecksWithId(const std::string& id) const {
        std::vector<Json> found;
        for (const Json& c : root.at("checks"))
            if (c.at("id") == id) found.push_back(c);
        return found;
    }
};

Report RunJson(std::vector<std::string> args, const Situation& situation = {}) {
    args.insert(args.begin(), "--json");
    Doctor d = RunDoctor(args, situation);
    EXPECT_EQ(d.lines.size(), 1u) << "one JSON line expected:\n" << d.out;
    Report r{Json::parse(d.out, nullptr, false), d.exit_code};
    EXPECT_FALSE(r.root.is_discarded()) << "bad JSON:\n" << d.out;
    return r;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void MountOrFail(const char* type, const std::string& where, unsigned long flags) {
    ::mkdir(where.c_str(), 0755);
    ASSERT_EQ(::mount(type, where.c_str(), type, flags, nullptr), 0) << "mount " << type << " on " << where;
}

// ---- The device node and the switches -------------------------------------------------

TEST(Doctor, WithoutADeviceNodeOnlyTheCpuFallbackIsUsable) {
    Situation s;
    s.device_node = false;
    Doctor d = RunDoctor({}, s);
    EXPECT_EQ(d.exit_code, 0) << d.out << d.err;
    EXPECT_EQ(d.Line("/dev/qrvd"), "[FAIL] /dev/qrvd: absent: no GPU kernel driver node");
    EXPECT_EQ(d.Summary(), "summary: CPU fallback only: /dev/qrvd is absent");
    EXPECT_EQ(d.lines.back(), "hint: to try the simulated GPU platform instead, run dgfile-doctor "
                              "--sim (or set QRVD_SIM=1) and dgfile-bench demo");
    // Every line is a verdict line: nothing the checks call prints its own text.
    for (const std::string& line : d.lines)
        EXPECT_TRUE(line.rfind("[", 0) == 0 || line.rfind("summary: ", 0) == 0 ||
                    line.rfind("hint: ", 0) == 0)
            << line;
}

TEST(Doctor, APlainFileOrAForeignDeviceIsNotTheDriver) {
    Doctor plain = RunDoctor({});  // the sandbox's /dev/qrvd is a plain file
    EXPECT_EQ(plain.exit_code, 0) << plain.out;
    EXPECT_TRUE(Has(plain.Line("/dev/qrvd"), "[FAIL] /dev/qrvd: is a regular file, not a character device"))
        << plain.out;
    EXPECT_EQ(plain.Summary(),
              "summary: CPU fallback only: /dev/qrvd is a regular file, not the driver's device");

    // A character device that opens but knows nothing of the transfer request.
    Situation s;
    s.prepare = [] {
        ASSERT_EQ(::mount("/dev/null", "/dev/qrvd", nullptr, MS_BIND, nullptr), 0);
    };
    Doctor foreign = RunDoctor({}, s);
    EXPECT_EQ(foreign.exit_code, 0) << foreign.out;
    EXPECT_TRUE(Has(foreign.Line("/dev/qrvd"), "opens read-write but does not know the transfer "
                                               "request (E"))
        << foreign.out;
    EXPECT_EQ(foreign.Summary(),
              "summary: CPU fallback only: /dev/qrvd does not know the transfer request");
}

TEST(Doctor, TheSimulatorGivesTheDirectPathAndItsGpus) {
    Situation s;
    s.env = {{"QRVD_SIM", "1"}, {"QRV_SIM_GPUS", "2"}, {"QRV_SIM_MEM_SIZE", "64M"}};
    Report r = RunJson({}, s);
    EXPECT_EQ(r.exit_code, 0);
    Json device = r.Check("device");
    EXPECT_EQ(device["status"], "ok");
    EXPECT_EQ(device["details"]["simulated"], true);
    EXPECT_EQ(device["details"]["answers_request"], true);
    EXPECT_EQ(r.Check("gpu_runtime")["details"]["simulated"], true);
    EXPECT_EQ(r.Check("app_runtime")["details"]["copy_call"], true);
    EXPECT_EQ(r.Check("gpus")["details"]["count"], 2);
    auto gpus = r.ChecksWithId("gpu");
    ASSERT_EQ(gpus.size(), 2u);
    for (Json& gpu : gpus)  // 64 MiB less the page behind every allocation
        EXPECT_EQ(gpu["details"]["largest_allocation"], 64 * 1024 * 1024 - 4096);
    EXPECT_EQ(r.root["summary"]["mode"], "direct");
    EXPECT_EQ(r.root["summary"]["usable"], true);
    EXPECT_EQ(r.root["summary"]["text"], "direct path available, CPU fallback too");
    EXPECT_TRUE(r.root["summary"]["hint"].is_null()) << "no hint where the simulated platform was checked";
}

TEST(Doctor, SimOptionChecksTheSimulatedPlatformWhateverQrvdSimAndTheNodeSay) {
    // Over a foreign character device, with QRVD_SIM saying off: --sim decides.
    Situation s;
    s.env = {{"QRVD_SIM", "0"}};
    s.prepare = [] {
        ASSERT_EQ(::mount("/dev/null", "/dev/qrvd", nullptr, MS_BIND, nullptr), 0);
    };
    Doctor d = RunDoctor({"--sim"}, s);
    EXPECT_EQ(d.exit_code, 0) << d.out << d.err;
    EXPECT_EQ(d.Line("/dev/qrvd"),
              "[ ok ] /dev/qrvd: simulated by the driver stand-in (--sim); opens read-write and "
              "answers the transfer request (the real character device 1:3 is not used)");
    EXPECT_TRUE(Has(d.Line("GPU runtime libqrv-runtime64.so.1"), "(the simulated platform's)"))
        << d.out;
    EXPECT_EQ(d.Summary(), "summary: direct path available, CPU fallback too");
    // Without it the same machine is examined as it is.
    Doctor plain = RunDoctor({}, s);
    EXPECT_EQ(plain.Summary(),
              "summary: CPU fallback only: /dev/qrvd does not know the transfer request");
    // After "--" it is a path.
    Doctor dashed = RunDoctor({"--", "--sim"}, s);
    EXPECT_EQ(dashed.Line("--sim"), "[FAIL] --sim: No such file or directory");
}

TEST(Doctor, DisableGdsLeavesTheCpuFallbackButOnlyForExactlyYes) {
    Situation s;
    s.env = {{"QRVD_SIM", "1"}, {"DGFILE_DISABLE_GDS", "YES"}};
    Doctor off = RunDoctor({}, s);
    EXPECT_EQ(off.exit_code, 0);
    EXPECT_EQ(off.Line("DGFILE_DISABLE_GDS"),
              "[warn] DGFILE_DISABLE_GDS: \"YES\": the device connection is never opened; "
              "transfers use the CPU copy");
    EXPECT_EQ(off.Summary(), "summary: CPU fallback only: DGFILE_DISABLE_GDS is \"YES\"");

    s.env = {{"QRVD_SIM", "1"}, {"DGFILE_DISABLE_GDS", "yes"}};
    Doctor lower = RunDoctor({}, s);
    EXPECT_EQ(lower.exit_code, 0);
    EXPECT_TRUE(Has(lower.Line("DGFILE_DISABLE_GDS"), "\"yes\" has no effect")) << lower.out;
    EXPECT_EQ(lower.Summary(), "summary: direct path available, CPU fallback too");
}

TEST(Doctor, DisableCpuWithoutADeviceIsNotUsable) {
    Situation s;
    s.device_node = false;
    s.env = {{"DGFILE_DISABLE_CPU", "YES"}};
    Doctor none = RunDoctor({}, s);
    EXPECT_EQ(none.exit_code, 1) << none.out;
    EXPECT_EQ(none.Summary(),
              "summary: not usable: no direct path (/dev/qrvd is absent) and no CPU fallback "
              "(DGFILE_DISABLE_CPU is \"YES\")");

    s.env.push_back({"QRVD_SIM", "1"});
    Doctor direct = RunDoctor({}, s);
    EXPECT_EQ(direct.exit_code, 0) << direct.out;
    EXPECT_EQ(direct.Summary(),
              "summary: direct path available (no CPU fallback: DGFILE_DISABLE_CPU is \"YES\")");
}

// ---- Settings -----------------------------------------------------------------------

TEST(Doctor, BadNumbersShowTheLibrarysOwnDiagnosisAndTheValueItUses) {
    Situation s;
    s.settings = "[global]\nlog_level = info\nmax_file_size = 100KB\nmax_files = abc\n";
    Report r = RunJson({}, s);
    EXPECT_EQ(r.exit_code, 0);
    Json size = r.Check("max_file_size");
    EXPECT_EQ(size["status"], "warn");
    EXPECT_EQ(size["details"]["effective"], 100);
    EXPECT_EQ(size["details"]["message"],
              "Warning: contains additional non numeric characters '100KB' -> 'KB'");
    Json files = r.Check("max_files");
    EXPECT_EQ(files["status"], "warn");
    EXPECT_EQ(files["details"]["effective"], 3);
    EXPECT_EQ(files["details"]["message"], "Wrong string: abc");
    EXPECT_EQ(r.root["summary"]["text"],
              "CPU fallback only: /dev/qrvd is a regular file, not the driver's device; "
              "the debug log has 2 problems (see above)");

    // Out of the int range, out of the long range, negative, and explicit 0.
    s.settings = "[global]\nlog_level = DEBUG\nmax_file_size = 3000000000\n"
                 "max_files = 99999999999999999999\n";
    r = RunJson({}, s);
    EXPECT_EQ(r.Check("max_file_size")["details"]["effective"], 10000);
    EXPECT_EQ(r.Check("max_file_size")["details"]["message"],
              "wrong: Exceeding Int range '3000000000'");
    EXPECT_EQ(r.Check("max_files")["details"]["effective"], 3);
    EXPECT_EQ(r.Check("max_files")["details"]["message"],
              "Wrong: Numerical overflow '99999999999999999999'");
    s.settings = "[global]\nlog_level = WARN\nmax_file_size = -5\nmax_files = 0\n";
    r = RunJson({}, s);
    EXPECT_EQ(r.Check("max_file_size")["status"], "warn");
    EXPECT_EQ(r.Check("max_file_size")["details"]["effective"], -5);
    EXPECT_EQ(r.Check("max_files")["status"], "ok");
    EXPECT_EQ(r.Check("max_files")["details"]["effective"], 3);
}

TEST(Doctor, LevelNamesConsoleSwitchAndLineEndsAsTheLibraryReadsThem) {
    Situation s;
    s.settings = "[global]\nlog_level = verbose\nprint_to_console = off\nmax_files = x\n";
    Doctor d = RunDoctor({}, s);
    EXPECT_EQ(d.Line("log level"),
              "[warn] log level: \"verbose\" (from log_level) is no level name (NONE, WARN, INFO, "
              "DEBUG): NONE, the log is silent and reads none of the settings below");
    // Silent: a bad value is only a note, and the summary names no problem.
    EXPECT_TRUE(Has(d.Line("log files kept (max_files)"), "[info] ")) << d.out;
    EXPECT_TRUE(Has(d.Line("console copy (print_to_console)"),
                    "\"off\": on; only \"false\" (any case) switches it off"));
    EXPECT_EQ(d.Summary(), "summary: CPU fallback only: /dev/qrvd is a regular file, not the "
                           "driver's device; the debug log has 1 problem (see above)");

    // DGFILE_DEBUG wins even when empty; FALSE switches the copy off.
    s.settings = "[global]\nlog_level = DEBUG\nprint_to_console = FALSE\n";
    s.env = {{"DGFILE_DEBUG", ""}};
    d = RunDoctor({}, s);
    EXPECT_TRUE(Has(d.Line("log level"), "[info] log level: NONE (DGFILE_DEBUG is set but empty"))
        << d.out;
    EXPECT_TRUE(Has(d.Line("console copy (print_to_console)"), "\"FALSE\": off")) << d.out;

    s.settings = "[global]\r\nlog_level = DEBUG\r\n";
    s.env = {};
    d = RunDoctor({}, s);
    EXPECT_TRUE(Has(d.Line("settings file /opt/tavo/etc/dgfile.ini"),
                    "[warn] settings file /opt/tavo/etc/dgfile.ini: has \\r\\n line ends: the "
                    "library recognises no section in it and uses no settings"))
        << d.out;
    EXPECT_TRUE(Has(d.Line("log level"), "NONE (nothing set)")) << d.out;
}

TEST(Doctor, LogDirectoriesThatCannotBeUsedFailTheirLineButNotTheVerdict) {
    Situation s;
    s.prepare = [] { MountOrFail("tmpfs", "/opt/tavo/ro", MS_RDONLY); };
    s.settings = "[global]\nlog_level = INFO\nlog_dir = /opt/tavo/ro\n";
    Doctor ro = RunDoctor({}, s);
    EXPECT_EQ(ro.exit_code, 0) << ro.out;
    EXPECT_EQ(ro.Line("log directory"),
              "[FAIL] log directory: /opt/tavo/ro/ exists but is not writable (Read-only file "
              "system): the log file cannot be opened and every record is dropped");
    EXPECT_TRUE(Has(ro.Summary(), "; the debug log has 1 problem (see above)")) << ro.out;

    s.settings = "[global]\nlog_level = INFO\nlog_dir = /opt/tavo/ro/logs\n";
    Doctor inside = RunDoctor({}, s);
    EXPECT_TRUE(Has(inside.Line("log directory"),
                    "[FAIL] log directory: /opt/tavo/ro/logs/ does not exist and cannot be "
                    "created in /opt/tavo/ro (Read-only file system)"))
        << inside.out;

    s.settings = "[global]\nlog_level = INFO\nlog_dir = /opt/tavo/none/logs\n";
    Doctor orphan = RunDoctor({}, s);
    EXPECT_TRUE(Has(orphan.Line("log directory"), "its parent /opt/tavo/none is no directory"))
        << orphan.out;

    s.settings = "[global]\nlog_level = INFO\nlog_dir = $HOME/logs\n";
    s.env = {{"HOME", std::nullopt}};
    Doctor homeless = RunDoctor({}, s);
    EXPECT_EQ(homeless.Line("log directory"),
              "[FAIL] log directory: \"$HOME/logs\" uses $HOME, and HOME is unset: the log "
              "set-up fails and every record is dropped");

    // A usable one, with HOME replaced: nothing is created by the doctor.
    s.prepare = [] { ASSERT_EQ(::mkdir("/opt/tavo/home", 0755), 0); };
    s.settings = "[global]\nlog_level = INFO\nlog_dir = $HOME/logs\nlog_file_format = %p\n";
    s.env = {};
    Doctor good = RunDoctor({}, s);
    EXPECT_TRUE(Has(good.Line("log directory"),
                    "[ ok ] log directory: /opt/tavo/home/logs/ does not exist yet; the log "
                    "set-up creates it (mode 0755)"))
        << good.out;
    EXPECT_TRUE(Has(good.Line("log file name"), "[ ok ] log file name: \"%p\": /opt/tavo/home/logs/dgfile."))
        << good.out;
    EXPECT_FALSE(Has(good.Summary(), "problem")) << good.out;
}

TEST(Doctor, ALogPathLongerThanTheLibraryTakesIsReported) {
    // Two components of 250 characters: each within the name limit.
    std::string parent = "/opt/tavo/" + std::string(250, 'd');
    std::string dir = parent + "/" + std::string(250, 'e');
    Situation s;
    s.prepare = [parent, dir] {
        ASSERT_EQ(::mkdir(parent.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    };
    s.settings = "[global]\nlog_level = INFO\nlog_dir = " + dir + "\nlog_file_format = %p%h\n";
    Doctor d = RunDoctor({}, s);
    EXPECT_TRUE(Has(d.Line("log file name"), "characters long, over the 511 the library takes: "
                                             "it opens no log file"))
        << d.out;
}

// ---- Paths ------------------------------------------------------------------------------

TEST(Doctor, APathOnAFileSystemThatRefusesODirectIsNotUsable) {
    Situation s;
    s.env = {{"QRVD_SIM", "1"}};
    s.prepare = [] {
        MountOrFail("ramfs", "/opt/tavo/ram", 0);
        sandbox::WriteFile("/opt/tavo/ram/data", std::string(8192, 'x'));
    };
    Doctor d = RunDoctor({"/opt/tavo/ram/data", "/opt/tavo/ram"}, s);
    EXPECT_EQ(d.exit_code, 1) << d.out;
    EXPECT_EQ(d.Line("/opt/tavo/ram/data"),
              "[FAIL] /opt/tavo/ram/data: ramfs, refuses O_DIRECT: files there cannot be "
              "registered (DG_FILE_DIO_NOT_SET)");
    EXPECT_TRUE(Has(d.Line("/opt/tavo/ram"), "[FAIL] /opt/tavo/ram: ramfs, refuses O_DIRECT"));
    EXPECT_EQ(d.Summary(), "summary: not usable: /opt/tavo/ram/data refuses O_DIRECT; "
                           "/opt/tavo/ram refuses O_DIRECT");
}

TEST(Doctor, PathsThatDoNotExistOrAreNoFilesAreNotUsable) {
    Situation s;
    s.env = {{"QRVD_SIM", "1"}};
    Report r = RunJson({"/opt/tavo/missing", "/dev/null"}, s);
    EXPECT_EQ(r.exit_code, 1);
    auto paths = r.ChecksWithId("path");
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0]["text"], "No such file or directory");
    EXPECT_EQ(paths[0]["details"]["exists"], false);
    EXPECT_TRUE(paths[0]["details"]["o_direct"].is_null());
    EXPECT_TRUE(Has(paths[1]["text"].get<std::string>(), "is a character device: not a file to transfer"));
    EXPECT_EQ(r.root["summary"]["mode"], "none");
    EXPECT_EQ(r.root["summary"]["usable"], false);
}

TEST(Doctor, AFileAndADirectoryThatTakeODirectPassAndNothingIsLeftBehind) {
    const support::ScratchDir scratch;
    const std::string& mine = scratch.path();
    sandbox::WriteFile(mine + "/data", std::string(4096 * 3, 'y'));
    // A name that JSON must escape: quotes, a backslash, a tab, a non-UTF-8 byte.
    std::string odd = mine + "/\"odd\\name\t\xff";
    sandbox::WriteFile(odd, std::string(4096, 'z'));
    Situation s;
    s.env = {{"QRVD_SIM", "1"}};
    Report r = RunJson({mine + "/data", mine, odd}, s);
    EXPECT_EQ(r.exit_code, 0);
    auto paths = r.ChecksWithId("path");
    ASSERT_EQ(paths.size(), 3u);
    for (Json& p : paths) {
        EXPECT_EQ(p["status"], "ok") << p["text"];
        EXPECT_EQ(p["details"]["o_direct"], true);
        EXPECT_NE(p["details"]["file_system"], "");
    }
    EXPECT_EQ(paths[1]["details"]["kind"], "directory");
    EXPECT_EQ(paths[2]["label"], mine + "/\"odd\\name\t\xEF\xBF\xBD");  // U+FFFD
    EXPECT_EQ(r.root["summary"]["mode"], "direct");
    // The directory test removed its scratch file.
    std::vector<std::string> left = {"data", odd.substr(mine.size() + 1)};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(scratch.Entries(), left);
}

// ---- Statistics --------------------------------------------------------------------------

TEST(Doctor, StatisticsVariablesAsTheLibraryReadsThem) {
    EXPECT_EQ(RunDoctor({}).Line("DGFILE_STATS"), "[info] DGFILE_STATS: not set: no statistics");
    Situation s;
    s.env = {{"DGFILE_STATS", "/opt/tavo/etc/s.%d"}, {"DGFILE_STATS_FORMAT", "json"}};
    Report r = RunJson({}, s);
    EXPECT_EQ(r.Check("DGFILE_STATS")["status"], "warn");
    EXPECT_EQ(r.Check("DGFILE_STATS")["details"]["message"],
              "dgfile: DGFILE_STATS must be \"stderr\" or a file path (\"%p\" stands for the "
              "process id, \"%%\" for \"%\"), not \"/opt/tavo/etc/s.%d\": no statistics are "
              "collected");
    EXPECT_EQ(r.Check("DGFILE_STATS_FORMAT")["text"], "\"json\": one JSON object");
    // The summary file is judged as the library opens it: a FIFO is refused.
    s.env = {{"DGFILE_STATS", "/opt/tavo/etc/s.json"}, {"DGFILE_STATS_FORMAT", "xml"}};
    s.prepare = [] { ASSERT_EQ(::mkfifo("/opt/tavo/etc/s.json", 0644), 0); };
    Doctor d = RunDoctor({}, s);
    EXPECT_TRUE(Has(d.Line("DGFILE_STATS"), ", where there is a FIFO: the library writes no "
                                            "summary there, but nothing is collected")) << d.out;
    EXPECT_EQ(d.Line("DGFILE_STATS_FORMAT"), "[warn] DGFILE_STATS_FORMAT: \"xml\" is neither "
                                             "\"text\" nor \"json\": no statistics are collected");
}

// ---- Command line -----------------------------------------------------------------------

TEST(Doctor, UnknownOptionsAndEmptyPathsAreUsageErrors) {
    Doctor bad = RunDoctor({"--jsn"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_TRUE(Has(bad.err, "unknown option '--jsn'")) << bad.err;
    EXPECT_TRUE(Has(bad.err, "usage: dgfile-doctor")) << bad.err;
    EXPECT_TRUE(bad.out.empty()) << bad.out;
    Doctor empty = RunDoctor({""});
    EXPECT_EQ(empty.exit_code, 2);
    Doctor help = RunDoctor({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(Has(help.out, "usage: dgfile-doctor [--json] [--sim]")) << help.out;
    // After "--" a name starting with "-" is a path.
    Doctor dashed = RunDoctor({"--", "-x"});
    EXPECT_EQ(dashed.exit_code, 1);
    EXPECT_EQ(dashed.Line("-x"), "[FAIL] -x: No such file or directory");
}

TEST(Doctor, TextAndJsonAgreeLineForLine) {
    Situation s;
    s.env = {{"QRVD_SIM", "1"}};
    s.settings = "[global]\nlog_level = INFO\nmax_files = 2x\n";
    Doctor text = RunDoctor({"/opt/tavo/etc"}, s);
    Report json = RunJson({"/opt/tavo/etc"}, s);
    Json& checks = json.root["checks"];
    ASSERT_EQ(text.lines.size(), checks.size() + 1);
    static const std::map<std::string, std::string> kTags = {
        {"ok", "[ ok ]"}, {"info", "[info]"}, {"warn", "[warn]"}, {"fail", "[FAIL]"}};
    for (size_t i = 0; i < checks.size(); ++i) {
        if (checks[i]["id"] == "log_file_format") continue;  // names the process id
        auto field = [&](const char* name) { return checks[i][name].get<std::string>(); };
        EXPECT_EQ(text.lines[i], kTags.at(field("status")) + " " + field("label") + ": " + field("text"));
    }
    EXPECT_EQ(text.Summary(), "summary: " + json.root["summary"]["text"].get<std::string>());
    EXPECT_EQ(text.exit_code, json.exit_code);
}

// The README shows the doctor's output on a build machine without a GPU;
// it must be what the doctor prints there, but for the build tree's place.
TEST(Doctor, TheReadmeTranscriptIsWhatItPrintsWithoutAGpu) {
    std::ifstream readme(DGFILE_README);
    ASSERT_TRUE(readme) << DGFILE_README;
    std::string line, shown;
    bool inside = false;
    while (std::getline(readme, line)) {
        if (line == "$ build/tools/dgfile-doctor") inside = true;
        else if (inside && line.rfind("$ ", 0) == 0) break;
        else if (inside) shown += line + "\n";
    }
    ASSERT_FALSE(shown.empty()) << "no dgfile-doctor transcript in " << DGFILE_README;
    Situation s;
    s.device_node = false;
    s.env = {{"QRVD_SIM", std::nullopt}, {"QRV_SIM_MEM_SIZE", std::nullopt}};
    Doctor d = RunDoctor({}, s);
    EXPECT_EQ(d.exit_code, 0);
    // Sample outputs name the main build tree.  Under a sanitizer, whose
    // runtime intercepts dlopen, the loader searches without the doctor's run
    // path, and the doctor says it found the application runtime beside the
    // GPU runtime instead.
    std::string printed = d.out;
    const std::string build = DGFILE_BUILD_DIR, sample = "/work/main/build";
    for (std::size_t at = 0; (at = printed.find(build, at)) != std::string::npos; at += sample.size())
        printed.replace(at, build.size(), sample);
    const std::string beside = " (beside the GPU runtime; not on the loader's search path)";
    if (const std::size_t at = printed.find(beside); at != std::string::npos) printed.erase(at, beside.size());
    EXPECT_EQ(printed, shown);
}

}  // namespace
