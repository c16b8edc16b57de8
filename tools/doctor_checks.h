// SPDX-License-Identifier: Apache-2.0
// The checks of dgfile-doctor.  Each looks at one thing libdgfile depends on,
// the way the library itself will meet it, and adds one finding (a verdict
// line) to the report; the summary then says which transfer path works.
// One file per concern: doctor_device.cpp (the device node),
// doctor_settings.cpp (the switches, the settings file, the debug log's
// values and the statistics' variables), doctor_runtimes.cpp (the runtimes and GPUs), doctor_paths.cpp
// (the file systems of the paths), doctor_report.cpp (the summary and what
// the checks share).
//
// The settings are read with the library's own rules (settings.h and
// gpu_platform.h, the static library dgfile_rules the library links too),
// so the doctor shows exactly the values and messages the library will use,
// and the switches are judged by the library's own test.
// Nothing here opens a library entry point: the doctor never sets the log
// up, creates no log directory or file, and keeps the device node open only
// while it looks at it.
//
// Single-threaded: main() runs the checks one after another.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace doctor {

using Json = nlohmann::ordered_json;  // members stay in the order they are set

enum class Status { Ok, Info, Warn, Fail };

const char* StatusName(Status status);  // "ok", "info", "warn", "fail"

struct Finding {
    Finding(std::string id_, std::string label_, bool log_setting_ = false)
        : id(std::move(id_)), label(std::move(label_)), log_setting(log_setting_) {}

    std::string id;     // stable name for scripts ("device", "log_dir", "path", ...)
    Status status = Status::Info;
    std::string label;  // what was looked at, e.g. "/dev/qrvd"
    std::string text;   // the verdict, one line
    Json details = Json::object();
    bool log_setting = false;  // about the debug log (never blocks transfers)
};

// What the summary needs, filled in by the checks.
struct Facts {
    bool device_usable = false;       // the node opens and answers the request
    std::string device_problem;       // why not, when not
    bool gds_disabled = false;        // DGFILE_DISABLE_GDS is "YES"
    bool cpu_disabled = false;        // DGFILE_DISABLE_CPU is "YES"
    bool simulated = false;           // the simulated platform was checked
    bool gpu_runtime = false;         // the loader finds the GPU runtime
    bool app_runtime = false;         // ... and the application runtime
    bool pointer_query = false;       // the GPU runtime has qrv_vendor_pointer_info
    bool copy_call = false;           // an application runtime with dgMemcpy loads
    int gpu_count = -1;               // -1: unknown (no application runtime)
    std::vector<std::string> path_problems;
};

struct Report {
    std::vector<Finding> findings;
    Facts facts;

    void Add(Finding finding) { findings.push_back(std::move(finding)); }
};

struct Summary {
    const char* mode;  // "direct", "cpu" or "none"
    bool usable;
    std::string text;
    std::string hint;  // how to go on without a GPU, or ""
};

// With `sim_option` (--sim) the driver stand-in, when it is in the process,
// is enabled first; QRVD_SIM=1 enables it by itself.
void CheckDevice(Report& report, bool sim_option);
void CheckSwitches(Report& report);   // DGFILE_DISABLE_GDS, DGFILE_DISABLE_CPU
void CheckSettings(Report& report);   // the settings file and the log's values
void CheckStatistics(Report& report); // DGFILE_STATS, DGFILE_STATS_FORMAT
void CheckRuntimes(Report& report);   // GPU runtime, application runtime, GPUs
void CheckPath(Report& report, const std::string& path);

Summary Summarize(const Report& report);

// ---- Shared by the checks ----------------------------------------------------

std::string Quote(const std::string& text);  // in double quotes
std::string ErrorText(int error);            // strerror
const char* FileKind(mode_t mode);           // "regular file", "directory", ...
Json TextOrNull(const std::string& text);    // null for an empty text

}  // namespace doctor
