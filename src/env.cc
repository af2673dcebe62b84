#include "env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "file.h"
#include "utils.h"

namespace {

constexpr const char media_prefix[] = "LUMO_MEDIA_";
constexpr size_t media_prefix_len = sizeof(media_prefix) - 1;

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// Splits the letter form of a virtual name into the component part and the suffix; false when the
// last '_' lies inside the prefix itself.
bool split_media_name(const std::string& letters, std::string& middle, std::string& suffix) {
    const size_t last = letters.rfind('_');
    if (last == std::string::npos || last < media_prefix_len) return false;
    middle = letters.substr(media_prefix_len, last - media_prefix_len);
    suffix = letters.substr(last + 1);
    return true;
}

int media_set(session_t* session, const std::string& name, const std::string& value) {
    std::string middle, suffix;
    if (!split_media_name(strtoletters(name), middle, suffix)) return -1;
    if (suffix != "selected" || !session->media) return -1;
    if (value != "1" && value != "0") {
        // Any other value leaves the selection as it is, for a component that exists.
        const std::vector<std::string> ids = session->media->ids(session);
        return std::find(ids.begin(), ids.end(), middle) == ids.end() ? -1 : 0;
    }
    return session->media->select(session, middle, value == "1");
}

std::string media_list(session_t* session) {
    if (!session->media) return "";
    std::string list;
    for (const std::string& id : session->media->ids(session)) {
        if (!list.empty()) list += ';';
        list += id;
    }
    return list;
}

std::string media_get(session_t* session, const std::string& name) {
    std::string middle, suffix;
    if (!split_media_name(strtoletters(name), middle, suffix) || !session->media) return "";
    return session->media->get(session, middle, suffix);
}


}  // namespace

bool env_is_virtual(const std::string& name) {
    return name == "LUMO_MEDIA" || starts_with(strtoletters(name), media_prefix);
}

const std::string* env_lookup(session_t* session, const std::string& name) {
    if (session->active_layer) {
        auto it = session->active_layer->properties.find(name);
        if (it != session->active_layer->properties.end()) return &it->second;
    }
    auto it = session->properties.find(name);
    return it == session->properties.end() ? nullptr : &it->second;
}

