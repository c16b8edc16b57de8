// SPDX-License-Identifier: Apache-2.0
#include "settings.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

namespace {

constexpr const char* kSection = "global";
constexpr const char* kLevelNames[] = {"NONE", "WARN", "INFO", "DEBUG"};
constexpr int kDefaultMaxFileSize = 10000;  // KiB
constexpr int kDefaultMaxFiles = 3;

NumericSetting numeric(const INIParser& ini, const char* key, int fallback) {
    NumericSetting n;
    n.value = fallback;
    if (!ini.hasValue(kSection, key)) return n;  // the default, silently
    n.text = ini.getValue(kSection, key);
    n.converted = convert_setting_int(n.text.c_str(), &n.message);
    n.value = n.converted == 0 ? fallback : n.converted;
    return n;
}

// log_dir: "/" appended first, then the first "$HOME" (case-sensitive,
// anywhere) replaced; HOME unset counts like HOME empty.
void resolve_dir(LogSettings& s) {
    if (s.dir_setting.empty()) return;
    std::string dir = s.dir_setting;
    if (dir.back() != '/') dir += '/';
    const std::string::size_type home_at = dir.find("$HOME");
    if (home_at != std::string::npos) {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            s.home = home == nullptr ? HomeUse::unset : HomeUse::empty;
            return;
        }
        s.home = HomeUse::replaced;
        dir.replace(home_at, 5, home);
    }
    s.dir = dir;
}

}  // namespace

// ---- Settings file parser -------------------------------------------------------------

INIParser::INIParser(const std::string& filename_) : filename(filename_) { parse(); }

std::string INIParser::getValue(const std::string& section, const std::string& key) const {
    auto s = data.find(section);
    if (s == data.end()) return std::string();
    auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}

bool INIParser::hasValue(const std::string& section, const std::string& key) const {
    auto s = data.find(section);
    return s != data.end() && s->second.count(key) != 0;
}

void INIParser::trim(std::string& text) {
    std::string::size_type first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, first);
}

// A missing or unreadable file yields no settings, silently.  Only "\n" ends
// a line, so a file with "\r\n" line ends keeps a "\r" on every header and
// thus has no recognised section.
void INIParser::parse() {
    std::ifstream in(filename);
    std::string section;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        trim(line);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        if (section.empty() || line.empty() || line.front() == ';') continue;
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        trim(key);
        trim(value);
        data[section][key] = value;  // a repeated key: the later line wins
    }
}

// ---- Numeric settings ---------------------------------------------------------------------

int convert_setting_int(const char* str, std::string* message) {
    if (str == nullptr) str = "";
    message->clear();
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(str, &end, 10);
    if (end == str) {
        *message = std::string("Wrong string: ") + str + "\n";
        return 0;
    }
    if (errno == ERANGE) {
        if (value == LONG_MAX || value == LONG_MIN)
            *message = std::string("Wrong: Numerical overflow '") + str + "'\n";
        return 0;
    }
    if (*end != '\0')
        *message = std::string("Warning: contains additional non numeric characters '") + str +
                   "' -> '" + end + "'\n";
    if (value < INT_MIN || value > INT_MAX) {
        *message += std::string("wrong: Exceeding Int range '") + str + "'\n";
        return 0;
    }
    return static_cast<int>(value);
}

int string_to_int(const char* str) {
    std::string message;
    const int value = convert_setting_int(str, &message);
    std::fputs(message.c_str(), stdout);
    return value;
}

// ---- The debug log's settings --------------------------------------------------------------

const char* log_level_name(int level) {
    return level >= 0 && level < static_cast<int>(std::size(kLevelNames)) ? kLevelNames[level]
                                                                           : nullptr;
}

LogSettings read_log_settings() {
    LogSettings s;
    s.file = kSettingsFile;
    const INIParser ini(s.file);
    for (const char* key : kLogSettingKeys) s.keys_given += !ini.getValue(kSection, key).empty();

    // Set but empty counts as set (and so means NONE): the variable wins over
    // the settings file whenever it exists.
    const char* env_level = std::getenv("DGFILE_DEBUG");
    s.level_from_environment = env_level != nullptr;
    s.level_setting = ini.getValue(kSection, "log_level");
    s.level_name = env_level != nullptr ? std::string(env_level) : s.level_setting;
    for (int level = 0; level < static_cast<int>(std::size(kLevelNames)); ++level) {
        if (::strcasecmp(s.level_name.c_str(), kLevelNames[level]) == 0) {
            s.level_known = true;
            s.level = level;
        }
    }

    s.max_file_size = numeric(ini, "max_file_size", kDefaultMaxFileSize);
    s.max_files = numeric(ini, "max_files", kDefaultMaxFiles);

    s.console_setting = ini.getValue(kSection, "print_to_console");
    s.print_to_console = ::strcasecmp(s.console_setting.c_str(), "false") != 0;

    s.dir_setting = ini.getValue(kSection, "log_dir");
    resolve_dir(s);
    s.file_format = ini.getValue(kSection, "log_file_format");
    return s;
}

