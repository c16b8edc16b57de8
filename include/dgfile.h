// SPDX-License-Identifier: Apache-2.0
/*
 * dgfile.h - move file data directly between local storage and GPU memory.
 *
 * Conventions of this interface:
 *  - Every entry point has C linkage and begins with dgFile.  Status-returning
 *    calls return a DGfileError_t by value; test its err member against
 *    DG_FILE_SUCCESS.  Transfers return a signed byte count (-1 on failure).
 *    No call throws, and no call hands out error text: the diagnostics of
 *    calls and transfers go to the library's debug log only.  Printed
 *    outside it: on standard output, the log's copy of each record (unless
 *    print_to_console is false), a numeric log setting that does not
 *    convert, and "Failed to create log directory: DIR"; on standard error,
 *    "Failed to open log file: PATH" and "Failed to delete file PATH:
 *    REASON" (the log's own set-up and rotation), an invalid DGFILE_STATS or
 *    DGFILE_STATS_FORMAT (once), and "dgfile: cannot write statistics to
 *    PATH: REASON" at exit.  The statistics' summary goes where DGFILE_STATS
 *    says.
 *  - DGfileHandle_t and DGfileBatchHandle_t are opaque.  The library owns the
 *    object behind each from its set-up call (dgFileHandleRegister,
 *    dgFileBatchIOSetUp) to its release call (dgFileHandleDeregister,
 *    dgFileBatchIODestroy); both release calls accept NULL.
 *  - The caller owns every file descriptor it registers, every callback table
 *    it names, its device memory, and every request and completion array.
 *  - Threads: any entry point may be called from any thread, and several
 *    threads may transfer through one file handle at once (each transfer's
 *    direct attempt or CPU copy is one unit per handle).  Several handles on
 *    one file (registered on the same descriptor, on a dup() of it, or on
 *    another descriptor of the same file) may transfer at once too, also
 *    from one batch.  The CPU copies of handles that share an open file
 *    (the same descriptor, a dup(), one inherited across fork()) change its
 *    status flags and position, so they take turns; those of separately
 *    opened descriptors run at once, except where the kernel cannot tell
 *    open files apart (kcmp() missing or forbidden by a security policy),
 *    where all CPU copies of one file take turns.  The library opens and
 *    closes no descriptor of a registered file for this.  The application's own use of a registered descriptor while a
 *    transfer through it runs is not guarded: that stays the application's
 *    responsibility.  The exceptions are the
 *    REQUIRES notes below: nothing may use what is being closed or released,
 *    and one batch handle takes calls from one thread at a time.
 *  - fork(): a child never waits for a thread of its parent.  It may
 *    register new handles and transfer through them and through the handles
 *    it inherited, even one a thread of the parent was transferring through
 *    at the fork.  A batch in flight at the fork does not run on in the
 *    child: its requests unfinished there complete as DGFILE_CANCELED with
 *    ret all bits set (what they did in the parent is unknown to the child),
 *    and the batch handle may then be polled, reused and destroyed.
 *    Inherited descriptors share their open file (status flags, position)
 *    with the parent: CPU copies on one from both processes at once are the
 *    application's own concurrent use; a descriptor the child opens itself
 *    is its own.
 *  - The records below are a binary interface for LP64 Linux: their field
 *    order, widths, offsets and sizes are fixed, and checked at compile time.
 *
 * The header compiles as C++ and as C (C11 and later, strict ISO or GNU).
 * File offsets of the callbacks are __loff_t, the C library's name for
 * loff_t that strict ISO C also sees (the same 64-bit type).
 */
#ifndef DGFILE_H
#define DGFILE_H

#include <stddef.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <time.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if !(defined(__LP64__) || defined(_LP64))
#error "dgfile.h describes an LP64 interface (64-bit Linux)"
#endif

#define DGFILE_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------ */

/*
 * The library returns DG_FILE_SUCCESS, DG_FILE_DIO_NOT_SET,
 * DG_FILE_INVALID_VALUE, DG_FILE_DEVICE_NOT_FOUND,
 * DG_FILE_BATCH_SUBMIT_FAILED and DG_FILE_INTERNAL_ERROR (an allocation that
 * failed); each entry point below says which.  The other codes are declared
 * for callers written against the wider interface.  5021 and 5032 carry no
 * name.
 */
