// SPDX-License-Identifier: Apache-2.0
// The device node: present, a character device, opens as the library opens
// it and knows the transfer request; or simulated by the driver stand-in.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "doctor_checks.h"
#include "gpu_platform.h"  // the library's device node and its declaration of the driver request
#include "qrv_platform.h"  // QRVD_SIM as the driver stand-in reads it
#include "sim_control.h"

namespace doctor {
namespace {

// Offers the node a transfer request that cannot move anything (no GPU, no
// bytes, no valid descriptor).  A GPU driver refuses it for its contents; a
// node that does not know the request at all answers ENOTTY (ENOSYS where a
// user-mode emulator stands between the program and the kernel and does not
// know the request either).
bool AnswersTransferRequest(int node, int* error) {
    qrvd_ioctl_file_inout_vram_args probe;
    std::memset(&probe, 0, sizeof probe);
    probe.fd = UINT32_MAX;
    probe.size = 0;
    int result = ::ioctl(node, QRVD_IOC_VRAM_IO, &probe);
    *error = result == 0 ? 0 : errno;
    return result == 0 || (*error != ENOTTY && *error != ENOSYS);
}

// What a process meets at the node.
struct Node {
    bool present = false;
    int stat_error = 0;
    struct stat st {};
    bool simulated = false;  // the driver stand-in answers for it
    bool opens = false;
    int open_error = 0;
    bool answers = false;
    int probe_error = 0;

    // "character device 195:0", or empty when the node is none.
    std::string Device() const {
        if (!present || !S_ISCHR(st.st_mode)) return std::string();
        return "character device " + std::to_string(major(st.st_rdev)) + ":" +
               std::to_string(minor(st.st_rdev));
    }
};

Node Examine(bool sim_option) {
    Node n;
    n.present = ::stat(kDeviceNode, &n.st) == 0;
    n.stat_error = n.present ? 0 : errno;
    // The stand-in for the kernel driver answers opens of the node when it
    // is in the process (linked, or preloaded) and enabled; the file at the
    // node's path was looked at first.
    if (sim_option) simctl::SetEnabled(true);
    n.simulated = simctl::Enabled();
    // The library opens the node read-write.
    int fd = ::open(kDeviceNode, O_RDWR);
    n.opens = fd >= 0;
    n.open_error = n.opens ? 0 : errno;
    n.answers = n.opens && AnswersTransferRequest(fd, &n.probe_error);
    if (n.opens) ::close(fd);
    return n;
}

// The verdict when the simulated platform is asked for or on; returns the
// problem for the summary (empty when there is none).
std::string SimulatedVerdict(const Node& n, bool sim_option, Finding& f) {
    f.status = Status::Fail;
    if (!n.simulated) {
        f.text = std::string("the simulated platform was asked for (") +
                 (sim_option ? "--sim" : "QRVD_SIM") +
                 ") but its driver stand-in is not in this process: the simulated platform "
                 "is not installed beside dgfile-doctor";
        return "is not simulated: the simulated platform is missing";
    }
    const char* forced = std::getenv("QRVD_SIM");
    std::string by = sim_option ? "--sim"
                     : forced != nullptr ? "QRVD_SIM=" + std::string(forced)
                                         : "the program";
    if (!n.opens) {
        f.text = "simulated (" + by + "), but cannot be opened: " + ErrorText(n.open_error);
        return "cannot be opened";
    }
    if (!n.answers) {
        f.text = "simulated (" + by + "), opens read-write but does not answer the transfer "
                 "request (" + ErrorText(n.probe_error) + ")";
        return "does not answer the transfer request";
    }
    f.status = Status::Ok;
    f.text = "simulated by the driver stand-in (" + by +
             "); opens read-write and answers the transfer request";
    if (!n.Device().empty()) f.text += " (the real " + n.Device() + " is not used)";
    return std::string();
}

// The verdict on the machine's own node; returns the problem for the summary.
std::string MachineVerdict(const Node& n, Finding& f) {
    f.status = Status::Fail;
    if (!n.present) {
        f.text = n.stat_error == ENOENT ? "absent: no GPU kernel driver node"
                                        : "cannot be examined: " + ErrorText(n.stat_error);
        return n.stat_error == ENOENT ? "is absent" : "cannot be examined";
    }
    if (!S_ISCHR(n.st.st_mode)) {
        f.text = std::string("is a ") + FileKind(n.st.st_mode) +
                 ", not a character device: the library opens it, but no driver answers "
                 "its transfer requests";
        return std::string("is a ") + FileKind(n.st.st_mode) + ", not the driver's device";
    }
    if (!n.opens) {
        f.text = n.Device() + ", cannot be opened read-write: " + ErrorText(n.open_error);
        return "cannot be opened (" + ErrorText(n.open_error) + ")";
    }
    if (!n.answers) {
        f.text = n.Device() + ", opens read-write but does not know the transfer request (" +
                 (n.probe_error == ENOSYS ? "ENOSYS" : "ENOTTY") + "): not the GPU kernel driver";
        return "does not know the transfer request";
    }
    f.status = Status::Ok;
    f.text = n.Device() + ", opens read-write and answers the transfer request";
    return std::string();
}

}  // namespace

void CheckDevice(Report& report, bool sim_option) {
    const Node n = Examine(sim_option);
    Finding f("device", kDeviceNode);
    f.details["present"] = n.present;
    f.details["kind"] = n.present ? Json(FileKind(n.st.st_mode)) : Json();
    f.details["simulated"] = n.simulated;
    f.details["opens"] = n.opens;
    f.details["open_error"] = n.opens ? Json() : Json(ErrorText(n.open_error));
    f.details["answers_request"] = n.opens ? Json(n.answers) : Json();

    const bool asked = sim_option || qrvd_sim_env_force() == 1;
    const std::string problem =
        asked || n.simulated ? SimulatedVerdict(n, sim_option, f) : MachineVerdict(n, f);
    report.facts.simulated = asked || n.simulated;
    report.facts.device_usable = f.status == Status::Ok;
    report.facts.device_problem = std::string(kDeviceNode) + " " + problem;
    report.Add(std::move(f));
}

}  // namespace doctor
