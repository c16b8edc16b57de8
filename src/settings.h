// SPDX-License-Identifier: Apache-2.0
// The rules the library takes from its environment, each in one place: the
// settings file's parser (an INI dialect), the numeric conversion of a
// setting, the debug log's settings read as one record (from DGFILE_DEBUG,
// HOME and the settings file), the log file's path, the environment switches
// (DGFILE_DISABLE_GDS, DGFILE_DISABLE_CPU), and the statistics' settings
// (DGFILE_STATS, DGFILE_STATS_FORMAT).
//
// Built as the static library dgfile_rules, with gpu_platform.h (how the
// library meets the device and the runtimes): libdgfile and dgfile-doctor
// both link it, so the doctor shows exactly what the library will use
// without linking the library's insides.  Callers: the log's set-up, the
// device connection and file registration, the statistics, the unit tests,
// dgfile-doctor.  Reading prints nothing and changes no state; only
// string_to_int prints.  No lock of its own: any thread, while no other
// thread changes the environment.  Internal to the library (hidden, not
// exported).
#pragma once

#include <cstddef>
#include <ctime>
#include <map>
#include <string>

// ---- Settings file parser ----------------------------------------------------
// An INI dialect: "[section]" headers, "key = value" lines, ";" comments in
// first position; only the space counts as a blank.  Built, queried and
// destroyed within one reading of the settings.
class INIParser {
public:
    explicit INIParser(const std::string& filename);

    // The value, or an empty string when the section or the key is absent.
    std::string getValue(const std::string& section, const std::string& key) const;

    // Whether the section has the key, whatever its value (empty included).
    bool hasValue(const std::string& section, const std::string& key) const;

    // Strips spaces (only spaces) from both ends, in place.
    static void trim(std::string& text);

private:
    void parse();

    std::string filename;
    std::map<std::string, std::map<std::string, std::string>> data;
};

// ---- Numeric settings -------------------------------------------------------------
// Base-10 conversion of a numeric setting; yields 0 for anything that is not
// a usable int.  `message` receives the diagnosis (lines ending in "\n"; empty
// when there is none): no digits, overflow of a long, trailing text, out of
// the int range.  A null str reads as "".
int convert_setting_int(const char* str, std::string* message);

// The same, printing the diagnosis on standard output.
int string_to_int(const char* str);

// ---- The debug log's settings --------------------------------------------------------

// The settings file: fixed, no environment variable or call changes it.
inline constexpr const char* kSettingsFile = "/opt/tavo/etc/dgfile.ini";

// The log's levels; a record is written when its level is at most the one
// configured.
enum dgfileDebugLogLevel {
    DGFILE_LOG_NONE = 0,
    DGFILE_LOG_WARN = 1,
    DGFILE_LOG_INFO = 2,
    DGFILE_LOG_DEBUG = 3,
};

// "NONE", "WARN", "INFO", "DEBUG" for the levels 0 to 3; null otherwise.
const char* log_level_name(int level);

// The keys the log reads from section "global" of the settings file.
inline constexpr const char* kLogSettingKeys[] = {"log_level",     "log_dir",
                                                  "log_file_format", "max_file_size",
                                                  "max_files",     "print_to_console"};

// A numeric setting as the log takes it.  An absent key is not converted:
// it takes the default and prints nothing.  A key given with an empty value
// is converted like any other text, and so prints "Wrong string: ".
struct NumericSetting {
    std::string text;     // the value in the settings file; empty when absent
    int converted = 0;    // its conversion: 0 when it is no usable number
    int value = 0;        // what the log uses: converted, or the default for 0
    std::string message;  // what the conversion prints, or empty
};

// What "$HOME" in log_dir became.
enum class HomeUse {
    none,      // log_dir does not contain "$HOME"
    replaced,  // its first "$HOME" was replaced by HOME
    unset,     // HOME is not set: no directory
    empty,     // HOME is empty: no directory
};

