// String tables: strings.ini names XML tables, each for a language and an optional condition;
// the tables of the chosen language become properties, later tables winning over earlier ones.
#pragma once

#include <string>
#include <vector>

#include "xml.h"

struct session_t;

// The loaded string tables in list order, each with its language and condition ("" for none).
struct string_table_set_t {
    std::vector<document_t> string_docs;
    std::vector<std::string> string_langs;
    std::vector<std::string> string_conds;
    int string_last = -1;
};

constexpr int string_table_max = 1024;        // tables one list may name
constexpr int string_include_depth_max = 16;  // nested includes; a table including itself stops here
constexpr int string_include_total_max = 256;  // includes read from one table, at any depth

// Reads the list from STRING_TABLE_ROOT (default ENGINE_DIR) on disk, else from the store. 0 or -1.
int string_table_init(session_t* session);
// Chooses the language (LANG, falling back to default) and applies its tables. 0 or -1.
int string_table_bind(session_t* session);
// 1 when root/strings.ini is a regular file, 0 when not, -1 for a null root.
int string_table_is_external(const char* root);
int load_string_from_directory(session_t* session, const char* root);
int load_string_from_store(session_t* session);
// Appends one table per usable line; -1 at the first table that cannot be read (earlier ones stay).
int string_table_parse_ini(session_t* session, const char* ini);
// Applies one element and its subtree: string elements set properties, include elements pull in
// another table from the store.
int string_xml2prop(session_t* session, node_t* node);
