// The engine's start-up and shut-down: two sessions (the main one and one that receives the
// command line), the log, the package store next to the engine, configuration and defaults, the
// one-shot modes, and the exit status taken from LUMO_EXIT_CODE. Also the interrupt handler.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>

struct session_t;

// The long option names that have a one-letter form, each between semicolons.
extern const char* const g_cmdline_shortcuts;

int lumo_main(int argc, char** argv);

// 0, or -1 on a malformed argument (the help text is then shown).
int parse_command_line(session_t* session, int argc, char** argv, session_t* cmdline);
// "-s" gives "--silent": the first shortcut beginning with the letter; "" when none does.
std::string match_cmdline_shortcut(const std::string& arg);
// 0 for an empty name or one matching ^[a-zA-Z_][a-zA-Z0-9_-]*$, else -1.
int check_env_name(const char* name);
// Copies each command-line property the main session lacks; configuration wins. 0 or -1.
int commandline_merge(session_t* session, session_t* cmdline);
int show_help(session_t* session);
// 0 when a log was opened or logging is disabled, -1 when every candidate failed.
int init_logging(session_t* session, session_t* cmdline);

void sigint_handler(int signo);
// Installs sigint_handler for SIGINT, with every other signal blocked while it runs.
void install_interrupt_handler();
// SIGTERM and SIGHUP: ends the running child's process group, cleans up as a normal end does, and
// ends the process by the same signal.
void sigterm_handler(int signo);
// The interrupt question on raw descriptors, safe inside a signal handler: 1 for "Yes" (also when
// the input has ended: nobody can answer, and the interrupt was meant), 0 for "No" or an empty line.
int interrupt_prompt(int in_fd, int out_fd);
