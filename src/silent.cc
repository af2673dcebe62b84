#include "silent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "actions.h"
#include "component.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "tsd.h"
#include "utils.h"

namespace {

constexpr const char* hidden_mark = "__HIDE__";
constexpr const char* count_name = "LUMO_SUITE_FAMILY_INSTALLED_NUM";
constexpr int exit_error = 2;

bool has(session_t* s, const char* name) { return env_exists(s, std::string(name)); }
std::string get(session_t* s, const char* name) { return env_get_string(s, std::string(name)); }
bool is_secret(const std::string& name) { return name.find(hidden_mark) != std::string::npos; }

// A property name as the command line accepts it: a letter or "_", then letters, digits, "_".
// Anything else in an answer file is a typing mistake or not an answer file at all.
bool is_property_name(const std::string& name) {
    if (name.empty() || !(isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    for (const char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    return true;
}

// The count a history records; text that is not a small number counts as none.
long parse_count(const std::string& text) {
    const std::string trimmed = trimSpaces(text);
    if (trimmed.empty()) return 0;
    errno = 0;
    char* end = nullptr;
    const long value = strtol(trimmed.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || value < 0 || value > 1000000) {
        error("save_silent_config: %s '%s' is not a count, taken as 0", count_name, trimmed.c_str());
        return 0;
    }
    return value;
}

// The line as the log may show it: the value of a hidden name never appears.
std::string loggable_line(const std::string& line) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || !is_secret(line.substr(0, eq))) return line;
    return line.substr(0, eq + 1) + "[HIDDEN]";
}

// Applies the settings of one file. overwrite false: a property that exists keeps its value.
void apply_settings(session_t* s, const std::vector<silent_setting_t>& settings, bool overwrite) {
    for (const silent_setting_t& setting : settings) {
        if (!overwrite && has(s, setting.name.c_str())) continue;
        env_set_string(s, setting.name, setting.value);
    }
}

// Reads and parses a file with the log lines of the loader. 0, -2 missing, -1 unreadable or invalid.
int read_settings(const std::string& file, std::vector<silent_setting_t>& settings) {
    std::string text;
    const int read = silent_read_file(file, text);
    if (read != 0) return read;
    std::vector<silent_problem_t> problems;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = trimSpaces(text.substr(start, end - start));
        start = end + 1;
        if (line.empty()) {
            print_log("load_silent_config: empty line");
            continue;
        }
        print_log("load_silent_config: parse line '%s'", loggable_line(line).c_str());
        if (line[0] == '#') {
            print_log("load_silent_config: empty line or comment");
            continue;
        }
        print_log("load_silent_config: get name of the property");
        const size_t eq = line.find('=');
        if (eq == std::string::npos || !is_property_name(trimSpaces(line.substr(0, eq))))
            error("load_silent_config: incorrect line '%s'", loggable_line(line).c_str());
    }
    if (silent_parse(text, settings, problems) != 0) {
        settings.clear();
        return -1;
    }
    return 0;
}

// The installed-copies count of the history on disk: the file is the record of what happened, a
// property of the same name may come from anywhere. -1 when the file holds none.
long history_count(const std::string& file) {
    std::vector<silent_setting_t> settings;
    std::vector<silent_problem_t> problems;
    std::string text;
    if (silent_read_file(file, text) != 0) return -1;
    silent_parse(text, settings, problems);
    long count = -1;
    for (const silent_setting_t& setting : settings) {
        if (setting.name == count_name) count = parse_count(setting.value);
    }
    return count;
}

// The install folder without the suite's own sub-folder at its end.
std::string cut_install_subdir(session_t* s, std::string dir) {
    std::string subdir = get(s, "LUMO_INSTALL_SUBDIR");
    if (subdir.empty() && s->tsd) subdir = s->tsd->getLumoCoreSubdir();
    while (!subdir.empty() && subdir.back() == '/') subdir.pop_back();
    while (!subdir.empty() && subdir[0] == '/') subdir.erase(0, 1);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    // Only a trailing sub-folder is the suite's: the same name earlier in the path is the user's.
    if (subdir.empty() || dir.size() <= subdir.size() ||
        dir.compare(dir.size() - subdir.size(), subdir.size(), subdir) != 0 || dir[dir.size() - subdir.size() - 1] != '/')
        return dir;
    dir.erase(dir.size() - subdir.size() - 1);
    return dir.empty() ? "/" : dir;
}

// The abbreviations a COMPONENTS list may name: every product and component of the package.
std::set<std::string> known_abbreviations(session_t* s) {
    std::set<std::string> known = {"ALL", "DEFAULTS"};
    if (!s->tsd) return known;
    for (Component* product : s->tsd->products()) {
        if (!product->m_abbr.empty()) known.insert(product->m_abbr);
        for (Component* component : product->subcomponents()) {
            if (!component->m_abbr.empty()) known.insert(component->m_abbr);
        }
    }
    return known;
}

// The product set for the toolkit, when the package describes one; quiet when it does not.
void load_products(session_t* s, int (*build_products)(session_t*)) {
    if (!build_products || !is_file(get(s, "CONFIG_DIR") + "/mediaconfig.xml")) return;
    if (build_products(s) != 0) error("silent_toolkit: the package's product list could not be read");
}

std::string absolute(session_t* s, const std::string& path) {
    if (path.empty() || path[0] == '/' || path[0] == '~') return silent_expand_home(path);
    return get(s, "LUMO_PWD") + "/" + path;
}

std::vector<std::string> listed_params(session_t* s) {
    std::vector<std::string> names;
    for (const std::string& name : splitString(get(s, "__SILENT_INSTALL_PARAMS"), ":", false)) {
        const std::string trimmed = trimSpaces(name);
        if (!trimmed.empty()) names.push_back(trimmed);
    }
    return names;
}

// The package's check.awk over the file: through an argument list, so no path is shell text.
// The script prints its own findings. 0 also when the package has no script, else awk's status.
int run_check_script(session_t* s, const std::string& file) {
    const std::string script = get(s, "CONFIG_DIR") + "/check.awk";
    if (!is_file(script)) {
        print_log("main: the package has no check.awk, the silent configuration is not checked");
        return 0;
    }
    const std::string arguments = "-f " + shell_quote(script) + " " + shell_quote(file);
    print_log("main: executing awk with cmdline \"%s\"", arguments.c_str());
    fflush(stdout);
    return execute_args("awk", arguments);
}

// --silent-template FILE: every listed setting with its meaning and default, ready to edit.
int write_template(session_t* s, const std::string& target, int (*build_products)(session_t*)) {
    load_products(s, build_products);
    const std::string file = absolute(s, target);
    std::string text = "# Answer file for " + get(s, "PRODUCT_NAME") + " " + get(s, "PRODUCT_VERSION") +
                       "\n# Edit the values, then install with: -s " + file + "\n";
    bool secret = false;
    bool components_listed = false;
    const std::vector<std::string> names = listed_params(s);
    if (names.empty()) {
        printf("Error: the package names no answer-file settings (__SILENT_INSTALL_PARAMS).\n");
        return exit_error;
    }
    for (const std::string& name : names) {
        if (name == "COMPONENTS") components_listed = true;
        const std::string key = "silent_help_" + name;
        std::string meaning = has(s, key.c_str()) ? remove_newlines(expand_operand(s, get(s, key.c_str()))) : name;
        std::string value = get(s, name.c_str());
        if (name == "COMPONENTS" && value.empty()) value = "DEFAULTS";
        if (is_secret(name)) {
            secret = true;
            text += "\n# " + meaning + " [secret: no default is written; the file is readable by you only]\n" + name + "=\n";
        } else if (value.find('\n') != std::string::npos || value.find('\r') != std::string::npos) {
            text += "\n# " + meaning + " [the default spans lines and cannot be written here]\n" + name + "=\n";
        } else {
            text += "\n# " + meaning + " [default: " + value + "]\n" + name + "=" + value + "\n";
        }
    }
    if (!components_listed && s->tsd) {
        std::string list;
        for (const std::string& abbr : known_abbreviations(s)) list += (list.empty() ? "" : ", ") + abbr;
        text += "\n# Components to install, separated by \";\" (" + list + ") [default: DEFAULTS]\nCOMPONENTS=DEFAULTS\n";
    }
    if (silent_write_file(file, text, secret) != 0) {
        printf("Error: can not write %s.\n", file.c_str());
        return exit_error;
    }
    printf("Answer file template written to %s\n", file.c_str());
    return 0;
}

// --check-silent FILE: syntax, unknown names, unknown components, the package's script. Installs
// nothing; one line per problem.
int check_file(session_t* s, const std::string& target, int (*build_products)(session_t*)) {
    const std::string file = absolute(s, target);
    std::string text;
    const int read = silent_read_file(file, text);
    if (read == -2) {
        printf("Error: Silent configuration file %s not found.\n", file.c_str());
        return exit_error;
    }
    if (read != 0) {
        printf("%s: not a readable answer file\n", file.c_str());
        return exit_error;
    }
    load_products(s, build_products);
    std::vector<silent_setting_t> settings;
    std::vector<silent_problem_t> problems;
    silent_parse(text, settings, problems);
    const std::vector<std::string> names = listed_params(s);
    const std::set<std::string> known_names(names.begin(), names.end());
    const std::set<std::string> abbreviations = known_abbreviations(s);
    std::set<std::string> seen;
    for (const silent_setting_t& setting : settings) {
        if (setting.cut)
            problems.push_back({setting.line, "the value of " + setting.name + " holds a second \"=\"; only the text before it is used"});
        if (!seen.insert(setting.name).second)
            problems.push_back({setting.line, setting.name + " is set more than once"});
        if (setting.name != "COMPONENTS" && !known_names.empty() && known_names.count(setting.name) == 0)
            problems.push_back({setting.line, "unknown name " + setting.name});
        if (setting.name != "COMPONENTS" || !s->tsd) continue;
        for (const std::string& entry : splitString(setting.value, ";", false)) {
            const std::string abbr = trimSpaces(entry);
            if (!abbr.empty() && abbreviations.count(abbr) == 0)
                problems.push_back({setting.line, "unknown component abbreviation " + abbr + " in COMPONENTS"});
        }
    }
    if (settings.empty() && problems.empty()) problems.push_back({0, "holds no settings"});
    for (const silent_problem_t& problem : problems) {
        if (problem.line > 0) printf("%s:%d: %s\n", file.c_str(), problem.line, problem.text.c_str());
        else printf("%s: %s\n", file.c_str(), problem.text.c_str());
    }
    const int script = run_check_script(s, file);
    if (script != 0) printf("%s: rejected by the package's check.awk\n", file.c_str());
    const bool bad = !problems.empty() || script != 0;
    if (!bad) printf("%s: no problems found\n", file.c_str());
    fflush(stdout);
    return bad ? exit_error : 0;
}

}  // namespace

