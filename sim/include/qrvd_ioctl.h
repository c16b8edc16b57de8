// SPDX-License-Identifier: Apache-2.0
/*
 * qrvd_ioctl.h - the GPU kernel driver's request interface on "/dev/qrvd".
 *
 * One request, QRVD_IOC_VRAM_IO, moves bytes between a file descriptor and
 * the device memory of one allocation, without a host bounce buffer:
 *
 *     struct qrvd_ioctl_file_inout_vram_args args = {0};
 *     args.gpu_id = ...; args.handle = ...;   (from the pointer query)
 *     args.mem_offset = ...; args.size = ...; args.fd = ...; args.fpos = ...;
 *     args.op = QRVD_OP_READ;
 *     ioctl(dev_fd, QRVD_IOC_VRAM_IO, &args);
 *
 * Result 0: the transfer happened and args.size holds the bytes moved.
 * Result -1: errno says why and the record is unchanged.
 *
 * This is the driver's side of the interface.  The library declares its own
 * copy of the record and the code; tests/platform_records_test.cpp holds the
 * two in step.  Compiles as C and C++.
 */
#ifndef QRVD_IOCTL_H
#define QRVD_IOCTL_H

#include <linux/ioctl.h>
#include <linux/types.h>

#define QRVD_DEVICE_PATH "/dev/qrvd"

/* Values of `op`. */
#define QRVD_OP_READ 0  /* file into device memory */
#define QRVD_OP_WRITE 1 /* device memory into file */

struct qrvd_ioctl_file_inout_vram_args {
    __u32 gpu_id;     /* owning GPU, as the pointer query reports it */
    __u32 pad0;
    __u64 handle;     /* allocation handle, as the pointer query reports it */
    __u64 mem_offset; /* byte offset inside the allocation */
    __u64 size;       /* in: bytes to move; out: bytes moved */
    __u32 fd;         /* the file's descriptor in the calling process */
    __u32 pad1;
    __u64 fpos;       /* byte offset in the file */
    __u32 flags;      /* must be 0 */
    __u8 op;          /* QRVD_OP_READ or QRVD_OP_WRITE */
    __u8 pad2[3];
    __u64 count;      /* ignored */
};

#define QRVD_IOC_VRAM_IO _IOWR('K', 27, struct qrvd_ioctl_file_inout_vram_args)

#ifdef __cplusplus
#include <cstddef>
#define QRVD_OFFSETOF(field) offsetof(qrvd_ioctl_file_inout_vram_args, field)
static_assert(sizeof(qrvd_ioctl_file_inout_vram_args) == 64, "request record is 64 bytes");
static_assert(QRVD_OFFSETOF(gpu_id) == 0 && QRVD_OFFSETOF(handle) == 8 &&
                  QRVD_OFFSETOF(mem_offset) == 16 && QRVD_OFFSETOF(size) == 24 &&
                  QRVD_OFFSETOF(fd) == 32 && QRVD_OFFSETOF(fpos) == 40 &&
                  QRVD_OFFSETOF(flags) == 48 && QRVD_OFFSETOF(op) == 52 &&
                  QRVD_OFFSETOF(count) == 56,
              "request record layout");
static_assert(QRVD_IOC_VRAM_IO == 0xc0404b1bu, "request code");
#undef QRVD_OFFSETOF
#else
#include <stddef.h>
_Static_assert(sizeof(struct qrvd_ioctl_file_inout_vram_args) == 64, "request record is 64 bytes");
_Static_assert(offsetof(struct qrvd_ioctl_file_inout_vram_args, handle) == 8 &&
                   offsetof(struct qrvd_ioctl_file_inout_vram_args, mem_offset) == 16 &&
                   offsetof(struct qrvd_ioctl_file_inout_vram_args, size) == 24 &&
                   offsetof(struct qrvd_ioctl_file_inout_vram_args, fd) == 32 &&
                   offsetof(struct qrvd_ioctl_file_inout_vram_args, fpos) == 40 &&
                   offsetof(struct qrvd_ioctl_file_inout_vram_args, flags) == 48 &&
                   offsetof(struct qrvd_ioctl_file_inout_vram_args, op) == 52 &&
                   offsetof(struct qrvd_ioctl_file_inout_vram_args, count) == 56,
               "request record layout");
_Static_assert(QRVD_IOC_VRAM_IO == 0xc0404b1bu, "request code");
#endif

#endif /* QRVD_IOCTL_H */
