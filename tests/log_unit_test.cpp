// SPDX-License-Identifier: Apache-2.0
// The debug log's internal units: the settings parser, the numeric
// conversion, the settings record and the environment switches, the log file
// path rule, directory creation and the queue, linked from the object
// library; and the emitter's record formats, which the shipped library (all
// of whose records are DEBUG) cannot show, in sandboxed children.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "support/run.h"
#include "support/scratch.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

using support::Sandboxed;
using support::ScratchDir;

// ---- Settings parser ------------------------------------------------------------

class IniParser : public ::testing::Test {
protected:
    INIParser Parse(const std::string& text) {
        std::string file = dir_.path() + "/dgfile.ini";
        sandbox::WriteFile(file, text);
        return INIParser(file);
    }
    ScratchDir dir_;
};

TEST_F(IniParser, SectionsKeysAndValues) {
    INIParser ini = Parse(
        "log_level=INFO\n"             // before any section: ignored
        "[global]\n"
        "  log_level  =  DEBUG  \n"    // blanks around key and value
        "; commented = 1\n"
        "# hash = 2\n"                 // "#" is no comment mark
        "a=b=c\n"
        "empty=\n"
        "blank =    \n"
        "\tindented = 3\n"             // a tab is not a blank
        "no equal sign\n"
        "\n"
        "     \n"
        "max_files = 4\n"
        "max_files = 5\n"              // the later line wins
        "[ global ]\n"
        "spaced = 6\n"
        "[other]\n"
        "log_level = WARN\n"
        "[global]\n"                   // continues the first global section
        "later = 7\n"
        "[]\n"
        "after_empty_header = 8\n"
        "   [other]   \n"
        "last = without newline");
    EXPECT_EQ(ini.getValue("global", "log_level"), "DEBUG");
    EXPECT_EQ(ini.getValue("global", "; commented"), "");
    EXPECT_EQ(ini.getValue("global", "commented"), "");
    EXPECT_EQ(ini.getValue("global", "# hash"), "2");
    EXPECT_EQ(ini.getValue("global", "a"), "b=c");
    EXPECT_EQ(ini.getValue("global", "empty"), "");
    EXPECT_EQ(ini.getValue("global", "blank"), "");
    EXPECT_EQ(ini.getValue("global", "\tindented"), "3");
    EXPECT_EQ(ini.getValue("global", "indented"), "");
    EXPECT_EQ(ini.getValue("global", "no equal sign"), "");
    EXPECT_EQ(ini.getValue("global", "max_files"), "5");
    EXPECT_EQ(ini.getValue("global", "spaced"), "");
    EXPECT_EQ(ini.getValue(" global ", "spaced"), "6");
    EXPECT_EQ(ini.getValue("other", "log_level"), "WARN");
    EXPECT_EQ(ini.getValue("global", "later"), "7");
    EXPECT_EQ(ini.getValue("", "after_empty_header"), "");
    EXPECT_EQ(ini.getValue("global", "after_empty_header"), "");
    EXPECT_EQ(ini.getValue("other", "last"), "without newline");
    EXPECT_EQ(ini.getValue("missing", "log_level"), "");
    EXPECT_EQ(ini.getValue("GLOBAL", "log_level"), "");  // names are case-sensitive
    EXPECT_EQ(ini.getValue("global", "LOG_LEVEL"), "");
}

TEST_F(IniParser, CarriageReturnLineEndsYieldNoSettings) {
    INIParser ini = Parse("[global]\r\nlog_level = DEBUG\r\nlog_dir = /tmp\r\n");
    EXPECT_EQ(ini.getValue("global", "log_level"), "");
    EXPECT_EQ(ini.getValue("global", "log_dir"), "");
    EXPECT_EQ(ini.getValue("global\r", "log_level"), "");
}

TEST_F(IniParser, MissingOrUnreadableFileYieldsNothingSilently) {
    CaptureStdout();
    INIParser missing(dir_.path() + "/absent.ini");
    INIParser directory(dir_.path());
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(missing.getValue("global", "log_level"), "");
    EXPECT_EQ(directory.getValue("global", "log_level"), "");
}

TEST(IniTrim, StripsOnlySpaces) {
    std::string text = "  \tvalue\r  ";
    INIParser::trim(text);
    EXPECT_EQ(text, "\tvalue\r");
    text = "     ";
    INIParser::trim(text);
    EXPECT_EQ(text, "");
    text = "a b";
    INIParser::trim(text);
    EXPECT_EQ(text, "a b");
}

