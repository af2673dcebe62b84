#include "lumo_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <set>
#include <vector>

#include "actions.h"
#include "component.h"
#include "console.h"
#include "contentsprovider.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "payload.h"
#include "tsd.h"
#include "utils.h"

namespace {

constexpr int levels_max = 1024;
constexpr int status_no_space = 153;
constexpr int64_t megabyte = 1048576;

std::string property(session_t* session, const char* name) { return env_get_string(session, std::string(name)); }
bool has_property(session_t* session, const char* name) { return env_exists(session, std::string(name)); }
std::string expanded(session_t* session, const std::string& text) { return expand_operand(session, text); }

// A folder named relative to where the engine was started, made absolute: the records keep it,
// and a later run started elsewhere must find (and remove) the same files, not others of that
// name below its own folder. "." and ".." are resolved by the text alone, so a link in the path
// stays as the user named it.
std::string absolute_path(const std::string& dir) {
    if (dir.empty() || dir[0] == '/') return dir;
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return dir;
    const std::string whole = std::string(cwd) + "/" + dir;
    free(cwd);
    std::vector<std::string> parts;
    for (const std::string& part : splitString(whole, "/", false)) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string result;
    for (const std::string& part : parts) result += "/" + part;
    if (dir.back() == '/' || result.empty()) result += "/";
    return result;
}

// The installation folder, made absolute once for the whole run when it was given relative.
void settle_absolute_install_dir(session_t* session) {
    const std::string dir = property(session, "LUMO_INSTALL_DIR");
    const std::string absolute = absolute_path(dir);
    if (absolute == dir) return;
    print_log("lumo: install dir %s is taken as %s", dir.c_str(), absolute.c_str());
    env_set_string(session, "LUMO_INSTALL_DIR", absolute);
}

// ---------------------------------------------------------------------------------------------
// Signals that would end the engine halfway through a component (a dropped ssh session, a
// service manager stopping it) wait until the component is done and then stop the loop the way a
// close request does, so the rollback removes what the run added.

// Atomic, not only volatile: two signals sent at once may run their handlers on two threads of
// the engine at the same time, and both must not take themselves for the first.
std::atomic<int> g_deferred_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

// The first signal is the one reported. A second one means the sender will not wait for the
// component: the back-end command or script it waits for is ended with its whole process group,
// the component fails and the rollback follows.
void defer_signal(int signo) {
    int none = 0;
    if (g_deferred_signal.compare_exchange_strong(none, signo)) return;
    const pid_t child = g_child;
    if (child > 0) kill(-child, SIGKILL);
}

constexpr std::array<int, 3> deferred_signals = {SIGHUP, SIGTERM, SIGQUIT};

class signals_deferred {
public:
    signals_deferred() {
        struct sigaction action = {};
        action.sa_handler = defer_signal;
        sigfillset(&action.sa_mask);
        for (size_t i = 0; i < deferred_signals.size(); ++i) sigaction(deferred_signals[i], &action, &m_saved[i]);
    }
    ~signals_deferred() {
        for (size_t i = 0; i < deferred_signals.size(); ++i) sigaction(deferred_signals[i], &m_saved[i], nullptr);
    }
    signals_deferred(const signals_deferred&) = delete;
    signals_deferred& operator=(const signals_deferred&) = delete;

private:
    std::array<struct sigaction, deferred_signals.size()> m_saved = {};
};

// A signal that arrived since the last look fails the run as a component failure calling for a
// rollback does; the next close check starts the rollback. A rollback pass already running is
// finished, never cut short: stopping it would leave half of the run's additions behind.
void take_deferred_signal(session_t* session) {
    const int signo = g_deferred_signal;
    if (signo == 0) return;
    g_deferred_signal = 0;
    warn("take_deferred_signal: signal %d arrived while components were changed, handled as a close request", signo);
    if (!has_property(session, "LUMO_ROLLBACK")) env_set_string(session, "LUMO_EXIT_CODE", "2");
}

// ---------------------------------------------------------------------------------------------
// Result records

// When this process started, to the nanosecond: a report newer than that was written by an
// instance this one started.
struct timespec process_start() {
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}
const struct timespec g_process_start = process_start();

struct unit_result_t {
    std::string action;  // "install" or "uninstall"
    std::string abbr;
    bool success;
    int retcode;
    std::string error_msg;
    std::string filename;
    std::string group;
    bool rollback;  // part of the rollback pass
};

// The results of this process's run, for the outcome report written at its end.
std::vector<unit_result_t>& run_results() {
    static std::vector<unit_result_t> results;
    return results;
}

// The text as the inside of a JSON string. Quotes, backslashes and control bytes are written as
// \u escapes, so a value never holds a quote character: the record's quotes stay the only ones.
std::string json_text(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\' || c < 0x20 || c == 0x7f) {
            char code[8];
            snprintf(code, sizeof(code), "\\u%04x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string record_quote(const std::string& text) { return "\\\"" + json_text(text) + "\\\""; }

void add_result(session_t* session, const Component* component, const char* action, int status) {
    unit_result_t result;
    result.action = action;
    result.abbr = component->m_abbr;
    result.success = status == 0 || status == 10;
    result.retcode = status;
    result.error_msg = property(session, "INSTALLATION_ERROR_DESCRIPTION");
    result.filename = component->m_nonrpmProductCode;
    result.group = component->m_parent ? component->m_parent->m_name : "";
    result.rollback = property(session, "LUMO_ROLLBACK") == "2";
    const std::string record = record_quote(result.abbr) + ":{\n" + record_quote("status") + ":" +
                               record_quote(result.success ? "success" : "fail") + ",\n" + record_quote("retcode") +
                               ":" + record_quote(inttostr(status)) + ",\n" + record_quote("error_msg") + ":" +
                               record_quote(result.error_msg) + ",\n" + record_quote("filename") + ":" +
                               record_quote(result.filename) + ",\n" + record_quote("group") + ":" +
                               record_quote(result.group) + "\n}";
    add_user_stat_data(session, "LUMO_USER_STAT_UNITS_RETCODES", record);
    run_results().push_back(std::move(result));
}

// The components the last install loop handed to their back-end: a rollback takes back only
// those, not the selected ones the loop never reached.
std::set<const Component*>& attempted() {
    static std::set<const Component*> components;
    return components;
}

// ---------------------------------------------------------------------------------------------
// Console and progress

bool is_gui(session_t* session) { return property(session, "gui") == "1"; }

std::string product_name(const Component* component) {
    return component->m_parent ? component->m_parent->m_name : std::string();
}

void print_progress_line(session_t* session, const Component* component, const char* action_key) {
    const std::string action = expanded(session, action_key);
    const std::string word = expanded(session, "${install_component_component}");
    if (property(session, "SHOW_PRODUCT_NAME") == "yes" && component->m_parent)
        print_string("%s %s: %s %s...", action.c_str(), product_name(component).c_str(), component->m_name.c_str(),
                     word.c_str());
    else
        print_string("%s %s %s...", action.c_str(), component->m_name.c_str(), word.c_str());
}

void set_status_text(session_t* session, const Component* component, const char* text_key) {
    std::string text = expanded(session, text_key);
    if (property(session, "SHOW_PRODUCT_NAME") == "yes" && component->m_parent)
        text += product_name(component) + ": ";
    env_set_string(session, "LUMO_STATUS_TEXT", text + component->m_name);
}

// Records a failed component: its message in INSTALLATION_ERROR_DESCRIPTION, on a console the
// failure line, and LUMO_EXIT_CODE. A "3" never replaces a "2": the rollback it asks for stays due.
void report_failure(session_t* session, const Component* component, int status, const std::string& message) {
    const std::string installing = property(session, "install_component_installing");
    std::string description = property(session, "INSTALLATION_ERROR_DESCRIPTION");
    if (description.empty()) description = installing;
    description += " - <b>" + product_name(component) + " " + component->m_name + "</b> " + message;
    env_set_string(session, "INSTALLATION_ERROR_DESCRIPTION", description);
    if ((component->getVerboseMode() & 1) && !is_gui(session)) {
        print_string("\n%s - %s %s %s %s\n\n%s\n", installing.c_str(), product_name(component).c_str(),
                     component->m_name.c_str(), property(session, "install_component_component").c_str(),
                     message.c_str(), property(session, "rollback_progress_title").c_str());
        print_dashes();
    }
    const std::string code = lumo_status_exit_code(status);
    if (code == "3" && property(session, "LUMO_EXIT_CODE") == "2") return;
    env_set_string(session, "LUMO_EXIT_CODE", code);
}

void print_done(session_t* session, const Component* component) {
    if ((component->getVerboseMode() & 1) && !is_gui(session))
        print_string("%s\n", expanded(session, "${install_component_done}").c_str());
}

bool is_private_folder(const std::string& folder) {
    struct stat st;
    return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Replaces the trailing X's of name with random letters and digits until the name is unused.
bool fill_unused_name(std::string* name) {
    const size_t x = name->find_last_not_of('X') + 1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name->replace(x, std::string::npos, payload_random_text(name->size() - x));
        struct stat st;
        if (lstat(name->c_str(), &st) != 0 && errno == ENOENT) return true;
    }
    return false;
}

// SCRIPT_OUTPUT_FILE names a fresh file in the temporary folder for one back-end call.
//
// In a folder only this user can write to, a name that nothing holds is enough: nobody can put a
// link there before a shell function's redirection opens it, and the back-end calls that run no
// shell function (nearly all) create no file. That matters after a removal: ext4 then passes over
// every inode the removal freed to create one. In any other folder the file is made here, so that
// the name is ours before the shell opens it.
class script_output {
public:
    explicit script_output(session_t* session) : m_session(session) {
        const std::string folder = property(session, "TEMP_FOLDER");
        std::string name = folder + "/install_progress_XXXXXXXX";
        if (!(is_private_folder(folder) && fill_unused_name(&name))) {
            const int fd = mkstemp(&name[0]);
            if (fd >= 0) close(fd);
            else name.clear();
        }
        m_path = name;
        env_set_string(session, "SCRIPT_OUTPUT_FILE", m_path);
    }
    ~script_output() {
        env_set_string(m_session, "SCRIPT_OUTPUT_FILE", "");
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    script_output(const script_output&) = delete;
    script_output& operator=(const script_output&) = delete;

private:
    session_t* m_session;
    std::string m_path;
};

// ---------------------------------------------------------------------------------------------
// Space test

// The folders from the first missing one down to the prefix, made here; removed again (when
// empty) unless the component lands, so a failed component leaves no folder behind.
class made_folders {
public:
    explicit made_folders(const std::string& prefix) {
        for (std::string dir = prefix; !dir.empty() && dir != "/" && !exists(dir); dir = get_dirname(dir))
            m_made.push_back(dir);
        folder_create(prefix, folder_mode_public);
    }
    ~made_folders() {
        if (m_keep) return;
        for (const std::string& dir : m_made) rmdir(dir.c_str());
    }
    made_folders(const made_folders&) = delete;
    made_folders& operator=(const made_folders&) = delete;
    void keep() { m_keep = true; }

private:
    std::vector<std::string> m_made;  // deepest first
    bool m_keep = false;
};

// Whether megabytes of data fit in the folder: a file of that size is reserved there under a
// name of our own (never a fixed name a planted link could redirect) and removed again.
bool space_fits(const std::string& prefix, int64_t megabytes) {
    // No quota limits root: ample room on a writable file system is known without a test file,
    // which would cost a file created and removed for every component.
    struct statvfs room;
    if (geteuid() == 0 && statvfs(prefix.c_str(), &room) == 0 && !(room.f_flag & ST_RDONLY) &&
        static_cast<uint64_t>(std::max<int64_t>(megabytes, 0)) * megabyte <= uint64_t(room.f_bavail) * room.f_frsize / 2)
        return true;
    std::string name = prefix + "/tmp.XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd < 0) {
        error("install_component: can not create a file in %s: %s", prefix.c_str(), strerror(errno));
        return false;
    }
    unlink(name.c_str());
    bool fits = true;
    struct statvfs fs;
    // Clearly too little room is known without writing anything.
    const bool known = fstatvfs(fd, &fs) == 0;
    const uint64_t need = static_cast<uint64_t>(megabytes) * megabyte;
    const uint64_t free_bytes = known ? uint64_t(fs.f_bavail) * fs.f_frsize : 0;
    if (known && need > free_bytes) {
        fits = false;
    } else if (known && geteuid() == 0 && need <= free_bytes / 2) {
        // No quota limits root, so ample room is known without reserving it; a reservation
        // costs time in proportion to its size on file systems that fill the blocks (tmpfs).
        fits = true;
    } else if (megabytes > 0) {
        int failed = posix_fallocate(fd, 0, static_cast<off_t>(megabytes * megabyte));
        if (failed == EOPNOTSUPP || failed == EINVAL) {
            // A file system without reservations: the blocks are written, as they would be.
            const std::string block(static_cast<size_t>(megabyte), '\0');
            failed = 0;
            for (int64_t i = 0; i < megabytes && failed == 0; ++i) failed = fd_write_all(fd, block) ? 0 : ENOSPC;
        }
        fits = failed == 0;
    }
    close(fd);
    return fits;
}

// ---------------------------------------------------------------------------------------------
// Leftovers of a killed run

struct dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};

// An extraction lists every path before it writes it, and the list becomes the package's record
// only once the extraction is done. A run killed in between leaves a list that no record names
// (the archive back-end's ".<file>.log.new", the RPM extraction's ".<file>_<time>.log"): what it
// names is removed here, with the package scripts written for that package, so that a killed
// installation never leaves files that no later run knows about.
void sweep_interrupted(session_t* session, const Component* component, bool remove_empty) {
    const std::string file = component->m_nonrpmProductCode;
    const bool tgz = component->m_type == "tgz";
    if (file.empty() || file.find('/') != std::string::npos) return;
    if (!tgz && !(component->m_type == "rpm" && property(session, "INSTALL_MODE") == "NONRPM")) return;
    ContentsDatabase database;
    database.m_session = session;
    const std::string db = database.getDir();
    if (db.empty() || !is_dir(db)) return;
    // The RPM extraction's record names its current list, which is not a leftover (the archive
    // back-end's leftover has a name of its own, so it needs no look at the record).
    std::string recorded_prefix, recorded_list;
    const bool recorded = !tgz && contents_recorded(session, "", file, &recorded_prefix, &recorded_list) == 0;
    std::vector<std::string> lists;
    if (tgz) {
        lists.push_back(path(db + "/." + file + ".log.new"));
    } else if (std::unique_ptr<DIR, dir_closer> dir{opendir(db.c_str())}) {
        const std::string start = "." + file + "_";
        while (const struct dirent* entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name.compare(0, start.size(), start) == 0 && name.size() > start.size() + 4 &&
                name.compare(name.size() - 4, 4, ".log") == 0 && path(db + "/" + name) != path(recorded_list))
                lists.push_back(path(db + "/" + name));
        }
    }
    const std::string prefix = lumo_component_prefix(session, component);
    bool swept = false;
    for (const std::string& list : lists) {
        if (!is_file(list)) continue;
        warn("sweep_interrupted: removing what an interrupted installation listed in %s", list.c_str());
        payload_remove_listed(prefix, readContentOfTextFile(list));
        remove_file(list, 1);
        swept = true;
    }
    if (!recorded && !tgz) {
        for (const char* kind : {"SUMMARY", "PREIN", "POSTIN", "PREUN", "POSTUN"}) {
            const std::string script = prefix + "/.scripts/" + kind + "." + file;
            if (!exists(script)) continue;
            remove_file(script, 1);
            swept = true;
        }
    }
    // Before an installation the folders stay: the back-end is about to fill them.
    if (!swept || prefix.empty() || !remove_empty) return;
    remove_dir_if_empty(prefix + "/.scripts", 0);
    const std::string stop = path(property(session, "LUMO_INSTALL_DIR"));
    if (!stop.empty() && (prefix == stop || prefix.compare(0, stop.size() + 1, stop + "/") == 0))
        payload_remove_empty_up(prefix, stop);
}

