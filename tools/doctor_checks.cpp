// SPDX-License-Identifier: Apache-2.0
#include "doctor_checks.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

#include "files.h"  // the library's own declarations of the driver request and copy call
#include "log.h"       // the log file path rule and host name
#include "settings.h"  // the settings as the library reads them, the switches
#include "sim_control.h"

namespace doctor {
namespace {

constexpr const char* kDeviceNode = "/dev/qrvd";
constexpr const char* kGpuRuntime = "libqrv-runtime64.so.1";
constexpr const char* kAppRuntime = "libdgrt.so.1";
constexpr size_t kLongestLogPath = sizeof(LogFileInfo::fullpath) - 1;

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string ErrorText(int error) { return std::strerror(error); }

std::string HumanBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 4) value /= 1024, ++unit;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %s", value, kUnits[unit]);
    return text;
}

// 0 when this process may create files in the directory `path`, else the
// reason as an errno value.
int CreateError(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// Reads the file `path` into `contents`; 0, or the errno of the failure.
int ReadWhole(const char* path, std::string& contents) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) contents.append(buffer, static_cast<size_t>(n));
    int error = n < 0 ? errno : 0;
    ::close(fd);
    return error;
}

void Add(Report& report, Finding finding) { report.findings.push_back(std::move(finding)); }

// The file an already loaded library was found as, with links resolved.
std::string LibraryPath(void* handle) {
    struct link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return std::string();
    char resolved[PATH_MAX];
    if (::realpath(map->l_name, resolved) != nullptr) return resolved;
    return map->l_name;
}

std::string DlError() {
    const char* error = ::dlerror();
    return error != nullptr ? error : "unknown error";
}

// ---- Device node -------------------------------------------------------------------

const char* FileKind(mode_t mode) {
    if (S_ISREG(mode)) return "regular file";
    if (S_ISDIR(mode)) return "directory";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    return "special file";
}

// QRVD_SIM asks for the simulated platform ("1", "on" or "yes", any case,
// as the driver stand-in reads it).
bool SimulationByEnvironment() {
    const char* v = std::getenv("QRVD_SIM");
    return v != nullptr &&
           (!strcasecmp(v, "1") || !strcasecmp(v, "on") || !strcasecmp(v, "yes"));
}

// Offers the node a transfer request that cannot move anything (no GPU, no
// bytes, no valid descriptor).  A GPU driver refuses it for its contents; a
// node that does not know the request at all answers ENOTTY (ENOSYS where a
// user-mode emulator stands between the program and the kernel and does not
// know the request either).
bool AnswersTransferRequest(int node, int* error) {
    qrvd_ioctl_file_inout_vram_args probe;
    std::memset(&probe, 0, sizeof probe);
    probe.fd = UINT32_MAX;
    probe.size = 0;
    int result = ::ioctl(node, QRVD_IOC_VRAM_IO, &probe);
    *error = result == 0 ? 0 : errno;
    return result == 0 || (*error != ENOTTY && *error != ENOSYS);
}

}  // namespace

const char* StatusName(Status status) {
    switch (status) {
    case Status::Ok: return "ok";
    case Status::Info: return "info";
    case Status::Warn: return "warn";
    case Status::Fail: return "fail";
    }
    return "fail";
}

