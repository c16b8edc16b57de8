// SPDX-License-Identifier: Apache-2.0
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

// ThreadSanitizer starts its background thread in every forked child, and the
// kernel lets only a single-threaded process enter a user namespace; its
// clone() interceptor starts the child without that thread.
#if defined(__SANITIZE_THREAD__)
#define SANDBOX_START_WITH_CLONE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SANDBOX_START_WITH_CLONE 1
#endif
#endif

namespace sandbox {
namespace {

constexpr const char* kSettingsDir = "/opt/tavo/etc";
// The top of every fixed path the tests use (the settings directory, log
// directories, their own mounts): always on the child's private file system.
constexpr const char* kPrivateTop = "/opt/tavo";
constexpr uid_t kNobody = 65534;

[[noreturn]] void SetupFailed(const std::string& what) {
    std::fprintf(stderr, "sandbox set-up failed: %s: %s\n", what.c_str(),
                 std::strerror(errno));
    std::fflush(stderr);
    _exit(kSetupFailed);
}

void Check(bool ok, const std::string& what) {
    if (!ok) SetupFailed(what);
}

// The kernel refuses this process what its sandbox needs: the child says what
// is missing and how to get it, and the parent marks the test skipped.
[[noreturn]] void Refused(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::fflush(stderr);
    _exit(kRefused);
}

// A mount the kernel may refuse by policy (no CAP_SYS_ADMIN, a security
// module's profile): a refusal skips the test, any other error fails it.
void CheckMount(bool ok, const std::string& what) {
    if (ok) return;
    if (errno == EPERM || errno == EACCES)
        Refused("the kernel refuses the sandbox's mounts (" + what + ": " +
                std::strerror(errno) +
                "): a container's security profile or missing CAP_SYS_ADMIN forbids them; "
                "run the suite where the test processes may mount in their own mount "
                "namespace");
    SetupFailed(what);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) {
    std::string prefix;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        prefix += "/" + part;
        if (!Exists(prefix)) Check(::mkdir(prefix.c_str(), 0755) == 0, "mkdir " + prefix);
    }
}

void WriteProc(const std::string& path, const std::string& text) {
    int f = ::open(path.c_str(), O_WRONLY);
    Check(f >= 0, "open " + path);
    Check(::write(f, text.data(), text.size()) == static_cast<ssize_t>(text.size()),
          "write " + path);
    ::close(f);
}

// The "Threads:" count of /proc/self/status; 0 if it cannot be read.
int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") {
            int count = 0;
            status >> count;
            return count;
        }
    }
    return 0;
}