// ---------------------------------------------------------------------------------------------
// Records for later runs

struct settings_paths_t {
    std::string marker_dir;
    std::string marker;
    std::vector<std::pair<const Component*, std::string>> ini;  // product, its uninstall.ini
};

settings_paths_t settings_paths(session_t* session, bool selected_only, bool quiet) {
    settings_paths_t paths;
    const std::string install_dir = property(session, "LUMO_INSTALL_DIR");
    std::string suite_subdir = property(session, "LUMO_INSTALL_SUBDIR");
    if (suite_subdir.empty() && session->tsd) suite_subdir = session->tsd->getLumoCoreSubdir();
    std::string root = install_dir;
    const size_t cut = suite_subdir.empty() ? std::string::npos : install_dir.find(suite_subdir);
    if (cut != std::string::npos) root = install_dir.substr(0, cut);
    paths.marker_dir =
        path(suite_subdir.empty() ? install_dir + "/uninstall/markers" : root + "/" + suite_subdir + "/uninstall/markers");
    const std::string guid = property(session, "SUITE_GUID");
    if (is_plain_file_name(guid)) paths.marker = paths.marker_dir + "/" + guid;
    if (!session->tsd) return paths;
    for (const Component* product : session->tsd->products()) {
        if (selected_only && !product->getSelected() && !product->m_mandatory) continue;
        if (product->m_installSubdir.empty()) {
            if (!quiet)
                print_log("lumo_save_install_settings: product %s doesn't have install subdir... saving settings to "
                          "global install dir",
                          product->m_name.c_str());
            paths.ini.emplace_back(product, path(install_dir + "/uninstall/uninstall.ini"));
        } else {
            paths.ini.emplace_back(product, path(root + "/" + product->m_installSubdir + "/uninstall/uninstall.ini"));
        }
    }
    return paths;
}

