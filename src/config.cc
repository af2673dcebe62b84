#include "config.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "store.h"
#include "utils.h"

#ifndef LUMO_PACKAGE_ID
#define LUMO_PACKAGE_ID "lumo-dev"
#endif

namespace {

// SHELL is listed twice in the engine's list of copied variables; copying it once is the same.
const char* const copied_environment[] = {
    "BASH",     "BASH_VERSION", "HOME",     "SHELL",           "PWD",               "PATH",
    "OSTYPE",   "LOGNAME",      "MACHTYPE", "MANPATH",         "HOSTTYPE",          "HOSTNAME",
    "TERM",     "LD_LIBRARY_PATH", "DYLD_LIBRARY_PATH", "QT_ACCESSIBILITY", "DISPLAY", "XAUTHORITY",
    "http_proxy", "https_proxy",
};

constexpr size_t string_id_max = 1023;

}  // namespace

std::string engine_identification() {
    return std::string("Package id: ") + LUMO_PACKAGE_ID + ", built " + __DATE__ + " " + __TIME__;
}

int user_is_root(session_t*) {
    if (getuid() == 0) {
        print_log("user_is_root: user is root");
        return 1;
    }
    print_log("user_is_root: user is not root");
    return 0;
}

std::string sanitizeVersion(const std::string& text) {
    std::string result;
    for (char c : text) {
        if ((c >= '0' && c <= '9') || c == '.') result += c;
    }
    return result;
}

int load_product_info(session_t* session) {
    if (!session) {
        error("load_product_info: session is null");
        return -1;
    }
    if (!store_file_exists(session->store.get(), "_internal_", "product.ini")) {
        error("load_product_info: can not find product.ini in store");
        return -1;
    }
    std::string content;
    if (store_file_get_content(session->store.get(), "_internal_", "product.ini", content) < 0) {
        error("load_product_info: can not load product.ini");
        return -1;
    }
    print_log("load_product_info: load product.ini file");
    for (std::string line : splitString(content, "\n", true)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        // Fields split as strtok splits: runs of '=' are one separator, leading ones are skipped.
        std::vector<std::string> fields = splitString(line, "=", false);
        if (fields.empty()) {
            error("load_product_info: can not read name of the property");
            return -1;
        }
        const std::string& name = fields[0];
        if (fields.size() < 2) {
            error("load_product_info: can not read value of the property");
            env_set_string(session, name, "");
            continue;
        }
        print_log("load_product_info: set property '%s' with value '%s'", name.c_str(),
                  env_log_value(name, fields[1]));
        env_set_string(session, name, fields[1]);
    }
    return 0;
}

namespace {

void copy_environment(session_t* session) {
    for (const char* name : copied_environment) {
        const char* value = getenv(name);
        if (value) {
            print_log("init_configuration: save environment %s=%s", name, mask_url_passwords(value).c_str());
            env_set_string(session, name, value);
        } else {
            print_log("init_configuration: environment var %s is absent", name);
            env_remove(session, name);
        }
    }
}

// The folders the run starts from: the working one, the engine's (beside the script), the
// package's and the configuration's. -1 when the working folder cannot be told.
int set_folders(session_t* session, const std::string& script) {
    std::string pwd;
    if (env_exists(session, "PWD")) {
        pwd = env_get_string(session, "PWD");
    } else {
        std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
        if (!cwd) {
            error("init_configuration: can not define current work dir");
            return -1;
        }
        pwd = cwd.get();
    }
    env_set_string(session, "LUMO_PWD", pwd);
    env_set_string(session, "LUMO_PID", std::to_string(getpid()));

    std::string engine_dir = get_dirname(script);
    if (script[0] != '/') engine_dir = pwd + "/" + engine_dir;
    env_set_string(session, "ENGINE_DIR", engine_dir);
    if (!env_exists(session, "PACKAGE_DIR"))
        env_set_string(session, "PACKAGE_DIR", engine_dir + "/../../");
    env_set_string(session, "CURRENT_DIR", env_get_string(session, "PACKAGE_DIR"));
    env_set_string(session, "CONFIG_DIR", engine_dir + "/..");
    return 0;
}

// Who runs the engine and on which machine.
void set_user_and_host(session_t* session) {
    env_set_string(session, "UID", std::to_string(getuid()));
    env_set_string(session, "EUID", std::to_string(geteuid()));
    const struct passwd* account = getpwuid(geteuid());
    const char* user_env = getenv("USER");
    env_set_string(session, "USER", account && account->pw_name ? account->pw_name : (user_env ? user_env : ""));
    struct utsname names;
    if (uname(&names) == 0) {
        env_set_string(session, "HOST", names.nodename);
        print_log("init_configuration: uname -a: %s %s %s %s %s", names.sysname, names.nodename,
                  names.release, names.version, names.machine);
        env_set_string(session, "ARCH", strcmp(names.machine, "x86_64") == 0 ? "VEXAN64" : "KX32");
    }
}

}  // namespace

