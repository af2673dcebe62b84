// Silent configuration: the answer file a silent run takes its settings from, the file a run writes
// its choices to, the per-suite history under the user base directory that remembers the choices
// and counts the installed copies, and the answer-file toolkit (a template to edit, a check).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class Component;
struct session_t;

struct silent_setting_t {
    std::string name;
    std::string value;
    int line = 0;      // 1-based line of the file
    bool cut = false;  // the line held a second "=", where the value ended
};

struct silent_problem_t {
    int line = 0;
    std::string text;
};

// An answer file is a handful of lines; anything larger is not one (a device, a log named by mistake).
constexpr size_t silent_file_max = 1024 * 1024;

// Answer-file text: empty, blank and "#" lines are skipped; every other line, trimmed, is
// name=value, the value ending at a second "=". The name must be a property name. 0, or -1 with
// one problem per bad line (the settings of the good lines are still returned).
int silent_parse(const std::string& text, std::vector<silent_setting_t>& settings,
                 std::vector<silent_problem_t>& problems);
// A leading "~" or "~/" stands for the home folder.
std::string silent_expand_home(const std::string& path);
// The file's text: 0, -2 when it does not exist, -1 when it is not a readable regular file of at
// most silent_file_max bytes.
int silent_read_file(const std::string& path, std::string& text);
// Writes the text through a temporary file in the same folder, flushed to disk and renamed over the
// target, so a crash leaves the old file or the new one. secret: owner-only (0600). 0 or -1.
int silent_write_file(const std::string& path, const std::string& text, bool secret);

// The last component of the last product of the product set, or null.
Component* uninstaller_comp(session_t* session);
// The history file of the suite, "" when the suite has none.
std::string silent_history_file(session_t* session);
int load_silent_config(session_t* session);
int save_silent_config(session_t* session);
// Whether every entry of COMPONENTS names a product or component of the product set (or is ALL or
// DEFAULTS): a silent run skips what the list does not name, so a mistyped entry would quietly
// install nothing, or remove in a modify what the administrator meant to keep. The unknown entries
// go to SILENT_UNKNOWN_COMPONENTS (", " between them); 0 when there are none, else -1. When all
// are known, what the named components depend on is added to COMPONENTS, so that none of it is
// left out (or removed by a modify) from under them.
int silent_check_components(session_t* session);
// The built-in actions load_silent_config, save_silent_config and silent_check_components. 0 or -1.
int silent_actions_register(session_t* session);

// Start-up before the sequence: the one-shot modes --silent-template and --check-silent, then the
// loading and check of the file named by `silent`. build_products builds the product set from the
// package's media description, which the tools check component names against (null: none).
// -1 when the run goes on, else its exit status.
int silent_startup_load(session_t* session, int (*build_products)(session_t*));
// Start-up after the sequence: the file named by `duplicate`, then the history.
void silent_startup_save(session_t* session);
