// SPDX-License-Identifier: Apache-2.0
// A first program on the simulated GPU platform, using only its public
// headers: reads a file straight into device memory through the driver's
// transfer request and checks the bytes with a copy back to the host.
//
// Build: link libqrvd-sim.so (ahead of the C library), libdgrt.so.1 and
// libqrv-runtime64.so.1.  Run: sim_quickstart [directory for a scratch file].
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dgrt.h"
#include "qrv_runtime.h"
#include "qrvd_ioctl.h"
#include "qrvd_sim.h"

namespace {

int Fail(const char* what) {
    std::perror(what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Use the stand-in only where the machine has no real device.
    if (!qrvd_sim_enable_if_no_device())
        std::printf("a real %s is present (or QRVD_SIM=0); using it\n", QRVD_DEVICE_PATH);

    // A scratch file of 1 MiB with a known pattern.
    std::string path = std::string(argc > 1 ? argv[1] : "/tmp") + "/sim_quickstart.XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int file = ::mkstemp(name.data());
    if (file < 0) return Fail("mkstemp");
    ::unlink(name.data());
    const size_t size = 1 << 20;
    std::vector<unsigned char> pattern(size);
    for (size_t i = 0; i < size; ++i) pattern[i] = static_cast<unsigned char>(i * 7 + i / 4096);
    if (::pwrite(file, pattern.data(), size, 0) != static_cast<ssize_t>(size))
        return Fail("pwrite");

    void* device = nullptr;
    if (dgMalloc(&device, size) != dgSuccess) return Fail("dgMalloc");

    // Which GPU and allocation hold the pointer.
    qrv_vendor_pointer_info_t info;
    std::memset(&info, 0, sizeof info);
    info.size = sizeof info;
    if (qrv_vendor_pointer_info(device, &info, nullptr, nullptr, nullptr) != QRV_STATUS_SUCCESS)
        return Fail("qrv_vendor_pointer_info");

    int dev = ::open(QRVD_DEVICE_PATH, O_RDWR);
    if (dev < 0) return Fail("open " QRVD_DEVICE_PATH);
    qrvd_ioctl_file_inout_vram_args args;
    std::memset(&args, 0, sizeof args);
    args.gpu_id = info.agentOwner.gpu_id;
    args.handle = info.agentOwner.handle;
    args.mem_offset = static_cast<char*>(device) - static_cast<char*>(info.agentBaseAddress);
    args.size = size;
    args.fd = static_cast<__u32>(file);
    args.fpos = 0;
    args.op = QRVD_OP_READ;
    if (::ioctl(dev, QRVD_IOC_VRAM_IO, &args) != 0) return Fail("QRVD_IOC_VRAM_IO");

    std::vector<unsigned char> back(size);
    if (dgMemcpy(back.data(), device, size, dgMemcpyDefault) != dgSuccess)
        return Fail("dgMemcpy");
    bool same = args.size == size && back == pattern;
    std::printf("gpu %u: moved %llu bytes from the file into device memory: %s\n",
                info.agentOwner.gpu_id, static_cast<unsigned long long>(args.size),
                same ? "bytes match" : "BYTES DIFFER");

    ::close(dev);
    ::close(file);
    dgFree(device);
    return same ? 0 : 1;
}
