// Coexistence with other installed versions of the suite's products: rules shipped in the package
// (coex.xml) decide for each item the contents providers know to be installed whether its removal
// is required, optional or forbidden, set the properties later steps read (peer folder, locked
// installation folder, products to skip), and feed the dialog that lets the user choose; the
// chosen items are then removed through their provider or the rule's own command.
#pragma once

#include <string>
#include <vector>

#include "xml.h"

struct session_t;
class ContentsItem;
class ContentsProvider;

constexpr int coex_match_exact = 1;
constexpr int coex_match_regex = 2;
constexpr int coex_show_yes = 1;
constexpr int coex_show_no = 2;
constexpr int coex_uninstall_required = 3;
constexpr int coex_uninstall_optional = 4;
constexpr int coex_uninstall_forbidden = 5;
// Filters nested deeper than this are refused with an error line: each level is a nested call.
constexpr int coex_filter_depth_max = 32;

struct filter_t {
    std::string pattern;
    std::string version_condition;
    int invert = 0;
    int match_mode = coex_match_regex;
};

struct coex_action_t {
    int show = coex_show_yes;
    int uninstall = coex_uninstall_optional;
    std::string run;
    std::string options;
    std::string property;
    std::string prop_value;
    std::string save;
    std::string condition;
    std::string installdir;
    int side_by_side = 0;
    int lock_installdir = 0;
    std::string skiplist;
    std::string subdir_depth;
};

// What the session keeps for coexistence: the rules document, and the providers whose items the
// rules look at (empty: the engine's back-ends, rpm, tgz, pkg and msi, taken when the rules are
// applied; tests put providers of their own here).
struct coex_state_t {
    document_t doc;
    std::vector<ContentsProvider*> providers;
};

// Reads _internal_::coex.xml from the session's store into the session's rules document: 0, or -1
// (logged) when the file is missing, unreadable or not well-formed.
int coex_read_config(session_t* session);
// Parses text as the session's rules document (what coex_read_config does with the file): 0 or -1.
int coex_parse(session_t* session, const std::string& text);
// Applies the rules to the installed items; 0, or -1.
int coex_init(session_t* session);
// One element of the rules: a filter (its children in turn) or an action. 0; -1 for a null node,
// filters nested too deep, or the failure of coex_apply_filter.
int coex_proceed_node(session_t* session, node_t* node, filter_t* filter);
// Matches the filter against every unbound item of every provider and fires the action for those
// that match (once with no item for an inverted filter that matched nothing). 0, or -1 for null.
int coex_apply_filter(session_t* session, filter_t* filter, coex_action_t* action);
// When fire is set: binds the action to the item (item may be null) and applies its property
// effects. 0.
int coex_run_action(session_t* session, ContentsItem* item, coex_action_t* action, bool fire);

// Built-in actions of the coexistence dialog; each 0, or -1.
// Applies the rules, groups the items by product and kind, selects the required ones and the
// optional ones COEX_CHOSEN names, makes lists.
int coex_diag_init(session_t* session);
// The COEX_LIST_* properties, COEX_CHOICES and COEX_DIAG.
int coex_generate_strings(session_t* session);
// COEX_DIALOG_SUBTITLE, the COEX_TEXT_* headers and COEX_DIALOG_TEXT.
int coex_diag_show(session_t* session);
// Flips the optional entry whose number is HANDLE (with every item of its group).
int coex_diag_update(session_t* session);
// Adds the skip lists of the optional items the user keeps to PRODUCTS_TO_SKIP; sets
// COEX_REMOVE_DIRS (";"-led folders of what will be removed) and COEX_CHOSEN (the optional items
// chosen for removal, by file name or id).
int coex_diag_finalize(session_t* session);
// Removes the selected items; a failure stops there, sets LUMO_EXIT_CODE to "2" and gives -1.
int coex_diag_act(session_t* session);

// Append one entry to the dialog lists: required and forbidden entries are always marked and carry
// no number (*choice := 0); an optional entry gets the next number of *counter, which is also
// appended with ";" to choices. 0, or -1 for a null pointer.
int coex_add_req_string(std::string* list, std::string* raw_list, const std::string& name, const std::string& detail,
                        int* choice);
int coex_add_opt_string(std::string* choices, int* counter, std::string* list, std::string* raw_list,
                        const std::string& name, const std::string& detail, int* choice, int selected);

// Registers the five dialog actions; 0 or -1.
int coex_actions_register(session_t* session);
