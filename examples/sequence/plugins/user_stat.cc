// The usage-statistics plug-in that the engine calls at the end of every run. This sample keeps
// the figures on the machine: with USER_STAT_FILE set it writes them there as name=value lines,
// otherwise it does nothing. It never fails the run.
#include <cstdio>

#include "lumo/plugin.h"

namespace {

// The run's usage records; nothing secret is among them.
const char* const stat_properties[] = {
    "LUMO_USER_STAT_TIME",
    "LUMO_USER_STAT_VISITED_DIALOGS",
    "LUMO_USER_STAT_PREREQS",
    "LUMO_USER_STAT_UNITS_RETCODES",
    "LUMO_MODE",
    "LUMO_EXIT_CODE",
};

}  // namespace

extern "C" int send_user_stat(session_t* session) {
    log_init(session, nullptr);
    const char* target = env_get_string(session, "USER_STAT_FILE");
    if (!target || !*target) return 0;
    FILE* out = fopen(target, "w");
    if (!out) {
        warn("send_user_stat: can't open %s", target);
        return 0;
    }
    for (const char* name : stat_properties) {
        fprintf(out, "%s=%s\n", name, env_get_string(session, name));
    }
    if (fclose(out) != 0) warn("send_user_stat: can't write %s", target);
    else print_log("send_user_stat: usage data written to %s", target);
    return 0;
}
