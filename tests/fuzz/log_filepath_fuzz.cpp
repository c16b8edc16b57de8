// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the log file path rule on arbitrary directories, formats,
// host names, process ids and times.
//
// The path is checked against a reference built directive by directive: "%p"
// ".<pid>", "%t" ".<Y_m_d_H_M_S>" (nothing when the time has no calendar
// form), "%h" the host (nothing for a null host); "%" before anything else is
// no directive, and the character after it is looked at on its own.  The time
// zone is UTC, so the local time is the UTC calendar time.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "settings.h"

namespace {

std::string reference(const std::string& dir, const std::string& format, int pid,
                      const char* host, time_t now) {
    std::string path = dir;
    path += "dgfile";
    size_t i = 0;
    while (i < format.size()) {
        char directive = i + 1 < format.size() ? format[i + 1] : '\0';
        if (format[i] == '%' && (directive == 'p' || directive == 't' || directive == 'h')) {
            if (directive == 'p') {
                path += '.';
                path += std::to_string(pid);
            } else if (directive == 'h') {
                if (host != nullptr) path += host;
            } else {
                struct tm utc;
                char stamp[64];
                if (::gmtime_r(&now, &utc) != nullptr &&
                    std::strftime(stamp, sizeof stamp, ".%Y_%m_%d_%H_%M_%S", &utc) > 0)
                    path += stamp;
            }
            i += 2;
        } else {
            ++i;  // ordinary text of the format never reaches the path
        }
    }
    return path + ".log";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int pid = input.ConsumeIntegral<int>();
    const time_t now = input.ConsumeIntegral<int64_t>();
    const bool null_host = input.ConsumeBool();
    const std::string host = input.ConsumeRandomLengthString(300);
    const std::string dir = input.ConsumeRandomLengthString(600);
    const std::string format = input.ConsumeRemainingBytesAsString();
    const char* host_arg = null_host ? nullptr : host.c_str();

    const std::string got = format_log_filepath(dir, format, pid, host_arg, now);
    const std::string expected = reference(dir, format, pid, host_arg, now);
    if (got != expected) {
        std::fprintf(stderr, "format \"%s\", host \"%s\", pid %d, time %lld:\n  got      \"%s\"\n"
                             "  expected \"%s\"\n",
                     format.c_str(), host_arg != nullptr ? host_arg : "(null)", pid,
                     static_cast<long long>(now), got.c_str(), expected.c_str());
        std::abort();
    }
    return 0;
}
