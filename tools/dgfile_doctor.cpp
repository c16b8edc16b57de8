// SPDX-License-Identifier: Apache-2.0
// dgfile-doctor: is this machine ready for libdgfile's direct path?
//
//   dgfile-doctor [--json] [--sim] [--] [PATH...]
//
// Prints one verdict line per thing the library depends on (the device node,
// the two switches, the debug log's settings as the library reads them, the
// statistics' settings, the GPU runtimes and GPUs, and whether each PATH's
// file system accepts O_DIRECT), then one summary line.  Exit status: 0 when the direct path or
// the CPU fallback is usable, 1 when neither is, 2 for a usage error.
//
// It reports the machine as it is: the GPU runtimes are the ones the loader
// finds for any application, and it needs none of them to start (it loads
// them itself, and says where it looked for one it does not find).  With --sim or QRVD_SIM=1 it reports what a
// program on the simulated platform sees instead; the simulated platform's
// libraries are then in the process (the build tree's doctor is linked with
// them, the installed one is started with them preloaded: launcher.c).
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "doctor_checks.h"
#include "gpu_platform.h"  // the device node
#include "settings.h"  // the settings file and the switches

namespace {

constexpr int kUsable = 0;
constexpr int kNotUsable = 1;
constexpr int kUsage = 2;

struct Options {
    bool json = false;
    bool sim = false;
    std::vector<std::string> paths;
};

// The synopsis in place of the generic "[OPTIONS]" one: the doctor has two.
class HelpFormat : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override {
        return "usage: dgfile-doctor [--json] [--sim] [--] [PATH...]\n";
    }
};

void Describe(CLI::App& app, Options& o) {
    app.description(std::string("Checks whether libdgfile can move file data to and from GPU ") +
                    "memory here:\nthe device node " + kDeviceNode + ", " + kDisableDirectPath +
                    " and " + kDisableCpuFallback + ",\nthe debug log settings in " + kSettingsFile +
                    ", the GPU runtimes and GPUs,\nand whether the file system of each PATH (a "
                    "file or a directory) accepts O_DIRECT.\n");
    app.formatter(std::make_shared<HelpFormat>());
    app.footer("Exit status: 0 direct path or CPU fallback usable, 1 not usable, 2 usage.");
    app.add_flag("--json", o.json, "One JSON object instead of text lines")->disable_flag_override();
    app.add_flag("--sim", o.sim,
                 "Check the simulated GPU platform instead of the machine's\n(QRVD_SIM=1 does the same)")
        ->disable_flag_override();
    app.add_option("PATH", o.paths, "A file or a directory: does its file system accept O_DIRECT?")
        ->type_name("");
    // Unknown options are kept aside, to be named in the error.
    app.allow_extras();
}

// The exit status when the command line ends the program (help, or a usage
// error); nothing when the checks are to run.
std::optional<int> Parse(int argc, char** argv, Options& o) {
    CLI::App app{"", "dgfile-doctor"};
    Describe(app, o);
    std::string error;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        error = e.what();
    }
    // "--" ends the options; CLI11 keeps it among the extras.
    for (const std::string& extra : app.remaining())
        if (error.empty() && extra != "--") error = "unknown option '" + extra + "'";
    if (!error.empty()) {
        std::fprintf(stderr, "dgfile-doctor: %s\n%s", error.c_str(), app.help().c_str());
        return kUsage;
    }
    for (const std::string& path : o.paths) {
        if (path.empty()) {
            std::fprintf(stderr, "dgfile-doctor: an empty path names no file\n");
            return kUsage;
        }
    }
    return std::nullopt;
}

const char* Tag(doctor::Status status) {
    switch (status) {
    case doctor::Status::Ok: return "[ ok ]";
    case doctor::Status::Info: return "[info]";
    case doctor::Status::Warn: return "[warn]";
    case doctor::Status::Fail: return "[FAIL]";
    }
    return "[FAIL]";
}

void PrintText(const doctor::Report& report, const doctor::Summary& summary) {
    for (const doctor::Finding& f : report.findings)
        std::printf("%s %s: %s\n", Tag(f.status), f.label.c_str(), f.text.c_str());
    std::printf("summary: %s\n", summary.text.c_str());
    if (!summary.hint.empty()) std::printf("hint: %s\n", summary.hint.c_str());
}

void PrintJson(const doctor::Report& report, const doctor::Summary& summary) {
    using doctor::Json;
    Json checks = Json::array();
    for (const doctor::Finding& f : report.findings) {
        checks.push_back({{"id", f.id},
                          {"status", doctor::StatusName(f.status)},
                          {"label", f.label},
                          {"text", f.text},
                          {"details", f.details}});
    }
    const Json root = {
        {"checks", std::move(checks)},
        {"summary",
         {{"usable", summary.usable},
          {"mode", summary.mode},
          {"text", summary.text},
          {"hint", doctor::TextOrNull(summary.hint)}}}};
    // File names need not be UTF-8: bytes that are not become U+FFFD.
    std::printf("%s\n", root.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (std::optional<int> status = Parse(argc, argv, o)) return *status;

    doctor::Report report;
    doctor::CheckDevice(report, o.sim);
    doctor::CheckSwitches(report);
    doctor::CheckSettings(report);
    doctor::CheckStatistics(report);
    doctor::CheckRuntimes(report);
    for (const std::string& path : o.paths) doctor::CheckPath(report, path);
    doctor::Summary summary = doctor::Summarize(report);

    if (o.json)
        PrintJson(report, summary);
    else
        PrintText(report, summary);
    std::fflush(stdout);
    return summary.usable ? kUsable : kNotUsable;
}
