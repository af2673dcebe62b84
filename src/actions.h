// Built-in actions callable by name from the sequence, and the loader that runs a function of a
// plug-in library with the session.
#pragma once

#include <initializer_list>

#include <string>

#include "seq_shell.h"

struct cab_t;
struct node_t;
struct session_t;

typedef int (*action_handler_t)(session_t*);

struct action_entry_t {
    action_handler_t handler = nullptr;
    std::string name;
};

constexpr int actions_max = 1025;  // registry entries; the last index is at most 1024

// Creates the registry and registers every built-in action; 0 or -1.
int actions_init(session_t* session);
int actions_register(session_t* session, const char* name, action_handler_t handler);
// One built-in action of an area's table.
struct action_def_t {
    const char* name;
    action_handler_t handler;
};
// Registers an area's table in its order; 0, or -1 at the first name refused (logged).
int actions_register_table(session_t* session, std::initializer_list<action_def_t> table);
// 0 when a handler of that name is registered, else -1.
int actions_is_valid(session_t* session, const char* name);
// The first handler registered under the name, called with the session: its result; -1 when none.
int actions_execute(session_t* session, const char* name);
int actions_dump(session_t* session);
// Loads the library (from the active layer's folder, the engine's folder, or the store through a
// private temporary file) and calls desc->func with the session: its result, or -1.
int plugin_run(session_t* session, cab_t* store, const plugin_desc_t* desc);
// One action of each plug-in kind: runs it and stores its result in EXIT_CODE; 0. The action's set
// children are applied by the sequence afterwards.
int sequence_exec_built_in_action(session_t* session, node_t* action);
int sequence_exec_plugin_c_action(session_t* session, cab_t* store, node_t* action);
int sequence_exec_plugin_bash_action(session_t* session, cab_t* store, node_t* action);
int lumo_wait_enter_key(session_t* session);
