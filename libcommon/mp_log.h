// mp_log.h - the log file with levels, the recent-lines ring and the call-name trace.
#pragma once

// Process-wide log settings; each program's initialisation sets them before MP_open_log.
extern int MP_Global_Debug;
extern char MP_Global_LogPath[260];
extern char MP_Global_Title[256];
extern char MP_Global_Version[64];

// Call-name trace: every traced function pushes its name on entry and pops it on return.
void MP_trace_enter(const char* name);
void MP_trace_leave();
void MP_trace_print();
int MP_trace_depth();

// Pushes a name for the life of a scope, so that every return path pops it.
class MP_TraceScope {
public:
    explicit MP_TraceScope(const char* name) { MP_trace_enter(name); }
    ~MP_TraceScope() { MP_trace_leave(); }
    MP_TraceScope(const MP_TraceScope&) = delete;
    MP_TraceScope& operator=(const MP_TraceScope&) = delete;
};
#define MP_TRACE(name) MP_TraceScope mp_trace_scope_(name)

// The log core and its three entry points. Results carry no information.
int MP_log_line(int level, const char* label, const char* text, int force);
int MP_log(const char* label, const char* text);
int MP_logl(int level, const char* label, const char* text);
int MP_errlog(const char* label, const char* text);

#if defined(__MINGW32__) && !defined(__clang__)
#define MP_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define MP_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

// printf-style forms: the text is composed into a static buffer of 4,096 bytes, cut there.
int MP_logf(int level, const char* label, const char* format, ...) MP_PRINTF(3, 4);
int MP_errlogf(const char* label, const char* format, ...) MP_PRINTF(2, 3);

int MP_open_log();
int MP_close_log();
int MP_log_file_size(const char* path);
const char* MP_libcommon_version();

// Empties the recent-lines ring and marks the log as not open (the programs' initialisation).
void MP_log_reset();
// Whether a log file is open.
bool MP_log_is_open();
