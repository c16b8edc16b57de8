/* SPDX-License-Identifier: Apache-2.0 */
/*
 * read_to_gpu: the smallest complete use of libdgfile, in C.
 *
 * Writes a scratch file with a known pattern, registers it with libdgfile,
 * reads it straight into GPU memory, copies the GPU bytes back to the host
 * and checks them.  Exit status 0 when every byte matches, 1 otherwise.
 *
 *   read_to_gpu [directory for the scratch file, default "."]
 *
 * The directory must be on a file system that accepts O_DIRECT
 * (`dgfile-doctor DIR` tells).  Without a GPU kernel driver the library
 * takes its CPU fallback and the result is the same, only slower.
 */
#define _GNU_SOURCE /* O_DIRECT */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <dgfile.h> /* libdgfile */
#include <dgrt.h>   /* the application GPU runtime: dgMalloc, dgMemcpy, dgFree */

/* O_DIRECT transfers need sizes and file offsets in multiples of the
 * file system's block size; 4096 suits every common one. */
#define SIZE (1024 * 1024)

int main(int argc, char** argv) {
    char path[4096];
    snprintf(path, sizeof path, "%s/read_to_gpu.XXXXXX", argc > 1 ? argv[1] : ".");

    /* 1. A scratch file holding a pattern, written the ordinary way. */
    unsigned char* pattern = malloc(SIZE);
    unsigned char* back = malloc(SIZE);
    if (pattern == NULL || back == NULL) return 1;
    for (size_t i = 0; i < SIZE; ++i) pattern[i] = (unsigned char)(i * 7 + i / 4096);
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, pattern, SIZE) != SIZE) {
        perror("scratch file");
        return 1;
    }
    close(fd);

    /* 2. Open it again with O_DIRECT: the library registers only such
     *    descriptors (DG_FILE_DIO_NOT_SET otherwise). */
    fd = open(path, O_RDONLY | O_DIRECT);
    unlink(path); /* the open descriptor keeps the file alive */
    if (fd < 0) {
        perror("open with O_DIRECT");
        return 1;
    }

    /* 3. Register the descriptor.  The record is copied; the descriptor
     *    stays ours and must stay open while the handle is used. */
    DGfileDescr_t descr;
    memset(&descr, 0, sizeof descr);
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = fd;
    DGfileHandle_t fh;
    DGfileError_t status = dgFileHandleRegister(&fh, &descr);
    if (status.err != DG_FILE_SUCCESS) {
        fprintf(stderr, "dgFileHandleRegister: status %d\n", (int)status.err);
        return 1;
    }

    /* 4. Read the whole file into GPU memory: file offset 0, placed at
     *    offset 0 of the allocation.  The result is the byte count, or -1. */
    void* gpu = NULL;
    if (dgMalloc(&gpu, SIZE) != 0) {
        fprintf(stderr, "dgMalloc failed\n");
        return 1;
    }
    ssize_t n = dgFileRead(fh, gpu, SIZE, /*file_offset=*/0, /*devPtr_offset=*/0);

    /* 5. GPU memory is not host memory: copy it back before looking. */
    int ok = n == SIZE && dgMemcpy(back, gpu, SIZE, dgMemcpyDeviceToHost) == 0 &&
             memcmp(back, pattern, SIZE) == 0;
    printf("dgFileRead moved %zd of %d bytes into GPU memory: %s\n", n, SIZE,
           ok ? "bytes match" : "BYTES DIFFER");

    /* 6. Release in reverse order. */
    dgFileHandleDeregister(fh);
    close(fd);
    dgFree(gpu);
    free(back);
    free(pattern);
    return ok ? 0 : 1;
}