int silent_parse(const std::string& text, std::vector<silent_setting_t>& settings,
                 std::vector<silent_problem_t>& problems) {
    int number = 0;
    size_t start = 0;
    bool bad = false;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++number;
        const std::string line = trimSpaces(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        // A NUL byte would cut the value wherever it is shown or saved again: such a file is no text.
        if (line.find('\0') != std::string::npos) {
            problems.push_back({number, "holds a NUL byte"});
            bad = true;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            // The text itself stays out: a mistyped line may well be a password.
            problems.push_back({number, "not a name=value line"});
            bad = true;
            continue;
        }
        silent_setting_t setting;
        setting.name = trimSpaces(line.substr(0, eq));
        const size_t second = line.find('=', eq + 1);
        // Blanks around "=" are tolerated ("NAME = value"): a name cannot hold one, and a value
        // read with the blank would name a folder " /opt/x".
        setting.value = trimSpaces(line.substr(eq + 1, second == std::string::npos ? std::string::npos : second - eq - 1));
        setting.line = number;
        setting.cut = second != std::string::npos;
        if (!is_property_name(setting.name)) {
            std::string shown = setting.name.substr(0, 64);
            for (char& c : shown) {
                if (!isprint(static_cast<unsigned char>(c))) c = '?';
            }
            problems.push_back({number, "'" + shown + "' is not a property name"});
            bad = true;
            continue;
        }
        // The property store turns "-" into "_"; the settings carry the name it will have.
        for (char& c : setting.name) {
            if (c == '-') c = '_';
        }
        settings.push_back(setting);
    }
    return bad ? -1 : 0;
}