// After a whole suite is removed its records go too: a marker left behind would make the next
// run believe the suite is still installed.
void remove_settings(session_t* session) {
    const settings_paths_t paths = settings_paths(session, false, true);
    const std::string stop = path(property(session, "LUMO_INSTALL_DIR"));
    for (const auto& entry : paths.ini) {
        if (remove_file(entry.second, 1) == 0) print_log("lumo_uninstall_selected_products: removed %s", entry.second.c_str());
        const std::string dir = get_dirname(entry.second);
        payload_remove_empty_up(dir, dir.compare(0, stop.size(), stop) == 0 ? stop : dir);
    }
    if (!paths.marker.empty() && remove_file(paths.marker, 1) == 0)
        print_log("lumo_uninstall_selected_products: removed %s", paths.marker.c_str());
    payload_remove_empty_up(paths.marker_dir,
                            paths.marker_dir.compare(0, stop.size(), stop) == 0 ? stop : paths.marker_dir);
}

bool write_atomic(const std::string& file, const std::string& text, mode_t mode) {
    temp_file out(file, mode);
    return out && fd_write_all(out.fd(), text) && out.commit();
}

// ---------------------------------------------------------------------------------------------
// The loops

// Stops a loop that a rollback request ended, or finishes one that ran through: LUMO_ROLLBACK
// "1" becomes "2" and the loop's rollback mark is set unless a sequence set it to "no".
void finish_loop(session_t* session, const char* mark) {
    take_deferred_signal(session);
    lumo_handle_close_request(session);
    if (property(session, "LUMO_ROLLBACK") == "1") {
        env_set_string(session, "LUMO_ROLLBACK", "2");
        if (property(session, mark) != "no") env_set_string(session, mark, "yes");
    }
}

