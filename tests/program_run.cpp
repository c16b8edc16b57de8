// SPDX-License-Identifier: Apache-2.0
#include "program_run.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "direct_io_probe.h"

extern char** environ;

namespace programs {
namespace {

std::string Drain(int fd) {
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

}  // namespace

Run Start(const std::string& path, const std::vector<std::string>& args) {
    Run run;
    // Memory files rather than pipes: nothing to drain while it runs.
    int out = ::memfd_create("program-out", MFD_CLOEXEC);
    int err = ::memfd_create("program-err", MFD_CLOEXEC);
    if (out < 0 || err < 0) {
        run.err = std::string("memfd_create: ") + std::strerror(errno);
        return run;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execve(path.c_str(), argv.data(), environ);
        std::fprintf(stderr, "execve %s: %s\n", path.c_str(), std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    if (pid > 0) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    }
    run.out = Drain(out);
    run.err = Drain(err);
    if (pid < 0) run.err = std::string("fork: ") + std::strerror(errno);
    return run;
}

std::string DirectIoDir(const std::string& fallback) {
    for (const std::string& dir : {std::string("/var/tmp"), std::string("/tmp"), fallback})
        if (dgbench::TakesDirectIo(dir)) return dir;
    return std::string();
}

}  // namespace programs
