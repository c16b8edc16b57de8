/* SPDX-License-Identifier: Apache-2.0 */
/*
 * A stand-in for a GPU machine's application runtime (libdgrt.so.1),
 * installed beside system_runtime.c by tools_test.sh.  Its "device memory" is
 * aligned host memory of one GPU, at most 1 GiB per allocation, and its copy
 * is a plain memory copy: enough for libdgfile's CPU fallback and for
 * dgfile-bench's checks.
 */
#include <dgrt.h>
#include <stdlib.h>
#include <string.h>

#define LARGEST_ALLOCATION (1ul << 30)

int dgMalloc(void** ptr, size_t size) {
    if (ptr == NULL) return dgErrorInvalidValue;
    *ptr = NULL;
    if (size == 0) return dgSuccess;
    if (size > LARGEST_ALLOCATION) return dgErrorMemoryAllocation;
    return posix_memalign(ptr, 4096, size) == 0 ? dgSuccess : dgErrorMemoryAllocation;
}

int dgFree(void* ptr) {
    free(ptr);
    return dgSuccess;
}

int dgMemcpy(void* dst, const void* src, size_t count, enum _dgMemcpyKind kind) {
    (void)kind;
    memmove(dst, src, count);
    return dgSuccess;
}

int dgMemset(void* ptr, int value, size_t count) {
    memset(ptr, value, count);
    return dgSuccess;
}

int dgGetDeviceCount(int* count) {
    *count = 1;
    return dgSuccess;
}

int dgSetDevice(int device) { return device == 0 ? dgSuccess : dgErrorInvalidDevice; }