bool rollback_requested(session_t* session) { return property(session, "LUMO_ROLLBACK") == "1"; }

}  // namespace

std::string lumo_status_exit_code(int status) {
    if (status == 0 || status == 10) return "";
    // A failure that asks for no rollback lets the run go on with a warning; 1, -1 and the
    // statuses from 151 up (no space, missing payload ...) roll the run back.
    if (status <= 150 && status != 1 && status != -1) return "3";
    return "2";
}

std::string lumo_component_prefix(session_t* session, const Component* component) {
    if (!session || !component) {
        LOG_NULL_PARAM();
        return "";
    }
    const Component* product = component->m_parent;
    std::string dir = component->m_installDir;
    if (dir.empty() && product) dir = product->m_installDir;
    if (!dir.empty()) return absolute_path(expanded(session, dir));
    std::string install_dir = absolute_path(property(session, "LUMO_INSTALL_DIR"));
    const std::string subdir = product ? product->m_installSubdir : std::string();
    if (subdir.empty()) return install_dir;
    int levels = 0;
    const std::string text = trimSpaces(property(session, "LUMO_INSTALL_SUBDIR_LEVELS"));
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(text.c_str(), &end, 10);
    if (!text.empty() && errno == 0 && end && *end == '\0' && parsed > 0) levels = parsed > INT32_MAX ? INT32_MAX : int(parsed);
    if (levels > levels_max) {
        print_log("install_component: levels value %d is greater than maximum allowed one %d; levels value will be set "
                  "to %d",
                  levels, levels_max, levels_max);
        levels = levels_max;
    }
    print_log("install_component: levels %d", levels);
    while (install_dir.size() > 1 && install_dir.back() == '/') install_dir.pop_back();
    for (int i = 0; i < levels && install_dir.size() > 1; ++i) install_dir = get_dirname(install_dir);
    return path(install_dir + "/" + subdir);
}

