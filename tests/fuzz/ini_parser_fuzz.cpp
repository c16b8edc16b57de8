// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the settings file parser on arbitrary bytes.
//
// The input becomes the contents of a scratch file (in /dev/shm when there is
// one, so nothing touches the disk); the parser reads it by path and
// every setting is checked against a small reference model written
// independently of the parser: the same dialect, scanned by hand.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings.h"

namespace {

int scratch_fd = -1;
std::string scratch_path;

// Spaces only (a tab is an ordinary character in this dialect).
std::string_view strip(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

using Model = std::map<std::pair<std::string, std::string>, std::string>;

// Lines end at "\n" only; a last line without one still counts.  A header is
// a stripped line "[...]" of two characters or more; settings before the
// first non-empty header, ";" comments and lines without "=" are ignored; a
// later line overrides an earlier one.
Model reference(std::string_view input, std::vector<std::pair<std::string, std::string>>* probes) {
    Model model;
    std::string section;
    while (!input.empty()) {
        size_t end = input.find('\n');
        std::string_view line = strip(input.substr(0, end));
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section.assign(line.substr(1, line.size() - 2));
            continue;
        }
        size_t eq = line.find('=');
        if (section.empty() || line.empty() || line.front() == ';' || eq == std::string_view::npos) {
            // Queried anyway: a line the model ignores must not be a setting.
            probes->emplace_back(section, line);
            continue;
        }
        std::string key(strip(line.substr(0, eq)));
        model[{section, key}] = std::string(strip(line.substr(eq + 1)));
        probes->emplace_back(section, line.substr(0, eq));  // the key before stripping
    }
    return model;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr ? dir : "/tmp") + "/ini_parser_fuzz.XXXXXX";
    scratch_fd = ::mkstemp(name.data());
    if (scratch_fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    scratch_path = name;
    // Removed at exit, however the fuzzer ends: the parser opens it by path
    // only while the process runs.
    std::atexit([] { ::unlink(scratch_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (::ftruncate(scratch_fd, 0) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(scratch_fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }

    INIParser parser(scratch_path);
    std::vector<std::pair<std::string, std::string>> probes;
    Model model = reference(std::string_view(reinterpret_cast<const char*>(data), size), &probes);

    for (const auto& [where, value] : model) {
        const std::string got = parser.getValue(where.first, where.second);
        if (got != value) {
            std::fprintf(stderr, "[%s] %s: parser gives \"%s\", model \"%s\"\n",
                         where.first.c_str(), where.second.c_str(), got.c_str(), value.c_str());
            std::abort();
        }
    }
    // A line the model ignores, or a key before stripping, read in the
    // section the line belongs to: empty unless the model holds that setting.
    for (const auto& probe : probes) {
        auto it = model.find(probe);
        const std::string expected = it == model.end() ? std::string() : it->second;
        const std::string got = parser.getValue(probe.first, probe.second);
        if (got != expected) {
            std::fprintf(stderr, "[%s] \"%s\": parser gives \"%s\", model \"%s\"\n",
                         probe.first.c_str(), probe.second.c_str(), got.c_str(),
                         expected.c_str());
            std::abort();
        }
    }
    return 0;
}
