// SPDX-License-Identifier: Apache-2.0
// Running test bodies in sandboxed children (sandbox.h) and programs the
// project built, with what they printed brought back.  No state of its own:
// any thread of a test program, or of a sandboxed child.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sandbox.h"

namespace support {

using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;

// sandbox::Run, whose child's failures (or end) fail the current test.
sandbox::Result Sandboxed(const sandbox::Options& options, const std::function<void()>& body);
inline sandbox::Result Sandboxed(const std::function<void()>& body) {
    return Sandboxed(sandbox::Options(), body);
}

struct ProgramRun {
    int exit_code = -1;  // -1 when it did not exit normally
    int signal = 0;      // the signal that ended it, if any
    std::string out;     // its standard output
    std::string err;     // its standard error
};

// Runs argv[0] with standard input from /dev/null, in `env` (this process's
// environment when null), with standard error on a pseudo-terminal when
// `terminal`.  A program still running after four minutes is killed, and
// the current test fails.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>* env = nullptr, bool terminal = false);

// Runs argv[0] in a sandboxed child with `options`, after `prepare` (called
// in the child), with the simulated platform's variables cleared before
// those of `options`: the program sees the machine the sandbox makes.
ProgramRun RunInSandbox(sandbox::Options options, const std::vector<std::string>& argv,
                        const std::function<void()>& prepare = {});

}  // namespace support
