// The debug log: level-tagged records from every unit of the library.
//
// Owns all log state: the level, the settings read from the settings file,
// the log stream and the list of log files this process created.  Any thread
// may call dgfileDebugLog at any time, with or without other library locks
// held (a file handle's mutex may be held); the log takes only its own
// process-wide lock, dgfileDebugLock, and never calls back into other units.
// Everything declared here is internal to the library (hidden, not exported);
// the helpers below the emitter are declared for the log's own unit tests.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

enum dgfileDebugLogLevel {
    DGFILE_LOG_NONE = 0,
    DGFILE_LOG_WARN = 1,
    DGFILE_LOG_INFO = 2,
    DGFILE_LOG_DEBUG = 3,
};

// The emitter.  filefunc and line name the caller; fmt and the rest are a
// printf format and its arguments.  The first record of the process runs the
// set-up.  Never fails towards the caller and never throws.  Must not be
// called with dgfileDebugLock held.
void dgfileDebugLog(dgfileDebugLogLevel level, const char* filefunc, int line,
                    const char* fmt, ...) __attribute__((format(printf, 4, 5)));

// The set-up: reads DGFILE_DEBUG and the settings file, opens the log file and
// publishes the level.  Does nothing once a set-up has completed.  Takes
// dgfileDebugLock itself.
void dgfileDebugInit();

// ---- Log state shared inside the library ------------------------------------
// -1 until a set-up chose a level, then 0..3 for the life of the process.
// Stored last by the set-up, under dgfileDebugLock, with release ordering;
// the emitter reads it without the lock with acquire ordering, so a thread
// that sees a level also sees every setting below and the open stream.
extern std::atomic<int> dgfileDebugLevel;

// Statically initialised, non-recursive.  Guards every global below.
extern pthread_mutex_t dgfileDebugLock;

extern int max_file_size;                // KiB; -1 until set up
extern int64_t max_file_size_bytes;      // max_file_size * 1024, in 64 bits
extern int max_files_num;                // log files to keep; -1 until set up
extern bool dgfile_print_to_console;     // copy every record to standard output
extern char dgfileLastError[1024];       // message of the latest WARN record
extern FILE* dgfileDebugFile;            // the log stream; stdout until set up
extern std::string dgfileDefaultDebugFileFormat;  // "log_file_format"
extern std::string dgfileDefaultDebugFileDir;     // "log_dir", ends in "/"

// ---- Settings file parser ----------------------------------------------------
// An INI dialect: "[section]" headers, "key = value" lines, ";" comments in
// first position; only the space counts as a blank.  Built, queried and
// destroyed within one set-up attempt.
class INIParser {
public:
    explicit INIParser(const std::string& filename);

    // The value, or an empty string when the section or the key is absent.
    std::string getValue(const std::string& section, const std::string& key) const;

    // Strips spaces (only spaces) from both ends, in place.
    static void trim(std::string& text);

private:
    void parse();

    std::string filename;
    std::map<std::string, std::map<std::string, std::string>> data;
};

// ---- Helpers of the set-up ------------------------------------------------------
// Base-10 conversion of a numeric setting; prints its diagnosis on standard
// output and yields 0 for anything that is not a usable int.
int string_to_int(const char* str);

// The host name cut at the first `delim`, always NUL-terminated within maxlen;
// "unknown" when the system cannot tell.
void getHostName(char* hostname, int maxlen, const char delim);

bool path_exists(const std::string& filename);
bool mkdir_(const std::string& path);       // one directory, mode 0755
bool create_dir(const std::string& path);   // exists already, or mkdir_ it

// The log file path rule: dir + "dgfile" + one piece per directive of
// format (%p ".<pid>", %t ".<local time>", %h "<host>") + ".log".  Pure, for
// the unit tests; generate_log_filepath applies it to the log's globals.
std::string format_log_filepath(const std::string& dir, const std::string& format,
                                int pid, const char* host, time_t now);
// REQUIRES: dgfileDebugLock held.
void generate_log_filepath(std::string& filePath);

// One log file of this process.  Heap-allocated zero-filled by
// create_new_log_file; owned by the queue once pushed.
struct LogFileInfo {
    char fullpath[512];  // NUL-terminated, at most 511 characters
    LogFileInfo* next;   // the next newer entry; null for the newest
};

// Log files in creation order.  count is 0 exactly when front and rear are
// null.
struct LogQueue {
    LogFileInfo* front = nullptr;  // oldest
    LogFileInfo* rear = nullptr;   // newest: the current log file
    int count = 0;
};

// A new entry named by generate_log_filepath, or null when there is no
// memory or the path does not fit fullpath.  REQUIRES: dgfileDebugLock held.
LogFileInfo* create_new_log_file();

// Appends file behind queue->rear; false (and no change) for a null argument.
bool queue_push(LogQueue* queue, LogFileInfo* file);
