/* SPDX-License-Identifier: Apache-2.0 */
/* The public header as a C program sees it: every type usable from C, the
 * entry points callable and linked from the shipped library. */
#include "dgfile.h"

#include <stdio.h>
#include <string.h>

/* Built as GNU C and as strict ISO C (header_c11_test), which has no loff_t:
 * a callback written with either spelling fits the header's record. */
#ifdef __STRICT_ANSI__
typedef __loff_t offset_type;
#else
typedef loff_t offset_type;
#endif

static ssize_t fs_read(void* h, char* buf, size_t n, offset_type off, dgfileRDMAInfo_t* r) {
    (void)h; (void)buf; (void)off; (void)r;
    return (ssize_t)n;
}

int main(void) {
    DGfileFSOps_t ops;
    DGfileDescr_t descr;
    DGfileIOParams_t params;
    DGfileIOEvents_t events;
    DGfileDrvProps_t props;
    DGfileError_t status;
    int failures = 0;

    memset(&ops, 0, sizeof ops);
    ops.read = fs_read;
    memset(&descr, 0, sizeof descr);
    descr.type = DG_FILE_HANDLE_TYPE_USERSPACE_FS;
    descr.handle.fd = 7;
    descr.fs_ops = &ops;
    memset(&params, 0, sizeof params);
    params.mode = DGFILE_BATCH;
    params.opcode = DGFILE_WRITE;
    params.u.batch.size = 4096;
    memset(&events, 0, sizeof events);
    events.status = DGFILE_COMPLETE;
    memset(&props, 0, sizeof props);

    /* Calls that touch neither the device nor any file. */
    status = dgFileBufRegister(&props, sizeof props, 0);
    if (status.err != DG_FILE_SUCCESS) { puts("dgFileBufRegister failed"); ++failures; }
    status = dgFileBufDeregister(&props);
    if (status.err != DG_FILE_SUCCESS) { puts("dgFileBufDeregister failed"); ++failures; }
    dgFileHandleDeregister(NULL);
    dgFileBatchIODestroy(NULL);

    printf("%s\n", failures ? "FAIL" : "ok");
    return failures ? 1 : 0;
}