void BecomeNobody() {
    Check(::setgroups(0, nullptr) == 0, "setgroups");
    Check(::setresgid(kNobody, kNobody, kNobody) == 0, "setresgid");
    Check(::setresuid(kNobody, kNobody, kNobody) == 0, "setresuid");
    // A uid change makes the process non-dumpable, which would leave its
    // /proc files (uid_map among them) owned by root.
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

// Whether "/" is the root of a mount; it is not in a chroot made on a plain
// directory.  True when the kernel cannot tell.
bool RootIsMountRoot() {
    struct statx st;
    if (::statx(AT_FDCWD, "/", 0, 0, &st) != 0 ||
        (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0)
        return true;
    return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Why unshare() refused a user namespace, with what to do; empty when the
// error is not a refusal.
std::string UserNamespaceRefusal(int error) {
    const std::string cannot = "cannot enter a user namespace: ";
    const int threads = ThreadCount();
    if (error == EINVAL && threads > 1)
        return cannot + "the kernel allows it only to a single-threaded process and this one "
               "has " + std::to_string(threads) +
               " threads (under qemu-user the emulator's own thread is always there)";
    if (error == EPERM && !RootIsMountRoot())
        return cannot + "this process runs in a chroot, and the kernel gives none to a process "
               "whose root is not its mount namespace's root; run the suite outside the "
               "chroot, or in a container with a root of its own";
    if (error == EPERM)
        return cannot + "the kernel refuses them here (kernel.unprivileged_userns_clone=0, a "
               "security module, a seccomp filter, or a chroot); allow unprivileged user "
               "namespaces, or run the suite where they are allowed";
    if (error == ENOSPC || error == EUSERS)
        return cannot + "the limit is reached (user.max_user_namespaces, or the nesting "
               "depth); raise it with sysctl user.max_user_namespaces";
    return std::string();
}

// In a chroot "/" is no mount point, so its propagation cannot be changed
// there.  Entering our own mount namespace again moves root and working
// directory to the namespace's root, where every mount (the chroot's among
// them) is made private; descriptors kept open bring both back.  A plain
// self-bind of "/" instead would propagate to the host when the chroot lies
// on a shared mount.
void PrivateFromNamespaceRoot() {
    const int root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int cwd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int ns = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    Check(root >= 0 && cwd >= 0, "open / and the working directory");
    Check(ns >= 0, "open /proc/self/ns/mnt (the chroot needs /proc)");
    if (::setns(ns, CLONE_NEWNS) != 0) {
        if (errno == EPERM)
            Refused("the sandbox runs in a chroot, and this process may not leave it for "
                    "its mount namespace's root (setns: " + std::string(std::strerror(errno)) +
                    "; it needs CAP_SYS_ADMIN and CAP_SYS_CHROOT): run the suite as root, "
                    "or outside the chroot");
        SetupFailed("setns into the test's own mount namespace");
    }
    CheckMount(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
               "make the namespace's root private");
    Check(::fchdir(root) == 0 && ::chroot(".") == 0 && ::fchdir(cwd) == 0,
          "return to the chroot");
    ::close(ns);
    ::close(cwd);
    ::close(root);
}

void EnterNamespaces(Identity identity) {
    bool real_root = ::geteuid() == 0;
    if (real_root && identity == Identity::Developer) BecomeNobody();
    bool user_ns = !real_root || identity == Identity::Developer;
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    int flags = CLONE_NEWNS | CLONE_NEWUTS | (user_ns ? CLONE_NEWUSER : 0);
    if (::unshare(flags) != 0) {
        int error = errno;
        if (user_ns) {
            std::string why = UserNamespaceRefusal(error);
            if (!why.empty()) Refused(why);
        } else if (error == EPERM) {
            Refused("cannot make a mount namespace: this process lacks CAP_SYS_ADMIN, or a "
                    "seccomp filter refuses unshare() (as in a container started without "
                    "them); give the container CAP_SYS_ADMIN and a filter that allows "
                    "unshare() and mount(), or run the suite outside it");
        }
        errno = error;
        SetupFailed("unshare");
    }
    if (user_ns) {
        WriteProc("/proc/self/setgroups", "deny");
        WriteProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        WriteProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return;
    const int error = errno;
    if (error == EINVAL && !RootIsMountRoot()) return PrivateFromNamespaceRoot();
    errno = error;
    CheckMount(false, "make / private");
}

// A fresh, empty settings directory on a temporary file system mounted over
// /opt/tavo, or its nearest existing ancestor, so that every path below
// /opt/tavo is private even where the machine has one (an installation's
// /opt/tavo/etc); nothing is created on the real system.
void PrivateSettingsDir(const std::optional<std::string>& settings) {
    std::string top = kPrivateTop;
    while (!Exists(top)) top = top.substr(0, top.rfind('/'));
    if (top.empty()) {
        errno = ENOENT;
        SetupFailed("no /opt, and /opt/tavo could be made only on the real root");
    }
    CheckMount(::mount("tmpfs", top.c_str(), "tmpfs", 0, "mode=0755") == 0, "tmpfs on " + top);
    MakeDirs(kSettingsDir);
    if (settings) WriteFile(std::string(kSettingsDir) + "/dgfile.ini", *settings);
}

// A temporary /dev with the ordinary nodes bound from the real one.
void PrivateDev(bool device_node) {
    static const char* kNodes[] = {"null", "zero", "full", "random", "urandom"};
    int held[5];
    for (int i = 0; i < 5; ++i) {
        held[i] = ::open((std::string("/dev/") + kNodes[i]).c_str(), O_PATH);
        Check(held[i] >= 0, std::string("open /dev/") + kNodes[i]);
    }
    CheckMount(::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") == 0, "tmpfs on /dev");
    for (int i = 0; i < 5; ++i) {
        std::string target = std::string("/dev/") + kNodes[i];
        WriteFile(target, "");
        std::string source = "/proc/self/fd/" + std::to_string(held[i]);
        CheckMount(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0,
                   "bind " + target);
        ::close(held[i]);
    }
    Check(::symlink("/proc/self/fd", "/dev/fd") == 0, "link /dev/fd");
    Check(::symlink("/proc/self/fd/0", "/dev/stdin") == 0, "link /dev/stdin");
    Check(::symlink("/proc/self/fd/1", "/dev/stdout") == 0, "link /dev/stdout");
    Check(::symlink("/proc/self/fd/2", "/dev/stderr") == 0, "link /dev/stderr");
    if (device_node) {
        WriteFile("/dev/qrvd", "");
        Check(::chmod("/dev/qrvd", 0666) == 0, "chmod /dev/qrvd");
    }
}

void ApplyEnvironment(const Options& options) {
    std::vector<std::string> ours;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "DGFILE_", 7) == 0)
            ours.emplace_back(*e, std::strchr(*e, '=') - *e);
    for (const auto& name : ours) ::unsetenv(name.c_str());
    for (const auto& [name, value] : options.env) {
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
}

// A failure in the body: a GoogleTest failure, or (without GoogleTest) a line
// on standard error and exit status 1.
#ifdef SANDBOX_WITHOUT_GTEST
bool g_body_failed = false;

void ReportFailure(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    g_body_failed = true;
}

bool BodyFailed() { return g_body_failed; }
#else
void ReportFailure(const std::string& what) { ADD_FAILURE() << what; }

bool BodyFailed() { return ::testing::Test::HasFailure(); }
#endif

[[noreturn]] void Child(const Options& options, const std::function<void()>& body,
                        int out_fd, int err_fd) {
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    ::close(out_fd);
    ::close(err_fd);
    try {
        EnterNamespaces(options.identity);
        Check(::sethostname(options.hostname.data(), options.hostname.size()) == 0,
              "sethostname");
        PrivateSettingsDir(options.settings);
        PrivateDev(options.device_node);
        ApplyEnvironment(options);
    } catch (const std::exception& e) {
        SetupFailed(e.what());
    }
    try {
        body();
    } catch (const std::exception& e) {
        ReportFailure(std::string("exception in sandboxed body: ") + e.what());
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ExitChild(BodyFailed() ? 1 : 0);
}

struct ChildArgs {
    const Options* options;
    const std::function<void()>* body;
    int out_fd;
    int err_fd;
};

// Starts the child and returns its pid (in the parent only). With fork() by
// default: it resets the C library's state for the child properly, and the
// address and undefined-behaviour sanitizers keep full stack traces in it.
pid_t StartChild(ChildArgs& args) {
#ifdef SANDBOX_START_WITH_CLONE
    constexpr size_t kStackSize = size_t{8} << 20;
    void* stack = ::mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return -1;
    auto entry = [](void* p) -> int {
        auto* a = static_cast<ChildArgs*>(p);
        Child(*a->options, *a->body, a->out_fd, a->err_fd);
    };
    // Without CLONE_VM the child runs on its own copy of the stack mapping.
    pid_t pid = ::clone(entry, static_cast<char*>(stack) + kStackSize, SIGCHLD, &args);
    ::munmap(stack, kStackSize);
    return pid;
#else
    pid_t pid = ::fork();
    if (pid == 0) Child(*args.options, *args.body, args.out_fd, args.err_fd);
    return pid;
#endif
}

std::string Drain(int fd) {
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
}

// Records a skip on the running test, with the child's reason.
void MarkSkipped(Identity identity, const std::string& why) {
    std::string text = std::string("no sandbox for the ") +
                       (identity == Identity::Root ? "root" : "developer") + " identity here: " + why;
#ifdef SANDBOX_WITHOUT_GTEST
    std::fprintf(stderr, "skipped: %s\n", text.c_str());
#else
    GTEST_SKIP() << text;
#endif
}

}  // namespace

bool CanDropPrivileges(Identity identity) {
    return ::geteuid() == 0 && identity == Identity::Root;
}

Result Run(const Options& options, const std::function<void()>& body) {
    Result result;
    int out_fd = ::memfd_create("sandbox-out", MFD_CLOEXEC);
    int err_fd = ::memfd_create("sandbox-err", MFD_CLOEXEC);
    if (out_fd < 0 || err_fd < 0) throw std::runtime_error("memfd_create failed");
    std::fflush(stdout);
    std::fflush(stderr);
    ChildArgs args{&options, &body, out_fd, err_fd};
    pid_t pid = StartChild(args);
    if (pid < 0) throw std::runtime_error("cannot start the sandbox child");

    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(options.timeout_ms);
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = Drain(out_fd);
    result.err = Drain(err_fd);
    ::close(out_fd);
    ::close(err_fd);
    if (result.exit_code == kRefused && !result.timed_out) {
        result.skipped = true;
        MarkSkipped(options.identity, result.err);
#ifndef SANDBOX_WITHOUT_GTEST
        // Ends the test here, as skipped: what it would check after the run
        // means nothing without one.  GoogleTest takes this exception for a
        // result already reported.
        throw ::testing::AssertionException(::testing::TestPartResult(
            ::testing::TestPartResult::kSkip, __FILE__, __LINE__, "sandbox refused"));
#endif
    }
    return result;
}

std::vector<int> DescriptorsOn(const std::string& path) {
    std::vector<int> found;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return found;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX];
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n < 0) continue;
        target[n] = '\0';
        if (path == target) found.push_back(std::atoi(entry->d_name));
    }
    ::closedir(dir);
    return found;
}

int DescriptorFlags(int fd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    std::string key;
    while (info >> key) {
        if (key == "flags:") {
            std::string octal;
            info >> octal;
            return static_cast<int>(std::strtol(octal.c_str(), nullptr, 8));
        }
    }
    return -1;
}

bool PathExists(const std::string& path) { return Exists(path); }

std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path);
}

void ExitChild(int code) {
#ifdef DGFILE_COVERAGE
    // Each instrumented module (the test program, the library, the
    // simulator) writes its own counters from its exit handlers; the
    // coverage runtime's own flush reaches only the module it is called from.
    std::exit(code);
#else
    _exit(code);
#endif
}

}  // namespace sandbox
