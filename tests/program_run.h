// SPDX-License-Identifier: Apache-2.0
// Starts a program built by the project and collects what it printed, for
// the tests of dgfile-doctor and of the example programs.  Called inside
// sandboxed children (tests/sandbox.h), so the program sees the sandbox's
// settings directory, /dev and environment.
#pragma once

#include <string>
#include <vector>

namespace programs {

struct Run {
    int exit_code = -1;  // -1 when it did not exit normally
    int signal = 0;      // the signal that ended it, if any
    std::string out;     // its standard output
    std::string err;     // its standard error
};

// Runs `path` with `args` and this process's environment, and waits for it.
Run Start(const std::string& path, const std::vector<std::string>& args);

// A directory whose file system accepts O_DIRECT, for scratch files:
// /var/tmp, /tmp or `fallback`, whichever takes an aligned direct write
// first; empty when none does.
std::string DirectIoDir(const std::string& fallback);

}  // namespace programs