void CheckDevice(Report& report, bool sim_option) {
    Finding f("device", kDeviceNode);
    struct stat st;
    bool present = ::stat(kDeviceNode, &st) == 0;
    int stat_error = present ? 0 : errno;
    // The stand-in for the kernel driver answers opens of the node when it
    // is in the process (linked, or preloaded) and enabled.
    if (sim_option) simctl::SetEnabled(true);
    bool simulated = simctl::Enabled();
    bool asked = sim_option || SimulationByEnvironment();
    f.details.Set("present", present);
    f.details.Set("kind", present ? json::Value(FileKind(st.st_mode)) : json::Value());
    f.details.Set("simulated", simulated);

    // The library opens the node read-write with no other flag.
    int node = ::open(kDeviceNode, O_RDWR);
    int open_error = node < 0 ? errno : 0;
    int probe_error = 0;
    bool answers = node >= 0 && AnswersTransferRequest(node, &probe_error);
    if (node >= 0) ::close(node);
    f.details.Set("opens", node >= 0);
    f.details.Set("open_error", node < 0 ? json::Value(ErrorText(open_error)) : json::Value());
    f.details.Set("answers_request", node >= 0 ? json::Value(answers) : json::Value());

    std::string device_text;
    std::string problem;  // for the summary
    if (present && S_ISCHR(st.st_mode)) {
        device_text = "character device " + std::to_string(major(st.st_rdev)) + ":" +
                      std::to_string(minor(st.st_rdev));
    }
    if (asked && !simulated) {
        f.status = Status::Fail;
        f.text = std::string("the simulated platform was asked for (") +
                 (sim_option ? "--sim" : "QRVD_SIM") +
                 ") but its driver stand-in is not in this process: the simulated platform "
                 "is not installed beside dgfile-doctor";
        problem = "is not simulated: the simulated platform is missing";
    } else if (simulated) {
        const char* forced = std::getenv("QRVD_SIM");
        std::string by = sim_option ? "--sim"
                         : forced != nullptr ? "QRVD_SIM=" + std::string(forced)
                                             : "the program";
        if (node < 0) {
            f.status = Status::Fail;
            f.text = "simulated (" + by + "), but cannot be opened: " + ErrorText(open_error);
            problem = "cannot be opened";
        } else {
            f.status = Status::Ok;
            f.text = "simulated by the driver stand-in (" + by +
                     "); opens read-write and answers the transfer request";
            if (!device_text.empty()) f.text += " (the real " + device_text + " is not used)";
        }
    } else if (!present) {
        f.status = Status::Fail;
        f.text = stat_error == ENOENT ? "absent: no GPU kernel driver node"
                                      : "cannot be examined: " + ErrorText(stat_error);
        problem = stat_error == ENOENT ? "is absent" : "cannot be examined";
    } else if (!S_ISCHR(st.st_mode)) {
        f.status = Status::Fail;
        f.text = std::string("is a ") + FileKind(st.st_mode) +
                 ", not a character device: the library opens it, but no driver answers "
                 "its transfer requests";
        problem = std::string("is a ") + FileKind(st.st_mode) + ", not the driver's device";
    } else if (node < 0) {
        f.status = Status::Fail;
        f.text = device_text + ", cannot be opened read-write: " + ErrorText(open_error);
        problem = "cannot be opened (" + ErrorText(open_error) + ")";
    } else if (!answers) {
        f.status = Status::Fail;
        f.text = device_text +
                 ", opens read-write but does not know the transfer request (" +
                 (probe_error == ENOSYS ? "ENOSYS" : "ENOTTY") + "): not the GPU kernel driver";
        problem = "does not know the transfer request";
    } else {
        f.status = Status::Ok;
        f.text = device_text + ", opens read-write and answers the transfer request";
    }
    report.facts.device_usable = f.status == Status::Ok;
    report.facts.device_problem = std::string(kDeviceNode) + " " + problem;
    Add(report, std::move(f));
}

void CheckSwitches(Report& report) {
    struct Switch {
        const char* name;
        const char* effect;  // of the exact value "YES"
        bool* fact;
    };
    const Switch switches[] = {
        {kDisableDirectPath,
         "the device connection is never opened; transfers use the CPU copy",
         &report.facts.gds_disabled},
        {kDisableCpuFallback,
         "files registered now never fall back to the CPU copy",
         &report.facts.cpu_disabled},
    };
    for (const Switch& s : switches) {
        Finding f(s.name, s.name);
        const char* value = std::getenv(s.name);
        bool active = env_switch_on(s.name);
        *s.fact = active;
        f.details.Set("set", value != nullptr);
        f.details.Set("value", value != nullptr ? json::Value(value) : json::Value());
        f.details.Set("active", active);
        if (value == nullptr) {
            f.status = Status::Ok;
            f.text = "not set";
        } else if (active) {
            f.status = Status::Warn;
            f.text = std::string("\"YES\": ") + s.effect;
        } else {
            // Only the exact word counts: "yes" or "YES " is a likely mistake.
            f.status = Status::Warn;
            f.text = Quote(value) + " has no effect: only exactly \"YES\" switches it on";
        }
        Add(report, std::move(f));
    }
}

// ---- Settings -------------------------------------------------------------------------

namespace {

// A setting the level NONE makes irrelevant: the library reads nothing but
// the level then (the level's line says so), so a problem with it is only
// worth a note.
void Unused(Finding& f) {
    if (f.status == Status::Warn || f.status == Status::Fail) f.status = Status::Info;
    f.details.Set("used", false);
}

// A conversion message as one line of the report: without its final newline,
// several messages joined by "; ".
std::string OneLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    for (size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "; ");
    return text;
}

