// SPDX-License-Identifier: Apache-2.0
// Log file rotation through the shipped library: the size limit at its exact
// boundary, the number of files kept, distinct names when the name rule
// repeats itself, trimming that never deletes the file in use nor another
// process's file, failures on the way, and many threads writing while files
// rotate.  Each case runs in its own sandboxed child (private settings file
// and log directory on a temporary file system).
//
// Every record here is the trace record of dgFileBufRegister(nullptr, n, t):
// its message names n and t, which the cases use as a record's identity.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dgfile.h"
#include "support/run.h"

namespace {

constexpr const char* kLogDir = "/opt/tavo/etc/log";

std::string Path(const std::string& name) { return std::string(kLogDir) + "/" + name; }

// A DEBUG log into kLogDir without the console copy.  `size` and `files`
// are the two numeric keys (nullopt leaves a key out: its default applies).
std::string RotationSettings(std::optional<std::string> size, std::optional<std::string> files,
                             const std::string& format = "") {
    std::string text = "[global]\nlog_level = DEBUG\nlog_dir = " + std::string(kLogDir) +
                       "\nprint_to_console = false\nlog_file_format = " + format + "\n";
    if (size) text += "max_file_size = " + *size + "\n";
    if (files) text += "max_files = " + *files + "\n";
    return text;
}

std::vector<std::string> Entries(const std::string& dir) { return sandbox::DirectoryEntries(dir); }

bool Exists(const std::string& path) { return sandbox::PathExists(path); }

off_t SizeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Appends filler lines (starting with '.') until the file holds exactly
// `size` bytes, as another writer appending to the log would.
void GrowTo(const std::string& path, off_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    off_t have = SizeOf(path);
    ASSERT_LE(have, size);
    std::string chunk(4095, '.');
    chunk += '\n';
    while (have < size) {
        size_t n = std::min<off_t>(size - have, static_cast<off_t>(chunk.size()));
        const char* bytes = chunk.data() + chunk.size() - n;  // always ends in '\n'
        ASSERT_EQ(::write(fd, bytes, n), static_cast<ssize_t>(n));
        have += static_cast<off_t>(n);
    }
    ::close(fd);
    ASSERT_EQ(SizeOf(path), size);
}

// One record of this process: the n and t of dgFileBufRegister(nullptr, n, t).
struct Rec {
    long n = -1;
    int t = -1;
    bool operator<(const Rec& o) const { return n != o.n ? n < o.n : t < o.t; }
    bool operator==(const Rec& o) const { return n == o.n && t == o.t; }
};

void Emit(long n, int t = 0) { dgFileBufRegister(nullptr, static_cast<size_t>(n), t); }

// The records of a log file in order.  Filler lines are skipped; any other
// line that is not one whole record of dgFileBufRegister fails the test.
std::vector<Rec> RecordsIn(const std::string& path) {
    std::vector<Rec> records;
    std::string text = sandbox::ReadFile(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << path << " ends inside a record";
    const std::string tag = " [DGFILE DEBUG] (dgFileBufRegister:";
    for (const std::string& line : sandbox::Lines(text)) {
        if (!line.empty() && line[0] == '.') continue;
        auto at = line.find(tag);
        auto close = line.find(") API_CALL devPtr_base = (nil), length = ");
        Rec r;
        char tail = 0;
        bool ok = line.rfind("sandbox:", 0) == 0 && at != std::string::npos &&
                  close != std::string::npos && close > at &&
                  std::sscanf(line.c_str() + close,
                              ") API_CALL devPtr_base = (nil), length = %ld, flags = %d%c",
                              &r.n, &r.t, &tail) == 2;
        EXPECT_TRUE(ok) << path << ": malformed record '" << line << "'";
        if (ok) records.push_back(r);
    }
    return records;
}

// The size limit holds when every byte before a file's last record was
// written while the file was still below the limit.
void ExpectWithinLimit(const std::string& path, off_t limit) {
    std::string text = sandbox::ReadFile(path);
    if (text.size() < 2) return;
    auto last = text.rfind('\n', text.size() - 2);
    off_t before_last = last == std::string::npos ? 0 : static_cast<off_t>(last + 1);
    EXPECT_LT(before_last, limit) << path << " took a record at or over the limit";
}

// The number in "dgfile<...>.<n>.log", 0 for a name without one.
long NumberOf(const std::string& name) {
    const std::string stem = name.substr(0, name.size() - 4);  // without ".log"
    auto dot = stem.rfind('.');
    if (dot == std::string::npos) return 0;
    std::string digits = stem.substr(dot + 1);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), ::isdigit))
        return 0;
    return std::stol(digits);
}

