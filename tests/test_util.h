// Helpers shared by the tests: a private temporary folder, a log captured into a file, and
// running the built engine and tools.
#pragma once

#include <string>
#include <vector>

namespace lumo_test {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Opens the process log into a file of its own; the log is disabled again when it goes.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text() const;
    // True when a line ends with the text: the time and prefix in front of a message are ignored,
    // so "ERROR: : store_read_cab: cab file is null" or ": init_sequence: started" both match.
    bool has_line(const std::string& line_end) const;
    const std::string& path() const { return m_path; }

private:
    TempDir m_dir;
    std::string m_path;
};

struct StoreFile {
    std::string component;
    std::string name;
    std::string content;
    std::string attrs;
};
// Writes a store holding the files with the engine's own writer; true on success.
bool make_store(const std::string& path, const std::vector<StoreFile>& files);

std::string read_file(const std::string& path);
bool exists_path(const std::string& path);
void write_file_text(const std::string& path, const std::string& text);
// Runs a shell command; stdout (and stderr when merge_stderr) into *output; the exit status.
int run_command(const std::string& command, std::string* output = nullptr, bool merge_stderr = false);
std::string quote(const std::string& text);
// The text of every engine log (vexan.lumo.*.log) in the folder, one after the other.
std::string engine_logs(const std::string& folder);
// The last value the property was given, as the property store logs it; "<unset>" when never.
std::string logged_value(const std::string& log, const std::string& name);
size_t count_occurrences(const std::string& text, const std::string& part);
std::string source_dir();   // the repository
std::string binary_dir();   // the build folder: engine at binary_dir() + "/bin/lumo"
std::string engine_path();
std::string cab_tool_path();

}  // namespace lumo_test
