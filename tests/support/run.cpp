// SPDX-License-Identifier: Apache-2.0
#include "support/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

extern char** environ;

namespace support {

sandbox::Result Sandboxed(const sandbox::Options& options, const std::function<void()>& body) {
    sandbox::Result r = sandbox::Run(options, body);
    EXPECT_SANDBOX_OK(r);
    return r;
}

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// Reads both descriptors until each ends, or the deadline passes.
bool Collect(int out, int err, std::string* out_text, std::string* err_text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string* sinks[2] = {out_text, err_text};
    for (int open_fds = 2; open_fds > 0;) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (::poll(fds, 2, 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {  // a pseudo-terminal ends with EIO
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    return true;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>* env,
                      bool terminal) {
    ProgramRun run;
    std::vector<std::string> args = argv, vars;
    if (env != nullptr) vars = *env;
    else for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
    std::vector<char*> argp = Pointers(args), envp = Pointers(vars);

    int out[2], err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) return run;
    if (terminal) {
        err[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (err[0] < 0 || ::grantpt(err[0]) != 0 || ::unlockpt(err[0]) != 0) return run;
        err[1] = ::open(::ptsname(err[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    } else if (::pipe2(err, O_CLOEXEC) != 0) {
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::execve(argp[0], argp.data(), envp.data());
        std::fprintf(stderr, "cannot start %s\n", argp[0]);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (!Collect(out[0], err[0], &run.out, &run.err)) {
        ::kill(pid, SIGKILL);
        ADD_FAILURE() << argv[0] << " did not finish in four minutes";
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}

ProgramRun RunInSandbox(sandbox::Options options, const std::vector<std::string>& argv,
                        const std::function<void()>& prepare) {
    Env env = {{"QRVD_SIM", std::nullopt},
               {"QRVD_SIM_FAULT", std::nullopt},
               {"QRV_SIM_GPUS", std::nullopt},
               {"QRV_SIM_MEM_SIZE", std::nullopt}};
    env.insert(env.end(), options.env.begin(), options.env.end());
    options.env = env;
    // The child prints the program's exit status first, then its output.
    const sandbox::Result result = Sandboxed(options, [&] {
        if (prepare) prepare();
        const ProgramRun r = RunProgram(argv);
        std::printf("exit=%d signal=%d\n%s", r.exit_code, r.signal, r.out.c_str());
        std::fprintf(stderr, "%s", r.err.c_str());
    });
    ProgramRun run;
    const std::size_t end = result.out.find('\n');
    if (std::sscanf(result.out.c_str(), "exit=%d signal=%d\n", &run.exit_code, &run.signal) != 2 ||
        end == std::string::npos)
        ADD_FAILURE() << "no exit line:\n" << result.out;
    else
        run.out = result.out.substr(end + 1);
    run.err = result.err;
    return run;
}

}  // namespace support
