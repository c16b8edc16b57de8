// The debug log: level-tagged records from every unit of the library.
//
// Owns all log state (level, settings, the log stream).  Any thread may call
// dgfileDebugLog at any time, with or without other library locks held; the
// log takes its own process-wide lock and never calls back into other units.
#pragma once

enum dgfileDebugLogLevel {
    DGFILE_LOG_NONE = 0,
    DGFILE_LOG_WARN = 1,
    DGFILE_LOG_INFO = 2,
    DGFILE_LOG_DEBUG = 3,
};

// The emitter.  filefunc and line name the caller; fmt and the rest are a
// printf format and its arguments.  Never fails towards the caller.
void dgfileDebugLog(dgfileDebugLogLevel level, const char* filefunc, int line,
                    const char* fmt, ...) __attribute__((format(printf, 4, 5)));
