#include "seq_shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "store.h"
#include "utils.h"

namespace {

constexpr size_t envlist_name_max = 1023;   // longest name taken back from the dump
constexpr size_t envlist_value_max = 4095;  // longest value taken back from the dump
constexpr long wait_round_usec = 100000;    // one round of the time-out wait
constexpr size_t env_entry_max = 128 * 1024;  // longest "name=value" a started program may be given
constexpr size_t env_total_max = 1024 * 1024;  // what a program is given in all, well below the system's limit

// The working files' folder. A temporary folder that is gone (removed by an earlier step) does not
// stop the function: its files, written and read back, go to /tmp instead.
std::string temp_folder(session_t* session) {
    const std::string folder = env_get_string(session, "TEMP_FOLDER");
    return folder.empty() || !is_dir(folder) ? std::string("/tmp") : folder;
}

// What follows "LI_" must make a shell variable name; anything else would be run as a command.
bool is_shell_name(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && !(c >= '0' && c <= '9') && c != '_') return false;
    }
    return true;
}

// A path that needs no quoting keeps its plain form; any other is double-quoted with the four
// characters that stay special inside double quotes escaped, so the shell takes it as one word.
bool is_plain_word(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           strchr("/._-+,:@%", c) != nullptr;
        if (!plain) return false;
    }
    return true;
}