typedef enum DGfileOpError {
    DG_FILE_SUCCESS = 0,
    DG_FILE_DRIVER_NOT_INITIALIZED = 5001,
    DG_FILE_DRIVER_INVALID_PROPS = 5002,
    DG_FILE_DRIVER_UNSUPPORTED_LIMIT = 5003,
    DG_FILE_DRIVER_VERSION_MISMATCH = 5004,
    DG_FILE_DRIVER_VERSION_READ_ERROR = 5005,
    DG_FILE_DRIVER_CLOSING = 5006,
    DG_FILE_PLATFORM_NOT_SUPPORTED = 5007,
    DG_FILE_IO_NOT_SUPPORTED = 5008,
    DG_FILE_DEVICE_NOT_SUPPORTED = 5009,
    DG_FILE_DGFS_DRIVER_ERROR = 5010,
    DG_FILE_TAVO_DRIVER_ERROR = 5011,
    DG_FILE_TAVO_POINTER_INVALID = 5012,
    DG_FILE_TAVO_MEMORY_TYPE_INVALID = 5013,
    DG_FILE_TAVO_POINTER_RANGE_ERROR = 5014,
    DG_FILE_TAVO_CONTEXT_MISMATCH = 5015,
    DG_FILE_INVALID_MAPPING_SIZE = 5016,
    DG_FILE_INVALID_MAPPING_RANGE = 5017,
    DG_FILE_INVALID_FILE_TYPE = 5018,
    DG_FILE_INVALID_FILE_OPEN_FLAG = 5019,
    DG_FILE_DIO_NOT_SET = 5020,
    DG_FILE_INVALID_VALUE = 5022,
    DG_FILE_MEMORY_ALREADY_REGISTERED = 5023,
    DG_FILE_MEMORY_NOT_REGISTERED = 5024,
    DG_FILE_PERMISSION_DENIED = 5025,
    DG_FILE_DRIVER_ALREADY_OPEN = 5026,
    DG_FILE_HANDLE_NOT_REGISTERED = 5027,
    DG_FILE_HANDLE_ALREADY_REGISTERED = 5028,
    DG_FILE_DEVICE_NOT_FOUND = 5029,
    DG_FILE_INTERNAL_ERROR = 5030,
    DG_FILE_GETNEWFD_FAILED = 5031,
    DG_FILE_DGFS_SETUP_ERROR = 5033,
    DG_FILE_IO_DISABLED = 5034,
    DG_FILE_BATCH_SUBMIT_FAILED = 5035,
    DG_FILE_GPU_MEMORY_PINNING_FAILED = 5036,
    DG_FILE_IO_MAX_ERROR = 5037
} DGfileOpError;

/* The status every status-returning entry point returns by value. */
typedef struct DGfileError {
    DGfileOpError err;
} DGfileError_t;

/* ---- Driver properties ------------------------------------------------- */

/* Accepted by dgFileDriverGetProperties; the library neither reads nor
 * writes any field.  Kept for callers written against the interface. */
typedef struct DGfileDrvProps {
    struct {
        unsigned int major_version;
        unsigned int minor_version;
        size_t poll_thresh_size;
        size_t max_direct_io_size;
        unsigned int dstatusflags;
        unsigned int dcontrolflags;
    } dgfs;
    unsigned int fflags;
    unsigned int max_device_cache_size;
    unsigned int per_buffer_cache_size;
    unsigned int max_device_pinned_mem_size;
    unsigned int max_batch_io_size;
    unsigned int max_batch_io_timeout_msecs;
} DGfileDrvProps_t;

/* ---- File registration ------------------------------------------------- */

typedef struct sockaddr sockaddr_t;

/* Handed by address to the user read and write callbacks; never set by the
 * library. */
typedef struct dgfileRDMAInfo {
    int version;
    int desc_len;
    const char* desc_str;
} dgfileRDMAInfo_t;

/*
 * Callbacks through which a user-space file system serves a registered file.
 * The library calls only read and write: their first argument is the value
 * the caller placed in DGfileDescr_t.handle.handle, the buffer is the device
 * pointer given to dgFileRead/dgFileWrite (the device offset is not passed),
 * and their result is returned to the application unchanged.
 */
