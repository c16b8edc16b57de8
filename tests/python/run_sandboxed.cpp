// SPDX-License-Identifier: Apache-2.0
// Runs a program in a sandboxed child (sandbox.h): its own mount namespace
// with a private /opt/tavo and a /dev without a GPU device node, its own host
// name, DGFILE_* variables cleared.  The Python tests run pytest through it,
// so that, like the C++ tests, they never touch the machine's /opt/tavo or
// /dev.  Prints what the child printed and exits with its status (77 when the
// sandbox cannot be made here, 124 on time-out).
//
//   run_sandboxed [--timeout SECONDS] PROGRAM [ARGUMENT...]
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sandbox.h"

int main(int argc, char** argv) {
    sandbox::Options options;
    options.device_node = false;  // a machine without a GPU: the simulator answers
    options.timeout_ms = 600 * 1000;
    int first = 1;
    if (argc > 3 && std::strcmp(argv[1], "--timeout") == 0) {
        options.timeout_ms = std::atoi(argv[2]) * 1000;
        first = 3;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: run_sandboxed [--timeout SECONDS] PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    sandbox::Result r = sandbox::Run(options, [&] {
        ::execv(argv[first], argv + first);
        std::fprintf(stderr, "run_sandboxed: cannot start %s: %s\n", argv[first], std::strerror(errno));
        std::fflush(stderr);
        sandbox::ExitChild(127);
    });
    if (r.skipped) return 77;  // the reason is on standard error already
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    std::fwrite(r.err.data(), 1, r.err.size(), stderr);
    if (r.timed_out) {
        std::fprintf(stderr, "run_sandboxed: %s timed out\n", argv[first]);
        return 124;
    }
    if (r.signal != 0) {
        std::fprintf(stderr, "run_sandboxed: %s ended by signal %d\n", argv[first], r.signal);
        return 128 + r.signal;
    }
    return r.exit_code;
}