using support::Sandboxed;

// ---- The size limit ---------------------------------------------------------------

TEST(LogRotationLimit, DefaultLimitAtItsExactBoundaryForEachNameFormat) {
    constexpr off_t kLimit = 10240000;  // 10000 KiB
    for (const char* format : {"", "%t"}) {
        sandbox::Options o;
        o.settings = RotationSettings(std::nullopt, std::nullopt, format);
        auto r = Sandboxed(o, [format] {
            // The one file of the set-up, which takes records up to the limit.
            Emit(1);
            auto names = Entries(kLogDir);
            ASSERT_EQ(names.size(), 1u);
            const std::string first = names[0];
            if (*format == '\0') {
                EXPECT_EQ(first, "dgfile.log");
            }
            GrowTo(Path(first), kLimit - 1);
            Emit(2);  // 10239999 bytes: still this file
            ASSERT_EQ(Entries(kLogDir), std::vector<std::string>{first});

            Emit(3);  // now over the limit: a new file
            names = Entries(kLogDir);
            ASSERT_EQ(names.size(), 2u);
            std::string second = names[0] == first ? names[1] : names[0];
            EXPECT_EQ((RecordsIn(Path(first))), (std::vector<Rec>{{1, 0}, {2, 0}}));
            EXPECT_EQ(RecordsIn(Path(second)), (std::vector<Rec>{{3, 0}}));

            GrowTo(Path(second), kLimit);
            Emit(4);  // exactly 10240000 bytes: a new file
            names = Entries(kLogDir);
            ASSERT_EQ(names.size(), 3u);
            std::string third;
            for (const auto& n : names)
                if (n != first && n != second) third = n;
            EXPECT_EQ(RecordsIn(Path(third)), (std::vector<Rec>{{4, 0}}));
            Emit(5);  // the new file is small: it takes the next record too
            EXPECT_EQ(RecordsIn(Path(third)), (std::vector<Rec>{{4, 0}, {5, 0}}));
            if (*format == '\0') {
                EXPECT_EQ(names, (std::vector<std::string>{"dgfile.1.log", "dgfile.2.log",
                                                           "dgfile.log"}));
            }

            // A fourth file: the default count is 3, so the oldest goes.
            GrowTo(Path(third), kLimit);
            Emit(6);
            names = Entries(kLogDir);
            EXPECT_EQ(names.size(), 3u);
            EXPECT_FALSE(Exists(Path(first)));
            EXPECT_TRUE(Exists(Path(second)));
            EXPECT_TRUE(Exists(Path(third)));
        });
        EXPECT_EQ(r.err, "") << "format '" << format << "'";
    }
}

TEST(LogRotationLimit, NegativeSizeLimitStartsAFileForEveryRecord) {
    sandbox::Options o;
    o.settings = RotationSettings("-1", "1000");
    Sandboxed(o, [] {
        constexpr int kRecords = 12;
        for (int i = 1; i <= kRecords; ++i) Emit(i);
        // The set-up's file (empty: the first record already found it "full"),
        // then one file per record.
        std::vector<std::string> expected{"dgfile.log"};
        for (int i = 1; i <= kRecords; ++i) expected.push_back("dgfile." + std::to_string(i) + ".log");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Entries(kLogDir), expected);
        EXPECT_EQ(SizeOf(Path("dgfile.log")), 0);
        for (int i = 1; i <= kRecords; ++i)
            EXPECT_EQ(RecordsIn(Path("dgfile." + std::to_string(i) + ".log")),
                      (std::vector<Rec>{{i, 0}}));
    });

    o.settings = RotationSettings("-5", "3");
    Sandboxed(o, [] {
        for (int i = 1; i <= 10; ++i) Emit(i);
        EXPECT_EQ(Entries(kLogDir),
                  (std::vector<std::string>{"dgfile.10.log", "dgfile.8.log", "dgfile.9.log"}));
        EXPECT_EQ(RecordsIn(Path("dgfile.10.log")), (std::vector<Rec>{{10, 0}}));
    });
}

