// The run's one text log. Every area reports through print_log, warn and error; only start-up ends
// the process, through die. The state is one process-wide record so that a plug-in library, which
// carries its own copy of these functions, can adopt the engine's open log through the session.
#pragma once

#include <cstdio>

struct session_t;

typedef void (*log_handler_t)(void);

struct logging_state_t {
    FILE* file;
    int ready;
    log_handler_t die_handler;
    log_handler_t warn_handler;
    log_handler_t error_handler;
    const char* prefix;
    void* spare;
};

extern "C" {

extern logging_state_t _g_logging_state;

// The session's log-state field. The session record is defined above this area, so the property
// store gives access to the field.
logging_state_t** session_log_state(session_t* session);

// Without a name but with a session: adopts the state the session points at when this copy has no
// file open, and keeps an open log as it is (the plug-in path); 0. Otherwise lets go of the state
// as log_disable does and opens the file for appending: -1 when no name is given, 0 otherwise (also when the open failed:
// see log_is_ready).
int log_init(session_t* session, const char* name);
// Resets the state to no file, not ready, no handlers and prefix "", and closes the file when this
// copy of the module opened it; an adopted file stays open for the engine that owns it. 0.
int log_disable(void);
// 0 when a file is open and ready, -2 when a file is set but not ready, -3 when there is no file.
int log_is_ready(void);
// 0 after writing one line, -1 for a null format, or the log_is_ready code with nothing written.
int print_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
int warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
int error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs the message as an ERROR line, repeats it on standard error and ends the process.
[[noreturn]] void die(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
int log_set_prefix(const char* prefix);
int set_die_handle(log_handler_t handler);
int set_warn_handle(log_handler_t handler);
int set_error_handle(log_handler_t handler);

}  // extern "C"

#define LOG_NULL_PARAM() error("%s:%d: parameter is null", __FILE__, __LINE__)
#define LOG_EMPTY_PARAM() error("%s:%d: parameter is empty", __FILE__, __LINE__)
#define LOG_ALLOC_FAILED() error("%s:%d: allocation of parameter failed", __FILE__, __LINE__)
