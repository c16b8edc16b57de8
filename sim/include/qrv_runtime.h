// SPDX-License-Identifier: Apache-2.0
/*
 * qrv_runtime.h - the low-level GPU runtime (libqrv-runtime64.so.1).
 *
 * Its one public call answers "which allocation of which GPU holds this
 * pointer?": qrv_vendor_pointer_info fills a caller-provided record whose
 * `size` the caller has set to sizeof(qrv_vendor_pointer_info_t) (56) after
 * zero-filling it.  The symbol carries the version QRV_1.
 *
 * Thread-safe; may be called from any thread.  The library declares its own
 * copy of the records; tests/platform_records_test.cpp holds the two in
 * step.  Compiles as C and C++.
 */
#ifndef QRV_RUNTIME_H
#define QRV_RUNTIME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of qrv_vendor_pointer_info. */
#define QRV_STATUS_SUCCESS 0
#define QRV_STATUS_INVALID_ARGUMENT 1 /* null record, wrong `size`, reserved argument set */
#define QRV_STATUS_INVALID_POINTER 2  /* the pointer is in no live allocation */

typedef enum qrv_vendor_pointer_type {
    QRV_EXT_POINTER_TYPE_UNKNOWN = 0,
    QRV_EXT_POINTER_TYPE_QRV = 1, /* device memory of a GPU */
    QRV_EXT_POINTER_TYPE_LOCKED = 2,
    QRV_EXT_POINTER_TYPE_GRAPHICS = 3,
    QRV_EXT_POINTER_TYPE_IPC = 4
} qrv_vendor_pointer_type_t;

/* A GPU and, with `handle`, the allocation on it that a query named. */
typedef struct qrv_agent {
    uint64_t handle;
    uint32_t gpu_id;
} qrv_agent_t;

typedef struct qrv_vendor_pointer_info_s {
    uint32_t size;                  /* in: sizeof this record */
    qrv_vendor_pointer_type_t type; /* out */
    void* agentBaseAddress;         /* out: base device address of the allocation */
    void* hostBaseAddress;          /* out: null (device memory has no host address) */
    uint64_t sizeInBytes;           /* out: size of the allocation */
    void* userData;                 /* out: null */
    qrv_agent_t agentOwner;         /* out: owning GPU and allocation handle */
} qrv_vendor_pointer_info_t;

/*
 * Fills *info for a pointer anywhere inside a live allocation (from its first
 * to its last byte) and returns QRV_STATUS_SUCCESS.  The three reserved
 * arguments must be null.  On any other result *info is left as it was.
 */
int qrv_vendor_pointer_info(const void* ptr, qrv_vendor_pointer_info_t* info,
                            void* reserved1, void* reserved2, void* reserved3);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(qrv_vendor_pointer_type_t) == 4, "pointer type is 32-bit");
static_assert(sizeof(qrv_agent_t) == 16, "agent record is 16 bytes");
static_assert(sizeof(qrv_vendor_pointer_info_t) == 56, "pointer record is 56 bytes");
static_assert(offsetof(qrv_vendor_pointer_info_t, type) == 4 &&
                  offsetof(qrv_vendor_pointer_info_t, agentBaseAddress) == 8 &&
                  offsetof(qrv_vendor_pointer_info_t, hostBaseAddress) == 16 &&
                  offsetof(qrv_vendor_pointer_info_t, sizeInBytes) == 24 &&
                  offsetof(qrv_vendor_pointer_info_t, userData) == 32 &&
                  offsetof(qrv_vendor_pointer_info_t, agentOwner) == 40 &&
                  offsetof(qrv_vendor_pointer_info_t, agentOwner.gpu_id) == 48,
              "pointer record layout");
#else
#include <stddef.h>
_Static_assert(sizeof(qrv_vendor_pointer_type_t) == 4, "pointer type is 32-bit");
_Static_assert(sizeof(qrv_agent_t) == 16, "agent record is 16 bytes");
_Static_assert(sizeof(qrv_vendor_pointer_info_t) == 56, "pointer record is 56 bytes");
_Static_assert(offsetof(qrv_vendor_pointer_info_t, agentBaseAddress) == 8 &&
                   offsetof(qrv_vendor_pointer_info_t, sizeInBytes) == 24 &&
                   offsetof(qrv_vendor_pointer_info_t, agentOwner) == 40,
               "pointer record layout");
#endif

#endif /* QRV_RUNTIME_H */