bool is_modify_mode(session_t* session) { return get_lumo_mode(session) == lumo_mode_modify; }

int lumo_handle_close_request(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    const int mode = get_lumo_mode(session);
    bool waited = false;
    while (!property(session, "LUMO_CLOSE_REQUEST").empty() && !has_property(session, "LUMO_ROLLBACK")) {
        if (!waited) print_log("lumo_handle_close_request: waiting for the close request to be answered");
        waited = true;
        env_set_string(session, "LUMO_CAN_CLOSE",
                       mode == lumo_mode_uninstall || mode == lumo_mode_repair ? "1" : "-1");
        sleep(1);
        // Nobody answers a request while the engine is being stopped: the rollback starts.
        if (g_deferred_signal != 0) {
            take_deferred_signal(session);
            env_set_string(session, "LUMO_ROLLBACK", "1");
        }
    }
    env_set_string(session, "LUMO_CAN_CLOSE", "0");
    if (property(session, "LUMO_EXIT_CODE") == "2" && !has_property(session, "LUMO_ROLLBACK"))
        env_set_string(session, "LUMO_ROLLBACK", "1");
    if (rollback_requested(session)) {
        const std::string title = property(session, "rollback_progress_title");
        env_set_string(session, "install_progress_title", title);
        env_set_string(session, "uninstall_progress_title", title);
    }
    return 0;
}

namespace {

// A repair of the engine's own installation removes the component and installs it again. Its
// installation must be able to start, or the repair would only have removed it: with the payload
// missing or too little room, the component stays as it is and its installation fails as it would.
void repair_remove(session_t* session, Component* component) {
    const std::string payload = path(component->m_rpmFileDir + "/" + component->m_nonrpmProductCode);
    const std::string prefix = lumo_component_prefix(session, component);
    if (!is_file(payload) || (is_dir(prefix) && !space_fits(prefix, component->m_installSize))) {
        print_log("lumo_install_selected_products: %s is kept: its payload is missing or does not fit",
                  component->m_name.c_str());
        return;
    }
    uninstall_component(session, component);
}

}  // namespace

int install_component(session_t* session, Component* component) {
    if (!session || !component) {
        LOG_NULL_PARAM();
        return -1;
    }
    const bool console = (component->getVerboseMode() & 1) && !is_gui(session);
    if (console) print_progress_line(session, component, "${install_component_installing}");
    const std::string payload = path(component->m_rpmFileDir + "/" + component->m_nonrpmProductCode);
    const std::string prefix = lumo_component_prefix(session, component);
    print_log("install_component: rpm name %s - %s", payload.c_str(), prefix.c_str());
    if (!is_file(payload)) {
        env_set_string(session, "LUMO_EXIT_CODE", "2");
        error("install_component: rpm file not found, exiting...");
        if (console) print_string("\n%s\n", expanded(session, "${install_component_failed}").c_str());
        add_result(session, component, "install", -1);
        return -1;
    }
    made_folders folders(prefix);
    int status;
    // No dd runs (it would follow a link planted at a fixed name): the engine reserves the room
    // itself in a file of its own, and says so in the line the log readers look for.
    print_log("install_component: testing free space using command 'reserve %d blocks of 1048576 bytes in %s'",
              component->m_installSize, prefix.c_str());
    if (!space_fits(prefix, component->m_installSize)) {
        error("install_component: not enough space to install component \"%s\"", component->m_name.c_str());
        status = status_no_space;
    } else if (!component->provider()) {
        error("install_component: component %s has no back-end for type '%s'", component->m_name.c_str(),
              component->m_type.c_str());
        status = 1;
    } else {
        const script_output output(session);
        component->provider()->m_session = session;
        attempted().insert(component);
        sweep_interrupted(session, component, false);
        status = component->provider()->installFile(payload, prefix, component->m_rpmProductCode);
    }
    if (status == 0 || status == 10) {
        folders.keep();
        print_done(session, component);
    } else {
        const std::string variable = "component_installation_status_message_" + inttostr(status);
        print_log("install_component: getting component installation status using %s variable", variable.c_str());
        std::string message = expanded(session, "${" + variable + "}");
        if (message.empty()) message = expanded(session, "${install_component_failed}");
        report_failure(session, component, status, message);
    }
    add_result(session, component, "install", status);
    return status == status_no_space ? -1 : 0;
}