typedef struct DGfileFSOps {
    const char* (*fs_type)(void* handle);
    int (*getRDMADeviceList)(void* handle, sockaddr_t** hostaddrs);
    int (*getRDMADevicePriority)(void* handle, char* devPtr, size_t size,
                                 __loff_t offset, sockaddr_t* hostaddr);
    ssize_t (*read)(void* handle, char* devPtr, size_t size, __loff_t offset,
                    dgfileRDMAInfo_t* rdmainfo);
    ssize_t (*write)(void* handle, const char* devPtr, size_t size,
                     __loff_t offset, dgfileRDMAInfo_t* rdmainfo);
} DGfileFSOps_t;

/* What kind of file a descriptor names.  There is no value 0. */
typedef enum DGfileFileHandleType {
    DG_FILE_HANDLE_TYPE_OPAQUE_FD = 1,    /* handle.fd is a POSIX descriptor */
    DG_FILE_HANDLE_TYPE_OPAQUE_WIN32 = 2, /* handle.handle is a Windows handle */
    DG_FILE_HANDLE_TYPE_USERSPACE_FS = 3  /* served through fs_ops */
} DGfileFileHandleType;

/* Names a file for dgFileHandleRegister, which copies the record; the table
 * that fs_ops points to must outlive the handle. */
typedef struct DGfileDescr_t {
    DGfileFileHandleType type;
    union {
        int fd;
        void* handle;
    } handle;
    const DGfileFSOps_t* fs_ops;
} DGfileDescr_t;

/* An opaque registered file. */
typedef void* DGfileHandle_t;

/* ---- Batch I/O ---------------------------------------------------------- */

typedef enum DGfileOpcode {
    DGFILE_READ = 0,  /* file to device memory */
    DGFILE_WRITE = 1  /* device memory to file */
} DGfileOpcode_t;

/* The state of one batch request; distinct bits, so masks may test them. */
typedef enum DGFILEStatus_enum {
    DGFILE_WAITING = 1,   /* never set by the library */
    DGFILE_PENDING = 2,   /* submitted, not finished */
    DGFILE_INVALID = 4,   /* never set by the library */
    DGFILE_CANCELED = 8,  /* cancelled; in a child, in flight at fork() */
    DGFILE_COMPLETE = 16, /* the transfer ran; see ret for its result */
    DGFILE_TIMEOUT = 32,  /* never set by the library */
    DGFILE_FAILED = 64    /* never set by the library */
} DGfileStatus_t;

typedef enum dgfileBatchMode {
    DGFILE_BATCH = 1
} DGfileBatchMode_t;

/* One batch request: the same values as one dgFileRead/dgFileWrite call. */
typedef struct DGfileIOParams {
    DGfileBatchMode_t mode;
    union {
        struct {
            void* devPtr_base;
            off_t file_offset;
            off_t devPtr_offset;
            size_t size;
        } batch;
    } u;
    DGfileHandle_t fh;
    DGfileOpcode_t opcode;
    void* cookie;
} DGfileIOParams_t;

/* One completion.  ret holds the transfer's signed result as its unsigned
 * 64-bit image: a failed transfer (-1) reads as all bits set. */
typedef struct DGfileIOEvents {
    void* cookie;
    DGfileStatus_t status;
    size_t ret;
} DGfileIOEvents_t;

/* An opaque batch handle. */
typedef void* DGfileBatchHandle_t;

/* ---- Entry points ------------------------------------------------------- */

/*
 * The device connection is one descriptor on the GPU kernel driver, shared by
 * the whole process and opened lazily.  Setting the environment variable
 * DGFILE_DISABLE_GDS to exactly "YES" keeps it from being opened (transfers
 * then use the CPU copy); it is read at every lazy open.  The descriptor is
 * close-on-exec: programs the application executes do not inherit it.
 */

/* Opens the device connection if it is not open.  DG_FILE_SUCCESS when it is
 * open, already was, or DGFILE_DISABLE_GDS is "YES"; DG_FILE_DEVICE_NOT_FOUND
 * when the device node cannot be opened.  Optional: registering a file opens
 * the connection too. */
DGFILE_API DGfileError_t dgFileDriverOpen(void);

