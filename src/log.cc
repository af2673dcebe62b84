#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <ctime>

logging_state_t _g_logging_state = {nullptr, 0, nullptr, nullptr, nullptr, "", nullptr};

namespace {

// The file this copy of the module opened, the only one it closes. A plug-in library carries its
// own copy of this module: the state it adopts holds the engine's file, which the engine still
// writes to, so letting go of that state must leave the file open. A stream a tool puts into the
// state itself is likewise closed by the tool.
FILE* g_own_file = nullptr;

// One line: the seconds, the kind, the prefix, the message; flushed so that a crash or a kill
// never loses what was already said.
int log_write(const char* kind, const char* format, va_list args) {
    if (!format) return -1;
    const int ready = log_is_ready();
    if (ready != 0) return ready;
    FILE* file = _g_logging_state.file;
    const char* prefix = _g_logging_state.prefix ? _g_logging_state.prefix : "";
    fprintf(file, "%d - %s%s: ", static_cast<int>(time(nullptr)), kind, prefix);
    vfprintf(file, format, args);
    fputc('\n', file);
    fflush(file);
    return 0;
}

// Opens the log for appending. Its name is easy to guess, and it often lies in a folder others may
// write to: a link planted at the name is not followed, a new file is created owner-only, and an
// existing one is taken only when it is a plain file of this user with no other name.
FILE* log_open(const char* name) {
    const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        fprintf(stderr, "Can't open %s\n", name);
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1) {
        fprintf(stderr, "log_init: %s is not a plain file of this user, not used\n", name);
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "ab");
    if (!file) {
        fprintf(stderr, "Can't open %s\n", name);
        close(fd);
    }
    return file;
}

}  // namespace

int log_init(session_t* session, const char* name) {
    // A plug-in attaches without a name. Its own copy of this module adopts the engine's state; a
    // plug-in bound to the engine's exported copy finds the log already open and keeps it.
    if (session && !name) {
        logging_state_t* adopted = *session_log_state(session);
        if (!_g_logging_state.file && adopted) {
            _g_logging_state = *adopted;
            g_own_file = nullptr;
            return 0;
        }
        if (_g_logging_state.file) return 0;
    }
    log_disable();
    if (!name) {
        fputs("ERROR: log name is NULL\n", stderr);
        return -1;
    }
    _g_logging_state.file = log_open(name);
    g_own_file = _g_logging_state.file;
    if (_g_logging_state.file) _g_logging_state.ready = 1;
    if (session) *session_log_state(session) = &_g_logging_state;
    return 0;
}

int log_disable(void) {
    FILE* file = _g_logging_state.file;
    _g_logging_state = {nullptr, 0, nullptr, nullptr, nullptr, "", nullptr};
    if (file && file == g_own_file) fclose(file);
    g_own_file = nullptr;
    return 0;
}

int log_is_ready(void) {
    if (!_g_logging_state.file) return -3;
    return _g_logging_state.ready == 1 ? 0 : -2;
}

int print_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = log_write("", format, args);
    va_end(args);
    return result;
}

int warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = log_write("WARN: ", format, args);
    va_end(args);
    if (result == 0 && _g_logging_state.warn_handler) _g_logging_state.warn_handler();
    return result;
}

int error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = log_write("ERROR: ", format, args);
    va_end(args);
    if (result == 0 && _g_logging_state.error_handler) _g_logging_state.error_handler();
    return result;
}

void die(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    log_write("ERROR: ", format, args);
    if (format) {
        vfprintf(stderr, format, again);
        fputc('\n', stderr);
        fflush(stderr);
    }
    va_end(again);
    va_end(args);
    if (_g_logging_state.die_handler) _g_logging_state.die_handler();
    exit(status);
}

int log_set_prefix(const char* prefix) {
    if (!prefix) return -1;
    _g_logging_state.prefix = prefix;
    return 0;
}

int set_die_handle(log_handler_t handler) {
    if (!handler) return -1;
    _g_logging_state.die_handler = handler;
    return 0;
}

int set_warn_handle(log_handler_t handler) {
    if (!handler) return -1;
    _g_logging_state.warn_handler = handler;
    return 0;
}

int set_error_handle(log_handler_t handler) {
    if (!handler) return -1;
    _g_logging_state.error_handler = handler;
    return 0;
}