int uninstall_component(session_t* session, Component* component) {
    if (!session || !component) {
        LOG_NULL_PARAM();
        return -1;
    }
    if ((component->getVerboseMode() & 1) && !is_gui(session))
        print_progress_line(session, component, "${install_component_uninstalling}");
    int status = 1;
    if (!component->provider()) {
        error("uninstall_component: component %s has no back-end for type '%s'", component->m_name.c_str(),
              component->m_type.c_str());
    } else {
        const script_output output(session);
        component->provider()->m_session = session;
        status = component->provider()->uninstallFile(component->m_rpmProductCode, component->m_nonrpmProductCode);
    }
    // The removal may have taken the folder the engine stands in.
    std::string cwd = property(session, "PWD");
    struct stat st;
    if (!cwd.empty() && stat(cwd.c_str(), &st) != 0) {
        while (cwd.size() > 1 && stat(cwd.c_str(), &st) != 0) cwd = get_dirname(cwd);
        if (!cwd.empty() && chdir(cwd.c_str()) == 0) env_set_string(session, "PWD", cwd);
    }
    if (status == 0 || status == 10) {
        print_done(session, component);
    } else {
        const std::string variable = "component_uninstallation_status_message_" + inttostr(status);
        print_log("uninstall_component: getting component uninstallation status using %s variable", variable.c_str());
        std::string message = expanded(session, "${" + variable + "}");
        if (message.empty()) message = expanded(session, "${component_installation_status_message_51}");
        report_failure(session, component, status, message);
    }
    add_result(session, component, "uninstall", status);
    return 0;
}

namespace {

// A loop starts from success unless an earlier step already failed or warned.
void start_loop_exit_code(session_t* session) {
    const std::string code = property(session, "LUMO_EXIT_CODE");
    if (code != "2" && code != "3") env_set_string(session, "LUMO_EXIT_CODE", "0");
}

// The totals the progress shows: every component the loop will handle, and the visible ones.
template <typename Condition>
void set_component_totals(session_t* session, bool skip_invisible_products, Condition handled) {
    int total = 0, visible = 0;
    for (Component* product : session->tsd->products()) {
        if (skip_invisible_products && product->m_invisible) continue;
        for (Component* component : product->subcomponents()) {
            if (!handled(component)) continue;
            ++total;
            if (component->getVerboseMode() != 0) ++visible;
        }
    }
    env_set_string(session, "LUMO_TOTAL_COMPONENTS_INCLUDING_INVISIBLE", inttostr(total));
    env_set_string(session, "LUMO_TOTAL_COMPONENTS", inttostr(visible));
}

}  // namespace

int lumo_install_selected_products(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_install_selected_products: start");
    settle_absolute_install_dir(session);
    const payload_sync_batch records;  // one flush to the disk for the records of every component
    {
        const interrupt_ignored quiet;
        const signals_deferred deferred;
        start_loop_exit_code(session);
        const int mode = get_lumo_mode(session);
        set_component_totals(session, false, [](Component* component) { return component->installCondition(); });
        int current = 0, current_all = 0;
        bool stopped = false;
        attempted().clear();
        const bool nonrpm_repair = mode == lumo_mode_repair && property(session, "INSTALL_MODE") == "NONRPM";
        for (Component* product : session->tsd->products()) {
            for (Component* component : product->subcomponents()) {
                if (mode == lumo_mode_install) component->addRef();
                if (!component->installCondition()) continue;
                // A component a modify adds is held for this suite too: another suite's removal
                // must not take it away.
                if (mode == lumo_mode_modify) component->addRef();
                take_deferred_signal(session);
                lumo_handle_close_request(session);
                if (rollback_requested(session)) {
                    stopped = true;
                    break;
                }
                if (nonrpm_repair) repair_remove(session, component);
                if (component->getVerboseMode() & 2) {
                    env_set_string(session, "LUMO_CURRENT_COMPONENT", inttostr(++current));
                    set_status_text(session, component, "${install_progress_text}");
                }
                env_set_string(session, "LUMO_CURRENT_COMPONENT_INCLUDING_INVISIBLE", inttostr(++current_all));
                install_component(session, component);
            }
            if (stopped) break;
        }
        take_deferred_signal(session);
        // A failure of the last component stops nothing more, but the records must not claim it.
        lumo_handle_close_request(session);
        if (!stopped && !rollback_requested(session)) lumo_save_install_settings(session);
        finish_loop(session, "LUMO_ROLLBACK_INSTALL");
    }
    interrupt_restore_handler();
    print_log("lumo_install_selected_products: finish");
    return 0;
}

