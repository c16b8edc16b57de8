/* SPDX-License-Identifier: Apache-2.0 */
/*
 * A library user's program: reads a file into GPU memory through libdgfile
 * on the simulated platform, copies it back and compares.  It also asks the
 * driver stand-in whether the bytes took the direct path.
 *
 *   consumer DIR   (DIR must accept O_DIRECT)
 *
 * Exit status 0 when the bytes match and the direct path moved them.
 */
#define _GNU_SOURCE /* O_DIRECT */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <dgfile.h>
#include <dgrt.h>
#include <qrvd_sim.h>

#define SIZE (256 * 1024)

static int fail(const char* what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) return fail("usage: consumer DIR");
    if (!qrvd_sim_enable_if_no_device()) return fail("simulated driver not enabled");

    static unsigned char pattern[SIZE], back[SIZE];
    for (size_t i = 0; i < SIZE; ++i) pattern[i] = (unsigned char)(i * 13 + i / 4096);

    char path[4096];
    snprintf(path, sizeof path, "%s/consumer.XXXXXX", argv[1]);
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, pattern, SIZE) != SIZE) return fail("cannot write the scratch file");
    close(fd);
    fd = open(path, O_RDONLY | O_DIRECT);
    unlink(path);
    if (fd < 0) return fail("cannot open the scratch file with O_DIRECT");

    if (dgFileDriverOpen().err != DG_FILE_SUCCESS) return fail("dgFileDriverOpen failed");
    DGfileDescr_t descr;
    memset(&descr, 0, sizeof descr);
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = fd;
    DGfileHandle_t fh;
    if (dgFileHandleRegister(&fh, &descr).err != DG_FILE_SUCCESS)
        return fail("dgFileHandleRegister failed");

    void* gpu = NULL;
    if (dgMalloc(&gpu, SIZE) != 0) return fail("dgMalloc failed");
    ssize_t n = dgFileRead(fh, gpu, SIZE, 0, 0);
    int match = n == SIZE && dgMemcpy(back, gpu, SIZE, dgMemcpyDeviceToHost) == 0 &&
                memcmp(back, pattern, SIZE) == 0;

    struct qrvd_sim_counters counters;
    qrvd_sim_get_counters(&counters);
    printf("read %zd bytes: %s; direct path moved %llu bytes in %llu requests\n", n,
           match ? "bytes match" : "BYTES DIFFER", (unsigned long long)counters.bytes_read,
           (unsigned long long)counters.reads);

    dgFileHandleDeregister(fh);
    dgFileDriverClose();
    close(fd);
    dgFree(gpu);
    if (!match) return 1;
    if (counters.bytes_read != SIZE) return fail("the bytes did not take the direct path");
    return 0;
}