// Every value the log's set-up uses, as this process would read it now.
struct LogSettings {
    const char* file = nullptr;  // the settings file read: kSettingsFile
    int keys_given = 0;          // keys of kLogSettingKeys with a nonempty value

    // The level: DGFILE_DEBUG whenever it is set (even empty), else
    // log_level; a name compared without regard to case; any other name is
    // NONE.
    bool level_from_environment = false;
    std::string level_setting;  // log_level in the file, used or not
    std::string level_name;     // the name the level comes from
    bool level_known = false;   // level_name is one of the four names
    int level = 0;              // 0 to 3

    NumericSetting max_file_size;  // KiB per log file; 0 becomes 10000
    NumericSetting max_files;      // log files kept; 0 becomes 3

    std::string console_setting;   // print_to_console
    bool print_to_console = true;  // off only for "false", any case

    std::string dir_setting;  // log_dir as written; empty: no log file
    // dir_setting ending in "/", with its first "$HOME" replaced by HOME;
    // empty when dir_setting is, or when HOME is needed but unset or empty.
    std::string dir;
    HomeUse home = HomeUse::none;

    std::string file_format;  // log_file_format

    // What the set-up prints on standard output as it takes these values
    // (only at a level above NONE): the numeric settings' messages, in order.
    std::string messages() const { return max_file_size.message + max_files.message; }
};

// Reads the environment and the settings file afresh.
LogSettings read_log_settings();

// ---- Environment switches --------------------------------------------------------------
inline constexpr const char* kDisableDirectPath = "DGFILE_DISABLE_GDS";
inline constexpr const char* kDisableCpuFallback = "DGFILE_DISABLE_CPU";

// Whether the switch `name` is on: set to exactly "YES" ("yes", "YES " and
// the like leave it off).  Read afresh at every call.
bool env_switch_on(const char* name);

// ---- Transfer statistics ------------------------------------------------------------------
inline constexpr const char* kStatsDestination = "DGFILE_STATS";
inline constexpr const char* kStatsFormat = "DGFILE_STATS_FORMAT";

// DGFILE_STATS and DGFILE_STATS_FORMAT as this process would read them now.
// Statistics are collected when DGFILE_STATS is set and not empty, the
// format is unset, empty, "text" or "json", and the destination is "stderr"
// or a path template: "%p" stands for the process id, "%%" for "%", no other
// "%" directive, shorter than 4096 characters.
struct StatsSettings {
    bool destination_set = false;
    std::string destination;        // DGFILE_STATS
    bool destination_valid = false;  // "stderr" or a usable path template
    bool format_set = false;
    std::string format;         // DGFILE_STATS_FORMAT
    bool format_valid = false;  // unset, empty, "text" or "json"

    bool collect = false;    // statistics are collected
    bool to_stderr = false;  // the summary goes to standard error, else to a file
    bool json = false;       // a JSON object, else the text table
    // Why nothing is collected although DGFILE_STATS asks for statistics: the
    // line the library prints on standard error; empty otherwise.
    std::string message;
};

StatsSettings read_stats_settings();

// The summary file of process `pid`: `path_template` with "%p" replaced by
// the process id and "%%" by "%".
std::string expand_stats_path(const std::string& path_template, int pid);

// ---- The log file's path -----------------------------------------------------------

// Mode of the log directory the set-up creates (only its last component).
inline constexpr unsigned kLogDirMode = 0755;

// The longest log file path the log takes; a longer one opens no log file.
inline constexpr std::size_t kLongestLogPath = 511;

// The host name cut at the first `delim`, always NUL-terminated within maxlen;
// "unknown" when the system cannot tell.
void getHostName(char* hostname, int maxlen, const char delim);

// The log file path rule: dir + "dgfile" + one piece per directive of
// format (%p ".<pid>", %t ".<local time>", %h "<host>") + ".log"; any other
// text of format adds nothing.  Pure.
std::string format_log_filepath(const std::string& dir, const std::string& format,
                                int pid, const char* host, time_t now);