int lumo_uninstall_selected_products(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_uninstall_selected_products: start");
    settle_absolute_install_dir(session);
    const payload_sync_batch records;  // one flush to the disk for the records of every component
    {
        const interrupt_ignored quiet;
        const signals_deferred deferred;
        start_loop_exit_code(session);
        const int mode = get_lumo_mode(session);
        const bool rollback = has_property(session, "LUMO_ROLLBACK");
        const bool full = property(session, "FULL_UNINSTALL") == "yes";
        print_log("lumo_uninstall_selected_products: full uninstall is %d", full ? 1 : 0);
        // References taken by this suite are given back when it goes, or when a rollback takes
        // back what the install loop added (it took one for every component).
        const bool install_rollback = mode == lumo_mode_install && rollback;
        if (is_gui(session))
            set_component_totals(session, !full, [](Component* component) { return component->uninstallCondition(); });
        int current = 0, current_all = 0;
        bool stopped = false;
        for (Component* product : session->tsd->products()) {
            if (product->m_invisible && !full) continue;
            for (Component* component : product->subcomponents()) {
                if (mode == lumo_mode_uninstall && !component->getInstalled()) sweep_interrupted(session, component, true);
                const bool condition = component->uninstallCondition();
                const bool not_this_runs = rollback && mode != lumo_mode_uninstall && !attempted().count(component);
                // Only a component that goes gives its reference back: one kept by a partial
                // uninstall still serves this suite. A modify that drops a component another suite
                // still holds leaves it in place for that suite.
                int clients = 0;
                if (install_rollback || (mode == lumo_mode_uninstall && condition) ||
                    (mode == lumo_mode_modify && condition && !not_this_runs))
                    clients = component->release();
                if (!condition || clients > 0) continue;
                if (not_this_runs) {
                    print_log("lumo_uninstall_selected_products: component %s was not installed by this run",
                              component->m_name.c_str());
                    continue;
                }
                take_deferred_signal(session);
                lumo_handle_close_request(session);
                if (rollback_requested(session)) {
                    stopped = true;
                    break;
                }
                if (component->getVerboseMode() & 2) {
                    env_set_string(session, "LUMO_CURRENT_COMPONENT", inttostr(++current));
                    set_status_text(session, component, "${uninstall_progress_text}");
                }
                env_set_string(session, "LUMO_CURRENT_COMPONENT_INCLUDING_INVISIBLE", inttostr(++current_all));
                print_log("lumo_uninstall_selected_products: uninstall component %s", component->m_name.c_str());
                uninstall_component(session, component);
            }
            if (stopped) break;
        }
        take_deferred_signal(session);
        lumo_handle_close_request(session);
        if (!stopped && !rollback_requested(session) && mode == lumo_mode_uninstall && full &&
            property(session, "LUMO_EXIT_CODE") == "0")
            remove_settings(session);
        finish_loop(session, "LUMO_ROLLBACK_UNINSTALL");
    }
    interrupt_restore_handler();
    print_log("lumo_uninstall_selected_products: finish");
    return 0;
}

int lumo_save_install_settings(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (get_lumo_mode(session) == lumo_mode_uninstall || property(session, "FULL_UNINSTALL") == "yes") {
        print_log("lumo_save_install_settings: do not save uninstall.ini because this is an uninstall");
        return 0;
    }
    if (property(session, "LUMO_INSTALL_DIR").empty()) {
        error("lumo_save_install_settings: LUMO_INSTALL_DIR is empty, cannot save config");
        return -1;
    }
    const settings_paths_t paths = settings_paths(session, true, false);
    print_log("lumo_save_install_settings: creating package guid marker dir '%s'", paths.marker_dir.c_str());
    folder_create(paths.marker_dir, folder_mode_public);
    if (!is_dir(paths.marker_dir)) {
        error("lumo_save_install_settings: directory '%s' does not exist", paths.marker_dir.c_str());
        return -1;
    }
    if (paths.marker.empty()) {
        warn("lumo_save_install_settings: SUITE_GUID is empty, no package guid marker is written");
    } else if (exists(paths.marker)) {
        print_log("lumo_save_install_settings: package guid marker file '%s' already exists", paths.marker.c_str());
    } else {
        print_log("lumo_save_install_settings: creating package guid marker file '%s'", paths.marker.c_str());
        if (!write_atomic(paths.marker, "", 0644))
            error("lumo_save_install_settings: can not create package guid marker file '%s'", paths.marker.c_str());
    }
    const std::string install_mode = property(session, "INSTALL_MODE");
    const std::string root = property(session, "IS_ROOT");
    const bool has_db = has_property(session, "NONRPM_DB_DIR");
    const std::string db = property(session, "NONRPM_DB_DIR");
    // Every product's file holds the same text.
    std::string text = "INSTALL_MODE=" + install_mode + "\nROOT_INSTALLATION=" + root + "\n";
    if (has_db) text += "NONRPM_DB_DIR=" + db + "\n";
    // Products without a folder of their own share one file: it is written once.
    std::set<std::string> written;
    for (const auto& entry : paths.ini) {
        print_log("lumo_save_install_settings: file to write is %s", entry.second.c_str());
        print_log("lumo_save_install_settings: saving INSTALL_MODE=%s", install_mode.c_str());
        print_log("lumo_save_install_settings: saving ROOT_INSTALLATION=%s", root.c_str());
        if (has_db) print_log("lumo_save_install_settings: saving NONRPM_DB_DIR=%s", db.c_str());
        if (!written.insert(entry.second).second) continue;
        folder_create(get_dirname(entry.second), folder_mode_public);
        if (!write_atomic(entry.second, text, 0644)) error("lumo_save_install_settings: can not open file");
    }
    print_log("lumo_save_install_settings: finished");
    return 0;
}

