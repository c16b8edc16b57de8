/* SPDX-License-Identifier: Apache-2.0 */
/*
 * A stand-in for a GPU machine's own low-level runtime (libqrv-runtime64.so.1),
 * installed by tools_test.sh where the loader finds system libraries.  It has
 * the pointer query under its symbol version and knows no device memory, so
 * every transfer of libdgfile takes the CPU fallback.  It carries none of the
 * simulated platform's own calls: a program that resolved this file shows it.
 */
#include <qrv_runtime.h>

int qrv_vendor_pointer_info(const void* ptr, qrv_vendor_pointer_info_t* info, void* reserved1,
                            void* reserved2, void* reserved3) {
    (void)ptr;
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;
    return info == 0 ? QRV_STATUS_INVALID_ARGUMENT : QRV_STATUS_INVALID_POINTER;
}
