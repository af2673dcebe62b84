#include "sushell.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "actions.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "utils.h"

namespace {

constexpr const char* su_prompt = "Password:";
// sudo is told to ask with this text, so that its question is told apart from the command's output.
constexpr const char* sudo_prompt = "lumo-sudo-password:";
constexpr int end_grace_ms = 5000;     // for an ended child to go and its terminal to be released
constexpr size_t seen_keep = 4096;     // output kept while looking for a prompt

int64_t now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int remaining_ms(int64_t deadline) {
    const int64_t left = deadline - now_ms();
    return left <= 0 ? 0 : static_cast<int>(left > 1000 ? 1000 : left);
}

// The password with its newline, in a buffer of exactly that size, cleared when it goes.
class secret_line {
public:
    explicit secret_line(const std::string& password) : m_bytes(password.size() + 1) {
        std::copy(password.begin(), password.end(), m_bytes.begin());
        m_bytes.back() = '\n';
    }
    ~secret_line() { explicit_bzero(m_bytes.data(), m_bytes.size()); }
    secret_line(const secret_line&) = delete;
    secret_line& operator=(const secret_line&) = delete;
    const char* data() const { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }

private:
    std::vector<char> m_bytes;
};

// Clears a string holding a secret when it goes.
struct wiped_string {
    std::string text;
    ~wiped_string() { explicit_bzero(text.data(), text.size()); }
};

// Why the password cannot go as one terminal line; nullptr when it can. A line break or NUL
// would end it early, and other control characters are editing keys to the terminal.
const char* password_refusal(const std::string& password) {
    if (password.size() > su_password_max) return "it is too long";
    for (const unsigned char c : password) {
        if (c == '\0') return "it holds a NUL character";
        if (c == '\n' || c == '\r') return "it holds a line break";
        if (c < 0x20 || c == 0x7f) return "it holds a control character";
    }
    return nullptr;
}

// A login that su could take for an option, or that holds blanks, is refused.
bool login_valid(const std::string& login) {
    if (login.empty() || login[0] == '-') return false;
    for (const unsigned char c : login) {
        if (c <= ' ' || c == 0x7f || c == '/' || c == ':') return false;
    }
    return true;
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0 && errno == EAGAIN) {
            struct pollfd out = {fd, POLLOUT, 0};
            poll(&out, 1, 100);
            continue;
        }
        if (done <= 0) return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

int status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return 1;
}

// The child a runner waits for, in a process group of its own. It is the one the interrupt
// handler ends; whatever way the runner returns, a child still running is ended with its group.
class child_process {
public:
    explicit child_process(pid_t pid) : m_pid(pid) { g_child = pid; }
    ~child_process() {
        if (!m_reaped) end();
        g_child = 0;
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // True once the child has ended; its status in *status.
    bool ended(int* status) {
        if (!m_reaped) {
            int wait_status = 0;
            const pid_t got = waitpid(m_pid, &wait_status, WNOHANG);
            if (got == m_pid || (got < 0 && errno == ECHILD)) {
                m_reaped = true;
                // A process id that is gone may come back as someone else's.
                if (g_child == m_pid) g_child = 0;
                m_status = got == m_pid ? status_of(wait_status) : 1;
            }
        }
        if (m_reaped && status) *status = m_status;
        return m_reaped;
    }
    // Waits up to timeout_ms for the end.
    bool ended_within(int timeout_ms, int* status) {
        const int64_t deadline = now_ms() + timeout_ms;
        while (!ended(status)) {
            if (now_ms() >= deadline) return false;
            usleep(10000);
        }
        return true;
    }
    // Ends the whole process group; true when the child is gone.
    bool end() {
        if (m_reaped) return true;
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
        if (ended_within(end_grace_ms, nullptr)) return true;
        error("child_process: process %d did not end", static_cast<int>(m_pid));
        return false;
    }

private:
    pid_t m_pid;
    bool m_reaped = false;
    int m_status = 1;
};

// Standard input without echo and line editing while keys are passed on to the child's terminal,
// which echoes and edits itself; the interrupt key still reaches the engine.
class keys_passed_on {
public:
    keys_passed_on() {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &m_saved) != 0) return;
        struct termios raw = m_saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
        raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~keys_passed_on() {
        if (m_active) tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
    }
    keys_passed_on(const keys_passed_on&) = delete;
    keys_passed_on& operator=(const keys_passed_on&) = delete;

private:
    struct termios m_saved = {};
    bool m_active = false;
};