// ---- The number of files kept ------------------------------------------------------------

// A 1 KiB limit with each name format and count: after every record the
// directory holds exactly the newest files this process created (the oldest
// deleted first), the newest file has the record just written, and the kept
// files hold an unbroken run of the latest records.
TEST(LogRotationCount, SmallLimitKeepsTheNewestFilesOldestDeletedFirst) {
    for (const char* format : {"%t", "%p", ""}) {
        for (int files : {1, 3, -2}) {
            sandbox::Options o;
            o.settings = RotationSettings("1", std::to_string(files), format);
            std::string what = std::string("format '") + format + "', max_files " +
                               std::to_string(files);
            auto r = Sandboxed(o, [files, what] {
                const size_t keep = files < 1 ? 1 : static_cast<size_t>(files);
                std::vector<std::string> created;  // in creation order
                for (long i = 1; i <= 90; ++i) {
                    Emit(i);
                    auto names = Entries(kLogDir);
                    for (const auto& n : names)
                        if (std::find(created.begin(), created.end(), n) == created.end())
                            created.push_back(n);
                    std::vector<std::string> newest(
                        created.end() - static_cast<long>(std::min(keep, created.size())),
                        created.end());
                    std::sort(newest.begin(), newest.end());
                    ASSERT_EQ(names, newest) << what << ", record " << i;
                    auto last = RecordsIn(Path(created.back()));
                    ASSERT_FALSE(last.empty()) << what;
                    ASSERT_EQ(last.back().n, i) << what;
                }
                EXPECT_GE(created.size(), 8u) << what;  // about 10 records per file
                std::vector<Rec> kept;
                for (size_t f = created.size() - keep; f < created.size(); ++f) {
                    ExpectWithinLimit(Path(created[f]), 1024);
                    auto recs = RecordsIn(Path(created[f]));
                    kept.insert(kept.end(), recs.begin(), recs.end());
                }
                for (size_t k = 0; k < kept.size(); ++k)
                    EXPECT_EQ(kept[k].n, 90 - static_cast<long>(kept.size() - 1 - k)) << what;
            });
            EXPECT_EQ(r.err, "") << what;
        }
    }
}

TEST(LogRotationCount, FileRemovedByHandIsReportedAndItsEntryDropped) {
    sandbox::Options o;
    o.settings = RotationSettings("1", "2");
    auto r = Sandboxed(o, [] {
        long n = 0;
        auto until = [&n](const std::string& name) {
            while (!Exists(Path(name)) && n < 1000) Emit(++n);
        };
        until("dgfile.1.log");
        ASSERT_EQ(::unlink(Path("dgfile.log").c_str()), 0);
        until("dgfile.2.log");  // trims the entry of the removed file
        EXPECT_EQ(Entries(kLogDir),
                  (std::vector<std::string>{"dgfile.1.log", "dgfile.2.log"}));
        until("dgfile.3.log");  // the entry was dropped: the next in line goes
        EXPECT_EQ(Entries(kLogDir),
                  (std::vector<std::string>{"dgfile.2.log", "dgfile.3.log"}));
    });
    EXPECT_EQ(r.err, std::string("Failed to delete file ") + kLogDir +
                         "/dgfile.log: " + std::strerror(ENOENT) + "\n");
}

// ---- Distinct names, failures ---------------------------------------------------------------

