// SPDX-License-Identifier: Apache-2.0
/*
 * qrvd_sim.h - control of the simulated GPU kernel driver (libqrvd-sim.so).
 *
 * Linked into a program ahead of the C library (or preloaded), the stand-in
 * takes over open() of "/dev/qrvd", close() of such descriptors and ioctl()
 * on them; every other path and descriptor goes to the C library unchanged.
 * It does so only while enabled:
 *   - qrvd_sim_set_enabled(1 or 0) decides outright (tests);
 *   - otherwise the environment variable QRVD_SIM forces it on or off
 *     (qrvd_sim_env_force() of qrv_platform.h reads it as the stand-in does);
 *   - otherwise it is on only after qrvd_sim_enable_if_no_device() found no
 *     real (character-device) "/dev/qrvd".
 *
 * QRVD_IOC_VRAM_IO (qrvd_ioctl.h) checks the request as a driver would and
 * then moves the bytes with pread/pwrite on the request's descriptor, so the
 * descriptor's O_DIRECT stays in force.  Refusals, result -1 and errno:
 *   EFAULT  the record's address is unreadable; or mem_offset + size runs
 *           past the allocation
 *   ENODEV  no simulated GPU has gpu_id
 *   EINVAL  no live allocation for handle on that GPU; op not 0 or 1;
 *           flags not 0; size 0; fpos + size beyond the largest file offset
 *   other   what pread/pwrite reported before moving any byte (EBADF,
 *           EINVAL for a misaligned O_DIRECT transfer, ...)
 * A refused request leaves the record as it was.  A transfer that reaches the
 * end of the file or fails part-way succeeds with the bytes moved so far.
 *
 * All calls are thread-safe.  Compiles as C and C++.
 */
#ifndef QRVD_SIM_H
#define QRVD_SIM_H

#include <stddef.h>
#include <stdint.h>

#include "qrvd_ioctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Decides outright, overriding QRVD_SIM. */
void qrvd_sim_set_enabled(int on);

/* For programs: enables the stand-in unless QRVD_SIM forces it off or a real
 * "/dev/qrvd" (a character device) exists and QRVD_SIM does not force it on.
 * An explicit qrvd_sim_set_enabled still wins.  Returns qrvd_sim_enabled(). */
int qrvd_sim_enable_if_no_device(void);

int qrvd_sim_enabled(void);

/*
 * Fault injection.  The fault applies to every `every`-th request that passed
 * the driver's checks since it was set (1, or 0, for all of them):
 *   REFUSE     result -1, errno = param; no byte moves
 *   ZERO       result 0, size set to 0; no byte moves
 *   SHORT      moves the first min(param, size) bytes and reports that many
 *   UNTOUCHED  moves all the bytes, result 0, size left as the caller set it
 *   CORRUPT    moves all the bytes, then inverts the byte at offset param of
 *              the moved range at the destination (device memory for a read,
 *              the file for a write); an offset past the range takes its
 *              last byte
 *   DELAY      sleeps param microseconds, then carries the request out
 * The environment variable QRVD_SIM_FAULT sets one as "mode[:param][@every]",
 * mode in lower case, param in decimal (for refuse also an errno name such as
 * EIO), e.g. "refuse:EIO@3", "short:4096", "delay:2000".  A fault set through
 * this call replaces the variable's for the rest of the process.
 * Returns 0, or -1 (nothing changed) for an unknown mode or a refuse errno
 * that is not positive.
 */
enum qrvd_sim_fault_mode {
    QRVD_SIM_FAULT_NONE = 0,
    QRVD_SIM_FAULT_REFUSE = 1,
    QRVD_SIM_FAULT_ZERO = 2,
    QRVD_SIM_FAULT_SHORT = 3,
    QRVD_SIM_FAULT_UNTOUCHED = 4,
    QRVD_SIM_FAULT_CORRUPT = 5,
    QRVD_SIM_FAULT_DELAY = 6
};
int qrvd_sim_set_fault(int mode, uint64_t param, unsigned every);
void qrvd_sim_clear_fault(void);

struct qrvd_sim_counters {
    uint64_t opens;           /* opens of "/dev/qrvd" answered by the stand-in */
    uint64_t closes;          /* closes of a descriptor of the device */
    uint64_t requests;        /* QRVD_IOC_VRAM_IO requests received */
    uint64_t requests_failed; /* of those, answered with -1 */
    uint64_t reads;           /* successful op 0 requests (file to device) */
    uint64_t writes;          /* successful op 1 requests (device to file) */
    uint64_t bytes_read;      /* bytes reported moved by those reads */
    uint64_t bytes_written;   /* bytes reported moved by those writes */
    int last_open_flags;      /* flags of the last open, as the caller gave them */
    int pad;
};
void qrvd_sim_get_counters(struct qrvd_sim_counters* out);

/* Zeroes the counters and forgets the last request. */
void qrvd_sim_reset_counters(void);

/* Copies the last QRVD_IOC_VRAM_IO record received (before any check) into
 * *out and returns 0; -1 if none was received since the last reset. */
int qrvd_sim_last_request(struct qrvd_ioctl_file_inout_vram_args* out);

/* The host address, in the simulator's private read-write view, of the device
 * bytes [device_ptr, device_ptr + len); NULL unless they lie inside one live
 * allocation.  For tests and benchmarks that must look at device memory
 * without a copy call; valid while the allocation lives. */
void* qrvd_sim_host_view(const void* device_ptr, size_t len);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QRVD_SIM_H */