// One read with a time limit: > 0 bytes appended, 0 nothing within timeout_ms, -1 the output ended.
ssize_t read_some(int fd, int timeout_ms, std::string* into) {
    struct pollfd in = {fd, POLLIN, 0};
    const int ready = poll(&in, 1, timeout_ms);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    char block[4096];
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0) return errno == EINTR || errno == EAGAIN ? 0 : -1;
    if (got == 0) return -1;
    into->append(block, static_cast<size_t>(got));
    return got;
}

// su turns echo off only after printing its prompt: the password is written once the terminal no
// longer echoes, or it would show on the screen and be flushed away unread. The master side
// reports the terminal settings of the slave side.
bool wait_for_echo_off(int master, int64_t deadline, child_process& child) {
    for (;;) {
        struct termios settings;
        if (tcgetattr(master, &settings) != 0) return false;
        if ((settings.c_lflag & ECHO) == 0) return true;
        if (child.ended(nullptr) || now_ms() >= deadline) return false;
        std::string ignored;
        if (read_some(master, 10, &ignored) < 0) return false;
    }
}

// Whether the marker exists as a regular file of the expected owner: only then does it count.
bool marker_trusted(const su_options_t& options) {
    struct stat info;
    return !options.marker.empty() && lstat(options.marker.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_uid == options.marker_owner;
}

struct relay_t {
    int status = 1;
    bool hung = false;  // ended by us: no marker appeared in time
};

// Passes the child's output (and, with keys_fd, our keys to it) on until the child ends. A child
// that is still there after marker_seconds without the target's marker is ended as hung.
relay_t relay_until_end(child_process& child, int output_fd, int to_fd, int keys_fd, const su_options_t& options) {
    relay_t result;
    std::optional<keys_passed_on> keys;
    if (keys_fd >= 0) keys.emplace();
    const int64_t marker_due = now_ms() + static_cast<int64_t>(options.marker_seconds) * 1000;
    bool marker_seen = false, output_open = true, keys_open = keys_fd >= 0;
    int64_t output_ended_at = 0;
    while (!child.ended(&result.status)) {
        if (!marker_seen && now_ms() >= marker_due) {
            marker_seen = marker_trusted(options);
            if (!marker_seen) {
                result.hung = true;
                child.end();
                return result;
            }
        }
        // Nobody holds the child's side any more: the child is ending, and gets a little while.
        if (!output_open && now_ms() - output_ended_at > end_grace_ms) {
            result.hung = true;
            child.end();
            return result;
        }
        struct pollfd watched[2] = {{output_open ? output_fd : -1, POLLIN, 0}, {keys_open ? STDIN_FILENO : -1, POLLIN, 0}};
        const int ready = poll(watched, 2, output_open ? 100 : 10);
        if (ready <= 0) continue;
        if (watched[0].revents != 0) {
            std::string text;
            if (read_some(output_fd, 0, &text) < 0) {
                output_open = false;
                output_ended_at = now_ms();
            } else if (!text.empty()) {
                write_all(to_fd, text.data(), text.size());
            }
        }
        if (watched[1].revents != 0) {
            std::string typed;
            if (read_some(STDIN_FILENO, 0, &typed) < 0) keys_open = false;
            else if (!typed.empty()) write_all(keys_fd, typed.data(), typed.size());
        }
    }
    // What the child wrote just before its end.
    for (std::string text; output_open && read_some(output_fd, 0, &text) > 0; text.clear())
        write_all(to_fd, text.data(), text.size());
    return result;
}

// Our terminal's size for the child's terminal, so that its text wraps as ours does.
struct winsize terminal_size() {
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        size.ws_row = 24;
        size.ws_col = 80;
    }
    return size;
}