std::string in_double_quotes(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string shell_word(const std::string& text) { return is_plain_word(text) ? text : in_double_quotes(text); }

// A fresh file that only this user can touch. An existing entry is removed first; if another
// one appears before the creation (a link planted in a shared folder), the creation fails
// instead of writing through it.
int create_private_file(const std::string& path) {
    remove_file(path, 1);
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int write_private_file(const std::string& path, const std::string& content) {
    fd_owner file{create_private_file(path)};
    if (file.fd < 0 || !fd_write_all(file.fd, content)) return -1;
    return 0;
}

void pause_usec(long usec) {
    timespec pause = {usec / 1000000, (usec % 1000000) * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Whether a property can go to a started program as the variable LI_<name>, counted into *total
// when it can; logged as `who` when it cannot.
bool passable(const char* who, const std::string& name, const std::string& value, size_t* total) {
    if (!is_shell_name(name)) {
        warn("%s: property %s is not a shell name, not passed", who, name.c_str());
        return false;
    }
    // The system refuses to start a program given a variable longer than 128 KiB, or too many
    // bytes of them in all: the program, and the dump of a shell function after it, would fail.
    const size_t size = name.size() + value.size() + 5;  // "LI_", "=" and the NUL
    if (size > env_entry_max) {
        warn("%s: property %s is too long to pass (%zu bytes), not passed", who, name.c_str(), value.size());
        return false;
    }
    if (*total + size > env_total_max) {
        warn("%s: property %s would pass the %zu bytes all variables may take, not passed", who, name.c_str(),
             env_total_max);
        return false;
    }
    *total += size;
    return true;
}

// The init file: every variable the script is given, as LI_ variables. "set -a" first, so that
// every variable the script assigns is exported and reaches the dump taken after it.
std::string build_init_file(session_t* session, const std::map<std::string, std::string>& vars) {
    std::string text = "set -a\n";
    size_t total = 0;
    for (const auto& [name, value] : vars) {
        if (passable("_shellexec_execute_command", name, value, &total)) text += _shellexec_env_item(name, value);
    }
    text += _shellexec_env_item("LUMO_MEDIA", env_get_string(session, "LUMO_MEDIA"));
    for (const std::string& id : splitString(env_get_string(session, "LUMO_MEDIA"), ";", false)) {
        const std::string base = "LUMO_MEDIA_" + id;
        for (const char* suffix : {"_selected", "_installed", "_skipped"}) {
            text += _shellexec_env_item(base + suffix, env_get_string(session, base + suffix));
        }
    }
    return text;
}

// Splits "name:seconds". A time-out that is not a finite number counts as none.
double parse_timeout(const std::string& spec, std::string* function) {
    const size_t colon = spec.find(':');
    *function = spec.substr(0, colon);
    if (colon == std::string::npos) return 0;
    const std::string text = spec.substr(colon + 1);
    print_log("_shellexec_execute_command: applying timeout %s to function %s", text.c_str(),
              function->c_str());
    char* end = nullptr;
    const double seconds = strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !std::isfinite(seconds)) {
        warn("_shellexec_execute_command: timeout %s is not a number, waiting without one", text.c_str());
        return 0;
    }
    return seconds;
}

// Waits up to seconds x 10 rounds of 100 ms; kills the shell when it is still there after them.
void wait_with_timeout(session_t* session, pid_t child, double seconds) {
    const double rounds = seconds * 10;
    for (long long round = 0; round < rounds; ++round) {
        pause_usec(wait_round_usec);
        int status = 0;
        waitpid(child, &status, WNOHANG);
        const int result = kill(child, 0);
        const int kill_errno = result == 0 ? 0 : errno;
        print_log("_shellexec_execute_command: second %d, querying process %d, kill returned %d. errno %d",
                  static_cast<int>(round / 10), static_cast<int>(child), result, kill_errno);
        if (result != 0 && (kill_errno == ESRCH || kill_errno == EINTR)) {
            print_log("_shellexec_execute_command: process exited");
            return;
        }
    }
    print_log("_shellexec_execute_command: process hangs, killing...");
    // The whole group: whatever the function started would otherwise run on unowned and keep the
    // engine's output open after it ends.
    if (kill(-child, SIGKILL) != 0) kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    env_set_string(session, "LUMO_SHELLEXEC_STATUS", "killed");
}

// Every property as a script sees it: expanded, double quotes made single; the layer's value
// where both have one.
std::map<std::string, std::string> shell_values(session_t* session) {
    std::map<std::string, std::string> vars;
    auto add = [&](const property_map_t& map) {
        for (const auto& [name, value] : map) {
            std::string expanded = expand_operand(session, value);
            for (char& c : expanded) {
                if (c == '"') c = '\'';
            }
            vars[name] = expanded;
        }
    };
    add(session->properties);
    if (session->active_layer) add(session->active_layer->properties);
    return vars;
}

}  // namespace

std::vector<std::string> shellexec_environment(session_t* session) {
    const std::map<std::string, std::string> vars = shell_values(session);
    std::vector<std::string> words;
    size_t total = 0;
    for (const auto& [name, value] : vars) {
        if (passable("shellexec_environment", name, value, &total)) words.push_back("LI_" + name + "=" + value);
    }
    return words;
}

std::string _shellexec_env_item(const std::string& name, const std::string& value) {
    // Single quotes keep every byte as data: nothing in the value is expanded or run when the
    // file is sourced, and a backslash stays one backslash. A quote ends the quoting, is written
    // escaped, and the quoting starts again.
    std::string line = "LI_" + name + "='";
    for (char c : value) {
        if (c == '\'') line += "'\\''";
        else line += c;
    }
    return line + "'\n";
}

int shellexec_execute(session_t* session, cab_t* store, const plugin_desc_t* desc) {
    print_log("shellexec_execute: started");
    if (!session || !desc || desc->func.empty()) {
        error("shellexec_execute: can't start");
        return 1;
    }
    env_set_string(session, "LUMO_SHELLEXEC_STATUS", "");
    const std::string temp = temp_folder(session);
    for (const char* name : {"/shellexec_init.bat", "/shellexec_command.bat", "/shellexec_output",
                             "/shellexec_script"}) {
        remove_file(temp + name, 1);
    }

    const std::string file = expand_operand(session, desc->file);
    std::string script;
    if (!store) {
        script = file;
    } else if (desc->component.empty()) {
        script = env_get_string(session, "ENGINE_DIR") + "/" + file;
    } else if (!session->active_layer) {
        script = temp + "/shellexec_script";
        std::string content;
        if (store_file_get_content(store, desc->component, file, content) < 0 ||
            write_private_file(script, content) != 0) {
            error("shellexec_execute: can't extract %s::%s to %s", desc->component.c_str(), file.c_str(),
                  script.c_str());
            return 1;
        }
    } else {
        script = temp + "/" + session->active_layer->id + "/" + file;
    }
    print_log("shellexec_execute: shell script:[%s], function:[%s]", env_mask_hidden(session, script).c_str(),
              env_mask_hidden(session, desc->func).c_str());

    std::map<std::string, std::string> vars = shell_values(session);

    // In the shared /tmp the working files, which hold the values passed, go once read back; a
    // temporary folder of the run's own is emptied when the run ends.
    struct shared_files_remover {
        std::string folder;
        ~shared_files_remover() {
            if (folder != "/tmp") return;
            for (const char* name : {"/shellexec_init", "/shellexec_output", "/shellexec_script"})
                remove_file(folder + name, 1);
        }
    } remover{temp};
    if (_shellexec_execute_command(session, script, desc->func, &vars) == -1) {
        error("_shellexec_execute_script: unable to execute command");
        return 1;
    }
    if (_shellexec_parse_envlist(session, &vars, temp + "/shellexec_output") != 0) {
        error("_shellexec_execute_script: unable to read output file");
        return 1;
    }
    return 0;
}

int _shellexec_execute_command(session_t* session, const std::string& script, const std::string& func,
                               const std::map<std::string, std::string>* vars) {
    print_log("_shellexec_execute_command: started");
    if (!session || script.empty() || func.empty() || !vars) {
        error("_shellexec_execute_command: invalid arguments");
        return -1;
    }
    std::string function;
    const double seconds = parse_timeout(func, &function);

    const std::string temp = temp_folder(session);
    const std::string init = temp + "/shellexec_init";
    if (write_private_file(init, build_init_file(session, *vars)) != 0) {
        error("_shellexec_execute_command: can't write %s", init.c_str());
        return -1;
    }
    // The dump lands in a file made here, owned by this user, so the shell's redirection can
    // only ever write into it.
    const std::string output = temp + "/shellexec_output";
    {
        fd_owner dump{create_private_file(output)};
        if (dump.fd < 0) {
            error("_shellexec_execute_command: can't create %s", output.c_str());
            return -1;
        }
    }

    std::string command = ". " + in_double_quotes(init) + "; . " + in_double_quotes(script);
    if (!function.empty()) command += "; " + function;
    // The file name is passed as data; a leading "~/" still means the home folder, as it would to
    // the shell.
    std::string script_output = env_get_string(session, "SCRIPT_OUTPUT_FILE");
    const char* home = getenv("HOME");
    if (script_output.compare(0, 2, "~/") == 0 && home && *home) script_output = home + script_output.substr(1);
    if (!script_output.empty()) command += " >" + shell_word(script_output) + " 2>&1";
    command += "; " +
               in_double_quotes(env_get_string(session, "ENGINE_DIR") + "/" +
                                env_get_string(session, "ENGINE_BINARY")) +
               " --__dumpenv__ > " + shell_word(output);
    print_log("_shellexec_execute_command: command line: %s", env_mask_hidden(session, command).c_str());

    const std::string shell = env_get_string(session, "LUMO_SHELL");
    const pid_t child = fork();
    if (child < 0) {
        error("_shellexec_execute_command: unable to allocate memory");
        return -1;
    }
    if (child == 0) {
        // A function with a time-out gets a process group of its own, so that the time-out can
        // end everything it started.
        if (seconds > 0) setpgid(0, 0);
        execlp(shell.c_str(), shell.c_str(), "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(EXIT_FAILURE);
    }
    g_child = child;

    if (seconds > 0) {
        setpgid(child, child);  // also here: the group must exist before a kill can reach it
        wait_with_timeout(session, child, seconds);
    } else if (seconds < 0) {
        // The pause is logged in microseconds as an int: longer pauses are cut to what fits.
        const double rounds = std::floor(-seconds * 10);
        const int max_rounds = INT_MAX / static_cast<int>(wait_round_usec);
        const int usec = (rounds > max_rounds ? max_rounds : static_cast<int>(rounds)) *
                         static_cast<int>(wait_round_usec);
        print_log("_shellexec_execute_command: delayed kill activated: %d", usec);
        pause_usec(usec);
    } else {
        const int result = kill(child, 0);
        print_log("_shellexec_execute_command: regular waiting, querying process %d, kill returned %d. errno %d",
                  static_cast<int>(child), result, result == 0 ? 0 : errno);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFSIGNALED(status)) {
            error("_shellexec_execute_command: process exited with an error status %d", status);
            g_child = 0;
            return -1;
        }
    }
    g_child = 0;
    print_log("_shellexec_execute_command: finished");
    return 0;
}

int _shellexec_parse_envlist(session_t* session, const std::map<std::string, std::string>* vars,
                             const std::string& dump_file) {
    print_log("_shellexec_parse_envlist: started");
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    std::string dump;
    // The file is made before the shell starts, so that nothing else can be written there: empty, it
    // is what a missing dump would be, the dump never having been taken.
    if (get_file(dump_file, dump, 1) != 0 || dump.empty()) {
        error("_shellexec_parse_envlist: unable to read an arguments list from file");
        return -1;
    }
    if (!vars || dump.size() < 3) {
        error("_shellexec_parse_envlist: invalid arguments");
        return -1;
    }
    size_t start = 0;
    while (start < dump.size()) {
        size_t end = dump.find('\0', start);
        if (end == std::string::npos) end = dump.size();
        const size_t equals = dump.find('=', start);
        const size_t entry_start = start;
        start = end + 1;
        if (equals == std::string::npos || equals >= end) continue;
        if (dump.compare(entry_start, 3, "LI_") != 0) continue;
        const std::string name = dump.substr(entry_start, equals - entry_start);
        if (name == "LI_LUMO_MEDIA") continue;
        // A value cut short would replace the property with a damaged one: an entry beyond the
        // limits is left out whole and the property keeps its value.
        if (name.size() > envlist_name_max) {
            warn("_shellexec_parse_envlist: name %.64s... is longer than %d bytes, entry skipped", name.c_str(),
                 static_cast<int>(envlist_name_max));
            continue;
        }
        const size_t value_length = end - equals - 1;
        if (value_length > envlist_value_max) {
            warn("_shellexec_parse_envlist: value of %s is longer than %d bytes, entry skipped", name.c_str(),
                 static_cast<int>(envlist_value_max));
            continue;
        }
        const std::string property = name.substr(3);
        const std::string value = dump.substr(equals + 1, value_length);
        auto sent = vars->find(property);
        if (sent != vars->end() && sent->second == value) continue;
        env_set_string(session, property, value);
    }
    print_log("_shellexec_parse_envlist: finished");
    return 0;
}
