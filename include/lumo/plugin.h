/* What a plug-in library may call in the running engine. A plug-in exports functions of the form
 *     int name(session_t* session)
 * which the engine calls by name with its session; the result becomes the property EXIT_CODE.
 * The functions below are resolved against the engine when the library is loaded: build the
 * plug-in as a shared object (-shared -fPIC) and do not link the engine's own sources into it.
 * Usable from C and C++. In C, do not include <err.h> or <error.h>: they declare their own
 * warn and error. */
#ifndef LUMO_PLUGIN_H
#define LUMO_PLUGIN_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define LUMO_PLUGIN_PRINTF(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define LUMO_PLUGIN_PRINTF(format_index, first_arg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The engine's session; plug-ins only pass the pointer on. */
struct session_t;
typedef struct session_t session_t;

/* Properties. Names are case-sensitive; "-" in a name is stored as "_". While the engine runs a
 * layer's plug-in, what is set lands in the layer's own properties, and reads see the layer's
 * properties before the session's. */

/* The value, "" when absent; never null. The text stays valid until the property is next
 * written: copy it to keep it. */
const char* env_get_string(session_t* session, const char* name);
/* 0, or -1 for a null argument or a computed name that does not resolve. */
int env_set_string(session_t* session, const char* name, const char* value);
/* Whether the property is set (also when its value is empty). */
bool env_exists(session_t* session, const char* name);
/* Removes the property from the session; 0 also when it was absent. */
int env_remove(session_t* session, const char* name);
/* Appends suffix to the value (an absent property counts as ""); 0 or -1. */
int env_cat_string(session_t* session, const char* name, const char* suffix);

/* Named data one plug-in leaves in the session for another (the pointer is not owned): 0 or -1;
 * session_get_cdata gives null when no data has the id. */
int session_add_cdata(session_t* session, void* data, const char* id);
void* session_get_cdata(session_t* session, const char* id);
int session_delete_cdata(session_t* session, const char* id);
/* The number a property value holds, 0 for null. */
int64_t castStringToEnvPointer(const char* text);

/* Logging. Call log_init(session, NULL) once at the start of a plug-in function: it joins the
 * engine's log. The others write one line each and return 0, or non-zero when nothing was written
 * (no log open). */
int log_init(session_t* session, const char* name);
int print_log(const char* format, ...) LUMO_PLUGIN_PRINTF(1, 2);
int warn(const char* format, ...) LUMO_PLUGIN_PRINTF(1, 2);
int error(const char* format, ...) LUMO_PLUGIN_PRINTF(1, 2);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_PLUGIN_H */
