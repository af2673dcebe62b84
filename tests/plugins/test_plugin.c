/* A plug-in for the engine's plug-in tests, written in C against the public header only, the way a
   package author writes one. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <sys/stat.h>

#include "lumo/plugin.h"

int status_seven(session_t* session) {
    (void)session;
    return 7;
}

/* Reports the file it was loaded from and that file's mode while it is loaded. */
int where(session_t* session) {
    Dl_info info;
    struct stat st;
    char mode[16];
    log_init(session, NULL);
    if (!dladdr((void*)&status_seven, &info) || !info.dli_fname) return -2;
    env_set_string(session, "PLUGIN_PATH", info.dli_fname);
    if (stat(info.dli_fname, &st) != 0) return -3;
    snprintf(mode, sizeof mode, "%o", (unsigned)(st.st_mode & 07777));
    env_set_string(session, "PLUGIN_MODE", mode);
    print_log("where: loaded from %s", info.dli_fname);
    return 0;
}

/* Uses every call the header offers. */
int greet(session_t* session) {
    const char* name;
    log_init(session, NULL);
    name = env_get_string(session, "GREET_NAME");
    env_set_string(session, "GREETING", "hello ");
    env_cat_string(session, "GREETING", name);
    if (env_exists(session, "GREET_DROP")) env_remove(session, "GREET_DROP");
    print_log("greet: %s", env_get_string(session, "GREETING"));
    warn("greet: a warning");
    error("greet: an error");
    return env_exists(session, "GREET_MISSING") ? 1 : 42;
}

/* Leaves the property it was given and the folder it ran in where the sequence can read them. */
int take_note(session_t* session) {
    log_init(session, NULL);
    print_log("take_note: called");
    env_set_string(session, "PLUGIN_SAW", env_get_string(session, "PLUGIN_INPUT"));
    env_set_string(session, "PLUGIN_PWD", env_get_string(session, "PWD"));
    return 7;
}