Finding SettingsFileFinding(const LogSettings& s) {
    Finding f("settings_file", std::string("settings file ") + s.file, true);
    const int given = s.keys_given;
    f.details.Set("path", s.file);
    f.details.Set("settings", given);
    struct stat st;
    if (::stat(s.file, &st) != 0) {
        int error = errno;
        f.status = error == ENOENT ? Status::Info : Status::Warn;
        f.text = error == ENOENT ? "absent: every setting takes its default"
                                 : "cannot be examined (" + ErrorText(error) +
                                       "): every setting takes its default";
        return f;
    }
    if (!S_ISREG(st.st_mode)) {
        f.status = Status::Warn;
        f.text = std::string("is a ") + FileKind(st.st_mode) + ": no settings";
        return f;
    }
    // The parser says nothing about a file it cannot read or whose lines end
    // in "\r\n": look at the file directly.
    std::string contents;
    if (int error = ReadWhole(s.file, contents); error != 0) {
        f.status = Status::Warn;
        f.text = "cannot be read (" + ErrorText(error) + "): the library uses no settings";
    } else if (contents.find("\r\n") != std::string::npos) {
        f.status = Status::Warn;
        f.text = "has \\r\\n line ends: the library recognises no section in it";
        if (given == 0) f.text += " and uses no settings";
    } else if (given == 0 && st.st_size > 0) {
        f.status = Status::Warn;
        f.text = "present, but sets none of the log settings in section [global]";
    } else {
        f.status = Status::Ok;
        f.text = "present; sets " + std::to_string(given) + " of the " +
                 std::to_string(std::size(kLogSettingKeys)) + " log settings";
    }
    return f;
}

// "NONE, WARN, INFO, DEBUG".
std::string LevelNames() {
    std::string names;
    for (int level = 0; log_level_name(level) != nullptr; ++level)
        names += (level > 0 ? ", " : "") + std::string(log_level_name(level));
    return names;
}

Finding LevelFinding(const LogSettings& s) {
    Finding f("log_level", "log level", true);
    const std::string source = s.level_from_environment ? "DGFILE_DEBUG"
                               : s.level_setting.empty() ? "default"
                                                         : "log_level";
    const std::string level_name = log_level_name(s.level);
    f.details.Set("level", level_name);
    f.details.Set("value", s.level_name);
    f.details.Set("source", source);
    if (s.level_name.empty()) {
        f.status = Status::Info;
        f.text = s.level_from_environment
                     ? "NONE (DGFILE_DEBUG is set but empty, so log_level is not read): the "
                       "log is silent"
                     : "NONE (nothing set): the log is silent";
    } else if (!s.level_known) {
        f.status = Status::Warn;
        f.text = Quote(s.level_name) + " (from " + source + ") is no level name (" +
                 LevelNames() + "): NONE, the log is silent";
    } else {
        f.status = s.level == DGFILE_LOG_NONE ? Status::Info : Status::Ok;
        f.text = level_name + " (from " + source + ")";
        if (s.level == DGFILE_LOG_NONE) f.text += ": the log is silent";
        if (s.level_from_environment && !s.level_setting.empty())
            f.text += "; log_level " + Quote(s.level_setting) + " in the settings file is not used";
    }
    if (s.level == DGFILE_LOG_NONE) f.text += " and reads none of the settings below";
    return f;
}

// The parent directory in which the log set-up creates `dir` (which ends in
// "/"); only that last component is ever created.
std::string ParentOf(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string::size_type slash = dir.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return dir.substr(0, slash);
}

// Whether the log set-up can use or create the directory `dir`, with the
// verdict in `f`.
bool JudgeDirectory(const std::string& dir, Finding& f) {
    const std::string dropped = "the log set-up fails and every record is dropped";
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
        if (int error = CreateError(dir); error != 0) {
            f.status = Status::Fail;
            f.text = dir + " exists but is not writable (" + ErrorText(error) +
                     "): the log file cannot be opened and every record is dropped";
            return false;
        }
        f.status = Status::Ok;
        f.text = dir + " exists and is writable";
        return true;
    }
    if (int stat_error = errno; stat_error != ENOENT) {
        f.status = Status::Fail;
        f.text = dir + " is not a usable directory (" + ErrorText(stat_error) + "): " + dropped;
        return false;
    }
    const std::string parent = ParentOf(dir);
    struct stat pst;
    if (::stat(parent.c_str(), &pst) != 0 || !S_ISDIR(pst.st_mode)) {
        f.status = Status::Fail;
        f.text = dir + " does not exist, and its parent " + parent +
                 " is no directory (only the last component is created): " + dropped;
        return false;
    }
    if (int error = CreateError(parent); error != 0) {
        f.status = Status::Fail;
        f.text = dir + " does not exist and cannot be created in " + parent + " (" +
                 ErrorText(error) + "): " + dropped;
        return false;
    }
    f.status = Status::Ok;
    f.text = dir + " does not exist yet; the log set-up creates it (mode 0755)";
    return true;
}

