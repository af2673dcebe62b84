#include "startup.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "actions.h"
#include "coex.h"
#include "config.h"
#include "debug.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "lumo.h"
#include "lumo_download.h"
#include "lumo_driver.h"
#include "seq.h"
#include "silent.h"
#include "store.h"
#include "string_table.h"
#include "sushell.h"
#include "utils.h"

extern char** environ;

const char* const g_cmdline_shortcuts = ";silent;duplicate;lang;help;version;tmp-dir;";

namespace {

constexpr int interrupt_answer_max = 16;

struct malloc_free {
    void operator()(char* p) const { free(p); }
};
using malloc_ptr = std::unique_ptr<char, malloc_free>;

// Signal-safe output: write(2) only.
void write_all(int fd, const char* text, size_t length) {
    while (length > 0) {
        const ssize_t put = write(fd, text, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        text += put;
        length -= static_cast<size_t>(put);
    }
}

void write_text(int fd, const char* text) { write_all(fd, text, strlen(text)); }

// Appends the decimal digits of value; the buffer is sized for any 64-bit number.
size_t format_decimal(long long value, char* out) {
    char digits[24];
    size_t count = 0;
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && count < sizeof digits);
    size_t length = 0;
    if (negative) out[length++] = '-';
    while (count > 0) out[length++] = digits[--count];
    return length;
}

// A log line of a signal handler, written straight to the log's descriptor: every line before it
// was flushed, so nothing is pending in the stream's buffer.
void log_signal_line(const char* head, int signo, const char* tail) {
    if (log_is_ready() != 0) return;
    const int fd = fileno(_g_logging_state.file);
    char line[64];
    size_t length = format_decimal(static_cast<long long>(time(nullptr)), line);
    write_all(fd, line, length);
    write_text(fd, " - ");
    if (_g_logging_state.prefix) write_text(fd, _g_logging_state.prefix);
    write_text(fd, head);
    length = format_decimal(signo, line);
    write_all(fd, line, length);
    write_text(fd, tail);
}

bool equals_ignoring_case(const char* text, size_t length, const char* word) {
    if (strlen(word) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    }
    return true;
}

// Stores an option in the command-line session: under "query_"+name while query mode is on.
void store_option(session_t* cmdline, const std::string& name, const std::string& value, bool query) {
    env_set_string(cmdline, query ? "query_" + name : name, value);
}

// What the "hostname" command prints, asked of the kernel without starting a process.
std::string host_name() {
    std::string name(256, '\0');
    if (gethostname(name.data(), name.size() - 1) != 0) return "";
    name.resize(strlen(name.c_str()));
    return name;
}

// What "date +%m.%d.%H.%M.%S.%Y" prints, without starting a process.
std::string log_date() {
    const time_t now = time(nullptr);
    struct tm local;
    char text[64];  // the format yields 19 characters
    if (!localtime_r(&now, &local) || strftime(text, sizeof text, "%m.%d.%H.%M.%S.%Y", &local) == 0) return "";
    return text;
}

std::string ctime_now() {
    const time_t now = time(nullptr);
    char buffer[64];  // ctime_r writes at most 26 bytes
    return ctime_r(&now, buffer) ? buffer : "\n";
}

constexpr int remove_depth_max = 128;    // deeper trees are left, and counted as not removed
constexpr size_t descendants_max = 256;  // processes of a child ended at once; more are left

// What the run found at start, so that the clean-up removes only what the run itself made. The
// signal handlers read it: it is complete before `armed` is set, and afterwards only the normal
// end changes it, with those signals blocked.
struct run_cleanup_t {
    std::string folder;               // the temporary folder, absolute with links resolved
    bool existed = false;             // found at start: the names in `before` stay
    std::vector<std::string> before;  // sorted
    std::string root_env_file;
    std::string marker;               // the running marker this run created, "" when none
    bool keep = false;                // __keep_temp__
    bool elevated = false;            // RUN_MODE "elevated": the root environment file stays
    bool installer_present = false;   // the marker belongs to another instance
    volatile sig_atomic_t armed = 0;
};

run_cleanup_t g_cleanup;

bool found_before(const char* name) {
    size_t low = 0, high = g_cleanup.before.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const int order = strcmp(g_cleanup.before[middle].c_str(), name);
        if (order == 0) return true;
        if (order < 0) low = middle + 1;
        else high = middle;
    }
    return false;
}

int remove_entries_at(int dir_fd, bool keep_earlier, int depth);