int load_uninstall_ini(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("load_uninstall_ini: started");
    const std::string install_dir = property(session, "LUMO_INSTALL_DIR");
    if (install_dir.empty()) {
        print_log("load_uninstall_ini: LUMO_INSTALL_DIR is empty");
        return 0;
    }
    // A product kept in its own folder has no settings file at the suite's: nothing to read, no error.
    const std::string settings = install_dir + "/uninstall/uninstall.ini";
    if (!exists(settings)) {
        print_log("load_uninstall_ini: there is no %s", settings.c_str());
        return 0;
    }
    for (const std::string& line : readContentOfTextFile(settings)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            print_log("load_uninstall_ini: skipping line %s", line.c_str());
            continue;
        }
        env_set_string(session, "UNINSTALL_INI_" + line.substr(0, equals), line.substr(equals + 1));
    }
    print_log("load_uninstall_ini: finished");
    return 0;
}

int lumo_load_license(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    std::string name = property(session, "EULA_FILE_GUI");
    if (name.empty()) {
        print_log("lumo_load_license: EULA_FILE_GUI is not specified. Try to use EULA_FILE.");
        name = property(session, "EULA_FILE");
    }
    if (name.empty()) {
        error("lumo_load_license: EULA file is not specified");
        return -1;
    }
    const std::string file = expanded(session, name);
    if (file.empty()) {
        error("lumo_load_license: expanded file name is NULL");
        return -1;
    }
    std::string text;
    if (get_file(file, text, 0) != 0) {
        error("lumo_load_license: can not read %s", file.c_str());
        return -1;
    }
    env_set_string(session, "eula_text", text);
    return 0;
}

int lumo_report_write(session_t* session, int exit_status) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!has_property(session, "report")) return 0;
    std::string file = property(session, "report");
    if (file.empty()) {
        error("lumo_report_write: no file named for the report");
        return -1;
    }
    // Named relative to where the engine was started, wherever the sequence went since.
    if (file[0] != '/' && !property(session, "LUMO_PWD").empty()) file = property(session, "LUMO_PWD") + "/" + file;
    // An instance that handed the work to an elevated one keeps the report that one wrote.
    struct stat st;
    if (run_results().empty() && stat(file.c_str(), &st) == 0 &&
        (st.st_mtim.tv_sec > g_process_start.tv_sec ||
         (st.st_mtim.tv_sec == g_process_start.tv_sec && st.st_mtim.tv_nsec >= g_process_start.tv_nsec))) {
        print_log("lumo_report_write: %s was written during this run by the instance that did the work, kept",
                  file.c_str());
        return 0;
    }
    const char* const modes[] = {"install", "uninstall", "modify", "repair"};
    std::string units, rolled_back;
    for (const unit_result_t& r : run_results()) {
        const std::string unit = "{\"action\": \"" + r.action + "\", \"abbr\": \"" + json_text(r.abbr) +
                                 "\", \"status\": \"" + (r.success ? "success" : "fail") + "\", \"retcode\": \"" +
                                 inttostr(r.retcode) + "\", \"error_msg\": \"" + json_text(r.error_msg) +
                                 "\", \"filename\": \"" + json_text(r.filename) + "\", \"group\": \"" +
                                 json_text(r.group) + "\", \"rollback\": " + (r.rollback ? "true" : "false") + "}";
        units += (units.empty() ? "\n    " : ",\n    ") + unit;
        if (r.rollback && r.success)
            rolled_back += (rolled_back.empty() ? "\"" : ", \"") + json_text(r.abbr) + "\"";
    }
    const std::string text = "{\n  \"mode\": \"" + std::string(modes[get_lumo_mode(session) & 3]) +
                             "\",\n  \"exit_status\": " + inttostr(exit_status) + ",\n  \"rollback\": " +
                             (property(session, "LUMO_ROLLBACK") == "2" ? "true" : "false") + ",\n  \"units\": [" +
                             units + (units.empty() ? "" : "\n  ") + "],\n  \"rolled_back\": [" + rolled_back +
                             "],\n  \"log\": \"" + json_text(property(session, "log_file")) + "\"\n}\n";
    if (!write_atomic(file, text, 0644)) {
        error("lumo_report_write: can not write the report %s", file.c_str());
        return -1;
    }
    print_log("lumo_report_write: report written to %s", file.c_str());
    return 0;
}

int lumo_driver_actions_register(session_t* session) {
    return actions_register_table(session, {
        {"lumo_install_selected_products", lumo_install_selected_products},
        {"lumo_uninstall_selected_products", lumo_uninstall_selected_products},
        {"lumo_handle_close_request", lumo_handle_close_request},
        {"lumo_save_install_settings", lumo_save_install_settings},
        {"load_uninstall_ini", load_uninstall_ini},
        {"load_license", lumo_load_license},
        {"lumo_load_license", lumo_load_license},  // the name earlier packages of ours call
    });
}