// Hundreds of rotations within a second or two, where the name rule gives
// the same name again and again: every record reaches the disk exactly once
// and no file takes a record at or over the limit.
TEST(LogRotationNames, ManyRotationsWithinOneSecondLoseNoRecord) {
    for (const char* format : {"%t", "", "%h%p"}) {
        sandbox::Options o;
        o.settings = RotationSettings("1", "100000", format);
        Sandboxed(o, [format] {
            constexpr long kRecords = 1500;
            for (long i = 0; i < kRecords; ++i) Emit(i);
            auto names = Entries(kLogDir);
            EXPECT_GT(names.size(), 100u) << format;
            std::vector<long> seen;
            for (const auto& name : names) {
                ExpectWithinLimit(Path(name), 1024);
                for (const Rec& r : RecordsIn(Path(name))) seen.push_back(r.n);
            }
            std::sort(seen.begin(), seen.end());
            ASSERT_EQ(seen.size(), static_cast<size_t>(kRecords)) << format;
            for (long i = 0; i < kRecords; ++i) ASSERT_EQ(seen[i], i) << format;
        });
    }
}

TEST(LogRotationNames, NewFileThatCannotBeOpenedIsReportedRecordDroppedAndRetried) {
    sandbox::Options o;
    o.settings = RotationSettings("1", "3");
    auto r = Sandboxed(o, [] {
        ASSERT_EQ(::mkdir(kLogDir, 0755), 0);
        ASSERT_EQ(::mkdir(Path("dgfile.1.log").c_str(), 0755), 0);  // in the way
        long n = 0;
        while (SizeOf(Path("dgfile.log")) < 1024 && n < 100) Emit(++n);
        const long filled = n;
        for (long i = 0; i < 3; ++i) Emit(1000 + i);  // each one dropped
        ASSERT_EQ(::rmdir(Path("dgfile.1.log").c_str()), 0);
        Emit(2000);
        Emit(2001);
        EXPECT_EQ(Entries(kLogDir), (std::vector<std::string>{"dgfile.1.log", "dgfile.log"}));
        auto first = RecordsIn(Path("dgfile.log"));
        ASSERT_EQ(first.size(), static_cast<size_t>(filled));
        EXPECT_EQ(first.back().n, filled);
        EXPECT_EQ(RecordsIn(Path("dgfile.1.log")), (std::vector<Rec>{{2000, 0}, {2001, 0}}));
    });
    std::string message = std::string("Failed to open log file: ") + kLogDir + "/dgfile.1.log\n";
    EXPECT_EQ(r.err, message + message + message);
}

// ---- Files that are not this process's -------------------------------------------------------

TEST(LogRotationOwnership, FilesOfAnEarlierProcessAreAppendedToButNeverDeleted) {
    const std::map<std::string, std::string> earlier = {
        {"dgfile.log", "earlier 0\n"},          // the set-up's name
        {"dgfile.1.log", "earlier 1\n"},        // names the rotations reach
        {"dgfile.3.log", std::string(2000, '.') + "\n"},  // already over the limit
        {"dgfile.4242.log", "earlier pid\n"},
        {"dgfile.2020_01_01_00_00_00.log", "earlier time\n"},
    };
    sandbox::Options o;
    o.settings = RotationSettings("1", "1");
    auto r = Sandboxed(o, [&earlier] {
        ASSERT_EQ(::mkdir(kLogDir, 0755), 0);
        for (const auto& [name, text] : earlier) sandbox::WriteFile(Path(name), text);
        for (long i = 1; i <= 150; ++i) {
            Emit(i);
            size_t ours = 0;
            for (const auto& name : Entries(kLogDir)) ours += earlier.count(name) == 0;
            ASSERT_LE(ours, 1u) << "record " << i;
        }
        for (const auto& [name, text] : earlier) {
            ASSERT_TRUE(Exists(Path(name))) << name;
            EXPECT_EQ(sandbox::ReadFile(Path(name)).substr(0, text.size()), text) << name;
        }
        // Another name format's files are not even appended to.
        EXPECT_EQ(sandbox::ReadFile(Path("dgfile.4242.log")), "earlier pid\n");
        // A full file of an earlier process took one record, then the log moved on.
        EXPECT_EQ(RecordsIn(Path("dgfile.3.log")).size(), 1u);
        EXPECT_GT(Entries(kLogDir).size(), earlier.size());
    });
    EXPECT_EQ(r.err, "");
}