namespace {

// The root environment file feeds a run with root rights: only a file of this user, of root, or of
// the user whose instance started this one (LUMO_INVOKER_UID, given on the command line that only
// someone who already had these rights could run) is taken or overwritten. The owner of the folder
// it lies in earns no trust, since a folder can be prepared by anyone.
bool env_file_owner_trusted(session_t* session, uid_t owner) {
    if (owner == geteuid() || owner == 0) return true;
    const std::string invoker = env_get_string(session, std::string("LUMO_INVOKER_UID"));
    if (invoker.empty() || invoker.size() > 9 || invoker.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return static_cast<uid_t>(std::stoul(invoker)) == owner;
}

}  // namespace

const char* env_log_value(const std::string& name, const std::string& value) {
    return name.find("__HIDE__") != std::string::npos ? "[HIDDEN]" : value.c_str();
}

std::string env_root_file_path(session_t* session) {
    return env_get_string(session, std::string("tmp_dir")) + "/vexan.lumo.root.env_file";
}

namespace {

// Counts the changes of hidden properties in every map, so that the values a session collected for
// masking are known to be current without walking its maps again.
std::atomic<uint64_t> g_hidden_generation{1};

void hidden_changed() { g_hidden_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

int env_init(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (session->active_layer) session->active_layer->properties.clear();
    else session->properties.clear();
    hidden_changed();
    return 0;
}

int env_set_string_internal(property_map_t& map, const std::string& name, const std::string& value,
                            const std::string* shown) {
    auto it = map.find(name);
    if (it != map.end() && it->second == value) return 0;
    if (name.find("__HIDE__") != std::string::npos) {
        hidden_changed();
        print_log("env_set_string_internal: key \"%s\" with value [HIDDEN] (length %d)", name.c_str(),
                  static_cast<int>(name.size()));
    } else {
        print_log("env_set_string_internal: key \"%s\" with value \"%s\" (length %d)", name.c_str(),
                  shown ? shown->c_str() : value.c_str(), static_cast<int>(value.size()));
    }
    if (it != map.end()) it->second = value;
    else map.emplace(name, value);
    return 0;
}

std::string env_get_string_internal(const property_map_t& map, const std::string& name) {
    auto it = map.find(name);
    return it == map.end() ? std::string() : it->second;
}

bool env_exists_internal(const property_map_t& map, const std::string& name) {
    return map.find(name) != map.end();
}

int env_set_string(session_t* session, const std::string& name, const std::string& value) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (env_is_virtual(name)) return media_set(session, name, value);
    std::string key = name;
    for (char& c : key) {
        if (c == '-') c = '_';
    }
    property_map_t& map = session->active_layer ? session->active_layer->properties : session->properties;
    // A plain name given a text that holds a hidden value shows it masked.
    const std::string shown = mask_url_passwords(env_mask_hidden(session, value));
    const size_t before = map.size();
    const uint64_t generation = g_hidden_generation.load(std::memory_order_relaxed);
    const int result = env_set_string_internal(map, key, value, &shown);
    // The masking just collected the hidden values of these maps. A new name leaves them valid for
    // the grown map, a hidden one once its value is added in its place; otherwise every new name
    // would walk every property again, and loading many settings would take quadratic time.
    hidden_values_t& hidden = session->hidden;
    size_t& known = session->active_layer ? hidden.layer_size : hidden.session_size;
    if (map.size() != before && known == before) {
        if (key.find("__HIDE__") == std::string::npos) {
            known = map.size();
        } else if (hidden.generation == generation &&
                   g_hidden_generation.load(std::memory_order_relaxed) == generation + 1) {
            for (const std::string& added : {value, decode_character_references(value)}) {
                if (added.empty()) continue;
                // Longest first; among equals, in the order collected.
                const auto at = std::find_if(hidden.values.begin(), hidden.values.end(),
                                             [&](const std::string& v) { return v.size() < added.size(); });
                hidden.values.insert(at, added);
            }
            hidden.generation = generation + 1;
            known = map.size();
        }
    }
    return result;
}

std::string env_get_string(session_t* session, const std::string& name) {
    if (!session) {
        error("env_get_string: session is null");
        return "";
    }
    if (name == "LUMO_MEDIA") return media_list(session);
    if (env_is_virtual(name)) return media_get(session, name);
    const std::string* value = env_lookup(session, name);
    return value ? *value : std::string();
}

int env_cat_string(session_t* session, const std::string& name, const std::string& suffix) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    return env_set_string(session, name, env_get_string(session, name) + suffix);
}

bool env_exists(session_t* session, const std::string& name) {
    if (!session) {
        error("env_exists: session is NULL");
        return false;
    }
    return env_lookup(session, name) != nullptr;
}

int env_remove(session_t* session, const std::string& name) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    session->properties.erase(name);
    hidden_changed();
    return 0;
}

int env_free(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    session->properties.clear();
    hidden_changed();
    return 0;
}

namespace {

std::string dump_maps(session_t* session, bool for_log) {
    std::string dump;
    const auto add = [&](const property_map_t& map) {
        for (const auto& [name, value] : map)
            dump += name + "#" + (for_log ? std::string(env_log_value(name, value)) : value) + "\n";
    };
    add(session->properties);
    if (session->active_layer) add(session->active_layer->properties);
    return dump;
}

}  // namespace

namespace {

// The virtual lines of a dump: LUMO_MEDIA and the three state lines of each component.
std::string media_lines(session_t* session) {
    const std::string list = media_list(session);
    std::string lines = "LUMO_MEDIA#" + list + "\n";
    for (const std::string& id : splitString(list, ";", false)) {
        for (const char* suffix : {"_selected", "_installed", "_skipped"}) {
            const std::string name = std::string(media_prefix) + id + suffix;
            lines += name + "#" + media_get(session, name) + "\n";
        }
    }
    return lines;
}

}  // namespace

std::string env_dump_for_log(session_t* session, int flag) {
    if (!session) {
        error("env_dump: session is null");
        return "";
    }
    return env_mask_hidden(session, dump_maps(session, true) + (flag == 1 ? media_lines(session) : ""));
}

std::string env_dump(session_t* session, int flag) {
    if (!session) {
        error("env_dump: session is null");
        return "";
    }
    return dump_maps(session, false) + (flag == 1 ? media_lines(session) : "");
}