int init_configuration(session_t* session) {
    if (!session) {
        error("init_configuration: session is NULL");
        return -1;
    }
    print_log("init_configuration: started");
    env_set_string(session, "ENGINE_VERSION", engine_identification());
    env_set_string(session, "LUMO_EXIT_CODE_SUCCESS", "0");
    env_set_string(session, "LUMO_EXIT_CODE_RUN_GUI_FAILED", "1");
    env_set_string(session, "LUMO_EXIT_CODE_ERROR", "2");
    env_set_string(session, "LUMO_EXIT_CODE_WARNING", "3");
    env_set_string(session, "LUMO_EXIT_CODE_CANCEL", "4");
    copy_environment(session);
    const std::string script = env_get_string(session, "SCRIPT_NAME");
    if (script.empty()) {
        error("init_configuration: %s is empty", "SCRIPT_NAME");
        return -1;
    }
    const std::string binary = get_basename(script);
    env_set_string(session, "ENGINE_BINARY", binary);
    print_log("init_configuration: ENGINE_BINARY=%s", binary.c_str());
    if (set_folders(session, script) != 0) return -1;
    set_user_and_host(session);
    if (load_product_info(session) != 0) return -1;
    print_log("init_configuration: finished");
    return 0;
}

namespace {

// Only a name the sourcing shell reads as a plain assignment may follow "LI_": anything else
// ("Y=1 touch x #") would be run as a command.
bool is_shell_name(const std::string& name) {
    if (name.empty() || (!isalpha(static_cast<unsigned char>(name[0])) && name[0] != '_')) return false;
    for (char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    return true;
}

bool has_line(const std::string& text, const std::string& line) {
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (text.compare(start, end - start, line) == 0) return true;
        start = end + 1;
    }
    return false;
}

// "EOM", unless a line of the value reads exactly that: the here-document would end there and the
// rest of the value would run as commands. Then the first of EOM_1, EOM_2, ... the value lacks.
std::string here_delimiter(const std::string& text) {
    std::string delimiter = "EOM";
    for (int n = 1; has_line(text, delimiter); ++n) delimiter = "EOM_" + std::to_string(n);
    return delimiter;
}

}  // namespace

int write_string_to_file(session_t* session, const std::string& name, const std::string& value, FILE* out) {
    if (!session) {
        error("write_string_to_file: session is null");
        return -1;
    }
    if (!out) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!is_shell_name(name)) {
        warn("write_string_to_file: %s is not a shell variable name, skipped", name.c_str());
        return -1;
    }
    std::string text = expand_operand(session, value);
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '\'') escaped += '\\';
        escaped += c;
    }
    // The delimiter is quoted so that a sourcing shell takes the value as data: "$(...)" or
    // backquotes inside a string never run.
    const std::string delimiter = here_delimiter(escaped);
    fprintf(out, "LI_%s=$(cat<<'%s'\n", name.c_str(), delimiter.c_str());
    fwrite(escaped.data(), 1, escaped.size(), out);
    fprintf(out, "\n%s\n)\n\n", delimiter.c_str());
    return 0;
}

int configuration_get_strings(session_t* session) {
    if (!session) {
        error("configuration_get_strings: session is null");
        return -1;
    }
    file_ptr file;
    FILE* out = stdout;
    const std::string target = env_get_string(session, "__get_string__");
    // Given as a flag without a file name, the blocks go to standard output. The file may hold
    // secrets: it is made owner-only, and a link planted at its name is not followed.
    if (!target.empty()) {
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        struct stat info;
        if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || fchmod(fd, 0600) != 0)) {
            close(fd);
            error("configuration_get_strings: could not open output file");
            return -1;
        }
        file.reset(fd >= 0 ? fdopen(fd, "w") : nullptr);
        if (!file) {
            if (fd >= 0) close(fd);
            error("configuration_get_strings: could not open output file");
            return -1;
        }
        out = file.get();
    }
    if (!env_exists(session, "string_ids")) {
        // Every property but the hidden ones: those are written only when string_ids names them.
        for (const auto& [name, value] : session->properties) {
            if (name.find("__HIDE__") != std::string::npos) continue;
            write_string_to_file(session, name, value, out);
        }
    } else {
        for (const std::string& name : splitString(env_get_string(session, "string_ids"), ";", false)) {
            if (name.size() > string_id_max) {
                error("configuration_get_strings: string id longer than %d characters is skipped",
                      static_cast<int>(string_id_max));
                continue;
            }
            write_string_to_file(session, name, env_get_string(session, name), out);
        }
    }
    fflush(out);
    return 0;
}
