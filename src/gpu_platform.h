// SPDX-License-Identifier: Apache-2.0
// This library's own declarations of the GPU platform it talks to: the
// device node and the kernel driver's transfer request, the GPU runtime's
// pointer query, and the lookup of the runtime copy call.  The platform
// ships its own headers; the library keeps these, checked at compile time
// against the layout the platform's binary interface fixes, and held in step
// with the platform's headers (every record's size, each field's offset and
// size, the request code, the copy kinds) by tests/platform_records_test.cpp.
//
// Part of the rules the library and dgfile-doctor share (settings.h has the
// others): the doctor meets the device and the runtimes exactly as the
// library does.  No state but the copy call once found (an atomic); any
// thread, no lock.
#pragma once

#include <linux/types.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

// ---- The kernel driver's transfer request ------------------------------------

// The driver's device node: the connection the requests go through.
inline constexpr const char* kDeviceNode = "/dev/qrvd";

// One transfer between a file range and device memory, handed to the driver
// behind kDeviceNode.  The driver writes the bytes it moved back into `size`.
struct qrvd_ioctl_file_inout_vram_args {
    __u32 gpu_id;      // owning GPU, from the pointer query
    __u64 handle;      // owning GPU's handle, from the pointer query
    __u64 mem_offset;  // offset inside the allocation
    __u64 size;        // bytes to move; bytes moved on return
    __u32 fd;          // the file's descriptor
    __u64 fpos;        // file offset
    __u32 flags;       // always 0
    __u8 op;           // 0: file to device memory, 1: device memory to file
    __u64 count;       // not used by this library
};
static_assert(sizeof(qrvd_ioctl_file_inout_vram_args) == 64);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, handle) == 8);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, mem_offset) == 16);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, size) == 24);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, fd) == 32);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, fpos) == 40);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, flags) == 48);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, op) == 52);
static_assert(offsetof(qrvd_ioctl_file_inout_vram_args, count) == 56);

#define QRVD_IOC_VRAM_IO _IOWR('K', 27, struct qrvd_ioctl_file_inout_vram_args)
static_assert(QRVD_IOC_VRAM_IO == 0xc0404b1bu);

// ---- The GPU runtime ---------------------------------------------------------

typedef enum {
    QRV_EXT_POINTER_TYPE_UNKNOWN = 0,
    QRV_EXT_POINTER_TYPE_QRV = 1,
    QRV_EXT_POINTER_TYPE_LOCKED = 2,
    QRV_EXT_POINTER_TYPE_GRAPHICS = 3,
    QRV_EXT_POINTER_TYPE_IPC = 4,
} qrv_vendor_pointer_type_t;

typedef struct {
    std::uint64_t handle;
    std::uint32_t gpu_id;
} qrv_agent_t;

// What the runtime knows of a device pointer: the allocation holding it and
// the GPU that owns it.  The caller zero-fills it and sets `size`.
typedef struct {
    std::uint32_t size;
    qrv_vendor_pointer_type_t type;
    void* agentBaseAddress;
    void* hostBaseAddress;
    std::uint64_t sizeInBytes;
    void* userData;
    qrv_agent_t agentOwner;
} qrv_vendor_pointer_info_t;

static_assert(sizeof(qrv_vendor_pointer_type_t) == 4);
static_assert(sizeof(qrv_agent_t) == 16);
static_assert(sizeof(qrv_vendor_pointer_info_t) == 56);
static_assert(offsetof(qrv_vendor_pointer_info_t, type) == 4);
static_assert(offsetof(qrv_vendor_pointer_info_t, agentBaseAddress) == 8);
static_assert(offsetof(qrv_vendor_pointer_info_t, hostBaseAddress) == 16);
static_assert(offsetof(qrv_vendor_pointer_info_t, sizeInBytes) == 24);
static_assert(offsetof(qrv_vendor_pointer_info_t, userData) == 32);
static_assert(offsetof(qrv_vendor_pointer_info_t, agentOwner.handle) == 40);
static_assert(offsetof(qrv_vendor_pointer_info_t, agentOwner.gpu_id) == 48);

enum _dgMemcpyKind {
    dgMemcpyHostToHost = 0,
    dgMemcpyHostToDevice = 1,
    dgMemcpyDeviceToHost = 2,
    dgMemcpyDeviceToDevice = 3,
    dgMemcpyDefault = 4,
};
static_assert(sizeof(_dgMemcpyKind) == 4);

extern "C" {
// From libqrv-runtime64.so.1 (symbol version QRV_1), a needed library.
// 0 when the pointer lies in an allocation the runtime knows.
int qrv_vendor_pointer_info(const void* ptr, qrv_vendor_pointer_info_t* info,
                            void* reserved1, void* reserved2, void* reserved3);
}

// The runtime copy call, bound to whatever runtime the application loaded;
// null when none provides it.  0 on success.
using copy_fn = int (*)(void* dst, const void* src, std::size_t count, _dgMemcpyKind kind);
copy_fn runtime_copy();