// Removes one entry of the open folder, a folder with all it holds; a link is removed as a link.
// Only calls that are safe inside a signal handler. The result counts what could not be removed.
int remove_entry_at(int dir_fd, const char* name, int depth) {
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT) return 0;
    if (errno != EISDIR && errno != EPERM) return 1;
    if (depth >= remove_depth_max) return 1;
    int failed = 0;
    {
        const fd_owner folder{openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        if (folder.fd < 0) return 1;
        failed = remove_entries_at(folder.fd, false, depth + 1);
    }
    if (unlinkat(dir_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) ++failed;
    return failed;
}

// Removes the entries of the open folder, except those found at start when keep_earlier is set.
// A folder read while entries go may skip some, so it is read again until a pass removes nothing.
int remove_entries_at(int dir_fd, bool keep_earlier, int depth) {
    int failed = 0;
    for (bool removed = true; removed;) {
        removed = false;
        failed = 0;
        if (lseek(dir_fd, 0, SEEK_SET) != 0) return 1;
        alignas(struct dirent64) char block[2048];
        ssize_t got;
        while ((got = getdents64(dir_fd, block, sizeof block)) > 0) {
            for (ssize_t at = 0; at < got;) {
                const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(block + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
                if (keep_earlier && found_before(name)) continue;
                const int left = remove_entry_at(dir_fd, name, depth);
                failed += left;
                if (left == 0) removed = true;
            }
        }
    }
    return failed;
}

void remove_own_marker() {
    struct stat info;
    if (!g_cleanup.installer_present && lstat(g_cleanup.marker.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        unlink(g_cleanup.marker.c_str());
}

// The clean-up of a run's end, also from the signal handlers: the temporary folder loses what the
// run put in it and goes when the run made it (or found it empty); then the root environment file
// and the running marker. Returns the number of entries that could not be removed.
int run_cleanup() {
    if (!g_cleanup.armed) return 0;
    g_cleanup.armed = 0;
    int failed = 0;
    if (!g_cleanup.keep && !g_cleanup.folder.empty()) {
        const fd_owner folder{open(g_cleanup.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        if (folder.fd >= 0) {
            failed = remove_entries_at(folder.fd, g_cleanup.existed, 0);
            if (!g_cleanup.existed || g_cleanup.before.empty()) rmdir(g_cleanup.folder.c_str());
        }
    }
    if (!g_cleanup.keep && !g_cleanup.elevated && !g_cleanup.root_env_file.empty())
        unlink(g_cleanup.root_env_file.c_str());
    remove_own_marker();
    return failed;
}

// The parent of the process named by a /proc entry; 0 when it cannot be read.
pid_t parent_of(int proc_fd, const char* name) {
    char file[64];
    size_t length = strlen(name);
    if (length + sizeof "/stat" > sizeof file) return 0;
    memcpy(file, name, length);
    memcpy(file + length, "/stat", sizeof "/stat");
    const fd_owner fd{openat(proc_fd, file, O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) return 0;
    char stat[512];
    const ssize_t got = read(fd.fd, stat, sizeof stat - 1);
    if (got <= 0) return 0;
    stat[got] = '\0';
    // "pid (name) state ppid ...": the name may hold anything, so the last ')' ends it.
    const char* at = strrchr(stat, ')');
    if (!at || at[1] != ' ' || at[2] == '\0' || at[3] != ' ') return 0;
    pid_t parent = 0;
    for (at += 4; *at >= '0' && *at <= '9'; ++at) parent = parent * 10 + (*at - '0');
    return parent;
}

// A child that shares the engine's process group leaves no group to end: it and every process it
// started are found through /proc, each stopped as it is found so that none can start another
// unseen, and then all are killed.
void kill_descendants(pid_t root) {
    pid_t found[descendants_max];
    size_t count = 0;
    found[count++] = root;
    kill(root, SIGSTOP);
    for (bool grew = true; grew && count < descendants_max;) {
        grew = false;
        const fd_owner proc{open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        const int proc_fd = proc.fd;
        if (proc_fd < 0) break;
        alignas(struct dirent64) char block[2048];
        ssize_t got;
        while ((got = getdents64(proc_fd, block, sizeof block)) > 0) {
            for (ssize_t at = 0; at < got && count < descendants_max;) {
                const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(block + at);
                at += entry->d_reclen;
                pid_t pid = 0;
                const char* digit = entry->d_name;
                for (; *digit >= '0' && *digit <= '9'; ++digit) pid = pid * 10 + (*digit - '0');
                if (*digit != '\0' || pid <= 0) continue;
                bool known = false, child_of_known = false;
                const pid_t parent = parent_of(proc_fd, entry->d_name);
                for (size_t i = 0; i < count; ++i) {
                    known = known || found[i] == pid;
                    child_of_known = child_of_known || found[i] == parent;
                }
                if (known || !child_of_known) continue;
                kill(pid, SIGSTOP);
                found[count++] = pid;
                grew = true;
            }
        }
    }
    for (size_t i = 0; i < count; ++i) kill(found[i], SIGKILL);
}

constexpr int child_grace_ms = 3000;  // how long a group of its own has to end on SIGTERM

// Ends the child the engine waits for and everything it started, and reaps it.
void end_child() {
    const pid_t child = g_child;
    if (child <= 0) return;
    if (getpgid(child) == child) {
        // A group of its own may hold processes of another user that this one cannot kill, above
        // all the instance su or sudo started with root rights: su and sudo pass SIGTERM on to
        // it, and it cleans up and ends. Only what is left after a while is killed.
        kill(-child, SIGTERM);
        const struct timespec pause = {0, 10 * 1000 * 1000};
        for (int waited = 0; waited < child_grace_ms; waited += 10) {
            if (waitpid(child, nullptr, WNOHANG) == child) {
                kill(-child, SIGKILL);
                return;
            }
            nanosleep(&pause, nullptr);
        }
        kill(-child, SIGKILL);
    } else {
        kill_descendants(child);
    }
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Blocks the signals whose handlers clean up, while the normal end does the same work.
struct signals_blocked {
    sigset_t saved;
    signals_blocked() {
        sigset_t set;
        sigemptyset(&set);
        for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signo);
        sigprocmask(SIG_BLOCK, &set, &saved);
    }
    ~signals_blocked() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
};

// The temporary folder must never be a folder whose loss, or whose other owner, would harm: it is
// checked before anything is written near it. Ends the process with status 2 on refusal.
void check_temp_folder(const std::string& given, const std::string& resolved) {
    if (resolved.empty()) die(lumo_exit_error, "check_temp_folder: temporary folder %s cannot be resolved", given.c_str());
    const auto holds = [&resolved](const std::string& inner) {
        return !inner.empty() && (inner == resolved || resolved == "/" ||
                                  inner.compare(0, resolved.size() + 1, resolved + "/") == 0);
    };
    const malloc_ptr cwd(getcwd(nullptr, 0));
    const char* home = getenv("HOME");
    const passwd* account = getpwuid(geteuid());
    if (resolved == "/" || holds(cwd ? std::string(cwd.get()) : "") || holds(home && *home ? path_resolve(home) : "") ||
        holds(account && account->pw_dir ? path_resolve(account->pw_dir) : ""))
        die(lumo_exit_error, "check_temp_folder: temporary folder %s is the root, home or working folder or holds one of them, "
               "refusing to use it", given.c_str());
    std::string named = given;
    while (named.size() > 1 && named.back() == '/') named.pop_back();
    struct stat info;
    if (lstat(named.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        die(lumo_exit_error, "check_temp_folder: temporary folder %s is a symbolic link, refusing to use it", given.c_str());
    if (lstat(resolved.c_str(), &info) != 0) return;  // made by this run, private to it
    if (!S_ISDIR(info.st_mode))
        die(lumo_exit_error, "check_temp_folder: temporary folder %s is not a folder, refusing to use it", given.c_str());
    if (info.st_uid != geteuid())
        die(lumo_exit_error, "check_temp_folder: temporary folder %s belongs to another user, refusing to use it", given.c_str());
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        die(lumo_exit_error, "check_temp_folder: temporary folder %s is writable by group or others, refusing to use it",
            given.c_str());
}

// Notes what the temporary folder holds before the run puts anything in it.
void note_temp_folder(const std::string& folder) {
    g_cleanup.folder = folder;
    g_cleanup.before.clear();
    g_cleanup.existed = !folder.empty() && is_dir(folder);
    if (!g_cleanup.existed) return;
    dir_ptr dir(opendir(folder.c_str()));
    while (dir) {
        const dirent* entry = readdir(dir.get());
        if (!entry) break;
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) g_cleanup.before.emplace_back(entry->d_name);
    }
    std::sort(g_cleanup.before.begin(), g_cleanup.before.end());
}

}  // namespace

int interrupt_prompt(int in_fd, int out_fd) {
    for (;;) {
        write_text(out_fd, "\nInterrupt install process?(Yes/No)[No]: ");
        char answer[interrupt_answer_max + 1];
        size_t length = 0;
        bool too_long = false;
        for (;;) {
            char byte;
            const ssize_t got = read(in_fd, &byte, 1);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                // Nobody is left to answer: the interrupt stands.
                if (length == 0 && !too_long) return 1;
                break;
            }
            if (byte == '\n') break;
            if (byte == '\r') continue;
            if (length < interrupt_answer_max) answer[length++] = byte;
            else too_long = true;
        }
        if (!too_long) {
            if (length == 0 || equals_ignoring_case(answer, length, "no")) return 0;
            if (equals_ignoring_case(answer, length, "yes")) return 1;
        }
        write_text(out_fd, "Incorrect input, please try again\n");
    }
}

void sigterm_handler(int signo) {
    log_signal_line(": sigterm_handler: signal ", signo, " ends the run, cleaning up\n");
    end_child();
    run_cleanup();
    // Ended by the signal, as the one who sent it expects to see.
    signal(signo, SIG_DFL);
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signo);
    sigprocmask(SIG_UNBLOCK, &own, nullptr);
    raise(signo);
    _exit(128 + signo);
}

void sigint_handler(int signo) {
    const int saved_errno = errno;
    log_signal_line(": sigint_handler: ", signo, " signot has been got\n");
    // A dialog may be reading a password byte by byte without echo: the question is answered as a
    // line the user can see, and the dialog's settings come back afterwards.
    struct termios saved;
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        struct termios line = saved;
        line.c_lflag |= ICANON | ECHO;
        tcsetattr(STDIN_FILENO, TCSANOW, &line);
    }
    const int answer = interrupt_prompt(STDIN_FILENO, STDOUT_FILENO);
    // Leaving, the terminal keeps line mode with echo rather than a dialog's raw settings.
    if (terminal && answer != 1) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    if (answer == 1) {
        end_child();
        run_cleanup();
        _exit(lumo_exit_cancel);
    }
    if (g_is_dialog) g_dialog_interrupted = 1;
    errno = saved_errno;
}

void install_interrupt_handler() {
    // Every other signal waits while the question is asked: the handler must not run nested.
    interrupt_set_handler(sigint_handler);
    interrupt_restore_handler();
}

std::string match_cmdline_shortcut(const std::string& arg) {
    if (arg.size() != 2 || arg[0] != '-') return "";
    const std::string shortcuts = g_cmdline_shortcuts;
    size_t start = 0;
    while ((start = shortcuts.find(';', start)) != std::string::npos) {
        const size_t end = shortcuts.find(';', start + 1);
        if (end == std::string::npos) break;
        const std::string entry = shortcuts.substr(start + 1, end - start - 1);
        if (!entry.empty() && entry[0] == arg[1]) return "--" + entry;
        start = end;
    }
    return "";
}

int check_env_name(const char* name) {
    if (!name || !*name) return 0;
    const regex_ptr regex = get_regex("^[a-zA-Z_][a-zA-Z0-9_-]*$", REG_EXTENDED | REG_NOSUB);
    return regex && regmatch(regex.get(), name, 0) == 1 ? 0 : -1;
}

namespace {

// Turns a one-letter option into its long form. 1 for an option, 0 for an argument that is none
// (ignored), -1 for an unknown letter; both are reported on standard output.
int option_long_form(std::string& arg, int index) {
    if (arg.size() == 2 && arg[0] == '-') {
        const std::string long_form = match_cmdline_shortcut(arg);
        if (long_form.empty()) {
            printf("Incorrect command-line argument: arg %d, key %s\n", index, arg.c_str());
            return -1;
        }
        arg = long_form;
        return 1;
    }
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
        printf("Incorrect command-line argument: arg %d, key %s, ignoring\n", index, arg.c_str());
        return 0;
    }
    return 1;
}

}  // namespace

int parse_command_line(session_t* session, int argc, char** argv, session_t* cmdline) {
    if (!session || !cmdline || !argv) {
        LOG_NULL_PARAM();
        return -1;
    }
    bool query = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] ? argv[i] : "";
        const int form = option_long_form(arg, i);
        if (form < 0) return -1;
        if (form == 0) continue;
        std::string name = arg.substr(2);
        const size_t equals = name.find('=');
        for (size_t k = 0; k < name.size() && k < equals; ++k) {
            if (name[k] == '-') name[k] = '_';
        }
        bool last_flag = false;
        if (equals != std::string::npos) {
            const std::string value = expand_operand(session, name.substr(equals + 1));
            name.resize(equals);
            store_option(cmdline, name, value, query);
        } else if (name == "query") {
            env_set_string(cmdline, "query", "");
            query = true;
        } else if (i + 1 >= argc) {
            env_set_string(cmdline, name, "");
            last_flag = true;
        } else {
            const std::string next = argv[i + 1] ? argv[i + 1] : "";
            const bool next_is_option = (next.size() >= 3 && next.compare(0, 2, "--") == 0) ||
                                        !match_cmdline_shortcut(next).empty();
            if (next_is_option) {
                env_set_string(cmdline, name, "");
            } else {
                store_option(cmdline, name, expand_operand(session, next), query);
                ++i;
            }
        }
        if (check_env_name(name.c_str()) != 0) {
            if (last_flag) printf("Incorrect command-line argument: key %s\n", name.c_str());
            else printf("Incorrect command-line argument: arg %d, key %s\n", i, name.c_str());
            return -1;
        }
    }
    return 0;
}

int commandline_merge(session_t* session, session_t* cmdline) {
    if (!session) {
        error("commandline_merge: session is null");
        return -1;
    }
    if (!cmdline) {
        error("commandline_merge: command line environment is null");
        return -1;
    }
    print_log("commandline_merge: start merging");
    // Hidden settings first: a plain one holding such a value is then logged masked.
    std::vector<const std::pair<const std::string, std::string>*> order;
    for (const auto& entry : cmdline->properties)
        if (entry.first.find("__HIDE__") != std::string::npos) order.push_back(&entry);
    for (const auto& entry : cmdline->properties)
        if (entry.first.find("__HIDE__") == std::string::npos) order.push_back(&entry);
    for (const auto* entry : order) {
        const std::string& name = entry->first;
        const std::string& value = entry->second;
        print_log("commandline_merge: merge option '%s'", name.c_str());
        if (env_exists(session, name)) {
            print_log("commandline_merge: property with name exists already. Skip merge for it.");
            continue;
        }
        print_log("commandline_merge: property doesn't exist. Merge it");
        print_log("commandline_merge:       add data '%s'",
                  mask_url_passwords(env_mask_hidden(cmdline, env_log_value(name, value))).c_str());
        env_set_string(session, name, value);
    }
    print_log("commandline_merge: merging finished");
    return 0;
}

int show_help(session_t* session) {
    if (!session) {
        error("show_help: session is null");
        return -1;
    }
    std::string text;
    bool found = false;
    const std::string lang = env_get_string(session, std::string("LANG"));
    if (!lang.empty()) {
        const std::string name = "help_" + lang + ".msg";
        print_log("show_help: language defined. Use %s", name.c_str());
        if (store_file_exists(session->store.get(), lumo_internal_component, name.c_str())) {
            print_log("show_help: try to extract %s", name.c_str());
            found = store_file_get_content(session->store.get(), lumo_internal_component, name, text) >= 0 && !text.empty();
        } else {
            print_log("show_help: there is no %s in BOM", name.c_str());
        }
    }
    if (!found) {
        print_log("show_help: Use default help.msg");
        if (store_file_exists(session->store.get(), lumo_internal_component, "help.msg")) {
            print_log("show_help: try to extract help.msg");
            if (store_file_get_content(session->store.get(), lumo_internal_component, "help.msg", text) >= 0) {
                if (text.empty()) error("show_help: help message specified in BOM, but content is null");
                else found = true;
            }
        } else {
            print_log("show_help: there is no help.msg in BOM");
        }
    }
    if (found) {
        print_log("show_help: message extracted");
        fwrite(text.data(), 1, text.size(), stdout);
        fputc('\n', stdout);
        fflush(stdout);
    }
    return 0;
}

int init_logging(session_t* session, session_t* cmdline) {
    if (!session || !cmdline) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (env_exists(cmdline, std::string("log_disable"))) {
        log_disable();
        return 0;
    }
    const std::string name = env_get_string(cmdline, std::string("log_file"));
    log_init(session, name.c_str());
    if (log_is_ready() == 0) return 0;
    for (const char* fallback : {"./install.log", "/var/log/install.log"}) {
        log_init(session, fallback);
        if (log_is_ready() == 0) {
            env_set_string(session, "log_file", fallback);
            return 0;
        }
    }
    log_disable();
    return -1;
}

namespace {

// What start-up hands from one step to the next. The usage-statistics layer is declared after the
// sessions so that it goes first at the end: the main session points at it until then.
struct startup_t {
    time_t started = 0;
    std::unique_ptr<session_t> session = std::make_unique<session_t>();
    std::unique_ptr<session_t> cmdline = std::make_unique<session_t>();
    std::string temp_folder;  // the command line's temporary folder, absolute with links resolved
    layer_t user_stat;
};

void install_signal_handlers() {
    install_interrupt_handler();
    struct sigaction action = {};
    action.sa_handler = sigterm_handler;
    sigfillset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

// Both sessions, and the command line read into the second; a malformed one asks for the help text.
void open_sessions(startup_t& run, int argc, char** argv) {
    if (env_init(run.session.get()) != 0 || env_init(run.cmdline.get()) != 0)
        die(lumo_exit_run_gui_failed, "Fatal error: property engine failed to init.");
    if (parse_command_line(run.session.get(), argc, argv, run.cmdline.get()) != 0)
        env_set_string(run.cmdline.get(), "help", "1");
}

// "__dumpenv__": the process environment, each entry ended by a zero byte.
int dump_environment() {
    for (char** entry = environ; entry && *entry; ++entry) {
        fwrite(*entry, 1, strlen(*entry) + 1, stdout);
    }
    fflush(stdout);
    return lumo_exit_success;
}

// The log's name: "install.log" in the working folder, or beside a temporary folder named on the
// command line, whose parent then becomes tmp_dir.
std::string choose_log_name(startup_t& run) {
    // The folder is known by its absolute path with links resolved before anything is decided or
    // written: "/./", "x/.." or "." must never lead the clean-up at exit to a folder it did not make.
    const std::string given_temp = env_get_string(run.cmdline.get(), std::string("TEMP_FOLDER"));
    if (given_temp.empty()) return "install.log";
    run.temp_folder = path_resolve(given_temp);
    check_temp_folder(given_temp, run.temp_folder);
    env_set_string(run.cmdline.get(), "TEMP_FOLDER", run.temp_folder);
    const std::string tmp_dir = get_dirname(run.temp_folder);
    env_set_string(run.session.get(), "tmp_dir", tmp_dir);
    const char* user = getenv("USER");
    const char* host_env = getenv("HOSTNAME");
    const std::string host = host_env && *host_env ? host_env : host_name();
    return tmp_dir + "/vexan.lumo." + (user ? user : "root") + "." + host + "_" + log_date() + ".log";
}

void open_log(startup_t& run) {
    env_set_string(run.cmdline.get(), "log_file", choose_log_name(run));
    if (init_logging(run.session.get(), run.cmdline.get()) != 0) fputs("Logging initialization failed\n", stderr);
    print_log("%s", std::string(58, '#').c_str());
    print_log("Logging started at %s", ctime_now().c_str());
}

// The engine's own name, the proxies the command line gives to the commands the run starts, and
// the command line itself in the log.
void note_command_line(startup_t& run, int argc, char** argv) {
    env_set_string(run.session.get(), "SCRIPT_NAME", argc > 0 && argv[0] ? argv[0] : "");
    for (const char* proxy : {"http_proxy", "https_proxy"}) {
        const std::string value = env_get_string(run.cmdline.get(), std::string(proxy));
        if (value.empty()) continue;
        print_log("main: set %s=%s", proxy, mask_url_passwords(env_mask_hidden(run.cmdline.get(), value)).c_str());
        setenv(proxy, value.c_str(), 1);
    }
    print_log("main: command-line parameters");
    print_log("%s", mask_url_passwords(env_dump_for_log(run.cmdline.get(), 0)).c_str());
}

// The package store lies beside the engine's folder, or in its "uninstall" folder for a removal.
void open_package(session_t* s) {
    std::string script_dir = path(get_dirname(env_get_string(s, std::string("SCRIPT_NAME"))));
    // Started through the search path, the engine's folder is the working folder.
    if (script_dir.empty()) script_dir = ".";
    const std::string beside = script_dir + "/.." + "/install.cab";
    const std::string uninstall = script_dir + "/uninstall" + "/install.cab";
    if (store_read_header(s, s->store.get(), beside.c_str()) != 0 &&
        store_read_header(s, s->store.get(), uninstall.c_str()) != 0)
        die(lumo_exit_error, "Fatal error: it'a not a valid package.");
}

// Named data, the engine configuration, the command line over it, and the defaults of the mode.
void configure_session(startup_t& run) {
    session_t* s = run.session.get();
    env_set_string(s, "IS_ROOT", user_is_root(s) ? "yes" : "no");
    // For the command that starts this engine again with other rights: --LUMO_INVOKER_UID ${LUMO_USER_UID}
    // lets that instance take this user's root environment file.
    env_set_string(s, "LUMO_USER_UID", std::to_string(getuid()));
    if (session_init_cdata(s) != 0) die(lumo_exit_error, "Fatal error: session initialization failed");
    if (init_configuration(s) != 0) die(lumo_exit_error, "Fatal error: config initialization failed");
    commandline_merge(s, run.cmdline.get());
    if (!env_exists(s, std::string("LUMO_MODE"))) env_set_string(s, "LUMO_MODE", "install");
    if (!env_exists(s, std::string("LUMO_UNINSTALLER"))) env_set_string(s, "LUMO_UNINSTALLER", "uninstall.sh");
    env_set_string(s, "LUMO_PLATFORM", "Linux");
    // A download run asks nothing: it installs silently and goes on past optional errors.
    if (env_exists(s, std::string("download_list"))) {
        env_set_string(s, "silent", "empty");
        env_set_string(s, "CONTINUE_WITH_OPTIONAL_ERROR", "yes");
        env_set_string(s, "LUMO_MODE", "install");
        env_set_string(s, "ACCEPT_EULA", "accept");
    }
}

// The folder whose new entries the clean-up at exit removes: the temporary folder, or without one
// the package's own "tmp" folder. That one is not refused, but what appears in it is removed only
// when nobody else could have put it there. "" when nothing is to be removed.
std::string folder_to_clean(session_t* s, const std::string& temp_dir) {
    if (!temp_dir.empty()) return temp_dir;
    std::string cleaned = path_resolve(env_get_string(s, std::string("PACKAGE_DIR")) + "/tmp");
    struct stat info;
    if (lstat(cleaned.c_str(), &info) == 0 &&
        (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0))
        cleaned.clear();
    return cleaned;
}

// What decides the clean-up and may change during the run: read at start and again at the end.
// The marker is not among them: an elevated run that takes over another instance's properties
// (USER, tmp_dir) must still remove its own marker, never that of the instance waiting for it.
void note_cleanup_settings(session_t* s) {
    g_cleanup.keep = env_exists(s, std::string("__keep_temp__"));
    g_cleanup.elevated = env_get_string(s, std::string("RUN_MODE")) == "elevated";
    g_cleanup.installer_present = env_get_string(s, std::string("INSTALLER_PRESENT")) == "yes";
}

// Checks, notes and makes the temporary folder, and arms the clean-up of the signal handlers.
void prepare_temp_folder(startup_t& run) {
    session_t* s = run.session.get();
    // The configuration may name another temporary folder: it is held to the same rules.
    const std::string configured_temp = env_get_string(s, std::string("TEMP_FOLDER"));
    const std::string temp_dir = configured_temp.empty() ? "" : path_resolve(configured_temp);
    if (!configured_temp.empty() && temp_dir != run.temp_folder) {
        check_temp_folder(configured_temp, temp_dir);
        env_set_string(s, "TEMP_FOLDER", temp_dir);
    }
    const std::string tmp_dir = env_get_string(s, std::string("tmp_dir"));
    if (!tmp_dir.empty() && tmp_dir[0] != '/') env_set_string(s, "tmp_dir", path_resolve(tmp_dir));
    note_temp_folder(folder_to_clean(s, temp_dir));
    // Layers, scripts and plug-ins keep their working files in the temporary folder: a folder named
    // on the command line that does not exist yet is made, private to this user.
    if (!temp_dir.empty() && !exists(temp_dir)) {
        print_log("main: creating temporary folder %s", temp_dir.c_str());
        folder_create(temp_dir, folder_mode_private);
    }
    g_cleanup.root_env_file = env_root_file_path(s);
    const std::string marker = expand_operand(s, "${tmp_dir}/vexan.lumo.${USER}.running.marker");
    g_cleanup.marker = sushell_marker_create(s) == 0 ? marker : "";
    note_cleanup_settings(s);
    g_cleanup.armed = 1;
}

// A fatal error from here on still leaves no marker or temporary files behind.
void clean_up_before_dying() { run_cleanup(); }

// LANG: the "lang" option, else the process's LANG or LC_CTYPE, else "default". LUMO_SHELL: bash
// where there is one.
void choose_language_and_shell(session_t* s) {
    const char* env_lang = getenv("LANG");
    const char* env_ctype = getenv("LC_CTYPE");
    std::string lang = env_get_string(s, std::string("lang"));
    if (lang.empty()) {
        if (env_lang && *env_lang) lang = env_lang;
        else if (env_ctype && *env_ctype) lang = env_ctype;
        else lang = "default";
    }
    print_log("main: LANG environment variable: %s", env_lang ? env_lang : "");
    print_log("main: LC_CTYPE environment variable: %s", env_ctype ? env_ctype : "");
    env_set_string(s, "LANG", lang);

    std::string shell = "bash";
    if (!exists("/bin/bash") && system("/bin/sh -c \"which bash 2>/dev/null\"") != 0) shell = "sh";
    env_set_string(s, "LUMO_SHELL", shell);
}

// The silent configuration to read and the one to write are used by their full paths. 0, or -1
// (reported on standard output) when one of them is named without a value.
int resolve_silent_files(session_t* s) {
    const bool uninstall_mode = env_get_string(s, std::string("LUMO_MODE")) == "uninstall";
    for (const char* name : {"silent", "duplicate"}) {
        if (!env_exists(s, std::string(name))) continue;
        if (std::string(name) == "silent" && uninstall_mode) continue;
        const std::string value = env_get_string(s, std::string(name));
        if (value.empty()) {
            printf("Error: Please provide silent configuration file.\n");
            return -1;
        }
        if (value[0] != '/' && value[0] != '~')
            env_set_string(s, name, env_get_string(s, std::string("LUMO_PWD")) + "/" + value);
    }
    return 0;
}

// The usage-statistics plug-in runs as a layer of its own, so what it sets stays out of the
// session's properties. The layer stays active to the end of the run; the session, destroyed
// after it, never reads it again.
void run_user_stat(startup_t& run) {
    session_t* s = run.session.get();
    env_set_string(s, "LUMO_USER_STAT_TIME", std::to_string(static_cast<long long>(time(nullptr) - run.started)));
    run.user_stat.id = "lumo_user_stat";
    run.user_stat.plugin.file = "user_stat.so";
    run.user_stat.plugin.component = lumo_internal_component;
    run.user_stat.plugin.func = "send_user_stat";
    s->active_layer = &run.user_stat;
    if (plugin_run(s, nullptr, &run.user_stat.plugin) == -1) error("main: error during running of lumo_user_stat layer");
}

void run_sequence(startup_t& run) {
    session_t* s = run.session.get();
    actions_init(s);
    lumo_actions_register(s);
    if (coex_read_config(s) == -1) die(lumo_exit_error, "Coexistence read failed.");
    init_sequence(s);
    sequence_execute(s);
    silent_startup_save(s);
    run_user_stat(run);
}

// The end of a one-shot mode or of a run refused before its sequence. Such a run is often started
// by a running installation (a shell step asking for strings) with that installation's temporary
// folder: the root environment file there is that installation's hand-over, and the strings file
// asked for is the reason for the run. Both stay; what else this run made goes.
void clean_up_early(session_t* s) {
    const signals_blocked quiet;
    g_cleanup.root_env_file.clear();
    const std::string strings = env_get_string(s, std::string("__get_string__"));
    if (!strings.empty() && !g_cleanup.folder.empty() && path_resolve(strings).rfind(g_cleanup.folder + "/", 0) == 0)
        g_cleanup.folder.clear();
    run_cleanup();
}

// The end's own clean-up of the temporary folder and the running marker.
void clean_up_at_end(session_t* s) {
    // The handlers must not start the same work halfway through it.
    const signals_blocked quiet;
    // What the sequence decided last counts, as the run ends normally.
    const std::string temp = env_get_string(s, std::string("TEMP_FOLDER"));
    const std::string resolved = temp.empty() ? "" : path_resolve(temp);
    note_cleanup_settings(s);
    if (g_cleanup.keep) {
        print_log("main: keep temporary folder alive");
    } else if (temp.empty()) {
        warn("main: temporary folder is not defined");
    } else if (resolved != g_cleanup.folder) {
        error("main: temporary folder %s was not checked at start, not removed", temp.c_str());
    } else if (g_cleanup.existed && !g_cleanup.before.empty()) {
        print_log("main: temporary folder %s existed before the run, only what the run made in it is removed",
                  temp.c_str());
    }
    if (resolved != g_cleanup.folder) g_cleanup.folder.clear();
    if (!g_cleanup.marker.empty() && is_file(g_cleanup.marker) && !g_cleanup.installer_present)
        print_log("main: removing marker file %s", g_cleanup.marker.c_str());
    const int failed = run_cleanup();
    if (failed > 0) error("main: %d entries of temporary folder %s could not be removed", failed, temp.c_str());
}

// The status the run ends with: LUMO_EXIT_CODE when set, else success. A value that is not a whole
// number from 0 to 255 cannot be an exit status (the shell would see it cut to its low byte, or 0
// for text): it is reported and the run ends with the error status instead of passing as success.
int exit_status(session_t* s) {
    if (!env_exists(s, std::string("LUMO_EXIT_CODE"))) return lumo_exit_success;
    const std::string text = env_get_string(s, std::string("LUMO_EXIT_CODE"));
    errno = 0;
    char* end = nullptr;
    const long value = strtol(text.c_str(), &end, 10);
    while (end && isspace(static_cast<unsigned char>(*end))) ++end;
    if (errno == 0 && end != text.c_str() && *end == '\0' && value >= 0 && value <= 255) return static_cast<int>(value);
    error("main: LUMO_EXIT_CODE '%s' is not an exit status from 0 to 255, exiting with %d", text.c_str(),
          lumo_exit_error);
    return lumo_exit_error;
}

int shut_down(session_t* s) {
    const int status = exit_status(s);
    lumo_report_write(s, status);
    sequence_free_all(s);
    // The elevated instance leaves the debug link open for the instance that started it.
    if (env_get_string(s, std::string("RUN_MODE")) != "elevated") dump_debug_info(s, "", "", "", "");
    env_free(s);
    print_log("Exit code is %d", status);
    print_log("Logging finished at %s", ctime_now().c_str());
    return status;
}

// Everything after the temporary folder and the marker are in place: -1 when the run goes on to
// its normal end, else the status of a one-shot mode or an early failure.
int run_after_start(startup_t& run) {
    session_t* s = run.session.get();
    choose_language_and_shell(s);
    if (env_exists(run.cmdline.get(), std::string("help"))) {
        show_help(s);
        return lumo_exit_success;
    }
    // Without string tables the engine still runs, with whatever properties it has.
    string_table_init(s);
    string_table_bind(s);
    if (env_exists(s, std::string("__get_string__"))) {
        if (configuration_get_strings(s) != 0) die(lumo_exit_error, "Fatal error: Could not extract strings.");
        return lumo_exit_success;
    }
    if (resolve_silent_files(s) != 0 || lumo_download_list_resolve(s) != 0) return lumo_exit_error;
    // The answer-file tools and a rejected answer file end the run before the sequence.
    const int early_status = silent_startup_load(s, lumo_init_products_list);
    if (early_status < 0) run_sequence(run);
    else env_set_string(s, "LUMO_EXIT_CODE", std::to_string(early_status));
    return -1;
}

}  // namespace

int lumo_main(int argc, char** argv) {
    startup_t run;
    run.started = time(nullptr);
    install_signal_handlers();
    open_sessions(run, argc, argv);
    if (env_exists(run.cmdline.get(), std::string("__dumpenv__"))) return dump_environment();
    open_log(run);
    if (env_exists(run.cmdline.get(), std::string("version"))) {
        printf("%s\n", engine_identification().c_str());
        return lumo_exit_success;
    }
    note_command_line(run, argc, argv);
    session_t* s = run.session.get();
    open_package(s);
    configure_session(run);
    prepare_temp_folder(run);
    // From here on every way out removes the running marker and what the run made.
    set_die_handle(clean_up_before_dying);
    const int status = run_after_start(run);
    if (status >= 0) {
        clean_up_early(s);
        return status;
    }
    clean_up_at_end(s);
    return shut_down(s);
}