/* Closes the device connection if it is open; always DG_FILE_SUCCESS.
 * REQUIRES: no transfer or batch request is running.  A later lazy open
 * opens a new connection, which existing handles then use. */
DGFILE_API DGfileError_t dgFileDriverClose(void);

/* Opens the device lazily and returns DG_FILE_SUCCESS.  props may be NULL;
 * the record is neither read nor written. */
DGFILE_API DGfileError_t dgFileDriverGetProperties(DGfileDrvProps_t* props);

/* The four setters open the device lazily, record their arguments in the
 * debug log, store nothing and return DG_FILE_SUCCESS. */
DGFILE_API DGfileError_t dgFileDriverSetPollMode(bool poll,
                                                 size_t poll_threshold_size);
DGFILE_API DGfileError_t dgFileDriverSetMaxDirectIOSize(size_t max_direct_io_size);
DGFILE_API DGfileError_t dgFileDriverSetMaxCacheSize(size_t max_cache_size);
DGFILE_API DGfileError_t dgFileDriverSetMaxPinnedMemSize(size_t max_pinned_size);

/* Accepted and forgotten: transfers work on any device pointer, registered
 * or not.  Neither opens the device; both return DG_FILE_SUCCESS. */
DGFILE_API DGfileError_t dgFileBufRegister(const void* devPtr_base,
                                           size_t length, int flags);
DGFILE_API DGfileError_t dgFileBufDeregister(const void* devPtr_base);

/* Registers a file and stores a new handle in *fh; the device connection is
 * opened lazily (without it, transfers take the CPU copy).  Results:
 *   DG_FILE_SUCCESS         a new, independent handle is in *fh;
 *   DG_FILE_DIO_NOT_SET     a POSIX descriptor not opened with O_DIRECT;
 *   DG_FILE_INVALID_VALUE   fh or descr is NULL, or the descriptor is not open;
 *   DG_FILE_INTERNAL_ERROR  the handle could not be allocated.
 * On failure nothing is created and *fh is untouched.  The record is copied;
 * the table descr->fs_ops points to must outlive the handle.  Status flags
 * beyond O_WRONLY/O_RDWR/O_CREAT/O_DIRECT and the large-file bit are noted in
 * the debug log and accepted.  DGFILE_DISABLE_CPU is read now, per handle. */
DGFILE_API DGfileError_t dgFileHandleRegister(DGfileHandle_t* fh,
                                              DGfileDescr_t* descr);

/* Releases a handle; NULL is accepted.  REQUIRES: no transfer or unfinished
 * batch request uses it. */
DGFILE_API void dgFileHandleDeregister(DGfileHandle_t fh);

/* Read size bytes at file_offset into devPtr_base + devPtr_offset, or write
 * them the other way.  When the handle has user callbacks, their result is
 * returned unchanged (they get devPtr_base without the offset).  Otherwise
 * the transfer goes to the kernel driver, and when that is unavailable or
 * refuses, through a host buffer (unless DGFILE_DISABLE_CPU was "YES").
 * Return the bytes moved (fewer at end of file, or what the driver reported),
 * 0 for a descriptor kind without a transfer path, -1 on failure: a NULL
 * handle, a refused seek or flag change, a host buffer that cannot be
 * allocated, a failed read()/write() before any byte moved, a failed runtime
 * copy (a write then puts nothing in the file), or a device range outside
 * its allocation.  The CPU copy uses the application's own descriptor: its
 * file position ends after the bytes moved, and its status flags are reset
 * to those read at registration.
 * Beyond a single system call, the CPU copy guarantees:
 *  - it moves the whole range: read()/write() are repeated (Linux moves at
 *    most 0x7ffff000 bytes per call, and a signal may cut a call short)
 *    until size bytes, the end of the file, or an error; an error after some
 *    bytes moved returns the bytes moved, and exactly those reach device
 *    memory;
 *  - when the GPU runtime knows the allocation holding devPtr_base, the
 *    range [devPtr_base + devPtr_offset, + size) must lie inside it, or
 *    nothing moves and the result is -1 (the driver is still offered the
 *    request and refuses such a range itself); a pointer the runtime does
 *    not know is copied as the runtime's copy call decides;
 *  - a read moves what read() delivers, whatever the file's stated size
 *    says (file systems may state less than a file holds, and a file may
 *    grow while it is read); the host memory it commits follows what the
 *    file delivers from file_offset on (at most about twice that), not
 *    size, and when that memory runs out part-way the bytes read so far
 *    count as after an error; a write takes a host buffer of size bytes.
 * REQUIRES: the handle stays registered until the call returns. */
