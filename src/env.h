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

using property_map_t = std::map<std::string, std::string>;

// The parts of a session that belong to higher areas are only named here; session.cc, which sees
// every area, builds and destroys them.
struct action_entry_t;
struct cab_t;
struct coex_state_t;
struct prerequisites_t;
struct seqs_t;
struct session_t;
struct string_table_set_t;
class TSD;

// What a plug-in layer lays over the session while it is active: its own properties, and its id
// (also the name of its folder under the temporary folder).
struct property_layer_t {
    property_map_t properties;
    std::string id;
};

// Named data a plug-in leaves in the session for another; the pointer is not owned.
struct cdata_slot_t {
    void* data = nullptr;
    std::string id;
    int used = 0;
};

constexpr int session_cdata_slots = 1024;

// The computed LUMO_MEDIA* properties come from the product set, which lives above this area:
// the product model fills this table in, and until it does the names read as "" and cannot be set.
struct media_hooks_t {
    // The letter form of every component's media id, in product order.
    std::vector<std::string> (*ids)(session_t* session);
    // "1" or "0" for the suffix selected, installed or skipped; "" for an unknown id or suffix.
    std::string (*get)(session_t* session, const std::string& id, const std::string& suffix);
    // 0, or -1 when no component has the id.
    int (*select)(session_t* session, const std::string& id, bool selected);
};

// The values of the hidden properties, as env_mask_hidden last collected them, and what they were
// collected from. Valid while no hidden property changed anywhere (a process-wide count), the same
// layer is active and neither map changed its size.
struct hidden_values_t {
    uint64_t generation = 0;
    const property_layer_t* layer = nullptr;
    size_t session_size = 0;
    size_t layer_size = 0;
    std::vector<std::string> values;  // longest first
};

struct session_t {
    property_map_t properties;
    property_layer_t* active_layer = nullptr;
    hidden_values_t hidden;
    std::unique_ptr<cab_t> store;
    std::unique_ptr<seqs_t> seqs;
    std::unique_ptr<string_table_set_t> strings;
    std::vector<action_entry_t> actions;
    int actions_last = -1;
    std::vector<cdata_slot_t> cdata;  // grows up to session_cdata_slots
    std::unique_ptr<TSD> tsd;
    std::unique_ptr<coex_state_t> coex;  // the coexistence rules, read at start
    std::unique_ptr<prerequisites_t> prereq;  // created by the first prerequisite action
    const media_hooks_t* media = nullptr;
    logging_state_t* log_state = nullptr;

    session_t();
    ~session_t();
    session_t(const session_t&) = delete;
    session_t& operator=(const session_t&) = delete;
};

// The C forms of the property functions are the plug-in interface (include/lumo/plugin.h, built
// in env_plugin.cc); the engine itself uses the std::string forms below. These take the session
// only and keep C linkage for plug-ins as they are.
extern "C" {
// Clears the active layer's map when a layer is active, else the session's; 0.
int env_init(session_t* session);
int env_free(session_t* session);
int env_save(session_t* session);
int env_restore(session_t* session);
int session_init_cdata(session_t* session);
int session_add_cdata(session_t* session, void* data, const char* id);
void* session_get_cdata(session_t* session, const char* id);
int session_delete_cdata(session_t* session, const char* id);
}

// 0, or -1 for a null session or a virtual name that does not resolve.
int env_set_string(session_t* session, const std::string& name, const std::string& value);
// The value, "" when absent.
std::string env_get_string(session_t* session, const std::string& name);
int env_cat_string(session_t* session, const std::string& name, const std::string& suffix);
// Whether the active layer or the session holds the name; virtual names are not looked at.
bool env_exists(session_t* session, const std::string& name);
// Removes the name from the session's own map (never from a layer); 0 also when absent.
int env_remove(session_t* session, const std::string& name);
// The stored value, the active layer's first; null when absent. Virtual names are not looked at.
// The text stays where it is until the property is next written.
const std::string* env_lookup(session_t* session, const std::string& name);
// LUMO_MEDIA and the LUMO_MEDIA_<id>_<state> names, which the product set computes.
bool env_is_virtual(const std::string& name);
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
// Appends ",value" to the property (or sets it when it is empty); 0, or -1 for a null session.
int add_user_stat_data(session_t* session, const std::string& name, const std::string& value);
