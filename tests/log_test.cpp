// SPDX-License-Identifier: Apache-2.0
// The debug log through the shipped library: trace records of the entry
// points, the set-up from DGFILE_DEBUG and the settings file, log file naming
// and placement, retries, threads and fork.  Each case runs in its own
// sandboxed child with its own settings file, host name and environment.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "support/records.h"
#include "support/run.h"

namespace {

// Inside the sandbox's private settings directory, so nothing real is touched.
constexpr const char* kEtc = "/opt/tavo/etc";
constexpr const char* kLogDir = "/opt/tavo/etc/log";
constexpr const char* kLogFile = "/opt/tavo/etc/log/dgfile.log";

std::string Settings(const std::string& body) { return "[global]\n" + body; }

// A DEBUG log into kLogDir with both numeric keys given (so that the set-up
// prints nothing) and whatever else the case adds.
std::string DebugSettings(const std::string& extra = "", const std::string& dir = kLogDir) {
    return Settings("log_level = DEBUG\nlog_dir = " + dir +
                    "\nmax_file_size = 10000\nmax_files = 3\n" + extra);
}

int ThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

bool Exists(const std::string& path) { return sandbox::PathExists(path); }

std::vector<std::string> Entries(const std::string& dir) { return sandbox::DirectoryEntries(dir); }

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// What this child has written to its standard output so far (the harness
// gives it a memory file, which can be read back from the start).
std::string StdoutSoFar() {
    std::fflush(stdout);
    return sandbox::ReadFile("/proc/self/fd/1");
}

using support::ParseRecord;
using support::Record;

// The records of a log file or an output, every line of which must be one.
std::vector<Record> Records(const std::string& text) {
    std::vector<Record> records;
    for (const std::string& line : sandbox::Lines(text)) {
        auto r = ParseRecord(line);
        EXPECT_TRUE(r.has_value()) << "malformed record: '" << line << "'";
        if (r) records.push_back(*r);
    }
    return records;
}

using support::Sandboxed;

// ---- Trace records -------------------------------------------------------------

TEST(LogTrace, NineDriverEntryPointsWithTheirExactText) {
    sandbox::Options o;
    o.hostname = "gpu7.rack2";
    o.settings = DebugSettings();
    Sandboxed(o, [] {
        EXPECT_EQ(dgFileDriverOpen().err, DG_FILE_SUCCESS);
        dgFileDriverGetProperties(nullptr);
        dgFileDriverSetPollMode(true, 4096);
        dgFileDriverSetPollMode(false, 0);
        dgFileDriverSetMaxDirectIOSize(~size_t{0});
        dgFileDriverSetMaxCacheSize(size_t{1} << 20);
        dgFileDriverSetMaxPinnedMemSize(12345);
        dgFileBufRegister(reinterpret_cast<const void*>(0x1000), 8192, -1);
        dgFileBufDeregister(reinterpret_cast<const void*>(0x2000));
        dgFileDriverClose();

        const std::pair<const char*, const char*> expected[] = {
            {"dgFileDriverOpen", "API_CALL "},
            {"dgFileDriverGetProperties", "API_CALL "},
            {"dgFileDriverSetPollMode", "API_CALL poll = 1, poll_threshold_size = 4096"},
            {"dgFileDriverSetPollMode", "API_CALL poll = 0, poll_threshold_size = 0"},
            {"dgFileDriverSetMaxDirectIOSize",
             "API_CALL max_direct_io_size = 18446744073709551615"},
            {"dgFileDriverSetMaxCacheSize", "API_CALL max_cache_size = 1048576"},
            {"dgFileDriverSetMaxPinnedMemSize", "API_CALL max_pinned_size = 12345"},
            {"dgFileBufRegister", "API_CALL devPtr_base = 0x1000, length = 8192, flags = -1"},
            {"dgFileBufDeregister", "API_CALL devPtr_base = 0x2000"},
            {"dgFileDriverClose", "API_CALL "},
        };
        std::string text = sandbox::ReadFile(kLogFile);
        auto records = Records(text);
        ASSERT_EQ(records.size(), std::size(expected)) << text;
        std::map<std::string, int> line_of;
        for (size_t i = 0; i < records.size(); ++i) {
            const Record& r = records[i];
            EXPECT_EQ(r.host, "gpu7");
            EXPECT_EQ(r.pid, ::getpid());
            EXPECT_EQ(r.tid, ThreadId());
            EXPECT_EQ(r.function, expected[i].first);
            EXPECT_EQ(r.message, expected[i].second);
            EXPECT_GT(r.line, 0);
            // One call site per entry point: the same function, the same line.
            auto [it, fresh] = line_of.emplace(r.function, r.line);
            if (!fresh) {
                EXPECT_EQ(it->second, r.line) << r.function;
            }
        }
        EXPECT_EQ(line_of.size(), 9u);
        // The console copy carries the very same records.
        EXPECT_EQ(StdoutSoFar(), text);
    });
}

// Regression: the remark on a registered descriptor's unusual open flags
// ended in a newline of its own, which wrote an empty line after the record.
TEST(LogTrace, FlagsRemarkOfARegistrationIsOneRecordOnOneLine) {
    sandbox::Options o;
    o.settings = DebugSettings("print_to_console = false\n");
    Sandboxed(o, [] {
        // O_APPEND draws the remark, which comes before the O_DIRECT check.
        const int fd = ::open("/opt/tavo/etc/data", O_WRONLY | O_CREAT | O_APPEND, 0644);
        ASSERT_GE(fd, 0);
        DGfileDescr_t descr{};
        descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
        descr.handle.fd = fd;
        DGfileHandle_t fh = nullptr;
        EXPECT_EQ(dgFileHandleRegister(&fh, &descr).err, DG_FILE_DIO_NOT_SET);
        ::close(fd);
        const std::string text = sandbox::ReadFile(kLogFile);
        const auto records = Records(text);
        ASSERT_EQ(sandbox::Lines(text).size(), 2u) << text;
        ASSERT_EQ(records.size(), 2u) << text;
        EXPECT_EQ(records[1].message.rfind("file flags: ", 0), 0u) << records[1].message;
    });
}

TEST(LogTrace, PrefixNamesTheCallingThread) {
    sandbox::Options o;
    o.hostname = "node12.cluster.example";
    o.settings = DebugSettings("print_to_console = FALSE\n");
    Sandboxed(o, [] {
        dgFileBufRegister(nullptr, 0, 0);
        std::map<int, int> tid_of_flags{{0, ThreadId()}};
        for (int flags = 1; flags <= 3; ++flags) {
            std::thread([&tid_of_flags, flags] {
                tid_of_flags[flags] = ThreadId();
                dgFileBufRegister(nullptr, 0, flags);
            }).join();
        }
        auto records = Records(sandbox::ReadFile(kLogFile));
        ASSERT_EQ(records.size(), 4u);
        std::vector<int> tids;
        for (const Record& r : records) {
            EXPECT_EQ(r.host, "node12");
            EXPECT_EQ(r.pid, ::getpid());
            int flags = r.message.back() - '0';
            EXPECT_EQ(r.tid, tid_of_flags.at(flags)) << r.message;
            tids.push_back(r.tid);
        }
        std::sort(tids.begin(), tids.end());
        EXPECT_EQ(std::unique(tids.begin(), tids.end()), tids.end());
        EXPECT_EQ(StdoutSoFar(), "");  // "FALSE": no console copy
    });
}

TEST(LogTrace, ConsoleCopyIsOffOnlyForTheWordFalse) {
    for (const char* value : {"0", "no", "off", "", "falsey"}) {
        sandbox::Options o;
        o.settings = DebugSettings(std::string("print_to_console = ") + value + "\n");
        Sandboxed(o, [value] {
            dgFileDriverClose();
            EXPECT_EQ(StdoutSoFar(), sandbox::ReadFile(kLogFile)) << value;
            EXPECT_EQ(Records(StdoutSoFar()).size(), 1u) << value;
        });
    }
}

TEST(LogFile, AppendsToAnExistingFile) {
    sandbox::Options o;
    o.settings = DebugSettings("print_to_console = false\n");
    Sandboxed(o, [] {
        ASSERT_EQ(::mkdir(kLogDir, 0755), 0);
        sandbox::WriteFile(kLogFile, "from an earlier process\n");
        dgFileDriverClose();
        dgFileDriverClose();
        auto lines = sandbox::Lines(sandbox::ReadFile(kLogFile));
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "from an earlier process");
        EXPECT_TRUE(ParseRecord(lines[1]).has_value()) << lines[1];
        EXPECT_TRUE(ParseRecord(lines[2]).has_value()) << lines[2];
    });
}

