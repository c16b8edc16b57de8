// SPDX-License-Identifier: Apache-2.0
// The paths named on the command line: the file system each is on, and
// whether it takes O_DIRECT, which registration needs.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "direct_io_probe.h"
#include "doctor_checks.h"

namespace doctor {
namespace {

// Undoes the octal escapes (\040 for a blank ...) of /proc/self/mountinfo.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            int value = 0;
            bool octal = true;
            for (size_t k = 1; k <= 3; ++k) {
                char c = text[i + k];
                octal &= c >= '0' && c <= '7';
                value = value * 8 + (c - '0');
            }
            if (octal) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// The mount point and file system type of a line of /proc/self/mountinfo;
// false for a line that is not one.
bool ParseMount(const std::string& line, std::string& mount_point, std::string& type) {
    std::istringstream fields(line);
    std::string id, parent, device, root;
    if (!(fields >> id >> parent >> device >> root >> mount_point)) return false;
    std::string::size_type dash = line.find(" - ");
    if (dash == std::string::npos) return false;
    std::istringstream tail(line.substr(dash + 3));
    if (!(tail >> type)) return false;
    mount_point = Unescape(mount_point);
    return true;
}

// The type of the file system holding `path` (an existing path): that of the
// mount whose mount point is the longest prefix of its resolved name.
std::string FileSystemOf(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return "unknown";
    const std::string target = resolved;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line, mount_point, type;
    std::string best_type = "unknown";
    size_t best_length = 0;
    while (std::getline(mounts, line)) {
        if (!ParseMount(line, mount_point, type)) continue;
        bool covers = mount_point == "/" ||
                      target == mount_point ||
                      (target.compare(0, mount_point.size(), mount_point) == 0 &&
                       target.size() > mount_point.size() && target[mount_point.size()] == '/');
        // Later lines are mounted over earlier ones at the same point.
        if (covers && mount_point.size() >= best_length) {
            best_length = mount_point.size();
            best_type = type;
        }
    }
    return best_type;
}

struct Verdict {
    bool accepted = false;  // opens with O_DIRECT and moves an aligned block
    bool tested = true;     // false: O_DIRECT could not be tried
    std::string text;
    std::string problem;    // short, for the summary
};

Verdict Judge(const dgbench::DirectIoProbe& probe) {
    using Step = dgbench::DirectIoProbe::Step;
    const std::string why = ErrorText(probe.error);
    switch (probe.failed) {
    case Step::none:
        return {true, true, "accepts O_DIRECT", ""};
    case Step::create:
        return {false, false, "no test file can be created in it (" + why + "): O_DIRECT untested",
                "cannot be tested (no file can be created in it)"};
    case Step::open:
        if (probe.error == EINVAL)
            return {false, true,
                    "refuses O_DIRECT: files there cannot be registered (DG_FILE_DIO_NOT_SET)",
                    "refuses O_DIRECT"};
        return {false, true, "cannot be opened with O_DIRECT (" + why + ")",
                "cannot be opened with O_DIRECT"};
    case Step::transfer:
        return {false, true,
                probe.error == EINVAL
                    ? "opens with O_DIRECT but refuses an aligned 4096-byte transfer"
                    : "opens with O_DIRECT, but an aligned 4096-byte transfer fails (" + why + ")",
                "fails an aligned O_DIRECT transfer"};
    }
    return {};
}

// A directory is tested with a new file in it, as an application would
// create one there; a file (or block device) as it is.
Verdict TryDirect(const std::string& path, const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return Judge(dgbench::ProbeDirectIoDirectory(path));
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        const off_t size = S_ISREG(st.st_mode) ? st.st_size : static_cast<off_t>(4096);
        return Judge(dgbench::ProbeDirectIoFile(path, size));
    }
    const std::string text = std::string("is a ") + FileKind(st.st_mode) + ": not a file to transfer";
    return {false, false, text, text};
}

}  // namespace

void CheckPath(Report& report, const std::string& path) {
    Finding f("path", path);
    f.details["path"] = path;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        f.status = Status::Fail;
        f.text = ErrorText(errno);
        f.details["exists"] = false;
        f.details["file_system"] = nullptr;
        f.details["o_direct"] = nullptr;
        report.facts.path_problems.push_back(path + ": " + f.text);
        report.Add(std::move(f));
        return;
    }
    const std::string fs = FileSystemOf(path);
    f.details["exists"] = true;
    f.details["file_system"] = fs;
    f.details["kind"] = FileKind(st.st_mode);
    const Verdict v = TryDirect(path, st);
    f.details["o_direct"] = v.tested ? Json(v.accepted) : Json();
    f.status = v.accepted ? Status::Ok : Status::Fail;
    f.text = fs + ", " + v.text;
    if (!v.accepted) report.facts.path_problems.push_back(path + " " + v.problem);
    report.Add(std::move(f));
}

}  // namespace doctor