Finding DirectoryFinding(const LogSettings& s, bool active, bool* usable) {
    Finding f("log_dir", "log directory", true);
    *usable = false;
    f.details.Set("value", s.dir_setting.empty() ? json::Value() : json::Value(s.dir_setting));
    if (s.dir_setting.empty()) {
        f.status = Status::Info;
        f.text = "not set: no log file; records go to standard output only";
    } else if (s.home == HomeUse::unset || s.home == HomeUse::empty) {
        f.status = Status::Fail;
        f.text = Quote(s.dir_setting) + " uses $HOME, and HOME is " +
                 (s.home == HomeUse::unset ? "unset" : "empty") +
                 ": the log set-up fails and every record is dropped";
    } else {
        *usable = JudgeDirectory(s.dir, f);
    }
    f.details.Set("directory", s.dir.empty() ? json::Value() : json::Value(s.dir));
    f.details.Set("usable", *usable);
    if (!active) Unused(f);
    return f;
}

// Whether some character of `format` adds nothing to the log file's name:
// leaving it out gives the same name.
bool HasIgnoredText(const std::string& format, const std::string& dir, int pid, const char* host,
                    time_t now) {
    const std::string path = format_log_filepath(dir, format, pid, host, now);
    for (size_t i = 0; i < format.size(); ++i) {
        std::string without = format;
        without.erase(i, 1);
        if (format_log_filepath(dir, without, pid, host, now) == path) return true;
    }
    return false;
}

Finding FileNameFinding(const LogSettings& s, bool dir_usable, bool active) {
    Finding f("log_file_format", "log file name", true);
    const std::string& format = s.file_format;
    char host[1024];
    getHostName(host, sizeof host, '.');
    const int pid = static_cast<int>(::getpid());
    const time_t now = std::time(nullptr);
    const std::string path = format_log_filepath(s.dir, format, pid, host, now);
    f.details.Set("value", format.empty() ? json::Value() : json::Value(format));
    f.details.Set("example", s.dir.empty() ? json::Value() : json::Value(path));
    const std::string shown = format.empty() ? "not set" : Quote(format);
    if (s.dir.empty()) {
        f.status = Status::Info;
        f.text = shown + ": no log file without a usable log directory";
    } else if (path.size() > kLongestLogPath) {
        f.status = Status::Fail;
        f.text = shown + ": the path is " + std::to_string(path.size()) + " characters long, over the " +
                 std::to_string(kLongestLogPath) + " the library takes: it opens no log file";
    } else {
        f.status = Status::Ok;
        f.text = shown + ": " + path + " (for process " + std::to_string(pid) + ")";
        struct stat st;
        if (dir_usable && ::stat(path.c_str(), &st) == 0 &&
            ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
            int error = errno;
            f.status = Status::Fail;
            f.text += ", which exists and is not writable (" + ErrorText(error) + ")";
        }
    }
    if (HasIgnoredText(format, s.dir, pid, host, now))
        f.text += "; only %p, %t and %h add to the name, other text is left out";
    if (!active) Unused(f);
    return f;
}

struct Numeric {
    const char* key;
    const char* label;
    const char* unit;      // appended to values, e.g. " KiB"
    const char* negative;  // what a negative value does
};