int env_save(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return 0;
    }
    print_log("env_save: started");
    const std::string target = env_root_file_path(session);
    struct stat existing;
    if (lstat(target.c_str(), &existing) == 0 && !env_file_owner_trusted(session, existing.st_uid)) {
        error("env_save: %s belongs to another user, not overwritten", target.c_str());
        print_log("env_save: unable to write environment to file");
        return 0;
    }
    // Written beside the target and renamed over it: a link planted at the target is replaced,
    // never followed, and a reader never sees half a file. mkstemp creates it owner-only.
    std::string temp = target + ".XXXXXX";
    fd_owner fd{mkstemp(temp.data())};
    if (fd.fd < 0) {
        print_log("env_save: unable to write environment to file");
        return 0;
    }
    const bool complete = fd_write_all(fd.fd, env_dump(session, 0)) && fchmod(fd.fd, 0600) == 0 && fsync(fd.fd) == 0;
    if (!complete || rename(temp.c_str(), target.c_str()) != 0) {
        unlink(temp.c_str());
        print_log("env_save: unable to write environment to file");
        return 0;
    }
    print_log("env_save: finished");
    return 0;
}

namespace {

// The root environment file's text; "" when it is missing or not to be trusted (logged).
std::string env_read_root_file(session_t* session, const std::string& source) {
    std::string text;
    // Without blocking and without following links: a FIFO planted at the name would hold the open
    // until someone writes to it, and a link would lead to a file that is not the one checked.
    fd_owner fd{open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY)};
    struct stat info;
    if (fd.fd < 0) {
        if (errno != ENOENT) error("env_restore: %s cannot be opened or is a link, not restored", source.c_str());
    } else if (fstat(fd.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error("env_restore: %s is not a regular file, not restored", source.c_str());
    } else if (!env_file_owner_trusted(session, info.st_uid)) {
        error("env_restore: %s belongs to another user, not restored", source.c_str());
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error("env_restore: %s is writable by group or others, not restored", source.c_str());
    } else {
        char block[4096];
        ssize_t got;
        while ((got = read(fd.fd, block, sizeof block)) != 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            text.append(block, static_cast<size_t>(got));
        }
    }
    return text;
}

// Sets the properties of an env_dump text: "name#value" lines, a value's further lines following
// it, and a line starting with "#" ending the property before it.
void env_restore_text(session_t* session, const std::string& text) {
    std::vector<std::string> lines = splitString(text, "\n", true);
    // A final line feed ends the last line; it does not open an empty one.
    if (!text.empty() && text.back() == '\n' && !lines.empty() && lines.back().empty()) lines.pop_back();
    std::string name, value;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty()) {
            if (!name.empty() && i + 1 < lines.size()) {
                value += "\n";
                env_set_string(session, name, value);
            }
            continue;
        }
        const size_t hash = line.find('#');
        if (hash == 0) {
            name.clear();
            value.clear();
        } else if (hash != std::string::npos) {
            name = line.substr(0, hash);
            value = line.substr(hash + 1);
            env_set_string(session, name, value);
        } else if (!name.empty()) {
            value = env_get_string(session, name) + "\n" + line;
            env_set_string(session, name, value);
        }
    }
}

}  // namespace

int env_restore(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("env_restore: started");
    std::string text = env_read_root_file(session, env_root_file_path(session));
    if (!text.empty()) {
        // Another instance's properties, mostly another user's: what says who and where this
        // instance is stays its own, or it would clean up that instance's temporary folder and
        // marker instead of its own, and take itself for that user.
        struct kept_t {
            const char* name;
            bool present;
            std::string value;
        };
        std::vector<kept_t> kept;
        for (const char* name : {"TEMP_FOLDER", "RUN_MODE", "IS_ROOT", "USER", "LOGNAME", "HOME", "UID", "EUID",
                                 "LUMO_USER_UID", "LUMO_INVOKER_UID", "INSTALLER_PRESENT", "log_file"})
            kept.push_back({name, env_exists(session, std::string(name)), env_get_string(session, std::string(name))});
        env_restore_text(session, text);
        for (const kept_t& own : kept) {
            if (own.present) env_set_string(session, own.name, own.value);
            else env_remove(session, std::string(own.name));
        }
    } else {
        env_restore_text(session, env_get_string(session, std::string("LUMO_ENV_DUMP")));
    }
    print_log("env_restore: finished");
    return 0;
}

int64_t castStringToEnvPointer(const std::string& text) { return strtoll(text.c_str(), nullptr, 10); }

