// SPDX-License-Identifier: Apache-2.0
/*
 * qrv_sim_private.h - the simulator's own interface between its parts.
 *
 * libqrv-runtime64.so.1 owns the simulated GPUs, their memory and the
 * allocation table (one mutex around it).  It exports these calls under the
 * version node QRV_SIM_PRIVATE for the application runtime (libdgrt) and the
 * driver stand-in (libqrvd-sim) only; libdgfile never uses them.  All are
 * thread-safe and may be called from any thread.
 *
 * A GPU's memory is a sparse memfd mapped twice: the device addresses handed
 * to applications (no access rights, so a host dereference faults) and a
 * private read-write view through which the simulator moves the bytes.  The
 * view stays mapped for the life of the process, so an address found here
 * stays safe to touch even if the allocation is freed meanwhile.
 */
#ifndef QRV_SIM_PRIVATE_H
#define QRV_SIM_PRIVATE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct qrv_sim_allocation {
    uint32_t gpu_id;
    int device;           /* index, 0 .. qrv_sim_device_count() - 1 */
    uint64_t handle;      /* unique for the life of the process, never 0 */
    char* device_base;    /* what the application holds */
    char* host_base;      /* the same bytes in the private view */
    uint64_t size;        /* as requested */
};

/* Number of simulated GPUs (0 if none could be set up), and the id of one. */
int qrv_sim_device_count(void);
uint32_t qrv_sim_gpu_id(int device);

/* 0 and *out filled; ENODEV for no GPU with gpu_id; ENOENT for no live
 * allocation with handle on that GPU. */
int qrv_sim_find_by_handle(uint32_t gpu_id, uint64_t handle, struct qrv_sim_allocation* out);

/* What the bytes [p, p + len) are (len 0 counts as 1). */
enum qrv_sim_range {
    QRV_SIM_RANGE_HOST = 0,    /* no byte in any GPU's device address range */
    QRV_SIM_RANGE_DEVICE = 1,  /* all inside one live allocation; *out filled */
    QRV_SIM_RANGE_INVALID = 2  /* touches device addresses otherwise, or wraps */
};
int qrv_sim_classify(const void* p, size_t len, struct qrv_sim_allocation* out);

/* 0 and *ptr set; ENODEV for a bad device index; ENOMEM when it has no room;
 * EINVAL for size 0. */
int qrv_sim_alloc(int device, size_t size, void** ptr);

/* 0; EINVAL unless ptr is the base of a live allocation. */
int qrv_sim_free(void* ptr);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QRV_SIM_PRIVATE_H */
