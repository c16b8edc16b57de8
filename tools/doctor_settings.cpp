// SPDX-License-Identifier: Apache-2.0
// The two switches, the settings file and the debug log's values, and the
// statistics' two variables, as the library's own rules (settings.h) take
// them.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include "doctor_checks.h"
#include "settings.h"  // the settings, the log file path rule and the switches

namespace doctor {

void CheckSwitches(Report& report) {
    struct Switch {
        const char* name;
        const char* effect;  // when on
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
        f.details["set"] = value != nullptr;
        f.details["value"] = value != nullptr ? Json(value) : Json();
        f.details["active"] = active;
        if (value == nullptr) {
            f.status = Status::Ok;
            f.text = "not set";
        } else if (active) {
            f.status = Status::Warn;
            f.text = Quote(value) + ": " + s.effect;
        } else {
            // The value is a likely mistake ("yes", "YES "): say what counts.
            f.status = Status::Warn;
            f.text = Quote(value) + " has no effect: only exactly \"YES\" switches it on";
        }
        report.Add(std::move(f));
    }
}

namespace {

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

// A setting the level NONE makes irrelevant: the library reads nothing but
// the level then (the level's line says so), so a problem with it is only
// worth a note.
void Unused(Finding& f) {
    if (f.status == Status::Warn || f.status == Status::Fail) f.status = Status::Info;
    f.details["used"] = false;
}

// A conversion message as one line of the report: without its final newline,
// several messages joined by "; ".
std::string OneLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    for (size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "; ");
    return text;
}

// The verdict on the contents of a settings file that exists.
void JudgeSettingsFile(const LogSettings& s, const struct stat& st, Finding& f) {
    f.status = Status::Warn;
    if (!S_ISREG(st.st_mode)) {
        f.text = std::string("is a ") + FileKind(st.st_mode) + ": no settings";
        return;
    }
    // The parser says nothing about a file it cannot read or whose lines end
    // in "\r\n": look at the file directly.
    std::string contents;
    if (int error = ReadWhole(s.file, contents); error != 0) {
        f.text = "cannot be read (" + ErrorText(error) + "): the library uses no settings";
    } else if (contents.find("\r\n") != std::string::npos) {
        f.text = "has \\r\\n line ends: the library recognises no section in it";
        if (s.keys_given == 0) f.text += " and uses no settings";
    } else if (s.keys_given == 0 && st.st_size > 0) {
        f.text = "present, but sets none of the log settings in section [global]";
    } else {
        f.status = Status::Ok;
        f.text = "present; sets " + std::to_string(s.keys_given) + " of the " +
                 std::to_string(std::size(kLogSettingKeys)) + " log settings";
    }
}

Finding SettingsFileFinding(const LogSettings& s) {
    Finding f("settings_file", std::string("settings file ") + s.file, true);
    f.details["path"] = s.file;
    f.details["settings"] = s.keys_given;
    struct stat st;
    if (::stat(s.file, &st) == 0) {
        JudgeSettingsFile(s, st, f);
        return f;
    }
    int error = errno;
    f.status = error == ENOENT ? Status::Info : Status::Warn;
    f.text = error == ENOENT ? "absent: every setting takes its default"
                             : "cannot be examined (" + ErrorText(error) +
                                   "): every setting takes its default";
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
    f.details["level"] = level_name;
    f.details["value"] = s.level_name;
    f.details["source"] = source;
    // Without a known name the level is the library's lowest, "NONE".
    if (s.level_name.empty()) {
        f.status = Status::Info;
        f.text = level_name + (s.level_from_environment
                                   ? " (DGFILE_DEBUG is set but empty, so log_level is not read): "
                                     "the log is silent"
                                   : " (nothing set): the log is silent");
    } else if (!s.level_known) {
        f.status = Status::Warn;
        f.text = Quote(s.level_name) + " (from " + source + ") is no level name (" +
                 LevelNames() + "): " + level_name + ", the log is silent";
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

// Whether the log set-up can create the directory `dir`, which does not
// exist, with the verdict in `f`.
bool JudgeNewDirectory(const std::string& dir, Finding& f) {
    const std::string dropped = "the log set-up fails and every record is dropped";
    const std::string parent = ParentOf(dir);
    f.status = Status::Fail;
    struct stat pst;
    if (::stat(parent.c_str(), &pst) != 0 || !S_ISDIR(pst.st_mode)) {
        f.text = dir + " does not exist, and its parent " + parent +
                 " is no directory (only the last component is created): " + dropped;
        return false;
    }
    if (int error = CreateError(parent); error != 0) {
        f.text = dir + " does not exist and cannot be created in " + parent + " (" +
                 ErrorText(error) + "): " + dropped;
        return false;
    }
    f.status = Status::Ok;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", kLogDirMode);
    f.text = dir + " does not exist yet; the log set-up creates it (mode " + mode + ")";
    return true;
}

// Whether the log set-up can use or create the directory `dir`, with the
// verdict in `f`.
bool JudgeDirectory(const std::string& dir, Finding& f) {
    struct stat st;
    f.status = Status::Fail;
    if (::stat(dir.c_str(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT) return JudgeNewDirectory(dir, f);
        f.text = dir + " is not a usable directory (" + ErrorText(error) +
                 "): the log set-up fails and every record is dropped";
        return false;
    }
    if (int error = CreateError(dir); error != 0) {
        f.text = dir + " exists but is not writable (" + ErrorText(error) +
                 "): the log file cannot be opened and every record is dropped";
        return false;
    }
    f.status = Status::Ok;
    f.text = dir + " exists and is writable";
    return true;
}

Finding DirectoryFinding(const LogSettings& s, bool active, bool* usable) {
    Finding f("log_dir", "log directory", true);
    *usable = false;
    f.details["value"] = TextOrNull(s.dir_setting);
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
    f.details["directory"] = TextOrNull(s.dir);
    f.details["usable"] = *usable;
    if (!active) Unused(f);
    return f;
}

// The log file's name for this process, and what goes into it.
struct LogName {
    int pid = static_cast<int>(::getpid());
    time_t now = std::time(nullptr);
    char host[1024];

    LogName() { getHostName(host, sizeof host, '.'); }
    std::string Path(const std::string& dir, const std::string& format) const {
        return format_log_filepath(dir, format, pid, host, now);
    }
    // Whether some character of `format` adds nothing to the name: leaving
    // it out gives the same name.
    bool HasIgnoredText(const std::string& dir, const std::string& format) const {
        const std::string path = Path(dir, format);
        for (size_t i = 0; i < format.size(); ++i) {
            std::string without = format;
            without.erase(i, 1);
            if (Path(dir, without) == path) return true;
        }
        return false;
    }
};

Finding FileNameFinding(const LogSettings& s, bool dir_usable, bool active) {
    Finding f("log_file_format", "log file name", true);
    const std::string& format = s.file_format;
    const LogName name;
    const std::string path = name.Path(s.dir, format);
    f.details["value"] = TextOrNull(format);
    f.details["example"] = s.dir.empty() ? Json() : Json(path);
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
        f.text = shown + ": " + path + " (for process " + std::to_string(name.pid) + ")";
        struct stat st;
        if (dir_usable && ::stat(path.c_str(), &st) == 0 &&
            ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
            const int error = errno;
            f.status = Status::Fail;
            f.text += ", which exists and is not writable (" + ErrorText(error) + ")";
        }
    }
    if (name.HasIgnoredText(s.dir, format))
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

// The verdict on a numeric setting that is set.
void JudgeNumber(const NumericSetting& setting, const Numeric& n, const std::string& printed,
                 Finding& f) {
    const std::string raw = Quote(setting.text);
    const std::string amount = std::to_string(setting.value) + n.unit;
    f.status = Status::Warn;
    if (setting.converted == 0 && !printed.empty()) {
        f.text = raw + " is not a usable number: " + amount + ", the default; the library prints " +
                 Quote(printed);
    } else if (setting.converted == 0) {
        f.status = Status::Ok;
        f.text = raw + ": " + amount + ", the default";
    } else if (!printed.empty()) {
        f.text = raw + ": " + amount + "; the library prints " + Quote(printed);
    } else if (setting.converted < 0) {
        f.text = raw + ": " + amount + "; " + n.negative;
    } else {
        f.status = Status::Ok;
        f.text = raw + ": " + amount;
    }
}

Finding NumericFinding(const NumericSetting& setting, const Numeric& n, bool active) {
    Finding f(n.key, n.label, true);
    const std::string printed = OneLine(setting.message);
    f.details["value"] = TextOrNull(setting.text);
    f.details["effective"] = setting.value;
    f.details["message"] = TextOrNull(printed);
    f.details["used"] = active;
    if (!setting.text.empty()) {
        JudgeNumber(setting, n, printed, f);
    } else {
        f.status = Status::Ok;
        f.text = "not set: " + std::to_string(setting.value) + n.unit + ", the default";
        // An absent key takes its default silently; an empty value is
        // present, and the set-up's diagnosis of it is said here.
        if (active && !printed.empty())
            f.text += " (the library prints " + Quote(printed) + " for it at set-up)";
    }
    if (!active) Unused(f);
    return f;
}

Finding ConsoleFinding(const LogSettings& s, bool active) {
    Finding f("print_to_console", "console copy (print_to_console)", true);
    const std::string& raw = s.console_setting;
    const bool on = s.print_to_console;
    f.details["value"] = TextOrNull(raw);
    f.details["on"] = on;
    // Words people write for "off" that the library does not take as such.
    static const char* const kLookLikeOff[] = {"0", "no", "off", "n", "disable", "disabled"};
    bool meant_off = false;
    for (const char* word : kLookLikeOff) meant_off |= ::strcasecmp(raw.c_str(), word) == 0;
    f.status = Status::Ok;
    if (raw.empty()) {
        f.text = "not set: on";
    } else if (meant_off && on) {
        f.status = Status::Warn;
        f.text = Quote(raw) + ": on; only \"false\" (any case) switches it off";
    } else {
        f.text = Quote(raw) + (on ? ": on" : ": off");
    }
    if (!on && s.dir_setting.empty() && active) {
        f.status = Status::Warn;
        f.text += ", and there is no log file: records go nowhere";
    }
    if (!active) Unused(f);
    return f;
}

// Where the summary of this process would go, and whether the library can
// put it there (it writes only to a regular file, or creates one).
void JudgeStatsFile(const StatsSettings& s, Finding& f) {
    const int pid = static_cast<int>(::getpid());
    const std::string path = expand_stats_path(s.destination, pid);
    f.details["destination"] = path;
    f.text = Quote(s.destination) + ": a summary of each process's transfers at exit, in " + path +
             " for process " + std::to_string(pid);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        f.status = Status::Warn;
        f.text += ", where there is a " + std::string(FileKind(st.st_mode)) +
                  ": the library writes no summary there";
    }
}

Finding StatsDestinationFinding(const StatsSettings& s) {
    Finding f(kStatsDestination, kStatsDestination);
    f.details["set"] = s.destination_set;
    f.details["value"] = s.destination_set ? Json(s.destination) : Json();
    f.details["collected"] = s.collect;
    f.details["destination"] = Json();
    f.details["message"] = TextOrNull(OneLine(s.message));
    f.status = Status::Info;
    if (s.destination.empty()) {
        f.text = std::string(s.destination_set ? "set but empty" : "not set") + ": no statistics";
    } else if (!s.destination_valid) {
        f.status = Status::Warn;
        f.text = Quote(s.destination) + " is neither \"stderr\" nor a usable path template (%p " +
                 "and %% its only directives): no statistics are collected";
    } else if (s.destination == "stderr") {
        f.details["destination"] = s.destination;
        f.text = Quote(s.destination) + ": a summary of each process's transfers on standard " +
                 "error at exit";
    } else {
        JudgeStatsFile(s, f);
    }
    if (s.destination_valid && !s.collect)
        f.text += std::string(", but nothing is collected: ") + kStatsFormat + " is invalid";
    return f;
}

Finding StatsFormatFinding(const StatsSettings& s) {
    Finding f(kStatsFormat, kStatsFormat);
    f.details["set"] = s.format_set;
    f.details["value"] = s.format_set ? Json(s.format) : Json();
    f.details["valid"] = s.format_valid;
    const std::string shown = s.format.empty() ? "not set" : Quote(s.format);
    if (s.destination.empty()) {
        // Nothing is collected: the format is not even looked at.
        f.status = Status::Info;
        f.text = shown + ": not used without " + kStatsDestination;
    } else if (!s.format_valid) {
        f.status = Status::Warn;
        f.text = shown + " is neither \"text\" nor \"json\": no statistics are collected";
    } else {
        f.status = Status::Ok;
        f.text = shown + (s.format == "json" ? ": one JSON object" : ": a text table");
    }
    return f;
}

}  // namespace

void CheckStatistics(Report& report) {
    const StatsSettings s = read_stats_settings();
    report.Add(StatsDestinationFinding(s));
    report.Add(StatsFormatFinding(s));
}

void CheckSettings(Report& report) {
    // Exactly what the library's set-up reads, without its messages printed.
    const LogSettings s = read_log_settings();
    const bool active = s.level != DGFILE_LOG_NONE;
    bool dir_usable = false;
    report.Add(SettingsFileFinding(s));
    report.Add(LevelFinding(s));
    report.Add(DirectoryFinding(s, active, &dir_usable));
    report.Add(FileNameFinding(s, dir_usable, active));
    report.Add(NumericFinding(s.max_file_size,
                              {"max_file_size", "log file size limit (max_file_size)", " KiB",
                               "a negative limit is taken as it is: every record finds the file "
                               "over it"},
                              active));
    report.Add(NumericFinding(s.max_files,
                              {"max_files", "log files kept (max_files)", "",
                               "a negative count keeps only the current file"},
                              active));
    report.Add(ConsoleFinding(s, active));
}

}  // namespace doctor