int session_init_cdata(session_t* session) {
    if (!session) {
        error("session_init_data: session is null");
        return -1;
    }
    print_log("session_init_cdata: started");
    session->cdata.clear();
    print_log("session_init_cdata: finished with %d slots", session_cdata_slots);
    return 0;
}

int session_add_cdata(session_t* session, void* data, const char* id) {
    if (!session) {
        error("session_add_data: session is null");
        return -1;
    }
    if (!id) {
        error("session_add_cdata: cdata id is NULL");
        return -1;
    }
    print_log("session_add_cdata: add cdata %s", id);
    for (size_t slot = 0; slot < session->cdata.size(); ++slot) {
        cdata_slot_t& entry = session->cdata[slot];
        if (entry.used && entry.id != id) continue;
        entry.data = data;
        entry.id = id;
        entry.used = 1;
        print_log("session_add_cdata: cdata is added into slot %d", static_cast<int>(slot));
        return 0;
    }
    // Slots are made as they are needed, up to the fixed capacity.
    if (session->cdata.size() < static_cast<size_t>(session_cdata_slots)) {
        session->cdata.push_back(cdata_slot_t{data, id, 1});
        print_log("session_add_cdata: cdata is added into slot %d", static_cast<int>(session->cdata.size() - 1));
        return 0;
    }
    error("session_add_cdata: cdata storage is full");
    return -1;
}

void* session_get_cdata(session_t* session, const char* id) {
    if (!session) {
        error("session_get_data: session is null");
        return nullptr;
    }
    if (!id) {
        error("session_get_cdata: cdata id is NULL");
        return nullptr;
    }
    print_log("session_get_cdata: get cdata %s", id);
    for (const cdata_slot_t& entry : session->cdata) {
        if (entry.used && entry.id == id) {
            print_log("session_get_cdata: cdata %s is found", id);
            return entry.data;
        }
    }
    error("session_get_cdata: cdata is not found");
    return nullptr;
}

int session_delete_cdata(session_t* session, const char* id) {
    if (!session) {
        error("session_delete_data: session is null");
        return -1;
    }
    if (!id) {
        error("session_delete_cdata: cdata id is NULL");
        return -1;
    }
    print_log("session_delete_cdata: delete cdata %s", id);
    bool found = false;
    for (cdata_slot_t& entry : session->cdata) {
        if (!entry.used || entry.id != id) continue;
        entry = cdata_slot_t();
        print_log("session_delete_cdata: cdata %s is found", id);
        found = true;
    }
    if (!found) {
        error("session_delete_cdata: cdata is not found");
        return -1;
    }
    return 0;
}

int add_user_stat_data(session_t* session, const std::string& name, const std::string& value) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    const std::string old = env_get_string(session, name);
    env_set_string(session, name, old.empty() ? value : old + "," + value);
    return 0;
}

logging_state_t** session_log_state(session_t* session) { return &session->log_state; }

namespace {

void collect_hidden(const property_map_t& map, std::vector<std::string>& values) {
    for (const auto& [name, value] : map) {
        if (value.empty() || name.find("__HIDE__") == std::string::npos) continue;
        values.push_back(value);
        // A hidden value holding "&amp;" reaches the log in its decoded form once it has been
        // through an expansion pass.
        values.push_back(decode_character_references(value));
    }
}

}  // namespace

std::string env_mask_hidden(session_t* session, const std::string& text) {
    if (!session) return text;
    hidden_values_t& hidden = session->hidden;
    const property_layer_t* layer = session->active_layer;
    const uint64_t generation = g_hidden_generation.load(std::memory_order_relaxed);
    if (hidden.generation != generation || hidden.layer != layer ||
        hidden.session_size != session->properties.size() ||
        hidden.layer_size != (layer ? layer->properties.size() : 0)) {
        hidden.values.clear();
        collect_hidden(session->properties, hidden.values);
        if (layer) collect_hidden(layer->properties, hidden.values);
        // Longest first, so that a secret containing a shorter one is masked whole.
        std::stable_sort(hidden.values.begin(), hidden.values.end(),
                         [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        hidden.generation = generation;
        hidden.layer = layer;
        hidden.session_size = session->properties.size();
        hidden.layer_size = layer ? layer->properties.size() : 0;
    }
    if (hidden.values.empty() || text.empty()) return text;
    std::string result = text;
    for (const std::string& value : hidden.values) {
        if (result.find(value) != std::string::npos) result = replaceAllSubstrings(result, value, "[HIDDEN]");
    }
    return result;
}
