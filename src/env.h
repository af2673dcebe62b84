// The session record and its property store: every value the engine knows at run time is a named
// string property. A plug-in layer's own map shadows the session's while the layer is active, and
// LUMO_MEDIA* names are computed from the product set instead of stored.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "store.h"
#include "tsd.h"
#include "seq.h"
#include "xml.h"

using property_map_t = std::map<std::string, std::string>;

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

// A plug-in layer: its own package store and document, its own properties (which shadow the
// session's while the layer is active), its id (also its folder under the temporary folder).
struct layer_t {
    cab_t store;
    std::unique_ptr<document_t> doc;
    property_map_t properties;
    std::string id;
    std::string condition;
    std::string executedir;
    plugin_desc_t plugin;
};

typedef int (*action_handler_t)(session_t*);

struct action_entry_t {
    action_handler_t handler = nullptr;
    std::string name;
};

constexpr int actions_max = 1025;  // registry entries; the last index is at most 1024

struct cdata_slot_t {
    void* data = nullptr;   // not owned
    std::string id;
    int used = 0;
};

constexpr int session_cdata_slots = 1024;

// The loaded string tables in list order, each with its language and condition ("" for none).
struct string_table_set_t {
    std::vector<document_t> string_docs;
    std::vector<std::string> string_langs;
    std::vector<std::string> string_conds;
    int string_last = -1;
};

struct session_t {
    property_map_t properties;
    layer_t* active_layer = nullptr;
    cab_t store;
    seqs_t seqs;
    string_table_set_t strings;
    std::vector<action_entry_t> actions;
    int actions_last = -1;
    std::vector<cdata_slot_t> cdata;
    TSD tsd;
    logging_state_t* log_state = nullptr;

    session_t();
    ~session_t();
    session_t(const session_t&) = delete;
    session_t& operator=(const session_t&) = delete;
};

// The forms plug-ins call keep C linkage; the std::string overloads are the engine's own.
extern "C" {
// Clears the active layer's map when a layer is active, else the session's; 0.
int env_init(session_t* session);
// 0, or -1 for a null argument or a virtual name that does not resolve.
int env_set_string(session_t* session, const char* name, const char* value);
// The value, "" when absent. The text stays valid until the property is next written.
const char* env_get_string(session_t* session, const char* name);
int env_cat_string(session_t* session, const char* name, const char* suffix);
// Whether the active layer or the session holds the name; virtual names are not looked at.
bool env_exists(session_t* session, const char* name);
// Removes the name from the session's own map (never from a layer); 0 also when absent.
int env_remove(session_t* session, const char* name);
int env_free(session_t* session);
int env_save(session_t* session);
int env_restore(session_t* session);
int64_t castStringToEnvPointer(const char* text);
int session_init_cdata(session_t* session);
int session_add_cdata(session_t* session, void* data, const char* id);
void* session_get_cdata(session_t* session, const char* id);
int session_delete_cdata(session_t* session, const char* id);
}

int env_set_string(session_t* session, const std::string& name, const std::string& value);
std::string env_get_string(session_t* session, const std::string& name);
int env_cat_string(session_t* session, const std::string& name, const std::string& suffix);
bool env_exists(session_t* session, const std::string& name);
int env_remove(session_t* session, const std::string& name);
// The name#value lines of the session, then of the active layer; with flag 1 also the virtual
// LUMO_MEDIA lines. "" for a null session.
std::string env_dump(session_t* session, int flag);
// env_dump for the log: the values of __HIDE__ names read "[HIDDEN]".
std::string env_dump_for_log(session_t* session, int flag);
int64_t castStringToEnvPointer(const std::string& text);

// shown: the value as the log line gives it (the value itself when null).
int env_set_string_internal(property_map_t& map, const std::string& name, const std::string& value,
                            const std::string* shown = nullptr);
std::string env_get_string_internal(const property_map_t& map, const std::string& name);
bool env_exists_internal(const property_map_t& map, const std::string& name);

// The text with every hidden value in it (the value of a __HIDE__ name, such as an answer typed
// into a hidden dialog, also in its decoded form) replaced by "[HIDDEN]": the one mask for any
// log line that may carry expanded text. A null session leaves the text as it is.
std::string env_mask_hidden(session_t* session, const std::string& text);
// How a property value appears in the log: "[HIDDEN]" for names holding __HIDE__.
const char* env_log_value(const std::string& name, const std::string& value);
// tmp_dir + "/vexan.lumo.root.env_file".
std::string env_root_file_path(session_t* session);