// Without the process id in the name, a child made by fork rotates into the
// same names as its parent; it must never delete the file its parent writes.
TEST(LogRotationOwnership, ForkedChildNeverDeletesItsParentsFiles) {
    sandbox::Options o;
    o.settings = RotationSettings("1", "1");
    auto r = Sandboxed(o, [] {
        Emit(1);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (long i = 100; i < 160; ++i) Emit(i);
            sandbox::ExitChild(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        // The parent's file is still there, and still the parent's first one.
        ASSERT_TRUE(Exists(Path("dgfile.log")));
        EXPECT_EQ(RecordsIn(Path("dgfile.log")).front(), (Rec{1, 0}));
        // The child kept one file of its own besides the inherited one.
        EXPECT_EQ(Entries(kLogDir).size(), 2u);
        Emit(2);  // the parent rotates, and keeps going
        std::set<long> everywhere;
        for (const auto& name : Entries(kLogDir))
            for (const Rec& rec : RecordsIn(Path(name))) everywhere.insert(rec.n);
        EXPECT_EQ(everywhere.count(2), 1u);
    });
    EXPECT_EQ(r.err, "");
}

// ---- Threads ------------------------------------------------------------------------------

constexpr int kThreads = 8;

// Starts kThreads writers together; writer t emits records (n, t) for n in
// [0, per_thread).  `watch` runs on the calling thread until they finish.
void RunWriters(long per_thread, const std::function<void()>& watch) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            for (long n = 0; n < per_thread; ++n) Emit(n, t);
            done.fetch_add(1);
        });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    go.store(true);
    while (done.load() < kThreads) watch();
    for (auto& w : writers) w.join();
}

TEST(LogRotationThreads, EightWritersEveryRecordWholeOnceAndInOrder) {
    sandbox::Options o;
    o.settings = RotationSettings("1", "100000");
    Sandboxed(o, [] {
        constexpr long kPerThread = 300;
        RunWriters(kPerThread, [] { std::this_thread::yield(); });
        // Creation order is the number order of the default name format.
        auto names = Entries(kLogDir);
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return NumberOf(a) < NumberOf(b);
        });
        EXPECT_GT(names.size(), 100u);
        std::vector<long> next(kThreads, 0);
        std::set<Rec> seen;
        size_t total = 0;
        for (const auto& name : names) {
            ExpectWithinLimit(Path(name), 1024);
            for (const Rec& r : RecordsIn(Path(name))) {
                ASSERT_GE(r.t, 0);
                ASSERT_LT(r.t, kThreads);
                EXPECT_EQ(r.n, next[r.t]++) << name;  // per writer, in order
                seen.insert(r);
                ++total;
            }
        }
        EXPECT_EQ(total, static_cast<size_t>(kThreads * kPerThread));
        EXPECT_EQ(seen.size(), total);
    });
}

TEST(LogRotationThreads, EightWritersNeverLeaveMoreFilesThanTheCount) {
    for (const char* files : {"3", "-1"}) {
        sandbox::Options o;
        o.settings = RotationSettings("1", files, "%t");
        Sandboxed(o, [files] {
            const size_t keep = std::atoi(files) < 1 ? 1 : static_cast<size_t>(std::atoi(files));
            size_t most = 0;
            long looks = 0;
            RunWriters(250, [&] {
                // A look may fall between a new file's creation and the
                // trimming that follows it: one more than the count at most.
                most = std::max(most, Entries(kLogDir).size());
                ++looks;
            });
            EXPECT_GT(looks, 0);
            EXPECT_LE(most, keep + 1) << files;
            auto names = Entries(kLogDir);
            EXPECT_EQ(names.size(), keep) << files;
            for (const auto& name : names) {
                ExpectWithinLimit(Path(name), 1024);
                EXPECT_FALSE(RecordsIn(Path(name)).empty()) << name;
            }
        });
    }
}

}  // namespace
