// SPDX-License-Identifier: Apache-2.0
// dgfile-doctor: is this machine ready for libdgfile's direct path?
//
//   dgfile-doctor [--json] [--sim] [PATH...]
//
// Prints one verdict line per thing the library depends on (the device node,
// the two switches, the debug log's settings as the library reads them, the
// GPU runtimes and GPUs, and whether each PATH's file system accepts
// O_DIRECT), then one summary line.  Exit status: 0 when the direct path or
// the CPU fallback is usable, 1 when neither is, 2 for a usage error.
//
// It reports the machine as it is: the GPU runtimes are the ones the loader
// finds for any application.  With --sim or QRVD_SIM=1 it reports what a
// program on the simulated platform sees instead; the simulated platform's
// libraries are then in the process (the build tree's doctor is linked with
// them, the installed one is started with them preloaded: launcher.c).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "doctor_checks.h"

namespace {

constexpr int kUsable = 0;
constexpr int kNotUsable = 1;
constexpr int kUsage = 2;

void Usage(std::FILE* out) {
    std::fputs(
        "usage: dgfile-doctor [--json] [--sim] [--] [PATH...]\n"
        "Checks whether libdgfile can move file data to and from GPU memory here:\n"
        "the device node /dev/qrvd, DGFILE_DISABLE_GDS and DGFILE_DISABLE_CPU, the\n"
        "debug log settings in /opt/tavo/etc/dgfile.ini, the GPU runtimes and GPUs,\n"
        "and whether the file system of each PATH (a file or a directory) accepts\n"
        "O_DIRECT.\n"
        "  --json   one JSON object instead of text lines\n"
        "  --sim    check the simulated GPU platform instead of the machine's\n"
        "           (QRVD_SIM=1 does the same)\n"
        "Exit status: 0 direct path or CPU fallback usable, 1 not usable, 2 usage.\n",
        out);
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
}

void PrintJson(const doctor::Report& report, const doctor::Summary& summary) {
    using doctor::json::Value;
    Value checks = Value::Array();
    for (const doctor::Finding& f : report.findings) {
        checks.Push(Value::Object()
                        .Set("id", f.id)
                        .Set("status", doctor::StatusName(f.status))
                        .Set("label", f.label)
                        .Set("text", f.text)
                        .Set("details", f.details));
    }
    Value root = Value::Object();
    root.Set("checks", std::move(checks));
    root.Set("summary", Value::Object()
                            .Set("usable", summary.usable)
                            .Set("mode", summary.mode)
                            .Set("text", summary.text));
    std::string out;
    root.Write(out);
    std::printf("%s\n", out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    bool sim = false;
    std::vector<std::string> paths;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!options_done && arg[0] == '-' && arg[1] != '\0') {
            if (std::strcmp(arg, "--json") == 0) {
                json = true;
            } else if (std::strcmp(arg, "--sim") == 0) {
                sim = true;
            } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
                Usage(stdout);
                return kUsable;
            } else if (std::strcmp(arg, "--") == 0) {
                options_done = true;
            } else {
                std::fprintf(stderr, "dgfile-doctor: unknown option '%s'\n", arg);
                Usage(stderr);
                return kUsage;
            }
            continue;
        }
        if (arg[0] == '\0') {
            std::fprintf(stderr, "dgfile-doctor: an empty path names no file\n");
            return kUsage;
        }
        paths.emplace_back(arg);
    }

    doctor::Report report;
    doctor::CheckDevice(report, sim);
    doctor::CheckSwitches(report);
    doctor::CheckSettings(report);
    doctor::CheckRuntimes(report);
    for (const std::string& path : paths) doctor::CheckPath(report, path);
    doctor::Summary summary = doctor::Summarize(report);

    if (json)
        PrintJson(report, summary);
    else
        PrintText(report, summary);
    std::fflush(stdout);
    return summary.usable ? kUsable : kNotUsable;
}