Finding NumericFinding(const NumericSetting& setting, const Numeric& n, bool active) {
    Finding f(n.key, n.label, true);
    const std::string& raw = setting.text;
    const std::string printed = OneLine(setting.message);
    f.details.Set("value", raw.empty() ? json::Value() : json::Value(raw));
    f.details.Set("effective", setting.value);
    f.details.Set("message", printed.empty() ? json::Value() : json::Value(printed));
    f.details.Set("used", active);

    const std::string amount = std::to_string(setting.value) + n.unit;
    if (raw.empty()) {
        f.status = Status::Ok;
        f.text = "not set: " + amount + ", the default";
        // The set-up converts the missing value too, and says so.
        if (active && !printed.empty())
            f.text += " (the library prints " + Quote(printed) + " for it at set-up)";
    } else if (setting.converted == 0 && !printed.empty()) {
        f.status = Status::Warn;
        f.text = Quote(raw) + " is not a usable number: " + amount +
                 ", the default; the library prints " + Quote(printed);
    } else if (setting.converted == 0) {
        f.status = Status::Ok;
        f.text = Quote(raw) + ": " + amount + ", the default";
    } else if (!printed.empty()) {
        f.status = Status::Warn;
        f.text = Quote(raw) + ": " + amount + "; the library prints " + Quote(printed);
    } else if (setting.converted < 0) {
        f.status = Status::Warn;
        f.text = Quote(raw) + ": " + amount + "; " + n.negative;
    } else {
        f.status = Status::Ok;
        f.text = Quote(raw) + ": " + amount;
    }
    if (!active) Unused(f);
    return f;
}

Finding ConsoleFinding(const LogSettings& s, bool active) {
    Finding f("print_to_console", "console copy (print_to_console)", true);
    const std::string& raw = s.console_setting;
    const bool on = s.print_to_console;
    f.details.Set("value", raw.empty() ? json::Value() : json::Value(raw));
    f.details.Set("on", on);
    // Words people write for "off" that the library does not take as such.
    static const char* const kLookLikeOff[] = {"0", "no", "off", "n", "disable", "disabled"};
    bool meant_off = false;
    for (const char* word : kLookLikeOff) meant_off |= ::strcasecmp(raw.c_str(), word) == 0;
    if (raw.empty()) {
        f.status = Status::Ok;
        f.text = "not set: on";
    } else if (meant_off) {
        f.status = Status::Warn;
        f.text = Quote(raw) + ": on; only \"false\" (any case) switches it off";
    } else {
        f.status = Status::Ok;
        f.text = Quote(raw) + (on ? ": on" : ": off");
    }
    if (!on && s.dir_setting.empty() && active) {
        f.status = Status::Warn;
        f.text += ", and there is no log file: records go nowhere";
    }
    if (!active) Unused(f);
    return f;
}

}  // namespace

void CheckSettings(Report& report) {
    // Exactly what the library's set-up reads, without its messages printed.
    const LogSettings s = read_log_settings();
    const bool active = s.level != DGFILE_LOG_NONE;
    bool dir_usable = false;
    Add(report, SettingsFileFinding(s));
    Add(report, LevelFinding(s));
    Add(report, DirectoryFinding(s, active, &dir_usable));
    Add(report, FileNameFinding(s, dir_usable, active));
    Add(report, NumericFinding(s.max_file_size,
                               {"max_file_size", "log file size limit (max_file_size)", " KiB",
                                "a negative limit is taken as it is: every record finds the file "
                                "over it"},
                               active));
    Add(report, NumericFinding(s.max_files,
                               {"max_files", "log files kept (max_files)", "",
                                "a negative count keeps only the current file"},
                               active));
    Add(report, ConsoleFinding(s, active));
}

// ---- Runtimes and GPUs ------------------------------------------------------------------

namespace {

using count_fn = int (*)(int*);
using set_device_fn = int (*)(int);
using malloc_fn = int (*)(void**, size_t);
using free_fn = int (*)(void*);

// The largest single allocation that succeeds on the current device, to a
// page: doubling, then halving the gap.  Nothing is touched, so this costs
// only the allocation calls.
uint64_t LargestAllocation(malloc_fn alloc, free_fn release) {
    constexpr uint64_t kPage = 4096;
    constexpr uint64_t kCeiling = uint64_t{1} << 50;
    auto fits = [&](uint64_t size) {
        void* p = nullptr;
        if (alloc(&p, static_cast<size_t>(size)) != 0 || p == nullptr) return false;
        release(p);
        return true;
    };
    uint64_t good = 0;
    uint64_t bad = kPage;
    while (bad <= kCeiling && fits(bad)) good = bad, bad *= 2;
    if (bad > kCeiling) return good;
    while (bad - good > kPage) {
        uint64_t middle = (good + (bad - good) / 2) / kPage * kPage;
        if (middle <= good) middle = good + kPage;
        (fits(middle) ? good : bad) = middle;
    }
    return good;
}

}  // namespace