// In the child: su asks in plain words whatever the user's language, and its arguments.
[[noreturn]] void exec_su(const su_options_t& options, const std::string& login, const std::string& command,
                          const char* failure) {
    setenv("LC_ALL", "C", 1);
    unsetenv("LANGUAGE");
    const char* argv[] = {options.program.c_str(), "-", login.c_str(), "-c", command.c_str(), nullptr};
    execv(options.program.c_str(), const_cast<char* const*>(argv));
    print_log("%s", failure);
    _exit(1);
}

// The pseudo-terminal of a first attempt is released when nothing holds its other side: only then
// may a second su start, so that two commands never run at once.
bool terminal_released(int master) {
    const int64_t deadline = now_ms() + end_grace_ms;
    std::string ignored;
    while (now_ms() < deadline) {
        if (read_some(master, 50, &ignored) < 0) return true;
        ignored.clear();
    }
    return false;
}

// The password prompt, echo off, and the password written: true when it was sent.
bool send_password_on_pty(int master, child_process& child, const secret_line& line, const su_options_t& options,
                          const char* name) {
    const int64_t deadline = now_ms() + static_cast<int64_t>(options.prompt_seconds) * 1000;
    print_log("%s: waiting for password prompt", name);
    if (wait_for_prompt(master, su_prompt, options.prompt_seconds * 1000) != 0 ||
        !wait_for_echo_off(master, deadline, child)) {
        print_log("%s: failed to get prompt, the password is not sent", name);
        return false;
    }
    print_log("%s: got prompt successfully", name);
    print_log("%s: sending password", name);
    return write_all(master, line.data(), line.size());
}

int positive_property(session_t* session, const char* name, int fallback) {
    const std::string text = env_get_string(session, std::string(name));
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || value <= 0 || value > 86400) return fallback;
    return static_cast<int>(value);
}

// A hidden password left in the root environment file would reach a file in a shared folder: the
// file is written again without it.
void scrub_root_env_file(session_t* session) {
    const std::string path = env_root_file_path(session);
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) return;
    wiped_string text;
    {
        const fd_owner fd{open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
        char block[4096];
        ssize_t got;
        while (fd.fd >= 0 && (got = read(fd.fd, block, sizeof block)) > 0) text.text.append(block, static_cast<size_t>(got));
        explicit_bzero(block, sizeof block);
    }
    if (text.text.compare(0, 20, "__HIDE__SU_PASSWORD#") == 0 || text.text.find("\n__HIDE__SU_PASSWORD#") != std::string::npos) {
        print_log("shell_execute_command: root environment file written again without the password");
        env_save(session);
    }
}