// ---- Environment switches -------------------------------------------------------------------

bool env_switch_on(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "YES") == 0;
}

// ---- Transfer statistics ---------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxStatsTemplate = 4095;

// Whether `text` is a usable path template: "%p" (the process id) and "%%"
// are the only directives.
bool valid_template(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (i + 1 == text.size() || (text[i + 1] != 'p' && text[i + 1] != '%')) return false;
        ++i;
    }
    return true;
}

}  // namespace

StatsSettings read_stats_settings() {
    StatsSettings s;
    const char* where = std::getenv(kStatsDestination);
    const char* how = std::getenv(kStatsFormat);
    s.destination_set = where != nullptr;
    s.destination = where != nullptr ? where : "";
    s.destination_valid = s.destination == "stderr" ||
                          (!s.destination.empty() && s.destination.size() <= kMaxStatsTemplate &&
                           valid_template(s.destination));
    s.format_set = how != nullptr;
    s.format = how != nullptr ? how : "";
    s.format_valid = s.format.empty() || s.format == "text" || s.format == "json";
    // Unset or empty: off, whatever the format says.  The format is judged
    // first, and only one message is printed.
    if (s.destination.empty()) return s;
    if (!s.format_valid) {
        s.message = "dgfile: DGFILE_STATS_FORMAT must be \"text\" or \"json\", not \"" +
                    s.format + "\": no statistics are collected\n";
    } else if (!s.destination_valid) {
        s.message = "dgfile: DGFILE_STATS must be \"stderr\" or a file path (\"%p\" stands for "
                    "the process id, \"%%\" for \"%\"), not \"" +
                    s.destination + "\": no statistics are collected\n";
    } else {
        s.collect = true;
        s.to_stderr = s.destination == "stderr";
        s.json = s.format == "json";
    }
    return s;
}

std::string expand_stats_path(const std::string& path_template, int pid) {
    std::string path;
    for (std::size_t i = 0; i < path_template.size(); ++i) {
        const char next = i + 1 < path_template.size() ? path_template[i + 1] : '\0';
        if (path_template[i] == '%' && (next == 'p' || next == '%')) {
            path += next == 'p' ? std::to_string(pid) : "%";
            ++i;
        } else {
            path += path_template[i];
        }
    }
    return path;
}

// ---- The log file's path ------------------------------------------------------------

void getHostName(char* name, int maxlen, const char delim) {
    if (name == nullptr || maxlen <= 0) return;
    if (::gethostname(name, static_cast<size_t>(maxlen)) != 0) {
        std::strncpy(name, "unknown", static_cast<size_t>(maxlen));
        name[maxlen - 1] = '\0';  // strncpy does not terminate a cut copy
        return;
    }
    int i = 0;
    while (i < maxlen - 1 && name[i] != delim && name[i] != '\0') ++i;
    name[i] = '\0';
}

std::string format_log_filepath(const std::string& dir, const std::string& format,
                                int process_id, const char* host, time_t now) {
    std::string path = dir + "dgfile";
    for (std::string::size_type i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) continue;
        switch (format[i + 1]) {
        case 'p':
            // Appended in two steps: GCC 12 at -O3 takes "." + std::string
            // for an overlapping copy (-Wrestrict, a false positive).
            path += '.';
            path += std::to_string(process_id);
            ++i;
            break;
        case 't': {
            char stamp[64];
            struct tm local;
            if (::localtime_r(&now, &local) != nullptr &&
                std::strftime(stamp, sizeof stamp, ".%Y_%m_%d_%H_%M_%S", &local) > 0)
                path += stamp;
            ++i;
            break;
        }
        case 'h':
            if (host != nullptr) path += host;
            ++i;
            break;
        default:
            // Any other character after "%" (a second "%" included) starts
            // nothing and is looked at again on its own: "%%p" is "%p".
            break;
        }
    }
    return path + ".log";
}