void CheckRuntimes(Report& report) {
    std::string gpu_runtime_dir;
    // The GPU runtime is a needed library of libdgfile (and of this program):
    // it is loaded already, and dlinfo tells which file it came from.
    {
        Finding f("gpu_runtime", std::string("GPU runtime ") + kGpuRuntime);
        void* handle = ::dlopen(kGpuRuntime, RTLD_LAZY | RTLD_NOLOAD);
        if (handle == nullptr) handle = ::dlopen(kGpuRuntime, RTLD_LAZY);
        if (handle == nullptr) {
            f.status = Status::Fail;
            f.text = "not found: " + DlError();
            f.details.Set("path", json::Value());
        } else {
            std::string path = LibraryPath(handle);
            if (std::string::size_type slash = path.rfind('/'); slash != std::string::npos)
                gpu_runtime_dir = path.substr(0, slash + 1);
            bool query = ::dlvsym(handle, "qrv_vendor_pointer_info", "QRV_1") != nullptr;
            bool simulated = ::dlsym(handle, "qrv_sim_device_count") != nullptr;
            report.facts.pointer_query = query;
            f.details.Set("path", path);
            f.details.Set("simulated", simulated);
            f.details.Set("pointer_query", query);
            f.status = query ? Status::Ok : Status::Fail;
            f.text = path + (simulated ? " (the simulated platform's)" : "") +
                     (query ? "" : ": lacks qrv_vendor_pointer_info@QRV_1, so no direct transfer");
            ::dlclose(handle);
        }
        Add(report, std::move(f));
    }

    // The application runtime: loaded as an application would, globally, so
    // that the library's own binding of the copy call can find it.
    // Where the loader's search path has none, the one installed beside the
    // GPU runtime (the two come together) is what an application links.
    void* app = ::dlopen(kAppRuntime, RTLD_NOW | RTLD_GLOBAL);
    std::string search_error = app == nullptr ? DlError() : std::string();
    bool beside = false;
    if (app == nullptr && !gpu_runtime_dir.empty()) {
        app = ::dlopen((gpu_runtime_dir + kAppRuntime).c_str(), RTLD_NOW | RTLD_GLOBAL);
        beside = app != nullptr;
    }
    {
        Finding f("app_runtime", std::string("application runtime ") + kAppRuntime);
        if (app == nullptr) {
            f.status = Status::Fail;
            f.text = "cannot be loaded (" + search_error +
                     "): the CPU copy needs dgMemcpy from the runtime the application loads";
            f.details.Set("path", json::Value());
            f.details.Set("copy_call", json::Value());
        } else {
            std::string path = LibraryPath(app);
            copy_fn copy = runtime_copy();  // exactly the library's lookup
            Dl_info where{};
            std::string from = copy != nullptr && ::dladdr(reinterpret_cast<void*>(copy), &where) != 0 &&
                                       where.dli_fname != nullptr
                                   ? where.dli_fname
                                   : "";
            report.facts.copy_call = copy != nullptr;
            f.details.Set("path", path);
            f.details.Set("copy_call", copy != nullptr);
            f.details.Set("copy_call_from", from.empty() ? json::Value() : json::Value(from));
            f.details.Set("beside_gpu_runtime", beside);
            f.status = copy != nullptr ? Status::Ok : Status::Fail;
            f.text = path + (beside ? " (beside the GPU runtime; not on the loader's search path)" : "") +
                     (copy != nullptr ? "; the library finds its dgMemcpy"
                                      : ": the library finds no dgMemcpy in it");
        }
        Add(report, std::move(f));
    }

    auto count = app != nullptr ? reinterpret_cast<count_fn>(::dlsym(app, "dgGetDeviceCount")) : nullptr;
    auto set_device = app != nullptr ? reinterpret_cast<set_device_fn>(::dlsym(app, "dgSetDevice")) : nullptr;
    auto alloc = app != nullptr ? reinterpret_cast<malloc_fn>(::dlsym(app, "dgMalloc")) : nullptr;
    auto release = app != nullptr ? reinterpret_cast<free_fn>(::dlsym(app, "dgFree")) : nullptr;
    Finding gpus("gpus", "GPUs");
    if (count == nullptr) {
        gpus.status = Status::Info;
        gpus.text = "unknown: no application runtime to ask";
        gpus.details.Set("count", json::Value());
        Add(report, std::move(gpus));
        return;  // the runtime stays loaded until the process ends
    }
    int n = 0;
    int status = count(&n);
    if (status != 0) n = 0;
    report.facts.gpu_count = n;
    gpus.details.Set("count", n);
    gpus.status = n > 0 ? Status::Ok : Status::Fail;
    gpus.text = n > 0 ? std::to_string(n) + " (from dgGetDeviceCount)"
                      : status != 0 ? "none: dgGetDeviceCount fails with status " + std::to_string(status)
                                    : "none";
    Add(report, std::move(gpus));

    for (int i = 0; i < n; ++i) {
        Finding f("gpu", "GPU " + std::to_string(i));
        f.details.Set("index", i);
        if (set_device == nullptr || alloc == nullptr || release == nullptr || set_device(i) != 0) {
            f.status = Status::Warn;
            f.text = "cannot be selected for allocation: memory unknown";
            f.details.Set("largest_allocation", json::Value());
        } else {
            uint64_t bytes = LargestAllocation(alloc, release);
            f.details.Set("largest_allocation", bytes);
            f.status = bytes > 0 ? Status::Ok : Status::Warn;
            f.text = bytes > 0 ? HumanBytes(bytes) + " (" + std::to_string(bytes) +
                                     " bytes) in the largest allocation that succeeds"
                               : "no allocation succeeds";
        }
        Add(report, std::move(f));
    }
}

