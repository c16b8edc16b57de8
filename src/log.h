// SPDX-License-Identifier: Apache-2.0
// The debug log: level-tagged records from every unit of the library.
//
// Owns all log state: the level, the settings read from the settings file,
// the log stream, the list of log files this process created and their
// rotation (a full file is replaced by a new one, and only the newest
// max_files_num files are kept).  Any thread
// may call dgfileDebugLog at any time, with or without other library locks
// held (a file handle's mutex may be held); the log takes only its own
// process-wide lock, dgfileDebugLock (a leaf of the lock order in
// src/README.md), and never calls back into other units.
// Log files are opened without following a symbolic link at the file's own
// name and without blocking; whatever is not a regular file there (a planted
// link, FIFO, directory or device) counts as a file that cannot be opened.
// Files the log creates get mode 0644 before the umask.
// Everything declared here is internal to the library (hidden, not exported);
// the helpers below the emitter are declared for the log's own unit tests.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "settings.h"
#include "thread_annotations.h"

// The log's lock: a POSIX mutex with default attributes, statically
// initialised, as a capability the analysis checks.
class CAPABILITY("mutex") debug_mutex_t {
public:
    void lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
    void unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

// Statically initialised, non-recursive.  Guards every global below.
extern debug_mutex_t dgfileDebugLock;

// The emitter.  filefunc and line name the caller; fmt and the rest are a
// printf format and its arguments, which make one line: no newline of their
// own (the emitter ends every record with one).  The first record of the process runs the
// set-up.  Never fails towards the caller and never throws.  Must not be
// called with dgfileDebugLock held.
void dgfileDebugLog(dgfileDebugLogLevel level, const char* filefunc, int line,
                    const char* fmt, ...) __attribute__((format(printf, 4, 5)))
    EXCLUDES(dgfileDebugLock);

// The set-up: reads DGFILE_DEBUG and the settings file, opens the log file and
// publishes the level.  Does nothing once a set-up has completed.  Takes
// dgfileDebugLock itself.
void dgfileDebugInit() EXCLUDES(dgfileDebugLock);

// ---- Log state shared inside the library ------------------------------------
// -1 until a set-up chose a level, then 0..3 for the life of the process.
// Stored last by the set-up, under dgfileDebugLock, with release ordering;
// the emitter reads it without the lock with acquire ordering, so a thread
// that sees a level also sees every setting below and the open stream.
extern std::atomic<int> dgfileDebugLevel;

// Whether a record at `level` may be written: false only when the set-up
// chose a level below it.  Lets a caller skip the work a record's arguments
// cost (clock readings, formatted rates) when the log drops the record
// anyway.  Before a set-up it says true, so that the emitter decides.
inline bool dgfileDebugWants(dgfileDebugLogLevel level) {
    const int configured = dgfileDebugLevel.load(std::memory_order_acquire);
    return configured == -1 || configured >= level;
}

// Guarded by dgfileDebugLock (declared above).
extern int max_file_size GUARDED_BY(dgfileDebugLock);            // KiB; -1 until set up
extern int64_t max_file_size_bytes GUARDED_BY(dgfileDebugLock);  // max_file_size * 1024
extern int max_files_num GUARDED_BY(dgfileDebugLock);            // files kept; -1 until set up
extern bool dgfile_print_to_console GUARDED_BY(dgfileDebugLock);  // copy records to stdout
extern char dgfileLastError[1024] GUARDED_BY(dgfileDebugLock);   // the latest WARN's message
extern FILE* dgfileDebugFile GUARDED_BY(dgfileDebugLock);  // the log stream; stdout until set up
extern std::string dgfileDefaultDebugFileFormat GUARDED_BY(dgfileDebugLock);  // log_file_format
extern std::string dgfileDefaultDebugFileDir GUARDED_BY(dgfileDebugLock);  // log_dir, ends in "/"

// ---- Helpers of the set-up ------------------------------------------------------
// The settings themselves (parser, numeric conversion, the record the set-up
// reads) and the log file path rule are in settings.h.

bool path_exists(const std::string& filename);
bool mkdir_(const std::string& path);       // one directory, mode kLogDirMode
bool create_dir(const std::string& path);   // exists already, or mkdir_ it

// format_log_filepath (settings.h) applied to the log's globals.
void generate_log_filepath(std::string& filePath) REQUIRES(dgfileDebugLock);

// One log file of this process.  Heap-allocated zero-filled by
// create_new_log_file; owned by the queue once pushed.
struct LogFileInfo {
    char fullpath[kLongestLogPath + 1];  // NUL-terminated
    LogFileInfo* next;   // the next newer entry; null for the newest
    // This process created the file, so trimming deletes it.  False for a
    // file that already existed when it was opened (another process's
    // records) and, in a child made by fork, for every file inherited from the
    // parent: trimming then only forgets the entry and leaves the file.
    bool owned;
};

// Log files in creation order.  count is 0 exactly when front and rear are
// null.
struct LogQueue {
    LogFileInfo* front = nullptr;  // oldest
    LogFileInfo* rear = nullptr;   // newest: the current log file
    int count = 0;
};

// A new entry named by generate_log_filepath, or null when there is no
// memory or the path does not fit fullpath.
LogFileInfo* create_new_log_file() REQUIRES(dgfileDebugLock);

// Appends file behind queue->rear; false (and no change) for a null argument.
bool queue_push(LogQueue* queue, LogFileInfo* file);

// ---- Rotation ----------------------------------------------------------------------
// Runs inside the emitter, before a record is formatted, only while records go
// to a log file (never while the log writes to standard output only).
// need_rotation, rotate_file and cleanup_old_files work on the log's globals
// under dgfileDebugLock.  The two helpers before them touch only their
// arguments.

// Makes `path` (a NUL-terminated buffer of `size` bytes) name no entry of
// `queue`.  The rule's name is kept while no entry has it nor a numbered
// form of it; otherwise ".<n>" goes before ".log", n one above the highest
// number in use for that name, so numbered files sort by age.  False when the
// numbered name does not fit `size` (the path is then unchanged).
bool distinct_log_filepath(const LogQueue& queue, char* path, size_t size);

// Opens entry->fullpath for appending (close-on-exec, line-buffered, blocking
// writes) and sets entry->owned to whether this call created the file (mode
// 0644 before the umask).  Null on failure, with errno set and nothing
// printed; a symbolic link at the name, or anything there that is not a
// regular file, is such a failure and is never waited on.
FILE* open_log_file(LogFileInfo* entry);

// Whether the current log stream must be replaced before the next record:
// there is none, or its file holds max_file_size_bytes bytes or more
// (whoever wrote them).  When the size cannot be taken, *size_unknown is set
// and the result is false: the record is dropped.
bool need_rotation(bool* size_unknown) REQUIRES(dgfileDebugLock);

// Closes the current stream and opens a new file under a name distinct from
// every entry of the queue, appends it to the queue and trims the queue to
// max_files_num entries (at least the new file stays).  True when a new
// stream is open; false (record dropped, no current stream, the next record
// tries again) when no entry could be made or the file could not be opened
// ("Failed to open log file: %s\n" on standard error).
bool rotate_file() REQUIRES(dgfileDebugLock);

// Drops the oldest entry of the queue, deleting its file when this process
// created it ("Failed to delete file %s: %s\n" on standard error when that
// fails; the entry is dropped anyway).  Never touches the newest entry, whose
// file is the one in use.
void cleanup_old_files() REQUIRES(dgfileDebugLock);