std::string silent_expand_home(const std::string& path) {
    if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) return path;
    const char* home = getenv("HOME");
    if (!home || !*home) return path;
    return std::string(home) + path.substr(1);
}

int silent_read_file(const std::string& path, std::string& text) {
    text.clear();
    const std::string file = silent_expand_home(path);
    const fd_owner fd{open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (fd.fd < 0) {
        if (errno == ENOENT) return -2;
        error("silent_read_file: can not open %s: %s", file.c_str(), strerror(errno));
        return -1;
    }
    struct stat info;
    if (fstat(fd.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error("silent_read_file: %s is not a regular file", file.c_str());
        return -1;
    }
    if (static_cast<uint64_t>(info.st_size) > silent_file_max) {
        error("silent_read_file: %s is larger than %zu bytes, not an answer file", file.c_str(), silent_file_max);
        return -1;
    }
    std::string block(4096, '\0');
    for (;;) {
        const ssize_t got = read(fd.fd, &block[0], block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error("silent_read_file: can not read %s: %s", file.c_str(), strerror(errno));
            return -1;
        }
        if (got == 0) break;
        text.append(block, 0, static_cast<size_t>(got));
        if (text.size() > silent_file_max) {
            error("silent_read_file: %s is larger than %zu bytes, not an answer file", file.c_str(), silent_file_max);
            return -1;
        }
    }
    return 0;
}

int silent_write_file(const std::string& path, const std::string& text, bool secret) {
    const std::string file = silent_expand_home(path);
    std::string temp = file + ".XXXXXX";
    const fd_owner fd{mkstemp(&temp[0])};
    if (fd.fd < 0) {
        error("silent_write_file: can not create a temporary file beside %s: %s", file.c_str(), strerror(errno));
        return -1;
    }
    // mkstemp makes the file owner-only; a file without secrets is readable like any other, or, when
    // it replaces one, as readable as that one was: a file its owner had closed stays closed. A link
    // at the name is replaced, not written through (the name may be in a folder others can write).
    const mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0644 & ~mask;
    struct stat before;
    if (lstat(file.c_str(), &before) == 0 && S_ISREG(before.st_mode)) mode = before.st_mode & 0777;
    if (secret) mode &= 0700;
    const bool ok = fchmod(fd.fd, mode) == 0 && fd_write_all(fd.fd, text) && fsync(fd.fd) == 0;
    if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
        error("silent_write_file: can not write %s: %s", file.c_str(), strerror(errno));
        unlink(temp.c_str());
        return -1;
    }
    // The rename itself is made durable with the folder.
    const fd_owner dir{open(get_dirname(file).empty() ? "." : get_dirname(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0) fsync(dir.fd);
    return 0;
}

Component* uninstaller_comp(session_t* session) {
    if (!session) {
        print_log("Empty session");
        return nullptr;
    }
    if (!session->tsd || session->tsd->products().empty()) {
        print_log("Empty product list");
        return nullptr;
    }
    Component* product = session->tsd->products().back();
    if (!product || product->subcomponents().empty()) {
        print_log("Empty component list");
        return nullptr;
    }
    return product->subcomponents().back();
}

std::string silent_history_file(session_t* session) {
    if (!session) return "";
    std::string name;
    if (has(session, "SUITE_FAMILY")) {
        name = get(session, "SUITE_FAMILY");
        if (name.empty()) return "";
    } else {
        print_log("Locating uninstaller component");
        const Component* component = uninstaller_comp(session);
        if (!component) return "";
        name = component->m_abbr + "__" + component->m_version.substr(0, component->m_version.find('.'));
    }
    if (!is_plain_file_name(name)) {  // a family name cannot move the history
        error("silent_history_file: '%s' can not name a history file", name.c_str());
        return "";
    }
    return base_user_dir(session) + "upk/db/history/" + name;
}

int load_silent_config(session_t* session) {
    print_log("load_silent_config: start");
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    const Component* component = uninstaller_comp(session);
    const bool download = has(session, "download_list");
    const bool history = get_lumo_mode(session) == lumo_mode_install && ((component && !has(session, "silent")) || download);
    std::string file;
    if (history) {
        file = silent_history_file(session);
    } else if (!component && !download) {
        // Once the product set is built the answer file has been read: reading it again would undo
        // what the run changed since (a folder found on the machine, components added).
        file = get(session, "silent");
        if (file.empty()) {
            error("load_silent_config: Name of the silent install config can not be null");
            return -1;
        }
    }
    if (file.empty()) {
        print_log("load_silent_config: finish");
        return 0;
    }
    std::vector<silent_setting_t> settings;
    const int read = read_settings(file, settings);
    if (read == -2 && history) {
        print_log("load_silent_config: no history file %s yet", file.c_str());
    } else if (read == -2) {
        error("load_silent_config: can not open file %s", file.c_str());
        return -1;
    } else if (read != 0) {
        return -1;
    }
    // A file with a mistake sets nothing: a half-applied answer file would run with a mix of
    // answers and defaults.
    apply_settings(session, settings, !history);
    struct stat info;
    bool secrets = false;
    for (const silent_setting_t& setting : settings) secrets = secrets || is_secret(setting.name);
    if (secrets && stat(silent_expand_home(file).c_str(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        warn("load_silent_config: %s holds secrets and can be read by others; make it owner-only (chmod 600)",
             file.c_str());
    print_log("load_silent_config: finish");
    return 0;
}

int save_silent_config(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("save_silent_config: started");
    const std::string duplicate = get(session, "duplicate");
    const bool history = duplicate.empty();
    const int mode = get_lumo_mode(session);
    std::string file = duplicate;
    long recorded = -1;
    if (history) {
        // A run that failed and was rolled back installed nothing, and removed nothing for good.
        if (get(session, "LUMO_EXIT_CODE") == "2") {
            print_log("save_silent_config: the run failed (LUMO_EXIT_CODE 2), the history stays as it was");
            print_log("save_silent_config: finished");
            return 0;
        }
        file = silent_history_file(session);
        if (!file.empty()) {
            // The recorded choices are kept for the copies left, also when this removal ran from an
            // answer file that names fewer of them.
            if (mode == lumo_mode_uninstall) {
                std::vector<silent_setting_t> settings;
                if (read_settings(file, settings) == 0) apply_settings(session, settings, false);
            }
            recorded = history_count(file);
            folder_create(get_dirname(file), folder_mode_public);
        }
    }
    if (file.empty()) {
        print_log("save_silent_config: finished");
        return 0;
    }
    if (!has(session, "__SILENT_INSTALL_PARAMS")) {
        error("save_silent_config: __SILENT_INSTALL_PARAMS is null");
        return -1;
    }
    const std::string params = get(session, "__SILENT_INSTALL_PARAMS");
    print_log("save_silent_config: save params %s in file %s", params.c_str(), file.c_str());
    std::vector<std::string> names = listed_params(session);
    bool counted = false;
    for (const std::string& name : names) counted = counted || name == count_name;
    if (history && !counted) names.push_back(count_name);

    const std::string to_install = get(session, "PRODUCTS_ABBR_TO_INSTALL");
    std::string text;
    bool secret = false;
    long count = -1;
    for (const std::string& name : names) {
        if (!has(session, name.c_str()) && !(history && name == count_name)) continue;
        print_log("save_silent_config: get value of the %s", name.c_str());
        if (name == "COMPONENTS" && !to_install.empty()) continue;
        std::string value = get(session, name.c_str());
        if (name == "LUMO_INSTALL_DIR") {
            value = cut_install_subdir(session, value);
        } else if (name == count_name) {
            count = recorded >= 0 ? recorded : parse_count(value);
            if (mode == lumo_mode_install) ++count;
            else if (mode == lumo_mode_uninstall && count > 0) --count;
            value = std::to_string(count);
        }
        if (value.empty()) continue;
        // A line break would end the line early and start another setting of the value's choosing;
        // a second "=" would cut the value when the file is read back.
        if (value.find_first_of("\r\n") != std::string::npos || !is_property_name(name)) {
            warn("save_silent_config: %s can not be written as one line, left out", name.c_str());
            continue;
        }
        if (value.find('=') != std::string::npos) {
            warn("save_silent_config: the value of %s holds \"=\", which a reader cuts there; left out", name.c_str());
            continue;
        }
        secret = secret || is_secret(name);
        text += name + "=" + value + "\n";
    }
    if (!to_install.empty()) text += "COMPONENTS=" + to_install + "\n";

    if (history && mode == lumo_mode_uninstall && count < 1 && !has(session, "persistent_history")) {
        print_log("save_silent_config: no installed copy is left, removing history file %s", file.c_str());
        if (unlink(file.c_str()) != 0 && errno != ENOENT) error("save_silent_config: can not remove %s", file.c_str());
        print_log("save_silent_config: finished");
        return 0;
    }
    if (silent_write_file(file, text, secret) != 0) {
        error("save_silent_config: can not open file");
        return -1;
    }
    print_log("save_silent_config: finished");
    return 0;
}

namespace {

// Whether COMPONENTS names the component, by its abbreviation or through DEFAULTS.
bool named(const Component& component, const std::string& list) {
    const std::string entries = ";" + list + ";";
    return entries.find(";" + component.m_abbr + ";") != std::string::npos ||
           (component.m_defaultSelected && entries.find(";DEFAULTS;") != std::string::npos);
}

// A silent run leaves out what COMPONENTS does not name, dependencies included: a list naming the
// analyzer but not the library it needs would install it without the library, or remove the
// library from under it in a modify. What a named component needs is named along with it, as
// choosing it on the selection screen chooses it; of alternatives one named already will do, else
// the first one is taken. A product that takes part brings its mandatory components, as on the
// screen, where they cannot be unchosen.
void add_needed_components(session_t* s) {
    std::string list = get(s, "COMPONENTS");
    if (list.empty() || list == "ALL") return;
    bool added = true;
    while (added) {
        added = false;
        for (Component* product : s->tsd->products()) {
            bool takes_part = false;
            for (const Component* component : product->subcomponents())
                takes_part = takes_part || (!component->m_abbr.empty() && named(*component, list));
            for (const Component* component : product->subcomponents()) {
                if (takes_part && component->m_mandatory && !component->m_abbr.empty() && !named(*component, list)) {
                    print_log("silent_check_components: %s is mandatory in %s, which takes part: it is added",
                              component->m_abbr.c_str(), product->m_abbr.c_str());
                    list += ";" + component->m_abbr;
                    added = true;
                }
                if (component->m_abbr.empty() || !named(*component, list)) continue;
                for (const std::vector<Component*>& group : component->m_dependencies) {
                    bool met = group.empty();
                    for (const Component* member : group) met = met || member->m_abbr.empty() || named(*member, list);
                    if (met) continue;
                    print_log("silent_check_components: %s needs %s, which COMPONENTS does not name: it is added",
                              component->m_abbr.c_str(), group.front()->m_abbr.c_str());
                    list += ";" + group.front()->m_abbr;
                    added = true;
                }
            }
        }
    }
    env_set_string(s, "COMPONENTS", list);
}

}  // namespace

int silent_check_components(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("silent_check_components: started");
    if (!session->tsd) {
        print_log("silent_check_components: no product set to check COMPONENTS against");
        return 0;
    }
    const std::set<std::string> known = known_abbreviations(session);
    std::string unknown;
    // Entries as the skip rule compares them: untrimmed, so " rt_docs" is as wrong here as there.
    for (const std::string& entry : splitString(get(session, "COMPONENTS"), ";", false)) {
        if (entry.empty() || known.count(entry) != 0) continue;
        error("silent_check_components: COMPONENTS names '%s', which is no product or component of the package",
              entry.c_str());
        unknown += (unknown.empty() ? "" : ", ") + entry;
    }
    env_set_string(session, "SILENT_UNKNOWN_COMPONENTS", unknown);
    if (unknown.empty()) add_needed_components(session);
    print_log("silent_check_components: finished");
    return unknown.empty() ? 0 : -1;
}

int silent_actions_register(session_t* session) {
    return actions_register_table(session, {
        {"load_silent_config", load_silent_config},
        {"save_silent_config", save_silent_config},
        {"silent_check_components", silent_check_components},
    });
}

int silent_startup_load(session_t* s, int (*build_products)(session_t*)) {
    if (!s) return exit_error;
    for (const char* tool : {"silent_template", "check_silent"}) {
        if (has(s, tool) && get(s, tool).empty()) {
            printf("Error: Please provide silent configuration file.\n");
            return exit_error;
        }
    }
    if (has(s, "silent_template")) return write_template(s, get(s, "silent_template"), build_products);
    if (has(s, "check_silent")) return check_file(s, get(s, "check_silent"), build_products);
    if (!has(s, "silent")) return -1;
    const std::string file = get(s, "silent");
    const bool uninstall = get(s, "LUMO_MODE") == "uninstall";
    const bool checked = !has(s, "download_list") && !uninstall && !file.empty();
    // A missing file is named as missing, not as invalid.
    if (checked && !exists(silent_expand_home(file))) {
        printf("Error: Silent configuration file %s not found.\n", file.c_str());
        return exit_error;
    }
    // An uninstall may be silent without a file: there is nothing to read then.
    if (uninstall && file.empty()) return -1;
    const int loaded = load_silent_config(s);
    if (has(s, "download_list")) return -1;
    if (loaded != 0 && !uninstall) {
        printf("Fatal error: silent install config is not valid.\n");
        return exit_error;
    }
    if (!checked) return -1;
    // An empty file is a copy gone wrong far more often than a wish for every default.
    std::string text;
    std::vector<silent_setting_t> settings;
    std::vector<silent_problem_t> problems;
    if (silent_read_file(file, text) == 0 && silent_parse(text, settings, problems) == 0 && settings.empty()) {
        error("main: silent configuration file %s holds no settings", file.c_str());
        printf("Fatal error: silent install config is not valid.\n");
        return exit_error;
    }
    if (run_check_script(s, silent_expand_home(file)) != 0) return exit_error;
    return -1;
}

void silent_startup_save(session_t* s) {
    if (!s) return;
    if (get(s, "RUN_MODE").empty() && has(s, "duplicate")) save_silent_config(s);
    const std::string mode = get(s, "LUMO_MODE");
    if (mode == "modify" || mode == "repair") return;
    if (get(s, "LUMO_EXIT_CODE") == "4" || has(s, "download_list")) return;
    env_set_string(s, "duplicate", "");
    save_silent_config(s);
}