// ---- Paths ---------------------------------------------------------------------------

namespace {

// Undoes the octal escapes (\040 for a blank ...) of /proc/self/mountinfo.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            int value = 0;
            bool octal = true;
            for (size_t k = 1; k <= 3; ++k) {
                char c = text[i + k];
                octal &= c >= '0' && c <= '7';
                value = value * 8 + (c - '0');
            }
            if (octal) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// The type of the file system holding `path` (an existing path): that of the
// mount whose mount point is the longest prefix of its resolved name.
std::string FileSystemOf(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return "unknown";
    std::string target = resolved;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    std::string best_type = "unknown";
    size_t best_length = 0;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mount_point;
        if (!(fields >> id >> parent >> device >> root >> mount_point)) continue;
        std::string::size_type dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type;
        if (!(tail >> type)) continue;
        mount_point = Unescape(mount_point);
        bool covers = mount_point == "/" ||
                      target == mount_point ||
                      (target.compare(0, mount_point.size(), mount_point) == 0 &&
                       target.size() > mount_point.size() && target[mount_point.size()] == '/');
        // Later lines are mounted over earlier ones at the same point.
        if (covers && mount_point.size() >= best_length) {
            best_length = mount_point.size();
            best_type = type;
        }
    }
    return best_type;
}

struct DirectResult {
    bool accepted = false;  // opens with O_DIRECT and moves an aligned block
    std::string text;
    std::string problem;    // short, for the summary
};

// Opens `path` with O_DIRECT as an application would for registration, then
// moves one aligned 4096-byte block: read it (when `size` allows), or, for
// the doctor's own scratch file, write it and read it back.
DirectResult TryDirect(const std::string& path, int mode, off_t size, bool scratch) {
    DirectResult r;
    int fd = ::open(path.c_str(), mode | O_DIRECT | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        r.text = error == EINVAL
                     ? "refuses O_DIRECT: files there cannot be registered (DG_FILE_DIO_NOT_SET)"
                     : "cannot be opened with O_DIRECT (" + ErrorText(error) + ")";
        r.problem = error == EINVAL ? "refuses O_DIRECT" : "cannot be opened with O_DIRECT";
        return r;
    }
    constexpr size_t kBlock = 4096;
    void* block = nullptr;
    if (::posix_memalign(&block, kBlock, kBlock) != 0) {
        ::close(fd);
        r.text = r.problem = "out of memory for the test block";
        return r;
    }
    std::memset(block, 0, kBlock);
    ssize_t moved = static_cast<ssize_t>(kBlock);
    if (scratch && ::pwrite(fd, block, kBlock, 0) != static_cast<ssize_t>(kBlock)) moved = -1;
    if (moved >= 0 && (scratch || size >= static_cast<off_t>(kBlock)))
        moved = ::pread(fd, block, kBlock, 0);
    int error = errno;
    ::free(block);
    ::close(fd);
    if (moved < 0) {
        r.text = error == EINVAL
                     ? "opens with O_DIRECT but refuses an aligned 4096-byte transfer"
                     : "opens with O_DIRECT, but an aligned 4096-byte transfer fails (" +
                           ErrorText(error) + ")";
        r.problem = "fails an aligned O_DIRECT transfer";
        return r;
    }
    r.accepted = true;
    r.text = "accepts O_DIRECT";
    return r;
}

}  // namespace

