// SPDX-License-Identifier: Apache-2.0
// Whether a file system takes O_DIRECT: a file, or a new file in a
// directory, is opened with O_DIRECT and must move one aligned 4096-byte
// block that way (some file systems accept the flag at open and refuse the
// transfer).  The one probe of the tools and the tests: dgfile-doctor reports
// which step failed and why, dgfile-bench and the tests' scratch directory
// helpers only ask whether it passed.  No state of its own: any thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace dgbench {

struct DirectIoProbe {
    enum class Step { none, create, open, transfer };
    Step failed = Step::none;  // the step that failed; none when all passed
    int error = 0;             // the errno it failed with
    bool ok() const { return failed == Step::none; }
};

// Opens the existing `path` read-only with O_DIRECT and reads its first
// block when it has one (`size` of 4096 bytes or more).
DirectIoProbe ProbeDirectIoFile(const std::string& path, off_t size);

// Creates a file in the directory `dir`, opens it with O_DIRECT, writes a
// block and reads it back.  The file is removed as soon as it is open.
DirectIoProbe ProbeDirectIoDirectory(const std::string& dir);

inline bool TakesDirectIo(const std::string& dir) { return ProbeDirectIoDirectory(dir).ok(); }

}  // namespace dgbench