bool sudo_installed() {
    const char* path = getenv("PATH");
    for (const std::string& folder : splitString(path && *path ? path : "/usr/bin:/bin", ":", false)) {
        if (access((folder + "/sudo").c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace

su_options_t su_options_from(session_t* session, const std::string& login) {
    su_options_t options;
    const std::string program = env_get_string(session, std::string("SU_PATH"));
    if (!program.empty()) options.program = program;
    options.prompt_seconds = positive_property(session, "SU_PROMPT_TIMEOUT", su_prompt_seconds_default);
    options.marker_seconds = positive_property(session, "SU_MARKER_TIMEOUT", su_marker_seconds_default);
    const std::string target = login.empty() ? "root" : login;
    const std::string tmp_dir = env_get_string(session, std::string("tmp_dir"));
    const passwd* account = getpwnam(target.c_str());
    // Our own marker bears the same name when the target is this user: it proves nothing then.
    if (!tmp_dir.empty() && account && account->pw_uid != geteuid()) {
        options.marker = tmp_dir + "/vexan.lumo." + target + ".running.marker";
        options.marker_owner = account->pw_uid;
    }
    return options;
}

int wait_for_prompt(int fd, const std::string& prompt, int timeout_ms, std::string* seen) {
    const int64_t deadline = now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    std::string text;
    int found = 1;
    for (;;) {
        if (text.find(prompt) != std::string::npos) {
            found = 0;
            break;
        }
        if (text.size() > seen_keep + prompt.size()) text.erase(0, text.size() - seen_keep);
        const int left = remaining_ms(deadline);
        if (left == 0) break;
        if (read_some(fd, left, &text) < 0) {
            found = 2;
            break;
        }
    }
    if (seen) *seen = text;
    return found;
}

int su_execute_command_forkpty(const std::string& login, const std::string& password, const std::string& command,
                               const su_options_t& options) {
    print_log("su_execute_command_forkpty: started");
    if (const char* refusal = password_refusal(password)) {
        error("su_execute_command_forkpty: password refused: %s", refusal);
        return 1;
    }
    if (!login_valid(login)) {
        error("su_execute_command_forkpty: login '%s' refused", login.c_str());
        return 1;
    }
    const secret_line line(password);
    struct winsize size = terminal_size();
    int master_fd = -1;
    const pid_t pid = forkpty(&master_fd, nullptr, nullptr, &size);
    if (pid < 0) {
        print_log("su_execute_command_forkpty: can't create new process.");
        return 1;
    }
    if (pid == 0) exec_su(options, login, command, "su_execute_command_forkpty: can't create new terminal");
    const fd_owner master{master_fd};
    fcntl(master.fd, F_SETFD, FD_CLOEXEC);
    child_process child(pid);
    if (!send_password_on_pty(master.fd, child, line, options, "su_execute_command_forkpty")) {
        child.end();
        print_log("su_execute_command_forkpty: can't read su comamnd prompt.");
        return 1;
    }
    const relay_t outcome = relay_until_end(child, master.fd, STDOUT_FILENO, master.fd, options);
    if (outcome.hung) {
        error("su_execute_command_forkpty: command did not start the instance within %d seconds, ended",
              options.marker_seconds);
        return 1;
    }
    print_log("su_execute_command_forkpty: child process exited with status %d", outcome.status);
    return outcome.status;
}

int su_execute_command(session_t* session, const std::string& login, const std::string& password,
                       const std::string& command) {
    print_log("su_execute_command: started");
    if (const char* refusal = password_refusal(password)) {
        error("su_execute_command: password refused: %s", refusal);
        return 1;
    }
    if (!login_valid(login)) {
        error("su_execute_command: login '%s' refused", login.c_str());
        return 1;
    }
    const su_options_t options = su_options_from(session, login);
    const secret_line line(password);
    const fd_owner master{open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC)};
    if (master.fd < 0) {
        print_log("su_execute_command: opening master device failed");
        return 1;
    }
    std::vector<char> name(128);
    int named = -1;
    if (grantpt(master.fd) == 0 && unlockpt(master.fd) == 0) {
        while ((named = ptsname_r(master.fd, name.data(), name.size())) == ERANGE && name.size() < 65536)
            name.resize(name.size() * 2);
    }
    if (named != 0) {
        print_log("su_execute_commandy: ptsname failed");
        return 1;
    }
    print_log("su_execute_command: opening slave device: %s", name.data());
    fd_owner slave{open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
    if (slave.fd < 0) {
        print_log("su_execute_command: opening slave device failed");
        return 1;
    }
    print_log("su_execute_command: opened slave device successfully");
    const struct winsize size = terminal_size();
    ioctl(slave.fd, TIOCSWINSZ, &size);
    const pid_t pid = fork();
    if (pid < 0) {
        print_log("su_execute_command: vfork failed");
        return 1;
    }
    if (pid == 0) {
        // A session of its own with the new terminal as its controlling one: su and all it starts
        // form one process group that can be ended at once.
        setsid();
        ioctl(slave.fd, TIOCSCTTY, 0);
        for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(slave.fd, stream);
        exec_su(options, login, command, "su_execute_command: execv failed");
    }
    // Only the child holds its side now: when it is gone, reading gives EIO.
    close(slave.fd);
    slave.fd = -1;
    child_process child(pid);
    // A su that asks for no password (root becoming another user) is already running the command:
    // it is waited for like any other, never started a second time. A su still waiting for a
    // password it asked for in words not recognised starts no instance, shows no running marker and
    // is ended as hung below.
    if (!send_password_on_pty(master.fd, child, line, options, "su_execute_command"))
        print_log("su_execute_command: no password prompt, the command may be running without one");
    print_log("su_execute_command: waiting for child to finish");
    const relay_t outcome = relay_until_end(child, master.fd, STDOUT_FILENO, master.fd, options);
    if (!outcome.hung) {
        print_log("su_execute_command: child process exited with status %d", outcome.status);
        return outcome.status;
    }
    print_log("su_execute_command: no running marker after %d seconds", options.marker_seconds);
    // The first su and everything it started must be gone before a second one starts.
    if (!child.end() || !terminal_released(master.fd)) {
        error("su_execute_command: the first command is still running, no second attempt");
        return 1;
    }
    return su_execute_command_forkpty(login, password, command, options);
}

int sudo_execute_command(const std::string& password, const std::string& command, const su_options_t& options) {
    print_log("sudo_execute_command: started");
    if (const char* refusal = password_refusal(password)) {
        error("sudo_execute_command: password refused: %s", refusal);
        return 1;
    }
    // Without sudo the shell would end with 127, which counts as a command that ran.
    if (!sudo_installed()) {
        error("sudo_execute_command: sudo is not installed");
        return 1;
    }
    const secret_line line(password);
    int to_sudo[2], from_sudo[2];
    if (pipe2(to_sudo, O_CLOEXEC) != 0) {
        error("sudo_execute_command: cannot create a pipe");
        return 1;
    }
    fd_owner to_read{to_sudo[0]}, to_write{to_sudo[1]};
    if (pipe2(from_sudo, O_CLOEXEC) != 0) {
        error("sudo_execute_command: cannot create a pipe");
        return 1;
    }
    fd_owner from_read{from_sudo[0]}, from_write{from_sudo[1]};
    // The password goes through the pipe only: never a file, an argument or the environment.
    // -k makes sudo ask even when it remembers an earlier success, so the password never stays
    // unread in the pipe for the command to find.
    // The command is shell text: what follows a first command in it runs after sudo, as in a pipeline.
    const std::string pipeline = std::string("sudo -S -k -p ") + shell_quote(sudo_prompt) + " " + command;
    const pid_t pid = fork();
    if (pid < 0) {
        error("sudo_execute_command: cannot create a process");
        return 1;
    }
    if (pid == 0) {
        setsid();
        dup2(to_read.fd, STDIN_FILENO);
        dup2(from_write.fd, STDERR_FILENO);
        setenv("LC_ALL", "C", 1);
        execl("/bin/sh", "sh", "-c", pipeline.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_read.fd);
    to_read.fd = -1;
    close(from_write.fd);
    from_write.fd = -1;
    child_process child(pid);
    std::string seen;
    const int prompt = wait_for_prompt(from_read.fd, sudo_prompt, options.prompt_seconds * 1000, &seen);
    const size_t at = seen.find(sudo_prompt);
    const std::string before = at == std::string::npos ? seen : seen.substr(0, at);
    write_all(STDERR_FILENO, before.data(), before.size());
    if (prompt == 0) {
        write_all(to_write.fd, line.data(), line.size());
    } else if (prompt == 1 && !marker_trusted(options)) {
        // sudo neither asked nor ended, and no instance announced itself.
        error("sudo_execute_command: sudo did not ask for the password within %d seconds, ended", options.prompt_seconds);
        child.end();
        return 1;
    }
    // What sudo reads after the password is the command's input: it ends here.
    close(to_write.fd);
    to_write.fd = -1;
    print_log("sudo_execute_command: parent process waiting for child");
    const relay_t outcome = relay_until_end(child, from_read.fd, STDERR_FILENO, -1, options);
    if (outcome.hung) {
        error("sudo_execute_command: command did not start the instance within %d seconds, ended", options.marker_seconds);
        return 1;
    }
    print_log("sudo_execute_command: child process finished command with result %d", outcome.status);
    print_log("sudo_execute_command: child process exited with status %d", outcome.status);
    return outcome.status;
}

int shell_judge_status(session_t* session, int status) {
    if (status == 0 || status == 2 || status == 3 || status == 4 || status == 127) {
        env_set_string(session, "LUMO_EXIT_CODE", std::to_string(status));
        env_set_string(session, "AUTH_STATUS", "AUTH_SUCCESS");
        return status;
    }
    // The instance run as root removes the temporary folder when it ends, whatever its status;
    // a child killed by a signal has not finished, folder or not.
    if (status < 128 && !is_dir(env_get_string(session, std::string("TEMP_FOLDER")))) {
        print_log("shell_execute_command: exit code is bad (%d) but temporary folder is removed", status);
        env_set_string(session, "AUTH_STATUS", "AUTH_SUCCESS");
        return 0;
    }
    env_set_string(session, "WINDOW_VISIBILITY", "VISIBLE");
    env_set_string(session, "AUTH_STATUS", "AUTH_FAILURE");
    return status;
}

int shell_execute_command(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return 1;
    }
    print_log("shell_execute_command: start");
    if (!env_exists(session, std::string("SU_COMMAND"))) {
        print_log("shell_execute_command: command is not specified");
        env_set_string(session, "AUTH_STATUS", "AUTH_FAILURE");
        return 1;
    }
    const std::string login = env_get_string(session, std::string("SU_LOGIN"));
    const std::string command = expand_operand(session, env_get_string(session, std::string("SU_COMMAND")));
    // A short password may well be part of the command's text (a folder's name): the command runs,
    // but is not logged, since masking the password in it would show where it is.
    std::string masked;
    {
        const wiped_string secret{env_get_string(session, std::string("__HIDE__SU_PASSWORD"))};
        masked = !secret.text.empty() && command.find(secret.text) != std::string::npos
                     ? std::string("(not shown: it holds the password)")
                     : env_mask_hidden(session, command);
    }
    if (!env_exists(session, std::string("SU_LOGIN")) || !env_exists(session, std::string("__HIDE__SU_PASSWORD")) ||
        !env_exists(session, std::string("TEMP_FOLDER"))) {
        print_log("shell_execute_command: invalid arguments %s %s", login.c_str(), masked.c_str());
        env_set_string(session, "AUTH_STATUS", "AUTH_FAILURE");
        return 1;
    }
    print_log("shell_execute_command: command: %s", masked.c_str());
    wiped_string password{env_get_string(session, std::string("__HIDE__SU_PASSWORD"))};
    // Used once: the password leaves the properties, so that no later dump or saved file holds it.
    // Overwritten first, which reuses the value's own memory, so that the freed memory is blank.
    env_set_string(session, "__HIDE__SU_PASSWORD", std::string(password.text.size(), '*'));
    env_remove(session, std::string("__HIDE__SU_PASSWORD"));
    scrub_root_env_file(session);
    const int status = login.empty() ? sudo_execute_command(password.text, command, su_options_from(session, login))
                                     : su_execute_command(session, login, password.text, command);
    return shell_judge_status(session, status);
}

int sushell_marker_create(session_t* session) {
    const std::string tmp_dir = env_get_string(session, std::string("tmp_dir"));
    if (tmp_dir.empty()) return -1;
    const std::string marker = expand_operand(session, "${tmp_dir}/vexan.lumo.${USER}.running.marker");
    // In a folder anyone may write to without the sticky bit, another user could replace it.
    struct stat folder;
    if (lstat(tmp_dir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
        ((folder.st_mode & S_IWOTH) != 0 && (folder.st_mode & S_ISVTX) == 0)) {
        warn("sushell_marker_create: %s is no folder safe for the running marker, none created", tmp_dir.c_str());
        return -1;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const fd_owner fd{open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)};
        if (fd.fd >= 0) {
            fd_write_all(fd.fd, std::to_string(static_cast<long long>(getpid())) + "\n");
            print_log("sushell_marker_create: created %s", marker.c_str());
            return 0;
        }
        if (errno != EEXIST) {
            // Nothing is there: no other instance is running, this one just has no marker.
            warn("sushell_marker_create: can not create %s: %s", marker.c_str(), strerror(errno));
            return -1;
        }
        // A marker of ours whose instance is gone is left over from a crash and is replaced.
        struct stat info;
        if (lstat(marker.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) break;
        char text[32] = {};
        {
            const fd_owner old{open(marker.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
            if (old.fd >= 0 && read(old.fd, text, sizeof text - 1) < 0) text[0] = '\0';
        }
        const long pid = strtol(text, nullptr, 10);
        if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
            unlink(marker.c_str());
            continue;
        }
        break;
    }
    warn("sushell_marker_create: %s exists, another instance is running", marker.c_str());
    env_set_string(session, "INSTALLER_PRESENT", "yes");
    return 1;
}

int sushell_actions_register(session_t* session) {
    return actions_register(session, "shell_execute_command", shell_execute_command);
}