// ---- Level choice ----------------------------------------------------------------

TEST(LogLevel, EnvironmentWinsOverTheSettingsFile) {
    struct Case {
        std::optional<std::string> env;
        const char* file_level;
        bool traced;        // DEBUG records written
        bool file_created;  // set-up went past the level (level above NONE)
    };
    const Case cases[] = {
        {"debug", "NONE", true, true},
        {"", "DEBUG", false, false},        // set but empty: NONE
        {"NONE", "DEBUG", false, false},
        {"Warn", "DEBUG", false, true},
        {std::nullopt, "DeBuG", true, true},
        {std::nullopt, "info", false, true},
        {std::nullopt, "verbose", false, false},  // unknown name: NONE
        {std::nullopt, "", false, false},
        {"everything", "DEBUG", false, false},
    };
    for (const Case& c : cases) {
        sandbox::Options o;
        o.settings = Settings(std::string("log_level = ") + c.file_level +
                              "\nlog_dir = /opt/tavo/etc/log\nmax_file_size = 1\n"
                              "max_files = 1\nprint_to_console = false\n");
        if (c.env) o.env = {{"DGFILE_DEBUG", *c.env}};
        std::string what = "DGFILE_DEBUG=" + c.env.value_or("(unset)") +
                           ", log_level=" + c.file_level;
        Sandboxed(o, [&c, what] {
            dgFileDriverClose();
            EXPECT_EQ(Exists(kLogDir), c.file_created) << what;
            EXPECT_EQ(Exists(kLogFile), c.file_created) << what;
            std::string text = c.file_created ? sandbox::ReadFile(kLogFile) : "";
            EXPECT_EQ(Records(text).size(), c.traced ? 1u : 0u) << what;
        });
    }
}

