// SPDX-License-Identifier: Apache-2.0
// The rotation's internal pieces, linked from the object library: choosing a
// name distinct from the queue's, and opening a log file while telling a file
// this process created from one that was already there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "sandbox.h"
#include "support/scratch.h"

namespace {

// Entries of a queue built from names; the queue does not own them here.
class Queue {
public:
    explicit Queue(const std::vector<std::string>& names) : entries_(names.size()) {
        for (size_t i = 0; i < names.size(); ++i) {
            std::strncpy(entries_[i].fullpath, names[i].c_str(), sizeof entries_[i].fullpath - 1);
            queue_push(&queue_, &entries_[i]);
        }
    }
    const LogQueue& get() const { return queue_; }

private:
    std::vector<LogFileInfo> entries_;
    LogQueue queue_;
};

// The name chosen for `path` against a queue of `names`; "(refused)" when
// there is none.
std::string Distinct(const std::vector<std::string>& names, const std::string& path,
                     size_t size = sizeof(LogFileInfo::fullpath)) {
    Queue q(names);
    char buf[sizeof(LogFileInfo::fullpath)] = {};
    std::strncpy(buf, path.c_str(), sizeof buf - 1);
    if (!distinct_log_filepath(q.get(), buf, size)) {
        EXPECT_EQ(std::string(buf), path) << "a refused name must stay unchanged";
        return "(refused)";
    }
    return buf;
}

TEST(DistinctLogFilePath, KeepsTheRuleNameUntilItOrANumberedFormIsListed) {
    EXPECT_EQ(Distinct({}, "/d/dgfile.log"), "/d/dgfile.log");
    EXPECT_EQ(Distinct({"/d/dgfilegpu7.log", "/d/dgfile.2025_01_31_23_59_07.log",
                        "/e/dgfile.log"},
                       "/d/dgfile.log"),
              "/d/dgfile.log");
    EXPECT_EQ(Distinct({"/d/dgfile.log"}, "/d/dgfile.log"), "/d/dgfile.1.log");
    EXPECT_EQ(Distinct({"/d/dgfile.log", "/d/dgfile.1.log", "/d/dgfile.7.log"}, "/d/dgfile.log"),
              "/d/dgfile.8.log");
    // The rule's own name was trimmed, the numbers go on: the newest file
    // always has the highest number.
    EXPECT_EQ(Distinct({"/d/dgfile.3.log", "/d/dgfile.4.log"}, "/d/dgfile.log"),
              "/d/dgfile.5.log");
    // With the time in the name, each second starts again without a number.
    const std::string t7 = "/d/dgfile.2025_01_31_23_59_07";
    EXPECT_EQ(Distinct({t7 + ".log", t7 + ".1.log"}, t7 + ".log"), t7 + ".2.log");
    EXPECT_EQ(Distinct({t7 + ".log", t7 + ".1.log"}, "/d/dgfile.2025_01_31_23_59_08.log"),
              "/d/dgfile.2025_01_31_23_59_08.log");
}

TEST(DistinctLogFilePath, OnlyCanonicalNumbersCount) {
    // None of these is the rule's name or a number the rule would make.
    EXPECT_EQ(Distinct({"/d/dgfile.01.log", "/d/dgfile.1x.log", "/d/dgfile..log",
                        "/d/dgfile.1.log.log", "/d/dgfilex.log"},
                       "/d/dgfile.log"),
              "/d/dgfile.log");
    EXPECT_EQ(Distinct({"/d/dgfile.log", "/d/dgfile.09.log", "/d/dgfile.99999999999999999999.log"},
                       "/d/dgfile.log"),
              "/d/dgfile.1.log");
    // Any canonical number counts, whoever made the name: the result is
    // still distinct.
    EXPECT_EQ(Distinct({"/d/dgfile.4242.log"}, "/d/dgfile.log"), "/d/dgfile.4243.log");
    // No number is left above the highest possible one.
    EXPECT_EQ(Distinct({"/d/dgfile.18446744073709551615.log"}, "/d/dgfile.log"), "(refused)");
    EXPECT_EQ(Distinct({"/d/dgfile.18446744073709551614.log"}, "/d/dgfile.log"),
              "/d/dgfile.18446744073709551615.log");
}

TEST(DistinctLogFilePath, NumberedNameMustFit) {
    // A 509-character name takes ".1" within 511 characters, a 510 one does not.
    std::string dir = "/" + std::string(497, 'd') + "/";
    std::string fits = dir + "dgfile.log";
    ASSERT_EQ(fits.size(), 509u);
    EXPECT_EQ(Distinct({fits}, fits), dir + "dgfile.1.log");
    std::string longer = "/" + std::string(498, 'd') + "/dgfile.log";
    EXPECT_EQ(Distinct({longer}, longer), "(refused)");
    // The buffer given, not the entry's, is the limit.
    EXPECT_EQ(Distinct({"/d/dgfile.log"}, "/d/dgfile.log", 16), "/d/dgfile.1.log");
    EXPECT_EQ(Distinct({"/d/dgfile.log"}, "/d/dgfile.log", 15), "(refused)");
}

class OpenLogFile : public ::testing::Test {
protected:
    LogFileInfo Entry(const std::string& name) {
        LogFileInfo e{};
        std::strncpy(e.fullpath, dir_.File(name).c_str(), sizeof e.fullpath - 1);
        e.owned = true;  // a stale value: the call must set it either way
        return e;
    }
    support::ScratchDir dir_;
};

TEST_F(OpenLogFile, CreatedFileIsOwnedExistingFileIsAppendedAndNotOwned) {
    LogFileInfo fresh = Entry("new.log");
    fresh.owned = false;
    FILE* f = open_log_file(&fresh);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(fresh.owned);
    // An ordinary blocking append stream, whichever way the file was opened.
    EXPECT_EQ(::fcntl(::fileno(f), F_GETFL) & (O_APPEND | O_NONBLOCK), O_APPEND);
    std::fputs("one\n", f);
    std::fclose(f);

    LogFileInfo again = Entry("new.log");
    FILE* g = open_log_file(&again);
    ASSERT_NE(g, nullptr);
    EXPECT_FALSE(again.owned);
    EXPECT_EQ(::fcntl(::fileno(g), F_GETFL) & (O_APPEND | O_NONBLOCK), O_APPEND);
    std::fputs("two\n", g);
    // Close-on-exec, so that programs the application executes do not
    // inherit the library's stream.
    EXPECT_TRUE(::fcntl(::fileno(g), F_GETFD) & FD_CLOEXEC);
    std::fclose(g);
    EXPECT_EQ(sandbox::ReadFile(fresh.fullpath), "one\ntwo\n");
}

TEST_F(OpenLogFile, DirectoryInTheWayFailsWithoutTouchingIt) {
    LogFileInfo e = Entry("dir.log");
    ASSERT_EQ(::mkdir(e.fullpath, 0755), 0);
    errno = 0;
    EXPECT_EQ(open_log_file(&e), nullptr);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(e.owned);
    struct stat st;
    ASSERT_EQ(::stat(e.fullpath, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    LogFileInfo missing = Entry("no/such/dir.log");
    EXPECT_EQ(open_log_file(&missing), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(missing.owned);
}

}  // namespace