// ---- Numeric conversion -----------------------------------------------------------

struct Conversion {
    const char* input;
    int value;
    std::string printed;
};

TEST(StringToInt, ValuesAndMessages) {
    const Conversion cases[] = {
        {"42", 42, ""},
        {"-17", -17, ""},
        {"  +8", 8, ""},
        {"2147483647", INT_MAX, ""},
        {"-2147483648", INT_MIN, ""},
        {"", 0, "Wrong string: \n"},
        {"KB", 0, "Wrong string: KB\n"},
        {"  ", 0, "Wrong string:   \n"},
        {"100KB", 100,
         "Warning: contains additional non numeric characters '100KB' -> 'KB'\n"},
        {"12 ", 12, "Warning: contains additional non numeric characters '12 ' -> ' '\n"},
        {"2147483648", 0, "wrong: Exceeding Int range '2147483648'\n"},
        {"-2147483649", 0, "wrong: Exceeding Int range '-2147483649'\n"},
        {"4294967296x", 0,
         "Warning: contains additional non numeric characters '4294967296x' -> 'x'\n"
         "wrong: Exceeding Int range '4294967296x'\n"},
        {"99999999999999999999", 0, "Wrong: Numerical overflow '99999999999999999999'\n"},
        {"-99999999999999999999", 0, "Wrong: Numerical overflow '-99999999999999999999'\n"},
    };
    for (const Conversion& c : cases) {
        CaptureStdout();
        int value = string_to_int(c.input);
        EXPECT_EQ(GetCapturedStdout(), c.printed) << "input '" << c.input << "'";
        EXPECT_EQ(value, c.value) << "input '" << c.input << "'";
    }
    CaptureStdout();
    EXPECT_EQ(string_to_int(nullptr), 0);
    EXPECT_EQ(GetCapturedStdout(), "Wrong string: \n");
}

// ---- Log file path rule -------------------------------------------------------------