DGFILE_API ssize_t dgFileRead(DGfileHandle_t fh, void* devPtr_base,
                              size_t size, off_t file_offset,
                              off_t devPtr_offset);
DGFILE_API ssize_t dgFileWrite(DGfileHandle_t fh, const void* devPtr_base,
                               size_t size, off_t file_offset,
                               off_t devPtr_offset);

/*
 * Batches.  A batch handle owns max_nr request slots.  Each submitted request
 * runs on a thread of its own, exactly as dgFileRead/dgFileWrite would with
 * the same values, and its completion is collected by polling.  One batch is
 * in flight per handle: a new one is admitted once every request of the
 * previous one has finished, collected or not (uncollected completions are
 * then lost).  REQUIRES: calls on one batch handle come from one thread at a
 * time, and the file handles named in a batch stay registered until its
 * requests have finished.
 */

/* Creates a batch handle with max_nr slots (0 accepted) in *batch_idp; no
 * device connection is needed.  DG_FILE_INVALID_VALUE for a NULL batch_idp,
 * DG_FILE_INTERNAL_ERROR when the slots cannot be allocated. */
DGFILE_API DGfileError_t dgFileBatchIOSetUp(DGfileBatchHandle_t* batch_idp,
                                            unsigned int max_nr);

/* Starts the first nr requests of iocbp, copied whole, and returns without
 * waiting.  DG_FILE_BATCH_SUBMIT_FAILED, with nothing changed, when the
 * handle is NULL, nr > max_nr, iocbp is NULL (even for nr 0), flags is not
 * 0, or a request of the previous batch is still running (requests that
 * completed, whether collected or not, are waited for, not refused; a
 * dgFileBatchIOCancel after every completion was collected does not change
 * that).  mode is not examined.  Each DGFILE_READ or DGFILE_WRITE on a file
 * handle runs on a thread of its own.  The others complete within this
 * call, as DGFILE_COMPLETE and without a thread: a request whose fh is NULL
 * with ret all bits set, whatever its opcode; one on a file handle whose
 * opcode is neither DGFILE_READ nor DGFILE_WRITE with ret 0, moving nothing.
 * A request whose thread cannot be started completes at once with ret all
 * bits set. */
DGFILE_API DGfileError_t dgFileBatchIOSubmit(DGfileBatchHandle_t batch_idp,
                                             unsigned int nr,
                                             DGfileIOParams_t* iocbp,
                                             unsigned int flags);

/* Hands out completions of the current batch, each exactly once over all
 * calls, in slot order: *nr is the capacity of iocbp on entry and the number
 * of records written on return.  Waits (polling every 10 microseconds) until
 * at least min_nr records are written, or every request of the batch has
 * been handed out before this call; min_nr 0 looks once and never waits.
 * Each record carries the request's own cookie, its state (DGFILE_COMPLETE,
 * or DGFILE_CANCELED), and in ret the transfer's result (all bits set for a
 * failed transfer, which still completes).  A cancelled request is handed
 * out only once its transfer is over, so no record comes out while its
 * request can still write memory; min_nr 0 passes over it until then.
 * timeout is not consulted: the
 * wait has no time limit.  DG_FILE_INVALID_VALUE, with nothing written, when
 * the handle or nr is NULL, min_nr exceeds the batch size, *nr is below
 * min_nr, or iocbp is NULL while *nr is not 0. */
DGFILE_API DGfileError_t dgFileBatchIOGetStatus(DGfileBatchHandle_t batch_idp,
                                                unsigned int min_nr,
                                                unsigned int* nr,
                                                DGfileIOEvents_t* iocbp,
                                                struct timespec* timeout);

/* Marks every request of the current batch DGFILE_CANCELED, whatever its
 * state, and returns without waiting.  A request not yet started moves
 * nothing (ret 0); a transfer under way runs to its end, and its record is
 * handed out only then, with the bytes it moved in ret.  So waiting for
 * every completion after a cancel returns once nothing of the batch can
 * still touch memory.  Completions already handed out are not handed out
 * again.  DG_FILE_SUCCESS, or DG_FILE_INVALID_VALUE for a NULL handle. */
