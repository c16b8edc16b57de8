// SPDX-License-Identifier: Apache-2.0
// The summary of dgfile-doctor's findings, and the helpers its checks share.
#include <sys/stat.h>

#include <cstring>

#include "doctor_checks.h"
#include "settings.h"  // the switches' names

namespace doctor {

const char* StatusName(Status status) {
    switch (status) {
    case Status::Ok: return "ok";
    case Status::Info: return "info";
    case Status::Warn: return "warn";
    case Status::Fail: return "fail";
    }
    return "fail";
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string ErrorText(int error) { return std::strerror(error); }

const char* FileKind(mode_t mode) {
    if (S_ISREG(mode)) return "regular file";
    if (S_ISDIR(mode)) return "directory";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISLNK(mode)) return "symbolic link";
    return "special file";
}

Json TextOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

namespace {

std::string Join(const std::vector<std::string>& parts) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i > 0 ? "; " : "") + parts[i];
    return text;
}

// "; the debug log has 2 problems (see above)", or nothing.
std::string LogProblems(const Report& report) {
    int problems = 0;
    for (const Finding& f : report.findings)
        problems += f.log_setting && (f.status == Status::Warn || f.status == Status::Fail);
    if (problems == 0) return std::string();
    return "; the debug log has " + std::to_string(problems) + " problem" +
           (problems > 1 ? "s" : "") + " (see above)";
}

}  // namespace

Summary Summarize(const Report& report) {
    const Facts& facts = report.facts;
    std::vector<std::string> no_direct;
    if (facts.gds_disabled) no_direct.push_back(std::string(kDisableDirectPath) + " is \"YES\"");
    if (!facts.device_usable) no_direct.push_back(facts.device_problem);
    if (!facts.gpu_runtime)
        no_direct.push_back("no GPU runtime");
    else if (!facts.pointer_query)
        no_direct.push_back("the GPU runtime has no pointer query");
    std::vector<std::string> no_cpu;
    if (facts.cpu_disabled) no_cpu.push_back(std::string(kDisableCpuFallback) + " is \"YES\"");
    if (!facts.copy_call) no_cpu.push_back("no application runtime provides dgMemcpy");
    std::vector<std::string> blockers = facts.path_problems;
    if (facts.gpu_count == 0) blockers.insert(blockers.begin(), "the runtime reports no GPU");

    Summary s{"none", false, "", ""};
    if (!blockers.empty()) {
        s.text = "not usable: " + Join(blockers);
    } else if (no_direct.empty()) {
        s = {"direct", true, "direct path available", ""};
        s.text += no_cpu.empty() ? ", CPU fallback too" : " (no CPU fallback: " + Join(no_cpu) + ")";
    } else if (no_cpu.empty()) {
        s = {"cpu", true, "CPU fallback only: " + Join(no_direct), ""};
    } else {
        s.text = "not usable: no direct path (" + Join(no_direct) + ") and no CPU fallback (" +
                 Join(no_cpu) + ")";
    }
    s.text += LogProblems(report);
    // A machine without a GPU stack can still show the library at work.
    if (!facts.simulated && (!facts.gpu_runtime || !facts.app_runtime || !facts.device_usable))
        s.hint = "to try the simulated GPU platform instead, run dgfile-doctor --sim "
                 "(or set QRVD_SIM=1) and dgfile-bench demo";
    return s;
}

}  // namespace doctor
