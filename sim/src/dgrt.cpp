// SPDX-License-Identifier: Apache-2.0
// libdgrt.so.1: the application runtime over the simulated GPUs.  Memory and
// the allocation table belong to libqrv-runtime64; this layer keeps only the
// per-thread current device and checks every range before it copies.
#include <cerrno>
#include <cstring>

#include "dgrt.h"
#include "qrv_sim_private.h"

namespace {

thread_local int current_device = 0;

// The address to copy to or from for one side of a copy, after checking that
// the side is what the copy kind says it is.
enum class Side { Host, Device, Any };

int Resolve(const void* p, size_t count, Side expected, char*& address) {
    if (p == nullptr) return dgErrorInvalidValue;
    qrv_sim_allocation a;
    switch (qrv_sim_classify(p, count, &a)) {
        case QRV_SIM_RANGE_HOST:
            if (expected == Side::Device) return dgErrorInvalidMemcpyDirection;
            address = const_cast<char*>(static_cast<const char*>(p));
            return dgSuccess;
        case QRV_SIM_RANGE_DEVICE:
            if (expected == Side::Host) return dgErrorInvalidMemcpyDirection;
            address = a.host_base + (static_cast<const char*>(p) - a.device_base);
            return dgSuccess;
        default:
            return dgErrorInvalidDevicePointer;
    }
}

}  // namespace

extern "C" {

int dgMalloc(void** ptr, size_t size) {
    if (ptr == nullptr) return dgErrorInvalidValue;
    if (size == 0) {
        *ptr = nullptr;
        return dgSuccess;
    }
    switch (qrv_sim_alloc(current_device, size, ptr)) {
        case 0: return dgSuccess;
        case ENODEV: return dgErrorInvalidDevice;
        default: return dgErrorMemoryAllocation;
    }
}

int dgFree(void* ptr) {
    if (ptr == nullptr) return dgSuccess;
    return qrv_sim_free(ptr) == 0 ? dgSuccess : dgErrorInvalidDevicePointer;
}

int dgMemcpy(void* dst, const void* src, size_t count, enum _dgMemcpyKind kind) {
    Side from, to;
    switch (kind) {
        case dgMemcpyHostToHost: from = Side::Host; to = Side::Host; break;
        case dgMemcpyHostToDevice: from = Side::Host; to = Side::Device; break;
        case dgMemcpyDeviceToHost: from = Side::Device; to = Side::Host; break;
        case dgMemcpyDeviceToDevice: from = Side::Device; to = Side::Device; break;
        case dgMemcpyDefault: from = Side::Any; to = Side::Any; break;
        default: return dgErrorInvalidMemcpyDirection;
    }
    if (count == 0) return dgSuccess;
    char* d = nullptr;
    char* s = nullptr;
    if (int r = Resolve(dst, count, to, d)) return r;
    if (int r = Resolve(src, count, from, s)) return r;
    std::memmove(d, s, count);  // ranges of one allocation may overlap
    return dgSuccess;
}

int dgMemset(void* ptr, int value, size_t count) {
    if (count == 0) return dgSuccess;
    char* d = nullptr;
    if (int r = Resolve(ptr, count, Side::Device, d))
        return r == dgErrorInvalidMemcpyDirection ? dgErrorInvalidDevicePointer : r;
    std::memset(d, value, count);
    return dgSuccess;
}

int dgGetDeviceCount(int* count) {
    if (count == nullptr) return dgErrorInvalidValue;
    int n = qrv_sim_device_count();
    if (n == 0) return dgErrorInvalidDevice;
    *count = n;
    return dgSuccess;
}

int dgSetDevice(int device) {
    if (device < 0 || device >= qrv_sim_device_count()) return dgErrorInvalidDevice;
    current_device = device;
    return dgSuccess;
}

}  // extern "C"
