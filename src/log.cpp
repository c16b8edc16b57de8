// SPDX-License-Identifier: Apache-2.0
#include "log.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "safe_open.h"

// ---- Globals ---------------------------------------------------------------------
// All live for the whole process.  Everything but the level and the lock is
// constant-initialised or set up by this unit's static initialisation; nothing
// is opened or read at load.

std::atomic<int> dgfileDebugLevel{-1};
constinit debug_mutex_t dgfileDebugLock;

int max_file_size = -1;
int64_t max_file_size_bytes = -1;
int max_files_num = -1;
bool dgfile_print_to_console = false;
// No reader inside the library and deliberately not exported: the interface
// hands out no error text.  Kept for inspection in a debugger or core file.
char dgfileLastError[1024] = {};
FILE* dgfileDebugFile = stdout;
std::string dgfileDefaultDebugFileFormat;
std::string dgfileDefaultDebugFileDir;

namespace {

int pid GUARDED_BY(dgfileDebugLock) = -1;
char hostname[1024] GUARDED_BY(dgfileDebugLock) = {};
thread_local int tid = -1;
LogQueue log_queue GUARDED_BY(dgfileDebugLock);
// True once a set-up opened a log file; false when "log_dir" is absent or
// empty and records go to standard output only.
bool log_file_in_use GUARDED_BY(dgfileDebugLock) = false;

using DebugLock = scoped_lock<debug_mutex_t>;

// ---- fork ------------------------------------------------------------------------
// A child made by fork keeps the parent's level, settings, host name and open
// log stream; nothing is read again.  Four things need care:
//  - the lock is held across fork, so that the child never inherits it locked
//    by a thread that does not exist there (which would hang its first record);
//  - the child's only thread is a new kernel thread: its cached tid is stale;
//  - the process id in the prefix must be the child's own, otherwise its
//    records are indistinguishable from the parent's;
//  - the files in the inherited queue are the parent's, one of them the file
//    the parent still writes to: the child's trimming must never delete them
//    (it forgets their entries instead).  Its rotations still avoid their
//    names.
void fork_prepare() ACQUIRE(dgfileDebugLock) { dgfileDebugLock.lock(); }
void fork_parent() RELEASE(dgfileDebugLock) { dgfileDebugLock.unlock(); }
void fork_child() RELEASE(dgfileDebugLock) {
    tid = -1;
    if (pid != -1) pid = static_cast<int>(::getpid());
    for (LogFileInfo* entry = log_queue.front; entry != nullptr; entry = entry->next)
        entry->owned = false;
    dgfileDebugLock.unlock();
}

// Registered on the first set-up attempt (not at load), before the lock is
// ever taken, so that any fork that can find the lock held runs the handlers.
void register_fork_handlers() {
    static const bool registered = [] {
        ::pthread_atfork(fork_prepare, fork_parent, fork_child);
        return true;
    }();
    (void)registered;
}

// The body of a set-up attempt, run while the level is still -1.  Returns with the level stored on success; a failed step leaves it
// at -1 so that the next record tries again.
void debug_init_locked() REQUIRES(dgfileDebugLock) {
    // The settings file is read on every attempt; reading prints nothing.
    const LogSettings settings = read_log_settings();
    const int level = settings.level;
    if (level == DGFILE_LOG_NONE) {
        dgfileDebugLevel.store(DGFILE_LOG_NONE, std::memory_order_release);
        return;
    }

    getHostName(hostname, sizeof hostname, '.');
    pid = static_cast<int>(::getpid());

    std::fputs(settings.max_file_size.message.c_str(), stdout);
    max_file_size = settings.max_file_size.value;
    // In 64 bits: a 32-bit product would wrap from 2097152 KiB on.
    max_file_size_bytes = static_cast<int64_t>(max_file_size) * 1024;
    std::fputs(settings.max_files.message.c_str(), stdout);
    max_files_num = settings.max_files.value;
    dgfile_print_to_console = settings.print_to_console;

    if (settings.dir_setting.empty()) {
        // No log directory configured: no log file and no directory (a
        // missing setting must never make "/" the log directory), records go
        // to standard output only when the console copy is on, and the log is
        // Active, so no message repeats on every record.
        dgfileDefaultDebugFileDir.clear();
        dgfileDebugFile = stdout;
        log_file_in_use = false;
        dgfileDebugLevel.store(level, std::memory_order_release);
        return;
    }
    // Empty when "$HOME" is in it and HOME is unset or empty: the set-up
    // then fails below with the directory message.
    dgfileDefaultDebugFileDir = settings.dir;
    if (!create_dir(dgfileDefaultDebugFileDir)) {
        std::printf("Failed to create log directory: %s\n", dgfileDefaultDebugFileDir.c_str());
        std::fflush(stdout);
        return;
    }

    dgfileDefaultDebugFileFormat = settings.file_format;
    LogFileInfo* entry = create_new_log_file();
    if (entry == nullptr) return;

    dgfileDebugFile = open_log_file(entry);
    if (dgfileDebugFile == nullptr) {
        std::fprintf(stderr, "Failed to open log file: %s\n", entry->fullpath);
        delete entry;
        return;
    }
    log_queue = LogQueue{};
    queue_push(&log_queue, entry);
    log_file_in_use = true;
    dgfileDebugLevel.store(level, std::memory_order_release);
}

// Size check and rotation of the current log file.  Runs in the emitter with
// dgfileDebugLock held, before anything of the record is formatted, and only
// while a log file is in use (never for a log that writes to standard output
// only).  Returning false drops the record; the log stays Active.
bool log_file_ready() REQUIRES(dgfileDebugLock) {
    bool size_unknown = false;
    if (!need_rotation(&size_unknown)) return !size_unknown;
    return rotate_file();
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

// Formats and writes one record.  REQUIRES: level is
// WARN, INFO or DEBUG and passed the level test.
void emit_record(dgfileDebugLogLevel level, const char* filefunc, int line,
                 const char* fmt, va_list args) EXCLUDES(dgfileDebugLock) {
    DebugLock lock(dgfileDebugLock);
    if (log_file_in_use && !log_file_ready()) return;

    // One buffer on the stack: emitting never allocates.
    char record[1024];
    constexpr int kMaxText = static_cast<int>(sizeof record) - 1;  // room for "\n"
    int prefix = 0;
    switch (level) {
    case DGFILE_LOG_WARN:
        prefix = std::snprintf(record, sizeof record, "\n%s:%d:%d %s:%d [DGFILE WARN] ",
                               hostname, pid, tid, filefunc, line);
        break;
    case DGFILE_LOG_INFO:
        prefix = std::snprintf(record, sizeof record, "%s:%d:%d [DGFILE INFO]  (%s:%d) ",
                               hostname, pid, tid, filefunc, line);
        break;
    default:
        prefix = std::snprintf(record, sizeof record, "%s:%d:%d [DGFILE DEBUG] (%s:%d) ",
                               hostname, pid, tid, filefunc, line);
        break;
    }
    int length = prefix < 0 ? 0 : (prefix > kMaxText ? kMaxText : prefix);
    if (length < kMaxText) {
        int message = std::vsnprintf(record + length, sizeof record - length, fmt, args);
        if (message > 0) length += message > kMaxText - length ? kMaxText - length : message;
    }
    record[length++] = '\n';  // over the NUL when the text was cut at 1023 bytes

    // Write errors are not looked at: the log never fails its caller.
    if (dgfile_print_to_console) {
        std::fwrite(record, 1, static_cast<size_t>(length), stdout);
        // Flushed like the file: records appear at once, and a later fork
        // cannot duplicate records still sitting in the stdout buffer.
        std::fflush(stdout);
    }
    if (dgfileDebugFile != nullptr && dgfileDebugFile != stdout) {
        std::fwrite(record, 1, static_cast<size_t>(length), dgfileDebugFile);
        std::fflush(dgfileDebugFile);
    }
}

}  // namespace

// ---- Helpers of the set-up -------------------------------------------------------------

bool path_exists(const std::string& filename) {
    struct stat st;
    return ::stat(filename.c_str(), &st) == 0;
}

bool mkdir_(const std::string& path) { return ::mkdir(path.c_str(), kLogDirMode) == 0; }

bool create_dir(const std::string& path) {
    if (path.empty()) return false;
    if (path_exists(path)) return true;
    // Another process may create it meanwhile: a lost race is no failure.
    return mkdir_(path) || path_exists(path);
}

void generate_log_filepath(std::string& filePath) {
    filePath = format_log_filepath(dgfileDefaultDebugFileDir, dgfileDefaultDebugFileFormat,
                                   pid, hostname, std::time(nullptr));
}

LogFileInfo* create_new_log_file() {
    LogFileInfo* entry = new (std::nothrow) LogFileInfo{};
    if (entry == nullptr) return nullptr;
    std::string path;
    generate_log_filepath(path);
    // A path that does not fit is refused like a failed allocation: a cut path
    // would name some other file.
    if (path.size() >= sizeof entry->fullpath) {
        delete entry;
        return nullptr;
    }
    entry->next = nullptr;
    std::memcpy(entry->fullpath, path.c_str(), path.size() + 1);
    return entry;
}

bool queue_push(LogQueue* queue, LogFileInfo* file) {
    if (queue == nullptr || file == nullptr) return false;
    file->next = nullptr;
    if (queue->rear == nullptr)
        queue->front = file;
    else
        queue->rear->next = file;
    queue->rear = file;
    ++queue->count;
    return true;
}

// ---- Rotation -------------------------------------------------------------------------

bool distinct_log_filepath(const LogQueue& queue, char* path, size_t size) {
    static constexpr char kSuffix[] = ".log";
    constexpr size_t kSuffixLength = sizeof kSuffix - 1;
    const size_t length = std::strlen(path);
    // The rule always ends the name in ".log"; anything else is numbered at
    // its end.
    const bool has_suffix = length >= kSuffixLength &&
                            std::memcmp(path + length - kSuffixLength, kSuffix, kSuffixLength) == 0;
    const size_t stem = has_suffix ? length - kSuffixLength : length;
    const char* suffix = path + stem;

    // One pass: is the name, or a numbered form of it, in use, and which is
    // the highest number?  Only canonical numbers (no leading zero) count: a
    // candidate is always canonical, so no other entry can equal it.
    bool in_use = false;
    uint64_t highest = 0;
    for (const LogFileInfo* entry = queue.front; entry != nullptr; entry = entry->next) {
        const char* name = entry->fullpath;
        if (std::strncmp(name, path, stem) != 0) continue;
        const char* rest = name + stem;
        if (std::strcmp(rest, suffix) == 0) {
            in_use = true;
            continue;
        }
        if (*rest != '.' || rest[1] < '1' || rest[1] > '9') continue;
        uint64_t number = 0;
        bool overflow = false;
        for (++rest; *rest >= '0' && *rest <= '9'; ++rest) {
            const uint64_t digit = static_cast<uint64_t>(*rest - '0');
            if (number > (UINT64_MAX - digit) / 10) overflow = true;
            number = number * 10 + digit;
        }
        if (overflow || std::strcmp(rest, suffix) != 0) continue;
        in_use = true;
        if (number > highest) highest = number;
    }
    if (!in_use) return true;
    if (highest == UINT64_MAX) return false;

    char numbered[sizeof(LogFileInfo::fullpath)];
    const int written = std::snprintf(numbered, sizeof numbered, "%.*s.%llu%s",
                                      static_cast<int>(stem), path,
                                      static_cast<unsigned long long>(highest + 1), suffix);
    if (written < 0 || static_cast<size_t>(written) >= sizeof numbered ||
        static_cast<size_t>(written) >= size)
        return false;
    std::memcpy(path, numbered, static_cast<size_t>(written) + 1);
    return true;
}

FILE* open_log_file(LogFileInfo* entry) {
    // Created here, or appended to as it is: trimming never deletes a file
    // holding another process's records.  The log directory may be writable
    // by other users, who can plant something under the predictable name:
    // the open refuses whatever is not a regular file there, like a file that
    // cannot be opened.  A fork child keeps the stream.
    const int fd = open_for_writing(entry->fullpath, write_mode::append, &entry->owned);
    if (fd < 0) return nullptr;
    FILE* stream = ::fdopen(fd, "a");
    if (stream == nullptr) {
        const int error = errno;
        if (entry->owned) ::unlink(entry->fullpath);  // empty, and nobody will list it
        ::close(fd);
        errno = error;
        return nullptr;
    }
    // Line-buffered, buffer chosen by the C library; each record is flushed
    // anyway, so the size check always sees every record.
    std::setvbuf(stream, nullptr, _IOLBF, 0);
    return stream;
}

bool need_rotation(bool* size_unknown) {
    *size_unknown = false;
    if (dgfileDebugFile == nullptr) return true;
    // The stream is flushed after every record, so the file's size is all it
    // holds, other processes' appends included.  One fstat does what seeking
    // to the end and back would, in one call instead of three.
    struct stat st;
    if (::fstat(::fileno(dgfileDebugFile), &st) != 0) {
        *size_unknown = true;
        return false;
    }
    return static_cast<int64_t>(st.st_size) >= max_file_size_bytes;
}

bool rotate_file() {
    // From here on there is no current stream until a new one is open: a
    // failure leaves none, and the next record tries again.
    if (dgfileDebugFile != nullptr && dgfileDebugFile != stdout) std::fclose(dgfileDebugFile);
    dgfileDebugFile = nullptr;

    LogFileInfo* entry = nullptr;
    try {
        entry = create_new_log_file();
    } catch (const std::exception&) {
        return false;  // out of memory while building the path
    }
    if (entry == nullptr) return false;
    // The rule gives the same name again without %t in the format, or twice
    // within one second with it; reopening a listed file would keep it over
    // the limit, and trimming would delete the file in use.
    if (!distinct_log_filepath(log_queue, entry->fullpath, sizeof entry->fullpath)) {
        delete entry;
        return false;
    }
    FILE* stream = open_log_file(entry);
    if (stream == nullptr) {
        std::fprintf(stderr, "Failed to open log file: %s\n", entry->fullpath);
        delete entry;
        return false;
    }
    queue_push(&log_queue, entry);
    dgfileDebugFile = stream;

    // A negative or zero count keeps only the file just opened.
    const int keep = max_files_num < 1 ? 1 : max_files_num;
    while (log_queue.count > keep) cleanup_old_files();
    return true;
}

void cleanup_old_files() {
    LogFileInfo* oldest = log_queue.front;
    if (log_queue.count == 0 || oldest == nullptr || oldest == log_queue.rear) return;
    if (oldest->owned && ::remove(oldest->fullpath) != 0) {
        char text[256];
        std::fprintf(stderr, "Failed to delete file %s: %s\n", oldest->fullpath,
                     ::strerror_r(errno, text, sizeof text));
    }
    log_queue.front = oldest->next;
    if (log_queue.front == nullptr) log_queue.rear = nullptr;
    --log_queue.count;
    oldest->next = nullptr;
    delete oldest;
}

// ---- Set-up and emitter ---------------------------------------------------------------

void dgfileDebugInit() {
    register_fork_handlers();
    DebugLock lock(dgfileDebugLock);
    // Tested again under the lock: of the threads racing to the first record
    // only one sets up; the others wait here and return.
    if (dgfileDebugLevel.load(std::memory_order_relaxed) != -1) return;
    try {
        debug_init_locked();
    } catch (const std::exception&) {
        // Out of memory while reading settings or building the path: the
        // level stays -1 and the next record tries again.
    }
}

namespace {

// Everything of the emitter but the level test of a set-up log: the set-up,
// the last-error copy and the record.  Kept out of line so that a record the
// level drops costs a load, two comparisons and a return.
__attribute__((noinline)) void log_slow(int configured, dgfileDebugLogLevel level,
                                        const char* filefunc, int line, const char* fmt,
                                        va_list args) {
    if (configured == -1) {
        dgfileDebugInit();
        configured = dgfileDebugLevel.load(std::memory_order_acquire);
    }
    if (fmt == nullptr) return;

    if (level == DGFILE_LOG_WARN) {
        // Kept whatever the configured level, even while Silent.
        va_list copy;
        va_copy(copy, args);
        {
            DebugLock lock(dgfileDebugLock);
            std::vsnprintf(dgfileLastError, sizeof dgfileLastError, fmt, copy);
        }
        va_end(copy);
    }

    if (level < DGFILE_LOG_WARN || level > DGFILE_LOG_DEBUG || configured < level) return;

    if (tid == -1) tid = static_cast<int>(::syscall(SYS_gettid));
    emit_record(level, or_empty(filefunc), line, fmt, args);
}

}  // namespace

void dgfileDebugLog(dgfileDebugLogLevel level, const char* filefunc, int line,
                    const char* fmt, ...) {
    // Acquire: pairs with the set-up's release store, so a level other than
    // -1 comes with every setting and the open stream.
    int configured = dgfileDebugLevel.load(std::memory_order_acquire);
    if (configured != -1 && level > configured && level != DGFILE_LOG_WARN) return;

    va_list args;
    va_start(args, fmt);
    log_slow(configured, level, filefunc, line, fmt, args);
    va_end(args);
}