void CheckPath(Report& report, const std::string& path) {
    Finding f("path", path);
    f.details.Set("path", path);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        f.status = Status::Fail;
        f.text = ErrorText(errno);
        f.details.Set("exists", false);
        f.details.Set("file_system", json::Value());
        f.details.Set("o_direct", json::Value());
        report.facts.path_problems.push_back(path + ": " + f.text);
        Add(report, std::move(f));
        return;
    }
    std::string fs = FileSystemOf(path);
    f.details.Set("exists", true);
    f.details.Set("file_system", fs);
    f.details.Set("kind", FileKind(st.st_mode));

    DirectResult r;
    bool tested = true;
    if (S_ISDIR(st.st_mode)) {
        // A new file in it, as an application would create one there.
        std::string scratch = path + (path.back() == '/' ? "" : "/") + ".dgfile-doctor.XXXXXX";
        int fd = ::mkostemp(scratch.data(), O_CLOEXEC);
        if (fd < 0) {
            r.text = "no test file can be created in it (" + ErrorText(errno) +
                     "): O_DIRECT untested";
            r.problem = "cannot be tested (no file can be created in it)";
            tested = false;
        } else {
            ::close(fd);
            r = TryDirect(scratch, O_RDWR, 0, true);
            ::unlink(scratch.c_str());
        }
    } else if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        off_t size = S_ISREG(st.st_mode) ? st.st_size : static_cast<off_t>(4096);
        r = TryDirect(path, O_RDONLY, size, false);
    } else {
        r.text = std::string("is a ") + FileKind(st.st_mode) + ": not a file to transfer";
        r.problem = r.text;
        tested = false;
    }
    f.details.Set("o_direct", tested ? json::Value(r.accepted) : json::Value());
    f.status = r.accepted ? Status::Ok : Status::Fail;
    f.text = fs + ", " + r.text;
    if (!r.accepted) report.facts.path_problems.push_back(path + " " + r.problem);
    Add(report, std::move(f));
}

// ---- Summary -------------------------------------------------------------------------

Summary Summarize(const Report& report) {
    const Facts& facts = report.facts;
    std::vector<std::string> no_direct;
    if (facts.gds_disabled) no_direct.push_back("DGFILE_DISABLE_GDS is \"YES\"");
    if (!facts.device_usable) no_direct.push_back(facts.device_problem);
    if (!facts.pointer_query) no_direct.push_back("the GPU runtime has no pointer query");
    std::vector<std::string> no_cpu;
    if (facts.cpu_disabled) no_cpu.push_back("DGFILE_DISABLE_CPU is \"YES\"");
    if (!facts.copy_call) no_cpu.push_back("no application runtime provides dgMemcpy");
    std::vector<std::string> blockers = facts.path_problems;
    if (facts.gpu_count == 0) blockers.insert(blockers.begin(), "the runtime reports no GPU");

    auto join = [](const std::vector<std::string>& parts) {
        std::string text;
        for (size_t i = 0; i < parts.size(); ++i) text += (i > 0 ? "; " : "") + parts[i];
        return text;
    };

    Summary s{"none", false, ""};
    bool direct = no_direct.empty();
    bool cpu = no_cpu.empty();
    if (!blockers.empty()) {
        s.text = "not usable: " + join(blockers);
    } else if (direct) {
        s = {"direct", true, "direct path available"};
        s.text += cpu ? ", CPU fallback too" : " (no CPU fallback: " + join(no_cpu) + ")";
    } else if (cpu) {
        s = {"cpu", true, "CPU fallback only: " + join(no_direct)};
    } else {
        s.text = "not usable: no direct path (" + join(no_direct) + ") and no CPU fallback (" +
                 join(no_cpu) + ")";
    }

    int log_problems = 0;
    for (const Finding& f : report.findings)
        log_problems += f.log_setting && (f.status == Status::Warn || f.status == Status::Fail);
    if (log_problems > 0)
        s.text += "; the debug log has " + std::to_string(log_problems) + " problem" +
                  (log_problems > 1 ? "s" : "") + " (see above)";
    return s;
}

}  // namespace doctor
