// Runs a function of a shell script with the engine's properties as LI_ variables, and reads back
// the variables the script changed.
#pragma once

#include <map>
#include <string>
#include <vector>

struct cab_t;
struct session_t;

// What a plug-in action names: the library or script file, the store component holding it (empty
// for a file in the engine's folder), the function to call and, for shell plug-ins, its variables.
struct plugin_desc_t {
    std::string file;
    std::string spare;
    std::string component;
    std::string func;
    std::string vars;
};

// 0 on success, 1 on failure. desc: file, component, func ("name" or "name:timeout-seconds").
int shellexec_execute(session_t* session, cab_t* store, const plugin_desc_t* desc);
// 0 when the shell ran (or was stopped after its time-out), -1 on failure.
int _shellexec_execute_command(session_t* session, const std::string& script, const std::string& func,
                               const std::map<std::string, std::string>* vars);
int _shellexec_parse_envlist(session_t* session, const std::map<std::string, std::string>* vars,
                             const std::string& dump_file);
// The properties as "LI_name=value" words for a program's environment, as a shell function sees them:
// values expanded, double quotes made single; names that are no shell names, and values too long to
// pass, are left out (logged), and so is what would pass 1 MiB in all.
std::vector<std::string> shellexec_environment(session_t* session);
// One line of the init file: the value passed as data, never as shell code.
std::string _shellexec_env_item(const std::string& name, const std::string& value);
