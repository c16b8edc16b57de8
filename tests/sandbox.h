// SPDX-License-Identifier: Apache-2.0
// Test harness: runs a test body in a child process with its own view of the
// system, so that the library's process-wide state and fixed paths can be
// exercised without touching the real machine.
//
// The child gets private mount and UTS namespaces (and, when not root or when
// asked to act as a developer, a user namespace in which it is root):
//  - a temporary file system over /opt/tavo, the top of every fixed path the
//    tests use (or over its nearest existing parent where there is no
//    /opt/tavo), holding /opt/tavo/etc and, if given, dgfile.ini; nothing
//    is created outside it, even where the machine has an /opt/tavo/etc;
//  - a temporary /dev holding a few real device nodes and, if asked, "qrvd";
//  - its own host name and environment (DGFILE_* variables cleared first).
// The body runs in the child; GoogleTest assertions made there are reported
// through the child's exit status and captured output. In a chroot the child
// makes its mounts private from its namespace's own root. Where the kernel
// refuses a child what it needs (a user namespace under qemu-user or in a
// chroot, a mount namespace or a mount in a locked-down container), the test
// ends there, skipped, with the child's reason.
//
// Rule for test authors: the parent process never calls the library, so that
// every child starts from a freshly loaded library's state.
//
// Programs built without GoogleTest (the benchmarks) define
// SANDBOX_WITHOUT_GTEST: a body then fails by throwing, which the child
// prints on standard error and reports in its exit status.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#ifndef SANDBOX_WITHOUT_GTEST
#include <gtest/gtest.h>
#endif

namespace sandbox {

enum class Identity {
    Root,       // real root if the tests run as root, else root of a user namespace
    Developer,  // an ordinary user who is root only inside a user namespace
};

// How long a sandboxed child may run before it is killed and its test
// fails.  Every case gets the ordinary limit; a case that moves gigabytes or
// loops for many rounds on purpose asks for the long one (Options::Long()).
// Both leave room for a 2-core machine loaded by other work: the slowest case
// of each kind takes under a third of its limit alone.  ctest's limit for a
// test program (TIMEOUT in tests/CMakeLists.txt) stays above the long one.
inline constexpr int kChildTimeoutMs = 60 * 1000;
inline constexpr int kLongChildTimeoutMs = 240 * 1000;

struct Options {
    Identity identity = Identity::Root;
    std::string hostname = "sandbox";
    std::optional<std::string> settings;     // dgfile.ini contents; none: no file
    bool device_node = true;                 // create /dev/qrvd (a plain file)
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    int timeout_ms = kChildTimeoutMs;

    // These options with the long time limit.
    Options Long() const {
        Options o = *this;
        o.timeout_ms = kLongChildTimeoutMs;
        return o;
    }
};

struct Result {
    int exit_code = -1;  // -1 when the child did not exit normally
    int signal = 0;      // the signal that ended the child, if any
    bool timed_out = false;
    std::string out;     // the child's standard output
    std::string err;     // the child's standard error
    // The body did not run: the kernel refused the child its sandbox.  The
    // current test is then marked skipped and ended (with GoogleTest), or
    // (without) the reason is on standard error.
    bool skipped = false;
};

// Exit code of a child whose namespace set-up failed (the reason is on its
// standard error).
constexpr int kSetupFailed = 97;
// Exit code of a child to which the kernel refused what its sandbox needs: a
// user namespace (to a process of several threads, as under qemu-user, or in
// a chroot, or by policy), a mount namespace or a mount (a locked-down
// container). Its standard error says what is missing and how to get it; the
// parent marks the test skipped with that reason and ends it.
constexpr int kRefused = 98;

Result Run(const Options& options, const std::function<void()>& body);

// Whether a sandboxed body can become another user (setresuid): only real
// root outside a user namespace can.
bool CanDropPrivileges(Identity identity);

// Descriptors of this process whose target is `path`, from /proc/self/fd.
std::vector<int> DescriptorsOn(const std::string& path);

// The open flags the kernel reports for `fd` (the "flags:" line of fdinfo).
int DescriptorFlags(int fd);

std::string ReadFile(const std::string& path);

// Whether anything exists at `path` (a dangling link counts).
bool PathExists(const std::string& path);

// The names in a directory, sorted, without "." and ".."; empty when it
// cannot be read.
std::vector<std::string> DirectoryEntries(const std::string& dir);

// The lines of `text` without their newlines (a last line without one counts).
std::vector<std::string> Lines(const std::string& text);

void WriteFile(const std::string& path, const std::string& contents);

// Ends a process the tests forked (a sandboxed child, or a child its body
// forked) at once, as _exit does: no exit handlers, no flush of the parent's
// buffers.  Coverage builds end it through exit() instead, so that every
// instrumented module writes its counters, which _exit would lose.
[[noreturn]] void ExitChild(int code);

}  // namespace sandbox

#ifndef SANDBOX_WITHOUT_GTEST
// Passes when the child ran to the end without a failed assertion; otherwise
// shows what the child printed.  (A refused run never returns: Run ends the
// test as skipped.)
#define EXPECT_SANDBOX_OK(result)                                            \
    EXPECT_TRUE((result).exit_code == 0 && !(result).timed_out)              \
        << "child exit " << (result).exit_code << ", signal "                \
        << (result).signal << ((result).timed_out ? ", timed out" : "")      \
        << "\n--- child stdout ---\n" << (result).out                        \
        << "\n--- child stderr ---\n" << (result).err
#endif

namespace sandbox {
inline std::ostream& operator<<(std::ostream& os, Identity identity) {
    return os << (identity == Identity::Root ? "root" : "developer");
}
}  // namespace sandbox