TEST(LogLevel, SilentCreatesNothingAndPrintsNothing) {
    sandbox::Options none;  // no settings file, no DGFILE_DEBUG
    auto r = Sandboxed(none, [] {
        for (int i = 0; i < 3; ++i) dgFileDriverClose();
        EXPECT_EQ(Entries(kEtc), std::vector<std::string>{});
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // Silent with a directory configured (and numeric keys that would
    // complain): nothing beyond the level is read, nothing is created.
    sandbox::Options silent;
    silent.settings = Settings("log_level = NONE\nlog_dir = /opt/tavo/etc/new\n"
                               "max_file_size = junk\n");
    r = Sandboxed(silent, [] {
        for (int i = 0; i < 3; ++i) dgFileBufRegister(nullptr, 1, 2);
        EXPECT_EQ(Entries(kEtc), std::vector<std::string>{"dgfile.ini"});
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// ---- Log directory ------------------------------------------------------------------

TEST(LogDir, OneLevelOnlyAndRetriedUntilItWorks) {
    sandbox::Options o;
    o.settings = Settings("log_level = DEBUG\nlog_dir = /opt/tavo/etc/a/b\n"
                          "max_file_size = 10\nmax_files = 2\nprint_to_console = false\n");
    auto r = Sandboxed(o, [] {
        ::umask(0);  // the mode seen is then exactly the one asked for
        dgFileDriverClose();
        dgFileDriverClose();
        EXPECT_FALSE(Exists("/opt/tavo/etc/a"));
        ASSERT_EQ(::mkdir("/opt/tavo/etc/a", 0700), 0);
        dgFileDriverClose();  // the set-up runs again and now succeeds
        dgFileDriverClose();
        struct stat st;
        ASSERT_EQ(::stat("/opt/tavo/etc/a/b", &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(Entries("/opt/tavo/etc/a/b"), std::vector<std::string>{"dgfile.log"});
        // Records of failed attempts are dropped, not held back.
        EXPECT_EQ(Records(sandbox::ReadFile("/opt/tavo/etc/a/b/dgfile.log")).size(), 2u);
    });
    EXPECT_EQ(r.out, "Failed to create log directory: /opt/tavo/etc/a/b/\n"
                     "Failed to create log directory: /opt/tavo/etc/a/b/\n");
}

TEST(LogDir, HomeReplacedOnceAndUnsetOrEmptyHomeFails) {
    sandbox::Options o;
    o.settings = DebugSettings("print_to_console = false\n", "$HOME/$HOME");
    o.env = {{"HOME", "/opt/tavo/etc/home"}};
    Sandboxed(o, [] {
        ASSERT_EQ(::mkdir("/opt/tavo/etc/home", 0755), 0);
        dgFileDriverClose();
        EXPECT_EQ(Records(sandbox::ReadFile("/opt/tavo/etc/home/$HOME/dgfile.log")).size(), 1u);
    });

    for (std::optional<std::string> home : {std::optional<std::string>(""),
                                            std::optional<std::string>()}) {
        sandbox::Options bad;
        bad.settings = Settings("log_level = DEBUG\nlog_dir = $HOME/logs\n"
                                "max_file_size = 10\nmax_files = 2\n");
        bad.env = {{"HOME", home}};
        auto r = Sandboxed(bad, [] {
            ASSERT_EQ(::chdir(kEtc), 0);
            dgFileDriverClose();
            dgFileDriverClose();
            EXPECT_FALSE(Exists("/logs"));
            EXPECT_FALSE(Exists("/dgfile.log"));
            EXPECT_EQ(Entries(kEtc), std::vector<std::string>{"dgfile.ini"});
        });
        EXPECT_EQ(r.out, "Failed to create log directory: \n"
                         "Failed to create log directory: \n")
            << (home ? "HOME empty" : "HOME unset");
    }
}

// Regression: with no numeric keys (no settings file at all, too) the set-up
// printed "Wrong string: " twice before the first record; an absent key is
// no wrong string and prints nothing.
TEST(LogDir, AbsentOrEmptyMeansStandardOutputOnly) {
    for (const char* dir_line : {"", "log_dir =\n", "log_dir =    \n", "(no file)"}) {
        sandbox::Options o;
        if (std::string(dir_line) == "(no file)")
            o.env = {{"DGFILE_DEBUG", "DEBUG"}};
        else
            o.settings = Settings(std::string("log_level = DEBUG\n") + dir_line);
        auto r = Sandboxed(o, [dir_line] {
            ASSERT_EQ(::mkdir("/opt/tavo/etc/cwd", 0755), 0);
            ASSERT_EQ(::chdir("/opt/tavo/etc/cwd"), 0);
            for (int i = 0; i < 3; ++i) dgFileDriverClose();
            std::vector<std::string> entries{"cwd", "dgfile.ini"};
            if (std::string(dir_line) == "(no file)") entries.pop_back();
            EXPECT_EQ(Entries(kEtc), entries) << dir_line;
            EXPECT_EQ(Entries("/opt/tavo/etc/cwd"), std::vector<std::string>{});
            EXPECT_FALSE(Exists("/dgfile.log"));
        });
        auto lines = sandbox::Lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << dir_line << ":\n" << r.out;
        for (size_t i = 0; i < 3; ++i) {
            auto rec = ParseRecord(lines[i]);
            ASSERT_TRUE(rec.has_value()) << lines[i];
            EXPECT_EQ(rec->function, "dgFileDriverClose");
        }
        EXPECT_EQ(r.err, "");
    }

    // Without a directory and without the console copy nothing is written
    // anywhere, and the log still does not set itself up again.
    sandbox::Options quiet;
    quiet.settings = Settings("log_level = DEBUG\nprint_to_console = false\n"
                              "max_file_size = 10\nmax_files = 2\n");
    auto r = Sandboxed(quiet, [] {
        for (int i = 0; i < 3; ++i) dgFileDriverClose();
        EXPECT_EQ(Entries(kEtc), std::vector<std::string>{"dgfile.ini"});
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// ---- Log file name and path -----------------------------------------------------------

TEST(LogFileName, DirectivesOfTheFormat) {
    const struct {
        const char* format;
        const char* pattern;  // "PID" stands for the child's process id
    } cases[] = {
        {"%p", "dgfile.PID.log"},
        {"%h", "dgfilegpu7.log"},
        {"%p%h", "dgfile.PIDgpu7.log"},
        {"%%p", "dgfile.PID.log"},
        {"%x", "dgfile.log"},
        {"abc", "dgfile.log"},
        {"%", "dgfile.log"},
        {"", "dgfile.log"},
    };
    for (const auto& c : cases) {
        sandbox::Options o;
        o.hostname = "gpu7.rack2";
        o.settings = DebugSettings(std::string("log_file_format = ") + c.format + "\n");
        Sandboxed(o, [&c] {
            dgFileDriverClose();
            std::string name = c.pattern;
            auto at = name.find("PID");
            if (at != std::string::npos) name.replace(at, 3, std::to_string(::getpid()));
            EXPECT_EQ(Entries(kLogDir), std::vector<std::string>{name}) << c.format;
        });
    }

    sandbox::Options o;
    o.settings = DebugSettings("log_file_format = %t\n");
    Sandboxed(o, [] {
        time_t before = std::time(nullptr);
        dgFileDriverClose();
        time_t after = std::time(nullptr);
        auto names = Entries(kLogDir);
        ASSERT_EQ(names.size(), 1u);
        std::vector<std::string> allowed;
        for (time_t t = before; t <= after; ++t) {
            char stamp[64];
            struct tm local;
            ::localtime_r(&t, &local);
            std::strftime(stamp, sizeof stamp, "dgfile.%Y_%m_%d_%H_%M_%S.log", &local);
            allowed.push_back(stamp);
        }
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), names[0]), allowed.end())
            << names[0];
    });
}

TEST(LogFileName, PathOver511CharactersIsRefusedSilentlyAndRetried) {
    // Three levels below the settings directory (a name may not exceed 255).
    auto deep = [](size_t each) {
        std::string dir = kEtc;
        for (int i = 0; i < 3; ++i) dir += "/" + std::string(each, static_cast<char>('a' + i));
        return dir;
    };
    const std::string too_long = deep(165);  // the path is 522 characters
    // Exactly 511: 500 characters, the "/" and "dgfile.log".
    std::string fits = std::string(kEtc) + "/" + std::string(162, 'a') + "/" +
                       std::string(162, 'b') + "/" + std::string(160, 'c');
    ASSERT_EQ(fits.size() + 1 + 10, 511u);

    sandbox::Options o;
    o.settings = DebugSettings("print_to_console = false\n", too_long);
    std::string retry = DebugSettings("print_to_console = false\n", fits);
    auto r = Sandboxed(o, [&] {
        for (const std::string& d : {too_long, fits}) {
            std::string parent = d.substr(0, d.rfind('/'));
            ::mkdir(parent.substr(0, parent.rfind('/')).c_str(), 0755);
            ::mkdir(parent.c_str(), 0755);
        }
        dgFileDriverClose();
        dgFileDriverClose();
        EXPECT_EQ(Entries(too_long), std::vector<std::string>{});
        sandbox::WriteFile("/opt/tavo/etc/dgfile.ini", retry);  // read again next time
        dgFileDriverClose();
        std::string path = fits + "/dgfile.log";
        ASSERT_EQ(path.size(), 511u);
        EXPECT_EQ(Records(sandbox::ReadFile(path)).size(), 1u);
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(LogFile, OpenFailureIsReportedAndRetried) {
    sandbox::Options o;
    o.settings = DebugSettings("print_to_console = false\n");
    auto r = Sandboxed(o, [] {
        ASSERT_EQ(::mkdir(kLogDir, 0755), 0);
        ASSERT_EQ(::mkdir(kLogFile, 0755), 0);  // a directory where the file goes
        dgFileBufRegister(nullptr, 1, 0);
        dgFileBufRegister(nullptr, 2, 0);
        ASSERT_EQ(::rmdir(kLogFile), 0);
        dgFileBufRegister(nullptr, 3, 0);
        auto records = Records(sandbox::ReadFile(kLogFile));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message, "API_CALL devPtr_base = (nil), length = 3, flags = 0");
    });
    EXPECT_EQ(r.err, "Failed to open log file: /opt/tavo/etc/log/dgfile.log\n"
                     "Failed to open log file: /opt/tavo/etc/log/dgfile.log\n");
    EXPECT_EQ(r.out, "");
}

TEST(LogFile, CreatedFilesAreNotWritableByOthersAndALinkedDirectoryWorks) {
    sandbox::Options o;
    // log_dir is a symbolic link to the directory: only the file's own name
    // must not be one.
    o.settings = DebugSettings("print_to_console = false\nmax_file_size = 1\n",
                               "/opt/tavo/etc/link");
    Sandboxed(o, [] {
        ::umask(0);  // the mode seen is then exactly the one asked for
        ASSERT_EQ(::mkdir(kLogDir, 0777), 0);
        ASSERT_EQ(::symlink("log", "/opt/tavo/etc/link"), 0);
        const std::string rotated = std::string(kLogDir) + "/dgfile.1.log";
        for (int i = 0; i < 100 && !Exists(rotated); ++i) dgFileBufRegister(nullptr, 1, i);
        for (const std::string& path : {std::string(kLogFile), rotated}) {
            struct stat st;
            ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
            EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
            EXPECT_EQ(st.st_mode & 07777, 0644u) << path;
        }
        EXPECT_EQ(Records(sandbox::ReadFile(rotated)).size(), 1u);
    });
}

// Something planted under the log file's predictable name, in a directory
// others can write to, at the set-up (dgfile.log) or at a rotation
// (dgfile.1.log, once dgfile.log is full).  It is refused like a file that
// cannot be opened: reported, the record dropped, the next record tries again.
// Nothing is written through it and nothing waits on it.
enum class Planted { Symlink, Fifo, FifoWithReader, Directory };
enum class Moment { SetUp, Rotation };

class LogFilePlanted : public ::testing::TestWithParam<std::tuple<Planted, Moment>> {};

TEST_P(LogFilePlanted, IsRefusedLikeAFileThatCannotBeOpened) {
    const auto [kind, moment] = GetParam();
    const std::string name =
        moment == Moment::SetUp ? kLogFile : std::string(kLogDir) + "/dgfile.1.log";
    sandbox::Options o;
    o.settings = DebugSettings("print_to_console = false\nmax_file_size = 1\n");
    o.timeout_ms = 10000;  // a call that hangs shows as a timed-out child
    auto r = Sandboxed(o, [kind = kind, moment = moment, &name] {
        const std::string outside = "/opt/tavo/etc/outside";
        const std::string outside_text = "not the log's\n";
        const std::string full = std::string(1999, '.') + "\n";  // over the 1 KiB limit
        ASSERT_EQ(::mkdir(kLogDir, 0777), 0);
        sandbox::WriteFile(outside, outside_text);
        if (moment == Moment::Rotation) sandbox::WriteFile(kLogFile, full);
        int reader = -1;
        mode_t type = S_IFIFO;
        switch (kind) {
        case Planted::Symlink:
            ASSERT_EQ(::symlink(outside.c_str(), name.c_str()), 0);
            type = S_IFLNK;
            break;
        case Planted::FifoWithReader:
            ASSERT_EQ(::mkfifo(name.c_str(), 0666), 0);
            reader = ::open(name.c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0);
            break;
        case Planted::Fifo:
            ASSERT_EQ(::mkfifo(name.c_str(), 0666), 0);
            break;
        case Planted::Directory:
            ASSERT_EQ(::mkdir(name.c_str(), 0755), 0);
            type = S_IFDIR;
            break;
        }
        dgFileDriverSetMaxCacheSize(1);
        dgFileDriverSetMaxCacheSize(2);
        EXPECT_EQ(sandbox::ReadFile(outside), outside_text);
        if (moment == Moment::Rotation) {
            EXPECT_EQ(sandbox::ReadFile(kLogFile), full);  // the record was not kept back
        }
        if (reader >= 0) {
            char buf[64];
            EXPECT_LE(::read(reader, buf, sizeof buf), 0) << "records went into the FIFO";
        }
        struct stat st;
        ASSERT_EQ(::lstat(name.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, type);  // left as it was

        // Once the name is free, the next record creates the file.
        ASSERT_EQ(kind == Planted::Directory ? ::rmdir(name.c_str()) : ::unlink(name.c_str()), 0);
        dgFileDriverSetMaxCacheSize(3);
        ASSERT_EQ(::lstat(name.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        auto records = Records(sandbox::ReadFile(name));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message, "API_CALL max_cache_size = 3");
        EXPECT_EQ(sandbox::ReadFile(outside), outside_text);
        if (reader >= 0) ::close(reader);
    });
    const std::string message = "Failed to open log file: " + name + "\n";
    EXPECT_EQ(r.err, message + message);
    EXPECT_EQ(r.out, "");
}

std::string PlantedName(const ::testing::TestParamInfo<LogFilePlanted::ParamType>& param) {
    static const char* const kKinds[] = {"Symlink", "Fifo", "FifoWithReader", "Directory"};
    return std::string(kKinds[static_cast<int>(std::get<0>(param.param))]) +
           (std::get<1>(param.param) == Moment::SetUp ? "AtSetUp" : "AtRotation");
}

INSTANTIATE_TEST_SUITE_P(
    KindAndMoment, LogFilePlanted,
    ::testing::Combine(::testing::Values(Planted::Symlink, Planted::Fifo,
                                         Planted::FifoWithReader, Planted::Directory),
                       ::testing::Values(Moment::SetUp, Moment::Rotation)),
    PlantedName);

// ---- Threads -----------------------------------------------------------------------------

constexpr int kThreads = 8;
constexpr int kCalls = 150;

TEST(LogThreads, RecordsNeverInterleaveAndSetUpRunsOnce) {
    for (int round = 0; round < 5; ++round) {
        sandbox::Options o;
        // Numeric values that do not convert: each set-up prints two
        // messages, so a second set-up would show on standard output.
        o.settings = Settings("log_level = DEBUG\nlog_dir = /opt/tavo/etc/log\n"
                              "max_file_size = x\nmax_files =\n");
        Sandboxed(o, [] {
            std::atomic<int> ready{0};
            std::atomic<bool> go{false};
            std::vector<std::thread> threads;
            std::vector<int> tids(kThreads);
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    tids[t] = ThreadId();
                    ready.fetch_add(1);
                    while (!go.load()) std::this_thread::yield();
                    // Long records: a torn write would show as a malformed line.
                    for (int i = 0; i < kCalls; ++i)
                        dgFileBufRegister(reinterpret_cast<const void*>(0x1000 + t),
                                          static_cast<size_t>(i), t);
                });
            }
            while (ready.load() < kThreads) std::this_thread::yield();
            go.store(true);
            for (auto& th : threads) th.join();

            EXPECT_EQ(sandbox::DescriptorsOn(kLogFile).size(), 1u);
            for (const std::string& text : {sandbox::ReadFile(kLogFile), StdoutSoFar()}) {
                std::map<int, int> next_length;  // per thread: the next length expected
                size_t records = 0;
                for (const std::string& line : sandbox::Lines(text)) {
                    if (line == "Wrong string: x" || line == "Wrong string: ") continue;
                    auto rec = ParseRecord(line);
                    ASSERT_TRUE(rec.has_value()) << line;
                    ++records;
                    unsigned long base = 0;
                    size_t length = 0;
                    int flags = -1;
                    ASSERT_EQ(std::sscanf(rec->message.c_str(),
                                          "API_CALL devPtr_base = %lx, length = %zu, flags = %d",
                                          &base, &length, &flags), 3) << line;
                    ASSERT_GE(flags, 0);
                    ASSERT_LT(flags, kThreads);
                    EXPECT_EQ(base, 0x1000u + static_cast<unsigned>(flags));
                    EXPECT_EQ(rec->tid, tids[flags]);
                    EXPECT_EQ(static_cast<int>(length), next_length[flags]++) << line;
                }
                EXPECT_EQ(records, static_cast<size_t>(kThreads * kCalls));
            }
            // A value that does not convert prints, an empty one too.
            EXPECT_EQ(Count(StdoutSoFar(), "Wrong string: x\n"), 1u);
            EXPECT_EQ(Count(StdoutSoFar(), "Wrong string: \n"), 1u);
        });
        if (HasFailure()) break;
    }
}

// ---- fork -----------------------------------------------------------------------------------

// Waits for a child up to a deadline; false when it had to be killed.
bool WaitFor(pid_t child, int* status) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(child, status, WNOHANG) == child) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, status, 0);
    return false;
}

TEST(LogFork, ChildKeepsTheSetUpAndNamesItself) {
    sandbox::Options o;
    o.hostname = "gpu7.rack2";
    o.settings = DebugSettings();
    Sandboxed(o, [] {
        dgFileDriverClose();
        // Settings changed after the set-up are not seen, in the child either.
        sandbox::WriteFile("/opt/tavo/etc/dgfile.ini",
                           Settings("log_level = NONE\nlog_dir = /opt/tavo/etc/other\n"));
        ASSERT_EQ(::sethostname("renamed", 7), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dgFileBufRegister(nullptr, 7, 7);
            std::fflush(stdout);
            sandbox::ExitChild(0);
        }
        int status = 0;
        ASSERT_TRUE(WaitFor(child, &status));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        dgFileDriverClose();

        auto records = Records(sandbox::ReadFile(kLogFile));
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[1].message, "API_CALL devPtr_base = (nil), length = 7, flags = 7");
        EXPECT_EQ(records[1].host, "gpu7");
        // The child's own process and thread (its only thread: tid == pid).
        EXPECT_EQ(records[1].pid, child);
        EXPECT_EQ(records[1].tid, child);
        EXPECT_EQ(records[2].pid, ::getpid());
        EXPECT_EQ(records[2].tid, ThreadId());
        EXPECT_FALSE(Exists("/opt/tavo/etc/other"));
        // The console copy is flushed per record: the child, flushing its
        // standard output, does not repeat the parent's records there.
        EXPECT_EQ(StdoutSoFar(), sandbox::ReadFile(kLogFile));
    });
}

TEST(LogFork, ForkWhileAnotherThreadWritesNeverHangsTheChild) {
    sandbox::Options o;
    // A small limit makes parent and children rotate all through the test
    // (a child that finds its inherited file full moves to a file of its
    // own); enough files are kept that no rotation removes one.
    o.settings = DebugSettings("print_to_console = false\nmax_files = 1000\nmax_file_size = 64\n");
    Sandboxed(o, [] {
        dgFileDriverClose();
        std::atomic<bool> stop{false};
        std::thread writer([&stop] {
            while (!stop.load()) dgFileBufRegister(nullptr, 1, 1);
        });
        int hung = 0;
        std::vector<pid_t> children;
        for (int i = 0; i < 40; ++i) {
            pid_t child = ::fork();
            if (child == 0) {
                dgFileBufRegister(nullptr, 2, 2);
                sandbox::ExitChild(0);
            }
            ASSERT_GT(child, 0);
            int status = 0;
            children.push_back(child);
            if (!WaitFor(child, &status)) {
                ++hung;
                break;
            }
        }
        stop.store(true);
        writer.join();
        EXPECT_EQ(hung, 0);

        // A child's record may be in any file of the directory, but in one.
        std::map<int, int> child_records;
        for (const std::string& name : Entries(kLogDir))
            for (const Record& r : Records(sandbox::ReadFile(std::string(kLogDir) + "/" + name)))
                if (r.message == "API_CALL devPtr_base = (nil), length = 2, flags = 2")
                    ++child_records[r.pid];
        if (hung == 0) {
            for (pid_t child : children)
                EXPECT_EQ(child_records[child], 1)
                    << child << " (" << Entries(kLogDir).size() << " log files)";
        }
    });
}

}  // namespace