DGFILE_API DGfileError_t dgFileBatchIOCancel(DGfileBatchHandle_t batch_idp);

/* Waits until every running request of the handle has finished, then
 * releases it; NULL is accepted.  Cancels nothing. */
DGFILE_API void dgFileBatchIODestroy(DGfileBatchHandle_t batch_idp);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks (LP64) ------------------------------------------------ */

#ifdef __cplusplus
#define DGFILE_LAYOUT_ASSERT(cond) static_assert(cond, #cond)
#else
#define DGFILE_LAYOUT_ASSERT(cond) _Static_assert(cond, #cond)
#endif

DGFILE_LAYOUT_ASSERT(sizeof(DGfileOpError) == 4);
DGFILE_LAYOUT_ASSERT(sizeof(DGfileFileHandleType) == 4);
DGFILE_LAYOUT_ASSERT(sizeof(DGfileOpcode_t) == 4);
DGFILE_LAYOUT_ASSERT(sizeof(DGfileStatus_t) == 4);
DGFILE_LAYOUT_ASSERT(sizeof(DGfileBatchMode_t) == 4);

DGFILE_LAYOUT_ASSERT(sizeof(DGfileError_t) == 4);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileError_t, err) == 0);

DGFILE_LAYOUT_ASSERT(sizeof(DGfileDrvProps_t) == 56);
DGFILE_LAYOUT_ASSERT(sizeof(((DGfileDrvProps_t*)0)->dgfs) == 32);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, dgfs.major_version) == 0);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, dgfs.minor_version) == 4);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, dgfs.poll_thresh_size) == 8);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, dgfs.max_direct_io_size) == 16);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, dgfs.dstatusflags) == 24);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, dgfs.dcontrolflags) == 28);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, fflags) == 32);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, max_device_cache_size) == 36);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, per_buffer_cache_size) == 40);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, max_device_pinned_mem_size) == 44);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, max_batch_io_size) == 48);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDrvProps_t, max_batch_io_timeout_msecs) == 52);

DGFILE_LAYOUT_ASSERT(sizeof(sockaddr_t) == 16);

DGFILE_LAYOUT_ASSERT(sizeof(dgfileRDMAInfo_t) == 16);
DGFILE_LAYOUT_ASSERT(offsetof(dgfileRDMAInfo_t, version) == 0);
DGFILE_LAYOUT_ASSERT(offsetof(dgfileRDMAInfo_t, desc_len) == 4);
DGFILE_LAYOUT_ASSERT(offsetof(dgfileRDMAInfo_t, desc_str) == 8);

DGFILE_LAYOUT_ASSERT(sizeof(DGfileFSOps_t) == 40);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileFSOps_t, fs_type) == 0);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileFSOps_t, getRDMADeviceList) == 8);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileFSOps_t, getRDMADevicePriority) == 16);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileFSOps_t, read) == 24);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileFSOps_t, write) == 32);

DGFILE_LAYOUT_ASSERT(sizeof(DGfileDescr_t) == 24);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDescr_t, type) == 0);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDescr_t, handle) == 8);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDescr_t, handle.fd) == 8);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDescr_t, handle.handle) == 8);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileDescr_t, fs_ops) == 16);

DGFILE_LAYOUT_ASSERT(sizeof(DGfileIOParams_t) == 64);
DGFILE_LAYOUT_ASSERT(sizeof(((DGfileIOParams_t*)0)->u) == 32);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, mode) == 0);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, u.batch.devPtr_base) == 8);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, u.batch.file_offset) == 16);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, u.batch.devPtr_offset) == 24);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, u.batch.size) == 32);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, fh) == 40);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, opcode) == 48);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOParams_t, cookie) == 56);

DGFILE_LAYOUT_ASSERT(sizeof(DGfileIOEvents_t) == 24);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOEvents_t, cookie) == 0);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOEvents_t, status) == 8);
DGFILE_LAYOUT_ASSERT(offsetof(DGfileIOEvents_t, ret) == 16);

#undef DGFILE_LAYOUT_ASSERT

#endif /* DGFILE_H */
