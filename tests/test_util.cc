#include "test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "log.h"
#include "store_write.h"

namespace lumo_test {

TempDir::TempDir() {
    std::string pattern = "/tmp/lumo_test.XXXXXX";
    if (mkdtemp(pattern.data())) m_path = pattern;
}

TempDir::~TempDir() {
    if (m_path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

LogCapture::LogCapture() : m_path(m_dir.file("test.log")) { log_init(nullptr, m_path.c_str()); }

LogCapture::~LogCapture() { log_disable(); }

std::string LogCapture::text() const { return read_file(m_path); }

bool LogCapture::has_line(const std::string& line_end) const {
    std::istringstream in(text());
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() >= line_end.size() &&
            line.compare(line.size() - line_end.size(), line_end.size(), line_end) == 0)
            return true;
    }
    return false;
}

StdioRedirect& StdioRedirect::stream_to_fd(int stream, int fd) {
    fflush(nullptr);
    m_saved.emplace_back(stream, dup(stream));
    dup2(fd, stream);
    if (stream == STDIN_FILENO) clearerr(stdin);
    return *this;
}

StdioRedirect& StdioRedirect::input(const std::string& text) {
    const std::string path = m_dir.file("stdin");
    write_file_text(path, text);
    const int fd = open(path.c_str(), O_RDONLY);
    stream_to_fd(STDIN_FILENO, fd);
    close(fd);
    return *this;
}

StdioRedirect& StdioRedirect::output(int stream, const std::string& path) {
    const int fd = open(path.empty() ? m_dir.file("out").c_str() : path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    stream_to_fd(stream, fd);
    close(fd);
    return *this;
}

std::string StdioRedirect::text() const {
    fflush(nullptr);
    return read_file(m_dir.file("out"));
}

void StdioRedirect::restore() {
    fflush(nullptr);
    for (auto saved = m_saved.rbegin(); saved != m_saved.rend(); ++saved) {
        dup2(saved->second, saved->first);
        close(saved->second);
        if (saved->first == STDIN_FILENO) clearerr(stdin);
    }
    m_saved.clear();
}

namespace {

std::string g_report_file;  // where a function child on a pseudo-terminal reports

std::string unix_newlines(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

// Plays the steps against the child on the master side, then waits for it to end.
PtyRun drive_pty(pid_t child, int master, const std::vector<PtyStep>& steps, const PtyOptions& options) {
    PtyRun run;
    std::string raw;
    auto read_some = [&](int timeout_ms) {
        struct pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, timeout_ms) <= 0) return false;
        char block[4096];
        const ssize_t got = read(master, block, sizeof block);
        if (got <= 0) return false;
        raw.append(block, static_cast<size_t>(got));
        return true;
    };
    const auto seconds = std::chrono::seconds(options.step_seconds);
    size_t cursor = 0;
    bool stuck = false;
    for (const PtyStep& step : steps) {
        const auto deadline = std::chrono::steady_clock::now() + seconds;
        size_t found;
        while ((found = unix_newlines(raw).find(step.expect, cursor)) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            read_some(100);
        stuck = found == std::string::npos ||
                (!step.send.empty() && write(master, step.send.data(), step.send.size()) < 0);
        if (stuck) {
            ADD_FAILURE() << "never shown: " << step.expect << "\nscreen:\n" << unix_newlines(raw);
            kill(child, SIGKILL);
            break;
        }
        cursor = found + step.expect.size();
    }
    const auto deadline = std::chrono::steady_clock::now() + seconds;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            while (read_some(50)) {}
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        read_some(50);
    }
    if (run.status < 0) {
        ADD_FAILURE() << "the child did not end; screen:\n" << unix_newlines(raw);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    close(master);
    run.screen = unix_newlines(raw);
    return run;
}

pid_t fork_on_pty(int* master, const PtyOptions& options) {
    struct winsize size = {};
    size.ws_row = static_cast<unsigned short>(options.rows);
    size.ws_col = static_cast<unsigned short>(options.columns);
    fflush(nullptr);
    const pid_t child = forkpty(master, nullptr, nullptr, &size);
    if (child < 0) ADD_FAILURE() << "forkpty failed";
    return child;
}

}  // namespace

std::string PtyRun::result(const std::string& name) const {
    const auto found = results.find(name);
    return found == results.end() ? "<missing>" : found->second;
}

void pty_report(const std::string& name, const std::string& value) {
    const std::string line = name + "=" + value + "\n";
    const int fd = open(g_report_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    if (write(fd, line.data(), line.size()) < 0) {}
    close(fd);
}

PtyRun run_on_pty(const std::function<int()>& body, const std::vector<PtyStep>& steps, const PtyOptions& options) {
    TempDir dir;
    g_report_file = dir.file("results");
    int master = -1;
    const pid_t child = fork_on_pty(&master, options);
    if (child < 0) return PtyRun();
    if (child == 0) {
        const int status = body();
        fflush(nullptr);
        _exit(status & 0xff);
    }
    PtyRun run = drive_pty(child, master, steps, options);
    std::istringstream in(read_file(g_report_file));
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) run.results[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return run;
}

PtyRun run_on_pty(const std::vector<std::string>& argv, const std::vector<PtyStep>& steps, const PtyOptions& options) {
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    int master = -1;
    const pid_t child = fork_on_pty(&master, options);
    if (child < 0) return PtyRun();
    if (child == 0) {
        if (options.cwd.empty() || chdir(options.cwd.c_str()) == 0) execv(pointers[0], pointers.data());
        _exit(127);
    }
    return drive_pty(child, master, steps, options);
}

std::vector<PtyStep> operator+(std::vector<PtyStep> first, const std::vector<PtyStep>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

bool make_store(const std::string& path, const std::vector<StoreFile>& files) {
    std::vector<store_write_entry_t> entries;
    for (const StoreFile& file : files) {
        store_write_entry_t entry;
        entry.item.component = file.component;
        entry.item.name = file.name;
        entry.item.attrs = file.attrs;
        entry.bytes = file.content;
        entry.from_memory = true;
        entries.push_back(entry);
    }
    return store_write(path, entries) == 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool exists_path(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

void write_file_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

int run_command(const std::string& command, std::string* output, bool merge_stderr) {
    const std::string full = merge_stderr ? "(" + command + ") 2>&1" : command;
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof block, pipe)) > 0) text.append(block, got);
    const int status = pclose(pipe);
    if (output) *output = text;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

std::string engine_logs(const std::string& folder) {
    std::string text;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().filename().string().rfind("vexan.lumo.", 0) == 0) text += read_file(entry.path());
    }
    return text;
}

std::string logged_value(const std::string& log, const std::string& name) {
    const std::string head = "env_set_string_internal: key \"" + name + "\" with value \"";
    const size_t at = log.rfind(head);
    if (at == std::string::npos) return "<unset>";
    const size_t start = at + head.size();
    const size_t end = log.find("\" (length ", start);
    return log.substr(start, end - start);
}

size_t count_occurrences(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

std::string source_dir() { return LUMO_SOURCE_DIR; }
std::string binary_dir() { return LUMO_BINARY_DIR; }
std::string engine_path() { return binary_dir() + "/bin/lumo"; }
std::string cab_tool_path() { return binary_dir() + "/bin/lumo-cab"; }

bool become_user_with_home(const std::string& home) {
    setenv("HOME", home.c_str(), 1);
    if (geteuid() != 0) return true;
    return setegid(65534) == 0 && seteuid(65534) == 0;
}

int as_user_with_home(const std::string& home, const std::function<int()>& body) {
    if (geteuid() != 0) {
        setenv("HOME", home.c_str(), 1);
        return body();
    }
    chmod(home.c_str(), 0777);
    const pid_t child = fork();
    if (child == 0) _exit(become_user_with_home(home) ? body() : 99);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

}  // namespace lumo_test
