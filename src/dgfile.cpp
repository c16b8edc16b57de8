// SPDX-License-Identifier: Apache-2.0
// The 18 exported entry points and the process-wide device connection.
//
// Every entry point is a thin wrapper: one trace record (before any lock or
// argument check), then a call into the device connection, a file handle or
// a batch handle.  Only the entry points leave this file; everything else
// here has internal linkage.
#include "dgfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "batchhandle.h"
#include "files.h"
#include "fork_safe_mutex.h"
#include "log.h"
#include "settings.h"
#include "stats.h"
#include "thread_annotations.h"
#include "utils.h"

namespace {

// The device connection: -1 when closed.  Stores happen only under g_mutex,
// so that a test-and-open or test-and-close never interleaves with another;
// transfers read it without the lock through the address each handle keeps,
// which is why every access is atomic.  g_mutex is fork-safe: a child finds
// it free even if a thread of the parent was opening the connection (the
// child then opens its own).  Constant-initialised: usable before any
// constructor runs.
constinit fork_safe_mutex g_mutex;
std::atomic<int> fd GUARDED_BY(g_mutex){-1};

DGfileError_t make_status(DGfileOpError err) { return DGfileError_t{err}; }

// Read afresh at every open so that a caller can switch the direct path off
// between connections.
bool direct_path_disabled() { return env_switch_on(kDisableDirectPath); }

// `counting` from stats::on() before g_mutex was taken.
DGfileError_t driver_open(bool counting) REQUIRES(g_mutex) {
    DGfileError_t result = make_status(DG_FILE_SUCCESS);
    if (direct_path_disabled()) return result;  // an open connection stays open
    if (fd.load() == -1) {
        // Close-on-exec: the connection is the library's, and a program the
        // application executes must not inherit it.
        int opened = ::open(kDeviceNode, O_RDWR | O_CLOEXEC);
        if (opened < 0) {
            result = make_status(DG_FILE_DEVICE_NOT_FOUND);
            opened = -1;
        } else if (counting) {
            stats::device_opened();
        }
        fd.store(opened);
    }
    return result;
}

// The lazy open used by the entry points.  Whether the statistics count is
// decided before the lock: their first use calibrates a clock.
DGfileError_t dg_file_driver_open() {
    const bool counting = stats::on();
    scoped_lock<fork_safe_mutex> lock(g_mutex);
    return driver_open(counting);
}

// The size settings change nothing on this path: each call is logged, opens
// the connection like any entry point, and succeeds.
DGfileError_t accept_size_setting(const char* func, int line, const char* name, size_t value) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, func, line, "API_CALL %s = %zu", name, value);
    dg_file_driver_open();
    return make_status(DG_FILE_SUCCESS);
}

// The record dgFileRead and dgFileWrite write on entry (offsets shown unsigned).
inline void log_transfer_call(const char* func, int line, const void* devPtr_base, size_t size,
                              off_t file_offset, off_t devPtr_offset) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, func, line,
                   "API_CALL devPtr_base = %p, size = %zu, file_offset = %zu, "
                   "devPtr_offset = %zu",
                   devPtr_base, size, static_cast<size_t>(file_offset),
                   static_cast<size_t>(devPtr_offset));
}

}  // namespace

// ---- Driver connection and driver settings ----------------------------------

DGfileError_t dgFileDriverOpen(void) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL ");
    return dg_file_driver_open();
}

DGfileError_t dgFileDriverClose(void) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL ");
    const bool counting = stats::on();
    scoped_lock<fork_safe_mutex> lock(g_mutex);
    int open_fd = fd.load();
    if (open_fd != -1) {
        ::close(open_fd);  // a failing close still ends the connection
        fd.store(-1);
        if (counting) stats::device_closed();
    }
    return make_status(DG_FILE_SUCCESS);
}

DGfileError_t dgFileDriverGetProperties(DGfileDrvProps_t* /*props*/) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL ");
    dg_file_driver_open();
    return make_status(DG_FILE_SUCCESS);
}

DGfileError_t dgFileDriverSetPollMode(bool poll, size_t poll_threshold_size) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__,
                   "API_CALL poll = %d, poll_threshold_size = %zu",
                   static_cast<int>(poll), poll_threshold_size);
    dg_file_driver_open();
    return make_status(DG_FILE_SUCCESS);
}

DGfileError_t dgFileDriverSetMaxDirectIOSize(size_t max_direct_io_size) {
    return accept_size_setting(__func__, __LINE__, "max_direct_io_size", max_direct_io_size);
}

DGfileError_t dgFileDriverSetMaxCacheSize(size_t max_cache_size) {
    return accept_size_setting(__func__, __LINE__, "max_cache_size", max_cache_size);
}

DGfileError_t dgFileDriverSetMaxPinnedMemSize(size_t max_pinned_size) {
    return accept_size_setting(__func__, __LINE__, "max_pinned_size", max_pinned_size);
}

// ---- Buffer registration ------------------------------------------------------

