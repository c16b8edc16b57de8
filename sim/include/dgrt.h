// SPDX-License-Identifier: Apache-2.0
/*
 * dgrt.h - the application GPU runtime (libdgrt.so.1): device memory
 * allocation and copies.
 *
 * Every call returns dgSuccess (0) or one of the dgError values below, and on
 * failure changes nothing.  Device pointers are not host memory: reading or
 * writing them on the host faults; use dgMemcpy.  The current device is per
 * thread (device 0 until dgSetDevice).  Thread-safe.  The library declares
 * its own copy of the copy kinds; tests/platform_records_test.cpp holds the
 * two in step.  Compiles as C and C++.
 */
#ifndef DGRT_H
#define DGRT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum dgError {
    dgSuccess = 0,
    dgErrorInvalidValue = 1,           /* null or out-of-range argument */
    dgErrorMemoryAllocation = 2,       /* the device has no room */
    dgErrorInvalidDevice = 3,          /* no such device, or no device at all */
    dgErrorInvalidDevicePointer = 4,   /* not (wholly) inside a live allocation */
    dgErrorInvalidMemcpyDirection = 5  /* unknown kind, or pointers of the wrong side */
} dgError_t;

enum _dgMemcpyKind {
    dgMemcpyHostToHost = 0,
    dgMemcpyHostToDevice = 1,
    dgMemcpyDeviceToHost = 2,
    dgMemcpyDeviceToDevice = 3,
    dgMemcpyDefault = 4 /* each side told by its address */
};

/* Allocates `size` bytes on the current device, aligned to at least 4096
 * bytes.  A size of 0 gives *ptr = NULL and dgSuccess. */
int dgMalloc(void** ptr, size_t size);

/* Frees an allocation by its base address; NULL is accepted. */
int dgFree(void* ptr);

/* Copies `count` bytes; complete when it returns.  Each device range must lie
 * inside one live allocation, and no host range may touch device memory. */
int dgMemcpy(void* dst, const void* src, size_t count, enum _dgMemcpyKind kind);

/* Sets `count` bytes of device memory to (unsigned char)value. */
int dgMemset(void* ptr, int value, size_t count);

int dgGetDeviceCount(int* count);

/* Selects the device (0 .. count-1) for this thread's later dgMalloc. */
int dgSetDevice(int device);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(enum _dgMemcpyKind) == 4, "copy kind is 32-bit");
#else
_Static_assert(sizeof(enum _dgMemcpyKind) == 4, "copy kind is 32-bit");
#endif

#endif /* DGRT_H */