time_t LocalTime(int year, int mon, int day, int hour, int min, int sec) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(LogFilePath, DirectivesInOrderAndNothingElse) {
    const time_t when = LocalTime(2025, 1, 31, 23, 59, 7);
    const struct {
        const char* format;
        const char* path;
    } cases[] = {
        {"%p", "/d/dgfile.4242.log"},
        {"%h", "/d/dgfilegpu7.log"},
        {"%p%h", "/d/dgfile.4242gpu7.log"},
        {"%t", "/d/dgfile.2025_01_31_23_59_07.log"},
        {"%h%t%p", "/d/dgfilegpu7.2025_01_31_23_59_07.4242.log"},
        {"%x", "/d/dgfile.log"},
        {"abc", "/d/dgfile.log"},
        {"%", "/d/dgfile.log"},
        {"", "/d/dgfile.log"},
        {"%%p", "/d/dgfile.4242.log"},
        {"log-%p-of-%h.txt", "/d/dgfile.4242gpu7.log"},
        {"%p%", "/d/dgfile.4242.log"},
        {"%pp%hh", "/d/dgfile.4242gpu7.log"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_log_filepath("/d/", c.format, 4242, "gpu7", when), c.path)
            << "format '" << c.format << "'";
    EXPECT_EQ(format_log_filepath("", "%p", 7, "h", when), "dgfile.7.log");
}

// The entry made for the log's own settings; a path over 511 characters is
// refused rather than cut.
TEST(LogFilePath, EntryRefusesPathThatDoesNotFit) {
    dgfileDebugLock.lock();
    const std::string saved_dir = dgfileDefaultDebugFileDir;
    const std::string saved_format = dgfileDefaultDebugFileFormat;
    dgfileDefaultDebugFileFormat = "";

    // "dgfile.log" is 10 characters: a 501-character directory fills 511.
    dgfileDefaultDebugFileDir = "/" + std::string(499, 'd') + "/";
    LogFileInfo* fits = create_new_log_file();
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(std::strlen(fits->fullpath), 511u);
    EXPECT_EQ(std::string(fits->fullpath), dgfileDefaultDebugFileDir + "dgfile.log");
    EXPECT_EQ(fits->next, nullptr);
    delete fits;

    dgfileDefaultDebugFileDir = "/" + std::string(500, 'd') + "/";
    EXPECT_EQ(create_new_log_file(), nullptr);

    dgfileDefaultDebugFileDir = saved_dir;
    dgfileDefaultDebugFileFormat = saved_format;
    dgfileDebugLock.unlock();
}

// ---- Directory creation ---------------------------------------------------------------

TEST(CreateDir, OneLevelOnlyWithMode0755) {
    ScratchDir base;
    mode_t old_mask = ::umask(0);  // so that the mode seen is the one asked for
    EXPECT_FALSE(create_dir(""));

    std::string logs = base.path() + "/logs/";
    EXPECT_TRUE(create_dir(logs));
    struct stat st;
    ASSERT_EQ(::stat(logs.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_TRUE(create_dir(logs));   // exists already
    EXPECT_FALSE(mkdir_(logs));      // the raw call does fail on it

    std::string nested = base.path() + "/a/b/";
    EXPECT_FALSE(create_dir(nested));
    EXPECT_FALSE(path_exists(base.path() + "/a"));

    std::string file = base.path() + "/plain";
    sandbox::WriteFile(file, "x");
    EXPECT_TRUE(path_exists(file));
    EXPECT_TRUE(create_dir(file));   // exists, whatever kind of file it is
    ::umask(old_mask);
}

// ---- Queue -------------------------------------------------------------------------------

TEST(LogQueuePush, RefusesNullAndEndsTheQueueAtTheNewest) {
    LogQueue queue;
    LogFileInfo a{}, b{}, c{};
    EXPECT_FALSE(queue_push(nullptr, &a));
    EXPECT_FALSE(queue_push(&queue, nullptr));
    c.next = &a;  // a stale link must not survive the push
    for (LogFileInfo* entry : {&a, &b, &c}) ASSERT_TRUE(queue_push(&queue, entry));
    std::vector<LogFileInfo*> oldest_first;
    for (LogFileInfo* e = queue.front; e != nullptr && oldest_first.size() < 4; e = e->next)
        oldest_first.push_back(e);
    EXPECT_EQ(oldest_first, (std::vector<LogFileInfo*>{&a, &b, &c}));
    EXPECT_EQ(queue.count, 3);
}

// ---- Host name (sandboxed: the child has its own host name) -----------------------------

TEST(HostName, CutAtTheDelimiterAndAlwaysTerminated) {
    sandbox::Options o;
    o.hostname = "gpu7.rack2.example";
    Sandboxed(o, [] {
        char name[1024];
        std::memset(name, 'z', sizeof name);
        getHostName(name, sizeof name, '.');
        EXPECT_STREQ(name, "gpu7");
        getHostName(name, sizeof name, '2');
        EXPECT_STREQ(name, "gpu7.rack");
        // Too small for the name: the system refuses and "unknown" is cut to
        // fit, still terminated.
        std::memset(name, 'z', sizeof name);
        getHostName(name, 3, '.');
        EXPECT_STREQ(name, "un");
    });
}

// ---- Emitter formats (sandboxed: the set-up reads the fixed settings path) ------------

constexpr const char* kLogFile = "/opt/tavo/etc/log/dgfile.log";

std::string Settings(const std::string& level, const std::string& extra = "") {
    return "[global]\nlog_level = " + level +
           "\nlog_dir = /opt/tavo/etc/log\nmax_file_size = 100\nmax_files = 2\n"
           "print_to_console = false\n" + extra;
}

int ThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

TEST(Emitter, WarnAndInfoPrefixesAndLevelFilter) {
    sandbox::Options o;
    o.hostname = "gpu7.rack2";
    o.settings = Settings("info");
    auto r = Sandboxed(o, [] {
        dgfileDebugLog(DGFILE_LOG_WARN, "wfunc", 11, "w %d", 1);
        dgfileDebugLog(DGFILE_LOG_INFO, "ifunc", 22, "i %s", "x");
        dgfileDebugLog(DGFILE_LOG_DEBUG, "dfunc", 33, "dropped");
        dgfileDebugLog(DGFILE_LOG_NONE, "nfunc", 44, "dropped");
        dgfileDebugLog(static_cast<dgfileDebugLogLevel>(4), "xfunc", 55, "dropped");
        std::string ids = std::to_string(::getpid()) + ":" + std::to_string(ThreadId());
        EXPECT_EQ(sandbox::ReadFile(kLogFile),
                  "\ngpu7:" + ids + " wfunc:11 [DGFILE WARN] w 1\n"
                  "gpu7:" + ids + " [DGFILE INFO]  (ifunc:22) i x\n");
        EXPECT_STREQ(dgfileLastError, "w 1");
        EXPECT_EQ(dgfileDebugLevel.load(), DGFILE_LOG_INFO);
    });
    EXPECT_EQ(r.out, "");  // console copy off
}

TEST(Emitter, RecordIsCutAt1024BytesEndingInANewline) {
    sandbox::Options o;
    o.hostname = "h";
    o.settings = Settings("DEBUG");
    Sandboxed(o, [] {
        std::string prefix = "h:" + std::to_string(::getpid()) + ":" +
                             std::to_string(ThreadId()) + " [DGFILE DEBUG] (f:1) ";
        const size_t room = 1023 - prefix.size();
        std::string fits(room, 'a');        // text of exactly 1023 bytes
        std::string short_one(room - 1, 'b');
        std::string too_long(3000, 'c');
        dgfileDebugLog(DGFILE_LOG_DEBUG, "f", 1, "%s", fits.c_str());
        dgfileDebugLog(DGFILE_LOG_DEBUG, "f", 1, "%s", short_one.c_str());
        dgfileDebugLog(DGFILE_LOG_DEBUG, "f", 1, "%s", too_long.c_str());
        dgfileDebugLog(DGFILE_LOG_DEBUG, "f", 1, "after");
        std::string expected = prefix + fits + "\n" + prefix + short_one + "\n" + prefix +
                               too_long.substr(0, room) + "\n" + prefix + "after\n";
        std::string got = sandbox::ReadFile(kLogFile);
        EXPECT_EQ(got.size(), 1024u + 1023u + 1024u + prefix.size() + 6);
        EXPECT_EQ(got, expected);
    });
}

TEST(Emitter, WarnWhileSilentKeepsLastErrorAndWritesNothing) {
    sandbox::Options o;  // no settings file, no DGFILE_DEBUG: Silent
    auto r = Sandboxed(o, [] {
        dgfileDebugLog(DGFILE_LOG_WARN, "f", 1, "first %d", 1);
        dgfileDebugLog(DGFILE_LOG_INFO, "f", 2, "not a warning");
        EXPECT_STREQ(dgfileLastError, "first 1");
        std::string huge(2000, 'w');
        dgfileDebugLog(DGFILE_LOG_WARN, "f", 3, "%s", huge.c_str());
        EXPECT_EQ(std::string(dgfileLastError), huge.substr(0, 1023));
        EXPECT_EQ(dgfileDebugLevel.load(), DGFILE_LOG_NONE);
        EXPECT_FALSE(path_exists("/opt/tavo/etc/log"));
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(SetUp, NumericSettingsAndTheir64BitLimit) {
    const struct {
        const char* size;
        const char* files;
        int64_t bytes;
        int kept;
        const char* printed;
    } cases[] = {
        {"4194304", "5", int64_t{4194304} * 1024, 5, ""},
        {"2097152", "1", int64_t{2147483648}, 1, ""},
        {"100KB", "0", 102400, 3,
         "Warning: contains additional non numeric characters '100KB' -> 'KB'\n"},
        {"-3", "-1", -3072, -1, ""},
        {"0", "x", 10240000, 3, "Wrong string: x\n"},
        {"3000000000", "7", 10240000, 7, "wrong: Exceeding Int range '3000000000'\n"},
    };
    for (const auto& c : cases) {
        sandbox::Options o;
        o.settings = std::string("[global]\nlog_level = WARN\nlog_dir = /opt/tavo/etc/log\n") +
                     "max_file_size = " + c.size + "\nmax_files = " + c.files + "\n";
        auto r = Sandboxed(o, [&c] {
            dgfileDebugLog(DGFILE_LOG_DEBUG, "f", 1, "set up");
            EXPECT_EQ(max_file_size_bytes, c.bytes) << c.size;
            EXPECT_EQ(max_files_num, c.kept) << c.files;
        });
        EXPECT_EQ(r.out, c.printed) << c.size << " / " << c.files;
    }
    // Both keys absent: the defaults, silently; a key given empty is a
    // string that does not convert.
    for (const char* empty_key : {"", "max_files =\n"}) {
        sandbox::Options o;
        o.settings = std::string("[global]\nlog_level = WARN\nlog_dir = /opt/tavo/etc/log\n") +
                     empty_key;
        auto r = Sandboxed(o, [] {
            dgfileDebugLog(DGFILE_LOG_DEBUG, "f", 1, "set up");
            EXPECT_EQ(max_file_size, 10000);
            EXPECT_EQ(max_file_size_bytes, 10240000);
            EXPECT_EQ(max_files_num, 3);
        });
        EXPECT_EQ(r.out, *empty_key ? "Wrong string: \n" : "") << empty_key;
    }
}

// ---- The settings as one record ---------------------------------------------------

TEST(SettingsReader, ConvertsWithoutPrintingWhatStringToIntPrints) {
    for (const char* input : {"42", "", "100KB", "4294967296x", "99999999999999999999"}) {
        std::string message = "stale";
        CaptureStdout();
        const int quiet = convert_setting_int(input, &message);
        EXPECT_EQ(GetCapturedStdout(), "") << input;
        CaptureStdout();
        const int loud = string_to_int(input);
        EXPECT_EQ(GetCapturedStdout(), message) << input;
        EXPECT_EQ(quiet, loud) << input;
    }
}

// The record holds what the set-up then uses, and the set-up prints exactly
// the record's messages; reading alone prints nothing.
TEST(SettingsReader, RecordIsWhatTheSetUpUsesAndPrints) {
    sandbox::Options o;
    o.settings = "[global]\nlog_level = info\nmax_file_size = 100KB\nmax_files = abc\n"
                 "print_to_console = FALSE\nlog_dir = $HOME/logs\nlog_file_format = %p\n";
    o.env = {{"HOME", "/opt/tavo/home"}};
    auto r = Sandboxed(o, [] {
        ASSERT_EQ(::mkdir("/opt/tavo/home", 0755), 0);
        const LogSettings s = read_log_settings();
        std::fflush(stdout);
        EXPECT_STREQ(s.file, "/opt/tavo/etc/dgfile.ini");
        EXPECT_EQ(s.keys_given, 6);
        EXPECT_FALSE(s.level_from_environment);
        EXPECT_EQ(s.level_name, "info");
        EXPECT_TRUE(s.level_known);
        EXPECT_EQ(s.level, DGFILE_LOG_INFO);
        EXPECT_EQ(s.max_file_size.text, "100KB");
        EXPECT_EQ(s.max_file_size.converted, 100);
        EXPECT_EQ(s.max_file_size.value, 100);
        EXPECT_EQ(s.max_files.converted, 0);
        EXPECT_EQ(s.max_files.value, 3);
        EXPECT_EQ(s.max_files.message, "Wrong string: abc\n");
        EXPECT_FALSE(s.print_to_console);
        EXPECT_EQ(s.home, HomeUse::replaced);
        EXPECT_EQ(s.dir, "/opt/tavo/home/logs/");
        EXPECT_EQ(s.file_format, "%p");
        std::printf("--\n");
        std::fflush(stdout);

        dgfileDebugLog(DGFILE_LOG_INFO, "f", 1, "set up");
        std::fflush(stdout);
        EXPECT_EQ(dgfileDebugLevel.load(), DGFILE_LOG_INFO);
        EXPECT_EQ(max_file_size, s.max_file_size.value);
        EXPECT_EQ(max_files_num, s.max_files.value);
        EXPECT_EQ(dgfile_print_to_console, s.print_to_console);
        EXPECT_EQ(dgfileDefaultDebugFileDir, s.dir);
        EXPECT_EQ(dgfileDefaultDebugFileFormat, s.file_format);
        std::printf("--\n%s", s.messages().c_str());
    });
    // Nothing before the first mark; the set-up's output equals the messages.
    const std::string set_up_and_expected = r.out.substr(r.out.find("--\n") + 3);
    const std::string::size_type mark = set_up_and_expected.find("--\n");
    ASSERT_NE(mark, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("--\n"), 0u) << r.out;
    EXPECT_EQ(set_up_and_expected.substr(0, mark), set_up_and_expected.substr(mark + 3));
    EXPECT_EQ(set_up_and_expected.substr(0, mark),
              "Warning: contains additional non numeric characters '100KB' -> 'KB'\n"
              "Wrong string: abc\n");
}

TEST(SettingsReader, LevelSourcesHomeAndDefaults) {
    struct Case {
        const char* settings;
        std::vector<std::pair<std::string, std::optional<std::string>>> env;
        std::function<void(const LogSettings&)> check;
    };
    const Case cases[] = {
        // DGFILE_DEBUG set but empty wins over log_level and means NONE.
        {"[global]\nlog_level = DEBUG\n",
         {{"DGFILE_DEBUG", ""}},
         [](const LogSettings& s) {
             EXPECT_TRUE(s.level_from_environment);
             EXPECT_EQ(s.level_setting, "DEBUG");
             EXPECT_EQ(s.level_name, "");
             EXPECT_FALSE(s.level_known);
             EXPECT_EQ(s.level, DGFILE_LOG_NONE);
             EXPECT_EQ(s.keys_given, 1);
         }},
        // A lower-case name from the variable; no file at all: defaults.
        {nullptr,
         {{"DGFILE_DEBUG", "debug"}},
         [](const LogSettings& s) {
             EXPECT_EQ(s.level, DGFILE_LOG_DEBUG);
             EXPECT_TRUE(s.level_known);
             EXPECT_EQ(s.keys_given, 0);
             EXPECT_EQ(s.max_file_size.value, 10000);
             EXPECT_EQ(s.max_file_size.message, "");
             EXPECT_EQ(s.max_files.value, 3);
             EXPECT_TRUE(s.print_to_console);
             EXPECT_EQ(s.dir_setting, "");
             EXPECT_EQ(s.dir, "");
             EXPECT_EQ(s.home, HomeUse::none);
         }},
        // An unknown name is NONE; "/" is appended; a negative count stays.
        {"[global]\nlog_level = verbose\nlog_dir = /var/log/x\nmax_files = -1\n"
         "print_to_console = off\n",
         {},
         [](const LogSettings& s) {
             EXPECT_FALSE(s.level_known);
             EXPECT_EQ(s.level, DGFILE_LOG_NONE);
             EXPECT_EQ(s.dir, "/var/log/x/");
             EXPECT_EQ(s.max_files.value, -1);
             EXPECT_EQ(s.max_files.message, "");
             EXPECT_TRUE(s.print_to_console);
         }},
        // Only the first "$HOME" is replaced, after "/" is appended.
        {"[global]\nlog_dir = $HOME/a$HOME\n",
         {{"HOME", "/h"}},
         [](const LogSettings& s) {
             EXPECT_EQ(s.home, HomeUse::replaced);
             EXPECT_EQ(s.dir, "/h/a$HOME/");
         }},
        {"[global]\nlog_dir = $HOME/logs\n",
         {{"HOME", std::nullopt}},
         [](const LogSettings& s) {
             EXPECT_EQ(s.home, HomeUse::unset);
             EXPECT_EQ(s.dir, "");
             EXPECT_EQ(s.dir_setting, "$HOME/logs");
         }},
        {"[global]\nlog_dir = $HOME/logs\n",
         {{"HOME", ""}},
         [](const LogSettings& s) {
             EXPECT_EQ(s.home, HomeUse::empty);
             EXPECT_EQ(s.dir, "");
         }},
    };
    for (const Case& c : cases) {
        sandbox::Options o;
        if (c.settings != nullptr) o.settings = c.settings;
        o.env = c.env;
        auto r = sandbox::Run(o, [&c] { c.check(read_log_settings()); });
        EXPECT_SANDBOX_OK(r) << (c.settings != nullptr ? c.settings : "(no file)");
        EXPECT_EQ(r.out, "");
    }
}

TEST(EnvSwitch, OnlyExactlyYesSwitchesOn) {
    const std::pair<std::optional<std::string>, bool> cases[] = {
        {"YES", true}, {"yes", false}, {"YES ", false}, {"", false}, {"1", false},
        {std::nullopt, false}};
    for (const auto& [value, expected] : cases) {
        sandbox::Options o;
        o.env = {{kDisableCpuFallback, value}};
        const bool on = expected;  // clang 14 cannot capture a structured binding
        auto r = sandbox::Run(o, [on] {
            EXPECT_EQ(env_switch_on(kDisableCpuFallback), on);
            EXPECT_FALSE(env_switch_on(kDisableDirectPath));  // cleared by the sandbox
        });
        EXPECT_SANDBOX_OK(r) << value.value_or("(unset)");
    }
}

}  // namespace