DGfileError_t dgFileBufRegister(const void* devPtr_base, size_t length, int flags) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__,
                   "API_CALL devPtr_base = %p, length = %zu, flags = %d",
                   devPtr_base, length, flags);
    return make_status(DG_FILE_SUCCESS);
}

DGfileError_t dgFileBufDeregister(const void* devPtr_base) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__,
                   "API_CALL devPtr_base = %p", devPtr_base);
    return make_status(DG_FILE_SUCCESS);
}

// ---- Files and transfers ------------------------------------------------------

DGfileError_t dgFileHandleRegister(DGfileHandle_t* fh, DGfileDescr_t* descr) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__,
                   "API_CALL descr->handle.fd = %d, descr->type = %d",
                   descr != nullptr ? descr->handle.fd : -1,
                   descr != nullptr ? static_cast<int>(raw_value(descr->type)) : 0);
    if (fh == nullptr || descr == nullptr) return make_status(DG_FILE_INVALID_VALUE);
    dg_file_driver_open();  // without a device, the handle transfers by CPU copy

    int flags = 0;
    if (raw_value(descr->type) == DG_FILE_HANDLE_TYPE_OPAQUE_FD) {
        flags = ::fcntl(descr->handle.fd, F_GETFL);
        if (flags == -1) return make_status(DG_FILE_INVALID_VALUE);  // not an open descriptor
        if (flags & ~kAllowedOpenFlags)
            dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__,
                           "file flags: %o maybe not support, unsupport flag: %o",
                           static_cast<unsigned>(flags),
                           static_cast<unsigned>(flags & ~kAllowedOpenFlags));
        if (!(flags & O_DIRECT)) return make_status(DG_FILE_DIO_NOT_SET);
    }
    file_handle_t* handle = file_handle_t::create(&fd, descr, flags);
    if (handle == nullptr) return make_status(DG_FILE_INTERNAL_ERROR);
    *fh = handle;
    if (stats::on()) stats::handle_registered();
    return make_status(DG_FILE_SUCCESS);
}

void dgFileHandleDeregister(DGfileHandle_t fh) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL ");
    if (fh != nullptr && stats::on()) stats::handle_deregistered();
    delete static_cast<file_handle_t*>(fh);
}

ssize_t dgFileRead(DGfileHandle_t fh, void* devPtr_base, size_t size, off_t file_offset,
                   off_t devPtr_offset) {
    log_transfer_call(__func__, __LINE__, devPtr_base, size, file_offset, devPtr_offset);
    if (fh == nullptr) return -1;
    return static_cast<file_handle_t*>(fh)->read(devPtr_base, size, file_offset, devPtr_offset);
}

ssize_t dgFileWrite(DGfileHandle_t fh, const void* devPtr_base, size_t size, off_t file_offset,
                    off_t devPtr_offset) {
    log_transfer_call(__func__, __LINE__, devPtr_base, size, file_offset, devPtr_offset);
    if (fh == nullptr) return -1;
    return static_cast<file_handle_t*>(fh)->write(devPtr_base, size, file_offset, devPtr_offset);
}

// ---- Batches --------------------------------------------------------------------

DGfileError_t dgFileBatchIOSetUp(DGfileBatchHandle_t* batch_idp, unsigned int max_nr) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL max_nr = %u", max_nr);
    if (batch_idp == nullptr) return make_status(DG_FILE_INVALID_VALUE);
    batch_handle_t* handle = batch_handle_t::create(&fd, max_nr);
    if (handle == nullptr) return make_status(DG_FILE_INTERNAL_ERROR);
    *batch_idp = handle;
    return make_status(DG_FILE_SUCCESS);
}

DGfileError_t dgFileBatchIOSubmit(DGfileBatchHandle_t batch_idp, unsigned int nr,
                                  DGfileIOParams_t* iocbp, unsigned int flags) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__,
                   "API_CALL nr = %u, flags = 0x%x", nr, flags);
    if (batch_idp == nullptr) return make_status(DG_FILE_BATCH_SUBMIT_FAILED);
    return make_status(static_cast<batch_handle_t*>(batch_idp)->submit(nr, iocbp, flags));
}

DGfileError_t dgFileBatchIOGetStatus(DGfileBatchHandle_t batch_idp, unsigned int min_nr,
                                     unsigned int* nr, DGfileIOEvents_t* iocbp,
                                     struct timespec* timeout) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL min_nr = %u", min_nr);
    if (batch_idp == nullptr) return make_status(DG_FILE_INVALID_VALUE);
    return make_status(
        static_cast<batch_handle_t*>(batch_idp)->get_status(min_nr, nr, iocbp, timeout));
}

DGfileError_t dgFileBatchIOCancel(DGfileBatchHandle_t batch_idp) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL ");
    if (batch_idp == nullptr) return make_status(DG_FILE_INVALID_VALUE);
    return make_status(static_cast<batch_handle_t*>(batch_idp)->cancel());
}

void dgFileBatchIODestroy(DGfileBatchHandle_t batch_idp) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, __func__, __LINE__, "API_CALL ");
    delete static_cast<batch_handle_t*>(batch_idp);
}
