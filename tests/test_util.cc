#include "test_util.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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

}  // namespace lumo_test
