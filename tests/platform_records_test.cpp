// SPDX-License-Identifier: Apache-2.0
// The records the library and the platform both declare, held in step: the
// library's own copies (src/gpu_platform.h) against the platform's headers
// (sim/include), each set in a namespace of its own in this one translation
// unit.  A field moved, resized or dropped on either side fails here.
#include <linux/ioctl.h>
#include <linux/types.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

#include <gtest/gtest.h>

// Both sides define the request code as a macro naming their own record:
// each value is taken inside its namespace.  The library's query is renamed,
// since two C declarations of one function with distinct record types clash.
namespace lib {
#define qrv_vendor_pointer_info lib_qrv_vendor_pointer_info
#include "gpu_platform.h"
#undef qrv_vendor_pointer_info
constexpr unsigned long kRequestCode = QRVD_IOC_VRAM_IO;
#undef QRVD_IOC_VRAM_IO
using Request = qrvd_ioctl_file_inout_vram_args;
using Pointer = qrv_vendor_pointer_info_t;
}  // namespace lib

namespace platform {
#include "dgrt.h"
#include "qrv_runtime.h"
#include "qrvd_ioctl.h"
constexpr unsigned long kRequestCode = QRVD_IOC_VRAM_IO;
using Request = qrvd_ioctl_file_inout_vram_args;
using Pointer = qrv_vendor_pointer_info_t;
}  // namespace platform

namespace {

#define EXPECT_SAME_FIELD(record, field)                                                   \
    EXPECT_EQ(offsetof(lib::record, field), offsetof(platform::record, field)) << #field; \
    EXPECT_EQ(sizeof(lib::record{}.field), sizeof(platform::record{}.field)) << #field

TEST(PlatformRecords, TheLibrarysCopiesMatchThePlatformsHeaders) {
    EXPECT_EQ(sizeof(lib::Request), sizeof(platform::Request));
    EXPECT_SAME_FIELD(Request, gpu_id);
    EXPECT_SAME_FIELD(Request, handle);
    EXPECT_SAME_FIELD(Request, mem_offset);
    EXPECT_SAME_FIELD(Request, size);
    EXPECT_SAME_FIELD(Request, fd);
    EXPECT_SAME_FIELD(Request, fpos);
    EXPECT_SAME_FIELD(Request, flags);
    EXPECT_SAME_FIELD(Request, op);
    EXPECT_SAME_FIELD(Request, count);
    EXPECT_EQ(lib::kRequestCode, platform::kRequestCode);

    EXPECT_EQ(sizeof(lib::Pointer), sizeof(platform::Pointer));
    EXPECT_SAME_FIELD(Pointer, size);
    EXPECT_SAME_FIELD(Pointer, type);
    EXPECT_SAME_FIELD(Pointer, agentBaseAddress);
    EXPECT_SAME_FIELD(Pointer, hostBaseAddress);
    EXPECT_SAME_FIELD(Pointer, sizeInBytes);
    EXPECT_SAME_FIELD(Pointer, userData);
    EXPECT_SAME_FIELD(Pointer, agentOwner.handle);
    EXPECT_SAME_FIELD(Pointer, agentOwner.gpu_id);
    EXPECT_EQ(lib::QRV_EXT_POINTER_TYPE_QRV, static_cast<int>(platform::QRV_EXT_POINTER_TYPE_QRV));
    // The copy kinds the CPU copy passes to the runtime.
    EXPECT_EQ(lib::dgMemcpyHostToDevice, static_cast<int>(platform::dgMemcpyHostToDevice));
    EXPECT_EQ(lib::dgMemcpyDeviceToHost, static_cast<int>(platform::dgMemcpyDeviceToHost));
}

}  // namespace
