// SPDX-License-Identifier: Apache-2.0
/*
 * qrv_platform.h - the GPU platform's library names and the QRVD_SIM switch,
 * for programs that look for the platform at run time (dgfile-bench,
 * dgfile-doctor and their launcher) and for the simulated platform itself.
 *
 * Header only: nothing to link, no state.  Any caller, any thread (it reads
 * the environment, which no caller may change meanwhile).  Compiles as C and
 * C++.
 */
#ifndef QRV_PLATFORM_H
#define QRV_PLATFORM_H

#include <stdlib.h>
#include <strings.h>

/* The runtimes by the names an application's loader resolves: the low-level
 * GPU runtime (a needed library of libdgfile) and the application runtime
 * (dgMalloc, dgMemcpy, ...). */
#define QRV_RUNTIME_SONAME "libqrv-runtime64.so.1"
#define DGRT_SONAME "libdgrt.so.1"

/* The simulated driver's library file: never a needed library of an
 * application, so it has no soname version; it is linked ahead of the C
 * library or preloaded. */
#define QRVD_SIM_LIBRARY "libqrvd-sim.so"

/* QRVD_SIM as the simulated driver reads it: 1 when it says on ("1", "on" or
 * "yes", any case), 0 when it says off ("0", "off" or "no"), -1 when it is
 * not set or says neither. */
static inline int qrvd_sim_env_force(void) {
    const char* v = getenv("QRVD_SIM");
    if (v == NULL) return -1;
    if (!strcasecmp(v, "1") || !strcasecmp(v, "on") || !strcasecmp(v, "yes")) return 1;
    if (!strcasecmp(v, "0") || !strcasecmp(v, "off") || !strcasecmp(v, "no")) return 0;
    return -1;
}

#endif /* QRV_PLATFORM_H */
